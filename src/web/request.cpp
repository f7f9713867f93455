#include <cgiecho/web/request.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include <cgiecho/platform/platform.h>
#include <cgiecho/web/response.h>

#include "text/ascii.h"
#include "text/decimal.h"
#include "text/hex.h"
#include "text/variables.h"
#include "web/form_collector.h"
#include "web/multipart.h"
#include "web/multipart_rules.h"
#include "web/reading.h"

namespace cgiecho::web {
namespace {

// The first read of a body gets this much room, and the room doubles as
// bytes arrive: a CONTENT_LENGTH that promises more than comes costs at
// most twice what came, never the whole promise.
constexpr std::size_t kFirstRoom = std::size_t{64} << 10;
// A body that is not held whole is read in pieces of this size.
constexpr std::size_t kStreamPiece = std::size_t{64} << 10;

// The whole announced body into `body`.
errc read_whole(BodyInput& input, std::string& body) {
  if (input.length() > std::numeric_limits<std::size_t>::max() / 2) return errc::out_of_memory;
  const auto n = static_cast<std::size_t>(input.length());
  std::size_t have = 0;
  body.resize(std::min(n, kFirstRoom));
  while (have < n) {
    if (have == body.size()) body.resize(std::min(n, body.size() * 2));
    const std::size_t got = input.fill(body.data() + have, body.size() - have);
    if (got == 0) return input.end_error();
    have += got;
  }
  return errc::ok;
}

// No exception leaves a request: running out of memory is a value too.
template <class Build>
errc without_exceptions(Build&& build) noexcept {
  try {
    return build();
  } catch (const std::bad_alloc&) {
    return errc::out_of_memory;
  } catch (const std::length_error&) {
    return errc::out_of_memory;
  }
}

}  // namespace

result<std::size_t> BodyStream::read(char* buffer, std::size_t count) noexcept {
  std::size_t got = 0;
  if (position_ >= size_) return got;
  if (file_ != nullptr) {
    if (!file_->read_at(position_, buffer, count, got)) return fail(errc::temp_file_failed);
  } else {
    got = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - position_));
    if (got > 0) std::memcpy(buffer, memory_.data() + static_cast<std::size_t>(position_), got);
  }
  position_ += got;
  return got;
}

struct Request::Data {
  Variables variables;
  RequestHead head;  // the query's fields and the cookies, views into `variables`
  std::string body;  // as read; for a multipart form the collector's stable bytes, when it was read whole
  platform::TempFile body_file;  // a body that is no form, past limits.memory
  bool on_disk = false;
  std::uint64_t body_size = 0;
  bool multipart = false;
  std::vector<Field> form;
  std::unique_ptr<FormCollector> collector;  // a multipart form's fields and files

  // Where a malformed multipart body broke its rules (a Content-Type whose
  // boundary is unusable has a rule but no place in the body).
  std::string_view broken_rule;
  std::optional<std::uint64_t> broken_at;

  // The variables checked into `head`; a boundary refused is noted.
  errc check(const Limits& limits, std::uint64_t absent_length);
  // The body by its kind: from `input` when there is one, else `body`
  // holds it already, head.length bytes.
  errc parse_body(const Limits& limits, BodyInput* input);
  errc parse_multipart(const Limits& limits, BodyInput* input);
  errc noted(const MultipartParser& parser, errc e) noexcept;
  errc keep_other(const Limits& limits, BodyInput& input);
};

errc Request::Data::check(const Limits& limits, std::uint64_t absent_length) {
  const errc e = check_request(variables, limits, absent_length, head);
  // Only the boundary makes check_request call a request malformed.
  if (e == errc::malformed_multipart) broken_rule = unusable_boundary_rule();
  return e;
}

errc Request::Data::parse_body(const Limits& limits, BodyInput* input) {
  body_size = head.length;
  // No body: no form either, whatever the type says.
  if (head.length == 0) return errc::ok;
  switch (head.kind) {
    case BodyKind::urlencoded:
      if (input != nullptr) {
        if (const errc e = read_whole(*input, body); e != errc::ok) return e;
      }
      return take(parse_urlencoded(body, limits.max_fields, errc::too_many_fields), form);
    case BodyKind::multipart:
      return parse_multipart(limits, input);
    case BodyKind::other:
      break;
  }
  return input != nullptr ? keep_other(limits, *input) : errc::ok;
}

