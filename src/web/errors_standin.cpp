// Stand-in for the error names until the full error table is in the tree.
#include "web/errors.h"

namespace cgiecho::web {

std::string_view code_name(errc e) noexcept {
  switch (e) {
    case errc::ok: return "ok";
    case errc::bad_content_length: return "bad_content_length";
    case errc::body_truncated: return "body_truncated";
    case errc::malformed_multipart: return "malformed_multipart";
    case errc::body_too_large: return "body_too_large";
    case errc::too_many_fields: return "too_many_fields";
    case errc::too_many_query_fields: return "too_many_fields";
    case errc::too_many_parts: return "too_many_parts";
    case errc::too_many_files: return "too_many_files";
    case errc::file_too_large: return "file_too_large";
    case errc::part_header_too_large: return "part_header_too_large";
    case errc::too_many_cookies: return "too_many_cookies";
    case errc::invalid_limit: return "invalid_limit";
    case errc::out_of_memory: return "out_of_memory";
    case errc::temp_file_failed: return "temp_file_failed";
    case errc::read_failed: return "read_failed";
    case errc::invalid_status: return "invalid_status";
    case errc::invalid_header: return "invalid_header";
    case errc::invalid_cookie: return "invalid_cookie";
    case errc::invalid_redirect: return "invalid_redirect";
    case errc::head_already_sent: return "head_already_sent";
    case errc::keep_failed: return "keep_failed";
  }
  return "unknown";
}

}  // namespace cgiecho::web
