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

#include <cgiecho/web/cookies.h>
#include <cgiecho/web/errors.h>
#include <cgiecho/web/form.h>
#include <cgiecho/web/limits.h>
#include <cgiecho/web/reading.h>
#include <cgiecho/web/upload.h>

namespace cgiecho::platform {
class TempFile;
}

namespace cgiecho::web {

// The body of a request that was not a form, wherever the Request holds
// it: in memory, or past limits.memory in a private temp file. A view of
// the Request that lives as long as it does; each stream keeps its own
// place, so any number may read at once.
class BodyStream {
 public:
  BodyStream() noexcept = default;  // an empty body

  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t position() const noexcept { return position_; }
  // Up to `count` bytes from where the last read ended (fewer only at the
  // end; `got` is 0 there). errc::temp_file_failed when the temp file
  // cannot be read; the place then stays where it was.
  errc read(char* buffer, std::size_t count, std::size_t& got) noexcept;
  // Back to the first byte.
  void rewind() noexcept { position_ = 0; }

 private:
  friend class Request;
  BodyStream(std::string_view memory, const platform::TempFile* file, std::uint64_t size) noexcept
      : memory_(memory), file_(file), size_(size) {}

  std::string_view memory_;
  const platform::TempFile* file_ = nullptr;  // when the body is in a temp file
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
};

class Request {
 public:
  // The request in hand through the platform seam: the CGI environment and
  // standard input, or under serve() the FastCGI request's parameters and
  // input, checked as check_request says before a byte of the body is
  // read. The body (CONTENT_LENGTH bytes) is read and parsed by its
  // Content-Type: url-encoded and multipart forms; any other body is kept
  // as it is, in memory up to limits.memory bytes and otherwise in a
  // private temp file. A multipart body streams: file data over
  // limits.memory, counted over every file of the request, goes to private
  // temp files. On an error `out` is left empty, the refusal is logged on
  // standard error and up to limits.read_off bytes of the body left are
  // read off (see refuse), so the program can answer at once.
  // For a request the program refuses without reading it (a setting of its
  // own that is wrong, say): logs the refusal as from_current does and
  // reads off up to limits.read_off of the body, so that servers that pass
  // an answer on only once the body is taken pass this one on too.
  // `bad_variable` names the variable of errc::invalid_limit.
  static void refuse_current(errc e, const Limits& limits, std::string_view bad_variable = {}) noexcept;
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
  // The body as read when it is held in memory: a url-encoded form, or a
  // body that was no form, up to limits.memory bytes. Empty for a
  // multipart form (which streams) and for a body held in a temp file.
  std::string_view body() const noexcept;
  // The bytes CONTENT_LENGTH announced, which all came.
  std::uint64_t body_size() const noexcept;
  // The same bytes as body(), or the temp file's, to read a piece at a time;
  // empty for a multipart form (its parts are in form() and files()).
  BodyStream body_stream() const noexcept;

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
