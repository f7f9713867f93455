#include "web/reading.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <new>

#include <cgiecho/platform/platform.h>

#include "text/ascii.h"
#include "text/decimal.h"
#include "web/multipart.h"

namespace cgiecho::web {

errc content_length(bool set, std::string_view value, std::uint64_t& length) noexcept {
  if (!set || value.empty()) {
    length = 0;
    return errc::ok;
  }
  const text::Decimal number = text::parse_decimal(value);
  switch (number.outcome) {
    case text::Decimal::Outcome::number:
      length = number.value;
      return errc::ok;
    case text::Decimal::Outcome::too_large:
      return errc::body_too_large;
    default:
      return errc::bad_content_length;
  }
}

errc check_request(const Variables& variables, const Limits& limits, std::uint64_t absent_length,
                   RequestHead& out) noexcept {
  out.args.clear();
  out.cookies.clear();
  out.boundary = {};
  const std::string_view type = variable_value(variables, "CONTENT_TYPE");
  out.kind = media_type_is(type, "application/x-www-form-urlencoded") ? BodyKind::urlencoded
             : media_type_is(type, "multipart/form-data")            ? BodyKind::multipart
                                                                     : BodyKind::other;
  out.length = absent_length;
  if (const std::string* text = find_variable(variables, "CONTENT_LENGTH"); text != nullptr) {
    if (const errc e = content_length(true, *text, out.length); e != errc::ok) {
      // Not a number: nothing is known to read off. Too large for 64 bits:
      // more than any bound.
      out.length = e == errc::body_too_large ? std::numeric_limits<std::uint64_t>::max() : 0;
      return e;
    }
  }
  if (out.length > limits.max_body) return errc::body_too_large;
  if (out.length > 0) {
    if (out.kind == BodyKind::urlencoded && out.length > limits.max_form) return errc::body_too_large;
    if (out.kind == BodyKind::multipart) {
      if (const errc e = multipart_boundary(type, out.boundary); e != errc::ok) return e;
    }
  }
  if (const errc e = take(parse_cookies(variable_value(variables, "HTTP_COOKIE"), limits.max_cookies), out.cookies);
      e != errc::ok)
    return e;
  return take(parse_urlencoded(variable_value(variables, "QUERY_STRING"), limits.max_fields,
                               errc::too_many_query_fields),
              out.args);
}

std::size_t BodyInput::fill(char* room, std::size_t size) {
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, length_ - read_));
  std::size_t got = 0;
  while (got < want) {
    const platform::Read r = platform::read_input(room + got, want - got);
    if (r.size == 0) {
      failed_ = failed_ || r.failed;
      break;
    }
    got += r.size;
  }
  read_ += got;
  return got;
}

errc BodyInput::end_error() const noexcept {
  if (complete()) return errc::ok;
  return failed_ ? errc::read_failed : errc::body_truncated;
}

void BodyInput::read_off(std::uint64_t bound) noexcept {
  char sink[16384];
  const std::uint64_t stop = read_ + std::min(bound, length_ - read_);
  try {
    while (read_ < stop && !failed_) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(stop - read_, sizeof sink));
      if (fill(sink, want) == 0) return;
    }
  } catch (const std::exception&) {
    // Only a scripted platform throws here: the reading stops.
  }
}

namespace {

// The limit a refusal passed, if it is one.
std::uint64_t Limits::*passed_limit(errc e, const Limits& limits, std::uint64_t length) {
  switch (e) {
    case errc::body_too_large:
      // Within max_body, it was the form data that was too large.
      return length > limits.max_body ? &Limits::max_body : &Limits::max_form;
    case errc::too_many_fields:
    case errc::too_many_query_fields:
      return &Limits::max_fields;
    case errc::too_many_parts:
      return &Limits::max_parts;
    case errc::too_many_files:
      return &Limits::max_files;
    case errc::file_too_large:
      return &Limits::max_file;
    case errc::part_header_too_large:
      return &Limits::max_part_header;
    case errc::too_many_cookies:
      return &Limits::max_cookies;
    default:
      return nullptr;
  }
}

}  // namespace

std::string refusal_message(errc e, const Variables& variables, const Limits& limits, std::uint64_t length,
                            std::string_view bad_variable) {
  std::string line = "refused a request to ";
  if (const std::string* script = find_variable(variables, "SCRIPT_NAME"); script != nullptr && !script->empty()) {
    line += *script;
  } else {
    line += "(no SCRIPT_NAME)";
  }
  line += ": ";
  if (std::uint64_t Limits::*limit = passed_limit(e, limits, length); limit != nullptr) {
    line += limit_variable(limit);
    line += " (";
    line += std::to_string(limits.*limit);
    line += ") passed";
  } else if (e == errc::invalid_limit && !bad_variable.empty()) {
    line += bad_variable;
    line += " is not a plain decimal number";
  } else {
    std::string_view text = message(e);
    if (!text.empty() && text.back() == '.') text.remove_suffix(1);
    line += text;
  }
  line += " (";
  line += std::to_string(http_status(e));
  line += ' ';
  line += code_name(e);
  line += ')';
  return line;
}

void refuse(errc e, const Variables& variables, const Limits& limits, BodyInput& input,
            std::string_view bad_variable) noexcept {
  try {
    // Under CGI, a standard error that is the answer's own pipe takes no
    // line: it would come before the answer's head and break it.
    if (platform::channel() != nullptr || !platform::stderr_is_answer())
      platform::say_on_stderr(refusal_message(e, variables, limits, input.length(), bad_variable));
  } catch (const std::bad_alloc&) {
    // No room for the line: the answer matters more.
  }
  input.read_off(limits.read_off);
}

}  // namespace cgiecho::web
