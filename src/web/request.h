// One request as a program written today sees it: parameters, the query's
// fields, the form (url-encoded or multipart), uploaded files and cookies,
// all owned by the Request and checked against Limits. Every view a
// Request hands out lives as long as the Request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "web/cookies.h"
#include "web/errors.h"
#include "web/form.h"
#include "web/limits.h"
#include "web/upload.h"

namespace cgiecho::web {

// CONTENT_LENGTH: absent or empty is no body (length 0, returns ok); digits
// only give the length; more than 64 bits is errc::body_too_large; anything
// else errc::bad_content_length.
errc content_length(bool set, std::string_view value, std::uint64_t& length) noexcept;

class Request {
 public:
  // The request in hand through the platform seam: the CGI environment and
  // standard input, or under serve() the FastCGI request's parameters and
  // input. The body (CONTENT_LENGTH bytes) is read and parsed by its
  // Content-Type: url-encoded and multipart forms; any other body is kept
  // as it is. A multipart body streams: a file part over limits.memory
  // goes to a private temp file. On an error `out` is left empty.
  [[nodiscard]] static errc from_current(const Limits& limits, Request& out) noexcept;
  // The same from explicit variables and body, for tests and programs that
  // get requests another way. CONTENT_LENGTH, if among the variables, must
  // agree with the body (fewer bytes: errc::body_truncated).
  [[nodiscard]] static errc from_parts(Variables variables, std::string body, const Limits& limits,
                                       Request& out) noexcept;

  Request() noexcept;
  Request(Request&&) noexcept;
  Request& operator=(Request&&) noexcept;
  ~Request();

  // A variable's value, "" when unset; has() tells unset from empty.
  std::string_view get(std::string_view name) const noexcept;
  bool has(std::string_view name) const noexcept;
  const Variables& variables() const noexcept;

  std::string_view method() const noexcept;        // REQUEST_METHOD
  std::string_view query() const noexcept;         // QUERY_STRING, raw
  std::string_view content_type() const noexcept;  // CONTENT_TYPE
  // The body as read, unless it was a multipart form (which streams).
  std::string_view body() const noexcept;
  std::uint64_t body_size() const noexcept;

  const std::vector<Field>& args() const noexcept;  // the query's fields
  const std::vector<Field>& form() const noexcept;  // a url-encoded body's fields, or the text parts
  const std::vector<Cookie>& cookies() const noexcept;
  const std::vector<UploadedFile>& files() const noexcept;

  // The first query field / form field / cookie / file of that name; null
  // when there is none.
  const Field* arg(std::string_view name) const noexcept;
  const Field* field(std::string_view name) const noexcept;
  const Cookie* cookie(std::string_view name) const noexcept;
  const UploadedFile* file(std::string_view name) const noexcept;

 private:
  struct Data;
  std::unique_ptr<Data> data_;
};

}  // namespace cgiecho::web
