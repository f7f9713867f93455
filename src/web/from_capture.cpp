#include <cgiecho/web/from_capture.h>

#include <new>
#include <utility>

#include <cgiecho/capture/capture_file.h>

namespace cgiecho::web {

result<Request> request_from_capture(std::string_view file, const Limits& limits) noexcept {
  try {
    capture::Capture c;
    capture::ReadError fault;
    if (!capture::read_capture(file, c, fault)) return fail(error(errc::read_failed, std::move(fault.what), fault.offset));
    std::string body = c.body ? std::move(c.body->bytes) : std::string();
    return Request::from_parts(std::move(c.params), std::move(body), limits);
  } catch (const std::bad_alloc&) {
    return fail(errc::out_of_memory);
  }
}

result<Request> request_from_capture_file(const std::string& path, const Limits& limits) noexcept {
  try {
    std::string file;
    if (!capture::read_file(path, file)) return fail(error(errc::read_failed, path + " cannot be read", 0));
    return request_from_capture(file, limits);
  } catch (const std::bad_alloc&) {
    return fail(errc::out_of_memory);
  }
}

}  // namespace cgiecho::web
