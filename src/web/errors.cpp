#include <cgiecho/web/errors.h>

#include <cstddef>
#include <utility>
#include <iterator>
#include <string>
#include <string_view>

#include "text/ascii.h"

namespace cgiecho::web {
namespace {

struct ErrorRow {
  errc e;
  std::string_view code;
  int status;
  std::string_view message;
};

// One row per errc, in the enum's order (checked below), so a lookup is an
// index. The query's field limit answers 414 but keeps the code of the
// body's: to a client both are "too many fields".
constexpr ErrorRow kErrors[] = {
    {errc::ok, "ok", 200, "The request was read."},
    {errc::bad_content_length, "bad_content_length", 400, "CONTENT_LENGTH is not a plain decimal number."},
    {errc::body_truncated, "body_truncated", 400, "The body ended before CONTENT_LENGTH bytes arrived."},
    {errc::malformed_multipart, "malformed_multipart", 400, "The multipart body breaks the multipart rules."},
    {errc::body_too_large, "body_too_large", 413, "The body or its form data is larger than the limit."},
    {errc::too_many_fields, "too_many_fields", 413, "The form has more fields than the limit."},
    {errc::too_many_query_fields, "too_many_fields", 414, "The query string has more fields than the limit."},
    {errc::too_many_parts, "too_many_parts", 413, "The multipart body has more parts than the limit."},
    {errc::too_many_files, "too_many_files", 413, "The multipart body has more files than the limit."},
    {errc::file_too_large, "file_too_large", 413, "A file part is larger than the limit."},
    {errc::part_header_too_large, "part_header_too_large", 413, "A part's header block is larger than the limit."},
    {errc::too_many_cookies, "too_many_cookies", 431, "The request has more cookies than the limit."},
    {errc::invalid_limit, "invalid_limit", 500, "A limit variable is not a plain decimal number."},
    {errc::out_of_memory, "out_of_memory", 500, "The server ran out of memory."},
    {errc::temp_file_failed, "temp_file_failed", 500, "A temporary file could not be created or written."},
    {errc::read_failed, "read_failed", 500, "The request body could not be read."},
    {errc::invalid_status, "invalid_status", 500, "The program gave a status outside 100 to 599."},
    {errc::invalid_header, "invalid_header", 500, "The program gave a header that would break the response."},
    {errc::invalid_cookie, "invalid_cookie", 500, "The program gave a cookie that would break the response."},
    {errc::invalid_redirect, "invalid_redirect", 500, "The program gave a redirect target that is not allowed."},
    {errc::head_already_sent, "head_already_sent", 500, "The response head was already sent."},
    {errc::keep_failed, "keep_failed", 500, "An uploaded file could not be kept."},
    {errc::write_failed, "write_failed", 500, "The response could not be written whole."},
    {errc::field_missing, "field_missing", 400, "A required field is missing."},
    {errc::field_not_a_number, "field_not_a_number", 400, "A field is not a number."},
    {errc::field_out_of_range, "field_out_of_range", 400, "A field is outside its range."},
    {errc::field_invalid, "field_invalid", 400, "A field's value is not accepted."},
};

constexpr bool rows_in_enum_order() {
  for (std::size_t i = 0; i < std::size(kErrors); ++i)
    if (static_cast<std::size_t>(kErrors[i].e) != i) return false;
  return true;
}
static_assert(rows_in_enum_order(), "kErrors must list every errc in declaration order");
static_assert(std::size(kErrors) == static_cast<std::size_t>(errc::field_invalid) + 1, "an errc has no row");

// A value cast from an integer outside the enum gets a row of its own
// rather than one past the table.
constexpr ErrorRow kUnknown = {errc::ok, "unknown_error", 500, "An unknown error occurred."};

const ErrorRow& row(errc e) {
  const auto i = static_cast<std::size_t>(e);
  return i < std::size(kErrors) ? kErrors[i] : kUnknown;
}

}  // namespace

std::string_view code_name(errc e) noexcept { return row(e).code; }
int http_status(errc e) noexcept { return row(e).status; }
std::string_view message(errc e) noexcept { return row(e).message; }

namespace {

class WebCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "cgiecho.web"; }
  std::string message(int value) const override { return std::string(web::message(static_cast<errc>(value))); }
  std::error_condition default_error_condition(int value) const noexcept override {
    switch (static_cast<errc>(value)) {
      case errc::out_of_memory:
        return std::errc::not_enough_memory;
      case errc::write_failed:
      case errc::read_failed:
      case errc::temp_file_failed:
        return std::errc::io_error;
      default:
        return {value, *this};
    }
  }
};

bool is_field_error(errc e) {
  return e == errc::field_missing || e == errc::field_not_a_number || e == errc::field_out_of_range ||
         e == errc::field_invalid;
}

}  // namespace

const std::error_category& web_category() noexcept {
  static const WebCategory category;
  return category;
}

std::error_code make_error_code(errc e) noexcept { return {static_cast<int>(e), web_category()}; }

error::error(errc code, std::string detail, std::optional<std::uint64_t> offset)
    : code_(code), detail_(std::move(detail)), offset_(offset) {}

error error::with_note(std::string note) const {
  error e = *this;
  e.note_ = std::move(note);
  return e;
}

namespace {
// A message that a page shows keeps a UTF-8 field name as the form has it;
// control bytes are still escaped, so that it stays one line.
constexpr text::Escaping kForPeople{false};
}  // namespace

std::string error::message() const {
  // A field's error reads as a form shows it: "age is out of range", or
  // the program's own sentence after the field's name.
  std::string line;
  if (is_field_error(code_) && !detail_.empty()) {
    text::append_printable(detail_, line, kForPeople);
    if (!note_.empty()) return line.append(": ").append(note_);
    switch (code_) {
      case errc::field_missing: return line.append(" is required");
      case errc::field_not_a_number: return line.append(" is not a number");
      case errc::field_out_of_range: return line.append(" is out of range");
      default: return line.append(" is not accepted");
    }
  }
  if (code_ == errc::invalid_limit && !detail_.empty()) {
    text::append_printable(detail_, line, kForPeople);
    return line.append(" is not a plain decimal number.");
  }
  line = web::message(code_);
  if (!detail_.empty() || offset_) {
    if (!line.empty() && line.back() == '.') line.pop_back();
    line += " (";
    text::append_printable(detail_, line, kForPeople);
    if (offset_) line += (detail_.empty() ? "at byte " : ", at byte ") + std::to_string(*offset_);
    line += ").";
  }
  if (system_) line += " " + system_.message();
  return line;
}

}  // namespace cgiecho::web
