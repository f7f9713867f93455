// What went wrong with a request, as a value: the web layer never throws on
// the request path. Each error has a stable code (the text programs and the
// inspector print), the HTTP status a program answers with, and a message.
#pragma once

#include <string_view>

namespace cgiecho::web {

enum class errc {
  ok,
  // The client's request.
  bad_content_length,     // 400: CONTENT_LENGTH is not a plain decimal number
  body_truncated,         // 400: fewer body bytes than CONTENT_LENGTH
  malformed_multipart,    // 400: a multipart body that breaks its rules
  body_too_large,         // 413: the body, or the form data, over its limit
  too_many_fields,        // 413: fields of a url-encoded body
  too_many_query_fields,  // 414: fields of the query string (code "too_many_fields")
  too_many_parts,         // 413
  too_many_files,         // 413
  file_too_large,         // 413: one file part's data
  part_header_too_large,  // 413: one part's header block
  too_many_cookies,       // 431
  // The server's side.
  invalid_limit,     // 500: a limit variable that is not a plain decimal number
  out_of_memory,     // 500
  temp_file_failed,  // 500: a temp file could not be made or written
  read_failed,       // 500: the body could not be read (not the client's end)
  // A program's own mistakes while building a response or keeping a file.
  invalid_status,        // a status outside 100 to 599
  invalid_header,        // a header name that is not a token, or a value with CR, LF or NUL
  invalid_cookie,        // a cookie name, value or attribute that would break the header
  invalid_redirect,      // a redirect target without a scheme, or a local one not a path
  head_already_sent,     // the head goes out once
  keep_failed,           // an upload could not be moved or copied into place
  // The server's side again, added after the others so that no value moves.
  write_failed,  // 500: the response could not be written whole (the reader went away)
};

// "body_too_large", ...; "ok" for errc::ok.
std::string_view code_name(errc e) noexcept;
// The status a program answers with: 200 for ok, 400, 413, 414, 431 or 500.
int http_status(errc e) noexcept;
// One sentence for people, without the request's bytes in it.
std::string_view message(errc e) noexcept;

}  // namespace cgiecho::web