errc Request::Data::keep_other(const Limits& limits, BodyInput& input) {
  if (head.length <= limits.memory) return read_whole(input, body);
  // Held in a file, so that a large upload costs a piece of memory, not
  // its size.
  if (!body_file.create()) return errc::temp_file_failed;
  on_disk = true;
  const std::unique_ptr<char[]> piece(new char[kStreamPiece]);
  if (const errc e = input.read_all(piece.get(), kStreamPiece,
                                    [this](std::string_view bytes) {
                                      return body_file.write(bytes) ? errc::ok : errc::temp_file_failed;
                                    });
      e != errc::ok)
    return e;
  return input.end_error();
}

errc Request::Data::parse_multipart(const Limits& limits, BodyInput* input) {
  multipart = true;
  if (input == nullptr || head.length <= limits.memory) {
    // Small enough to hold: read whole and parsed where it lies, so no part
    // is copied.
    if (input != nullptr) {
      if (const errc e = read_whole(*input, body); e != errc::ok) return e;
    }
    collector = std::make_unique<FormCollector>(limits, body);
    MultipartParser parser(head.boundary, limits, *collector);
    errc e = parser.feed(body);
    if (e == errc::ok) e = parser.finish();
    return noted(parser, e);
  }
  collector = std::make_unique<FormCollector>(limits, std::string_view());
  MultipartParser parser(head.boundary, limits, *collector);
  const std::unique_ptr<char[]> piece(new char[kStreamPiece]);
  if (const errc e = input->read_all(piece.get(), kStreamPiece, [&parser](std::string_view bytes) { return parser.feed(bytes); });
      e != errc::ok)
    return noted(parser, e);
  if (const errc e = input->end_error(); e != errc::ok) return e;
  return noted(parser, parser.finish());
}

errc Request::Data::noted(const MultipartParser& parser, errc e) noexcept {
  if (e == errc::malformed_multipart) {
    broken_rule = parser.broken_rule();
    broken_at = parser.error_offset();
  }
  return e;
}

namespace {

// The error a request ends with, with what the body broke when it is known.
error request_error(errc e, std::string_view rule, std::optional<std::uint64_t> at) noexcept {
  if (e != errc::malformed_multipart || rule.empty()) return e;
  try {
    return error(e, std::string(rule), at);
  } catch (const std::bad_alloc&) {
    return e;
  }
}

// The server's limits over `limits`: the request's variables, else under
// FastCGI the responder's own environment.
result<Limits> server_limits(const Variables& variables, const Limits& limits) {
  const Variables fallback = platform::channel() != nullptr ? platform::process_environment() : Variables();
  return limits_from(variables, fallback, limits);
}

}  // namespace

void Request::refuse_current(const error& e, const Limits& limits) noexcept {
  Variables variables;
  RequestHead head;
  try {
    variables = platform::environment();
  } catch (const std::bad_alloc&) {
    // Without the variables nothing says how long the body is.
  }
  // Only the length counts here: the request is refused whatever else it
  // breaks.
  (void)check_request(variables, limits, 0, head);
  BodyInput input(head.length);
  refuse(e.code(), variables, limits, input, e.code() == errc::invalid_limit ? std::string_view(e.detail()) : "");
}

result<Request> Request::current() noexcept { return read(Limits{}, true); }

result<Request> Request::current(const Limits& limits) noexcept { return read(limits, false); }

result<Request> Request::current_with_defaults(const Limits& defaults) noexcept { return read(defaults, true); }

