#include <cgiecho/web/from_capture.h>

#include <new>
#include <utility>

namespace cgiecho::web {

result<Request> request_from_capture(std::string_view file, const Limits& limits, capture::ReadError* fault) noexcept {
  try {
    capture::Capture c;
    capture::ReadError error;
    if (!capture::read_capture(file, c, error)) {
      if (fault != nullptr) *fault = std::move(error);
      return fail(errc::read_failed);
    }
    std::string body = c.body ? std::move(c.body->bytes) : std::string();
    return Request::from_parts(std::move(c.params), std::move(body), limits);
  } catch (const std::bad_alloc&) {
    return fail(errc::out_of_memory);
  }
}

result<Request> request_from_capture_file(const std::string& path, const Limits& limits,
                                          capture::ReadError* fault) noexcept {
  try {
    std::string file;
    if (!capture::read_file(path, file)) {
      if (fault != nullptr) *fault = capture::ReadError{0, path + " cannot be read"};
      return fail(errc::read_failed);
    }
    return request_from_capture(file, limits, fault);
  } catch (const std::bad_alloc&) {
    return fail(errc::out_of_memory);
  }
}

}  // namespace cgiecho::web
