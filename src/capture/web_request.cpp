#include "capture/web_request.h"

#include <new>
#include <utility>

namespace cgiecho::capture {

web::errc request_from_capture(std::string_view file, const web::Limits& limits, web::Request& out,
                               ReadError* fault) noexcept {
  out = web::Request();
  try {
    Capture c;
    ReadError error;
    if (!read_capture(file, c, error)) {
      if (fault != nullptr) *fault = std::move(error);
      return web::errc::read_failed;
    }
    std::string body = c.body ? std::move(c.body->bytes) : std::string();
    return web::Request::from_parts(std::move(c.params), std::move(body), limits, out);
  } catch (const std::bad_alloc&) {
    return web::errc::out_of_memory;
  }
}

web::errc request_from_capture_file(const std::string& path, const web::Limits& limits, web::Request& out,
                                    ReadError* fault) noexcept {
  out = web::Request();
  try {
    std::string file;
    if (!read_file(path, file)) {
      if (fault != nullptr) *fault = ReadError{0, path + " cannot be read"};
      return web::errc::read_failed;
    }
    return request_from_capture(file, limits, out, fault);
  } catch (const std::bad_alloc&) {
    return web::errc::out_of_memory;
  }
}

}  // namespace cgiecho::capture