result<Request> Request::read(const Limits& given, bool server) noexcept {
  std::unique_ptr<Data> data;
  Limits limits = given;
  error limit_error;  // a limit variable at fault names itself here
  BodyInput input(0);
  const errc e = without_exceptions([&] {
    data = std::make_unique<Data>();
    data->variables = platform::environment();
    if (server) {
      result<Limits> set = server_limits(data->variables, limits);
      if (!set) {
        limit_error = std::move(set.error());
        return limit_error.code();
      }
      limits = *set;
    }
    const errc checked = data->check(limits, 0);
    input = BodyInput(data->head.length);
    return checked != errc::ok ? checked : data->parse_body(limits, &input);
  });
  if (e != errc::ok) {
    static const Variables kNone;
    if (e == errc::invalid_limit && data) {
      // The refusal still needs the length to read the body off.
      RequestHead head;
      (void)check_request(data->variables, limits, 0, head);
      input = BodyInput(head.length);
    }
    refuse(e, data ? data->variables : kNone, limits, input, limit_error.detail());
    if (e == limit_error.code()) return fail(std::move(limit_error));
    return fail(data ? request_error(e, data->broken_rule, data->broken_at) : error(e));
  }
  Request request;
  request.data_ = std::move(data);
  return request;
}

result<Request> Request::from_parts(Variables variables, std::string body, const Limits& limits) noexcept {
  std::unique_ptr<Data> data;
  const errc e = without_exceptions([&] {
    data = std::make_unique<Data>();
    data->variables = std::move(variables);
    data->body = std::move(body);
    // As a server hands it over: CONTENT_LENGTH bytes are the body, and
    // without it the body is what was given.
    if (const errc checked = data->check(limits, data->body.size()); checked != errc::ok) return checked;
    if (data->head.length > data->body.size()) return errc::body_truncated;
    data->body.resize(static_cast<std::size_t>(data->head.length));
    return data->parse_body(limits, nullptr);
  });
  if (e != errc::ok) return fail(data ? request_error(e, data->broken_rule, data->broken_at) : error(e));
  Request request;
  request.data_ = std::move(data);
  return request;
}

Request::Request() noexcept = default;
Request::Request(Request&&) noexcept = default;
Request& Request::operator=(Request&&) noexcept = default;
Request::~Request() = default;

std::string_view Request::get(std::string_view name) const noexcept {
  return data_ ? variable_value(data_->variables, name) : std::string_view();
}

bool Request::has(std::string_view name) const noexcept {
  return data_ && find_variable(data_->variables, name) != nullptr;
}

const Variables& Request::variables() const noexcept {
  static const Variables kNone;
  return data_ ? data_->variables : kNone;
}

std::string_view Request::method() const noexcept { return get("REQUEST_METHOD"); }
std::string_view Request::query() const noexcept { return get("QUERY_STRING"); }
std::string_view Request::content_type() const noexcept { return get("CONTENT_TYPE"); }

std::string_view Request::body() const noexcept {
  return data_ && !data_->multipart ? std::string_view(data_->body) : std::string_view();
}

std::uint64_t Request::body_size() const noexcept { return data_ ? data_->body_size : 0; }

BodyStream Request::body_stream() const noexcept {
  if (!data_ || data_->multipart) return BodyStream();
  if (data_->on_disk) return BodyStream({}, &data_->body_file, data_->body_file.size());
  return BodyStream(data_->body, nullptr, data_->body.size());
}

const std::vector<Field>& Request::raw_args() const noexcept {
  static const std::vector<Field> kNone;
  return data_ ? data_->head.args : kNone;
}

const std::vector<Field>& Request::raw_form() const noexcept {
  static const std::vector<Field> kNone;
  if (!data_) return kNone;
  return data_->collector ? data_->collector->fields() : data_->form;
}

const std::vector<Cookie>& Request::raw_cookies() const noexcept {
  static const std::vector<Cookie> kNone;
  return data_ ? data_->head.cookies : kNone;
}

const std::vector<UploadedFile>& Request::uploads() const noexcept {
  static const std::vector<UploadedFile> kNone;
  return data_ && data_->collector ? data_->collector->files() : kNone;
}

