/// @file
/// Getting the request's form data from wherever the method puts it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <cgiecho/request/request_data.h>

namespace cgiecho {

/// Largest single read from standard input.
inline constexpr std::size_t kMaxRead = 32000;

/// Room is never taken further ahead of the bytes that have arrived than
/// this: an announced length costs nothing until the body comes.
inline constexpr std::size_t kMaxAhead = std::size_t{64} << 20;

/// Room a caller wants kept before and after a body, so that it can frame
/// the body where it lies (RequestData::frame).
struct Margins {
  std::size_t before = 0;  ///< bytes before the body
  std::size_t after = 0;   ///< bytes after it
};

/// @{
/// The body on standard input: CONTENT_LENGTH bytes at most, fewer when the
/// input ends, a read fails or room runs out first. Nothing is read unless
/// the length is positive, so a server that keeps standard input open never
/// blocks us.
RequestData read_body_data(Margins margins = {});
std::string read_body();
/// @}

/// @{
/// QUERY_STRING for GET, PUT and HEAD (exact case), the body for POST, and
/// the command-line tail for any other method or none.
RequestData read_request_data(Margins margins = {});
std::string read_request();
/// @}

/// The request data: filled by buffer_request, then the caller's to rewrite
/// (the echo program leaves its page there); field lookups on the request
/// read it. It lives for the whole process.
RequestData& cgi_request_data();
/// Empties it (for tests, and a FastCGI responder's next request).
void clear_request_data();

/// read_request_data into cgi_request_data; returns its length.
std::int32_t buffer_request(Margins margins = {});

}  // namespace cgiecho
