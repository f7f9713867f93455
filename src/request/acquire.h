// Getting the request's form data from wherever the method puts it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cgiecho {

// Largest single read from standard input.
inline constexpr std::size_t kMaxRead = 32000;

// Room is never taken further ahead of the bytes that have arrived than
// this: an announced length costs nothing until the body comes.
inline constexpr std::size_t kMaxAhead = std::size_t{64} << 20;

// The body on standard input: CONTENT_LENGTH bytes at most, fewer when the
// input ends or a read fails first. Nothing is read unless the length is
// positive, so a server that keeps standard input open never blocks us.
// `spare` is room a caller wants after the body (the echo program frames
// the page in place), so that a large body is never copied to make it.
std::string read_body(std::size_t spare = 0);

// QUERY_STRING for GET, PUT and HEAD (exact case), the body for POST, and
// the command-line tail for any other method or none.
std::string read_request(std::size_t spare = 0);

// The request data: filled by buffer_request, then the caller's to rewrite
// (the echo program leaves its page there); field lookups on the request
// read it. It lives for the whole process.
std::string& cgi_request_data();
void clear_request_data();

// read_request into cgi_request_data; returns its length.
std::int32_t buffer_request(std::size_t spare = 0);

}  // namespace cgiecho