namespace {

// A field's decoded value; std::bad_alloc as the standard library throws it.
std::string decoded(const Field& f) {
  result<std::string> value = f.value();
  if (!value) throw std::bad_alloc();
  return std::move(*value);
}

std::optional<std::string> first_value(const std::vector<Field>& fields, std::string_view name) {
  const Field* f = find_field(fields, name);
  if (f == nullptr) return std::nullopt;
  return decoded(*f);
}

std::vector<std::string> every_value(const std::vector<Field>& fields, std::string_view name) {
  std::vector<std::string> values;
  for (const Field& f : fields)
    if (f.name_is(name)) values.push_back(decoded(f));
  return values;
}

error field_error(errc e, std::string_view name) { return error(e, std::string(name)); }

// A whole number: an optional sign and digits, nothing else.
errc parse_integer(std::string_view s, std::int64_t& out) {
  const bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  const text::Decimal d = text::parse_decimal(s);
  if (d.outcome == text::Decimal::Outcome::not_a_number) return errc::field_not_a_number;
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (d.outcome == text::Decimal::Outcome::too_large || d.value > kMax + (negative ? 1 : 0))
    return errc::field_out_of_range;
  if (!negative) out = static_cast<std::int64_t>(d.value);
  else out = d.value == kMax + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(d.value);
  return errc::ok;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// [sign] digits [. digits] [e [sign] digits], with a digit before or after
// the point: what a number input sends, and no more (no blanks, hex, inf,
// nan), so that no locale or library reading decides what passes.
bool is_decimal_number(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    std::size_t exponent = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return i == s.size();
}

// Whether a decimal number (as is_decimal_number passes it) is less than
// one in size: its first significant digit, with the exponent applied,
// lies after the point. "0.000...1" and "1e-400" are; "1e400" is not.
bool below_one(std::string_view s) {
  const std::size_t e = std::min(s.find_first_of("eE"), s.size());
  const std::string_view mantissa = s.substr(0, e);
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return true;  // zero
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  // The power of ten just above the number, before the exponent.
  std::int64_t power = first < point ? static_cast<std::int64_t>(point - first)
                                     : -static_cast<std::int64_t>(first - point - 1);
  if (e < s.size()) {
    std::string_view exponent = s.substr(e + 1);
    const bool negative = !exponent.empty() && exponent[0] == '-';
    if (!exponent.empty() && (exponent[0] == '-' || exponent[0] == '+')) exponent.remove_prefix(1);
    std::int64_t value = 0;
    constexpr std::int64_t kFar = 1'000'000'000;  // far past any double either way; it keeps the sum in range
    for (const char c : exponent) value = std::min(kFar, value * 10 + (c - '0'));
    power += negative ? -value : value;
  }
  return power <= 0;
}

// Names a request header may have: a token.
std::string header_variable(std::string_view name) {
  if (!text::is_token(name)) return {};
  if (text::equals_ignoring_case(name, "content-type")) return "CONTENT_TYPE";
  if (text::equals_ignoring_case(name, "content-length")) return "CONTENT_LENGTH";
  std::string variable = "HTTP_";
  for (const char c : name) variable.push_back(c == '-' ? '_' : text::to_upper(c));
  return variable;
}

// A path as a URL carries it: bytes a URL path may not hold as they are,
// and "%" (the path is decoded), as %XX.
std::string url_path(std::string_view path) {
  static constexpr text::ByteSet kPathBytes([](unsigned char c) {
    return text::is_alnum(c) ||
           std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) != std::string_view::npos;
  });
  return text::percent_encode(path, kPathBytes);
}

// SERVER_NAME as a URL's host: a name of letters, digits, "-", ".", "_"
// and "~", or an IPv6 address (hex digits, ":" and "."), put in brackets
// when it came without. "" for anything else, which would put bytes
// meant for the path, or another host, into the address: the variable
// may come from the client's Host header.
std::string url_host(std::string_view name) {
  const bool bracketed = name.size() > 2 && name.front() == '[' && name.back() == ']';
  const std::string_view inner = bracketed ? name.substr(1, name.size() - 2) : name;
  if (bracketed || inner.find(':') != std::string_view::npos) {
    if (inner.find(':') == std::string_view::npos) return {};
    for (const char c : inner)
      if (text::hex_value(c) < 0 && c != ':' && c != '.') return {};
    return "[" + std::string(inner) + "]";
  }
  for (const char c : name)
    if (!text::is_alnum(static_cast<unsigned char>(c)) && std::string_view("-._~").find(c) == std::string_view::npos)
      return {};
  return std::string(name);
}

}  // namespace

