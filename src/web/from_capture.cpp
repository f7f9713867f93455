#include <cgiecho/web/from_capture.h>

#include <new>
#include <utility>

namespace cgiecho::web {

errc request_from_capture(std::string_view file, const Limits& limits, Request& out,
                          capture::ReadError* fault) noexcept {
  out = Request();
  try {
    capture::Capture c;
    capture::ReadError error;
    if (!capture::read_capture(file, c, error)) {
      if (fault != nullptr) *fault = std::move(error);
      return errc::read_failed;
    }
    std::string body = c.body ? std::move(c.body->bytes) : std::string();
    return Request::from_parts(std::move(c.params), std::move(body), limits, out);
  } catch (const std::bad_alloc&) {
    return errc::out_of_memory;
  }
}

errc request_from_capture_file(const std::string& path, const Limits& limits, Request& out,
                               capture::ReadError* fault) noexcept {
  out = Request();
  try {
    std::string file;
    if (!capture::read_file(path, file)) {
      if (fault != nullptr) *fault = capture::ReadError{0, path + " cannot be read"};
      return errc::read_failed;
    }
    return request_from_capture(file, limits, out, fault);
  } catch (const std::bad_alloc&) {
    return errc::out_of_memory;
  }
}

}  // namespace cgiecho::web
