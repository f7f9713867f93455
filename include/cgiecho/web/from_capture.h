/// @file
/// The web layer's request made from a capture file: for tests, and for
/// debugging a program on a request that was captured, without a server.
/// The web layer reads captures; capture itself knows nothing of the web
/// layer, so that the shared library of the 52 routines does not carry it.
#pragma once

#include <string>
#include <string_view>

#include <cgiecho/web/request.h>

namespace cgiecho::web {

/// The captured variables and body handed to Request::from_parts, with
/// its result: the request, or what it breaks (a body the capture cut is
/// errc::body_truncated when CONTENT_LENGTH announced more). A file that is
/// not a whole capture is errc::read_failed, the fault in a few words as the
/// error's detail and its offset in the file as its offset.
[[nodiscard]] result<Request> request_from_capture(std::string_view file, const Limits& limits = {}) noexcept;

/// The same from the capture file at `path`; a file that cannot be read is
/// errc::read_failed with "PATH cannot be read" at offset 0.
[[nodiscard]] result<Request> request_from_capture_file(const std::string& path, const Limits& limits = {}) noexcept;

}  // namespace cgiecho::web