std::optional<std::string> Request::arg(std::string_view name) const { return first_value(raw_args(), name); }
std::vector<std::string> Request::args(std::string_view name) const { return every_value(raw_args(), name); }
std::optional<std::string> Request::field(std::string_view name) const { return first_value(raw_form(), name); }
std::vector<std::string> Request::fields(std::string_view name) const { return every_value(raw_form(), name); }

std::optional<std::string> Request::cookie(std::string_view name) const {
  for (const Cookie& c : raw_cookies())
    if (c.name == name) return cookie_decode(c.value);
  return std::nullopt;
}

const UploadedFile* Request::file(std::string_view name) const noexcept {
  for (const UploadedFile& f : uploads())
    if (f.name() == name) return &f;
  return nullptr;
}

std::vector<const UploadedFile*> Request::files(std::string_view name) const {
  std::vector<const UploadedFile*> found;
  for (const UploadedFile& f : uploads())
    if (f.name() == name) found.push_back(&f);
  return found;
}

result<std::string> Request::required_field(std::string_view name) const {
  std::optional<std::string> value = field(name);
  if (!value || value->empty()) return fail(field_error(errc::field_missing, name));
  return std::move(*value);
}

result<std::int64_t> Request::int_field(std::string_view name, std::int64_t min, std::int64_t max) const {
  const std::optional<std::string> value = field(name);
  if (!value || value->empty()) return fail(field_error(errc::field_missing, name));
  std::int64_t n = 0;
  if (const errc e = parse_integer(*value, n); e != errc::ok) return fail(field_error(e, name));
  if (n < min || n > max) return fail(field_error(errc::field_out_of_range, name));
  return n;
}

result<double> Request::number_field(std::string_view name, double min, double max) const {
  const std::optional<std::string> value = field(name);
  if (!value || value->empty()) return fail(field_error(errc::field_missing, name));
  if (!is_decimal_number(*value)) return fail(field_error(errc::field_not_a_number, name));
  std::string_view digits = *value;
  if (digits[0] == '+') digits.remove_prefix(1);
  double n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec == std::errc::result_out_of_range) {
    // Too small to tell from zero reads as zero; too large is out of range.
    if (!below_one(digits)) return fail(field_error(errc::field_out_of_range, name));
    n = 0;
  } else if (ec != std::errc() || end != digits.data() + digits.size()) {
    return fail(field_error(errc::field_not_a_number, name));
  }
  if (!(n >= min && n <= max)) return fail(field_error(errc::field_out_of_range, name));
  return n;
}

bool Request::checkbox(std::string_view name) const noexcept { return find_field(raw_form(), name) != nullptr; }

std::optional<std::string_view> Request::header(std::string_view name) const {
  const std::string variable = header_variable(name);
  if (variable.empty() || !has(variable)) return std::nullopt;
  return get(variable);
}

std::string_view Request::path_info() const noexcept { return get("PATH_INFO"); }
std::string_view Request::script_name() const noexcept { return get("SCRIPT_NAME"); }
std::string_view Request::remote_addr() const noexcept { return get("REMOTE_ADDR"); }
bool Request::is_head() const noexcept { return method() == "HEAD"; }

bool Request::is_https() const noexcept {
  return text::is_https(get("HTTPS"));
}

std::string Request::self_url() const {
  const bool https = is_https();
  const std::string host = url_host(get("SERVER_NAME"));
  const std::string_view port = get("SERVER_PORT");
  const std::string_view script = script_name();
  // No address rather than a wrong one: a redirect to "http://:8080/x"
  // leaves the browser nowhere, and the caller can tell "" apart.
  if (host.empty() || !text::is_url_port(port) || (!script.empty() && script.front() != '/')) return {};
  std::string url = https ? "https://" : "http://";
  url += host;
  if (!port.empty() && port != (https ? "443" : "80")) url.append(":").append(port);
  url += url_path(script);
  return url;
}

}  // namespace cgiecho::web
