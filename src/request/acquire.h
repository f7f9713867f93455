// Getting the request's form data from wherever the method puts it.
#pragma once

#include <cstdint>
#include <string>

namespace cgiecho {

// Largest single read from standard input.
inline constexpr std::size_t kMaxRead = 32000;

// The body on standard input: CONTENT_LENGTH bytes at most, fewer when the
// input ends or a read fails first. Nothing is read unless the length is
// positive, so a server that keeps standard input open never blocks us.
std::string read_body();

// QUERY_STRING for GET, PUT and HEAD (exact case), the body for POST, and
// the command-line tail for any other method or none.
std::string read_request();

// read_request into cgi_request_data; returns its length.
std::int32_t buffer_request();

}  // namespace cgiecho
