#include "web/request.h"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "platform/platform.h"
#include "web/form_collector.h"
#include "web/multipart.h"

namespace cgiecho::web {
namespace {

// The first read of a body gets this much room, and the room doubles as
// bytes arrive: a CONTENT_LENGTH that promises more than comes costs at
// most twice what came, never the whole promise.
constexpr std::size_t kFirstRoom = std::size_t{64} << 10;
// A multipart body larger than limits.memory is fed to the parser in
// pieces of this size as they are read.
constexpr std::size_t kStreamPiece = std::size_t{64} << 10;

const std::string* find_variable(const Variables& variables, std::string_view name) {
  for (const auto& [n, v] : variables)
    if (n == name) return &v;
  return nullptr;
}

std::string_view value_of(const Variables& variables, std::string_view name) {
  const std::string* v = find_variable(variables, name);
  return v != nullptr ? std::string_view(*v) : std::string_view();
}

// `length` bytes of standard input into `body`.
errc read_whole(std::uint64_t length, std::string& body) {
  if (length > std::numeric_limits<std::size_t>::max() / 2) return errc::out_of_memory;
  const auto n = static_cast<std::size_t>(length);
  std::size_t have = 0;
  body.resize(std::min(n, kFirstRoom));
  while (have < n) {
    if (have == body.size()) body.resize(std::min(n, body.size() * 2));
    const std::size_t got = platform::read_stdin(body.data() + have, body.size() - have);
    if (got == 0) return errc::body_truncated;
    have += got;
  }
  return errc::ok;
}

}  // namespace

errc content_length(bool set, std::string_view value, std::uint64_t& length) noexcept {
  if (!set || value.empty()) {
    length = 0;
    return errc::ok;
  }
  // Every byte is checked before the size counts: "99999999999999999999x"
  // is not a number at all.
  std::uint64_t n = 0;
  bool too_large = false;
  for (const char c : value) {
    if (c < '0' || c > '9') return errc::bad_content_length;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (n > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) too_large = true;
    n = n * 10 + digit;
  }
  if (too_large) return errc::body_too_large;
  length = n;
  return errc::ok;
}

struct Request::Data {
  Variables variables;
  std::string body;  // as read; for a multipart form the collector's stable bytes, when it was read whole
  std::uint64_t body_size = 0;
  bool multipart = false;
  std::vector<Field> args;
  std::vector<Field> form;
  std::vector<Cookie> cookies;
  std::unique_ptr<FormCollector> collector;  // a multipart form's fields and files

  // The parts of the request that the variables alone decide.
  errc parse_variables(const Limits& limits);
  // The body by its Content-Type: from standard input when `from_stdin`,
  // else `body` holds it already, `length` bytes.
  errc parse_body(const Limits& limits, std::uint64_t length, bool from_stdin);
  errc parse_multipart(const Limits& limits, std::uint64_t length, bool from_stdin);
};

errc Request::Data::parse_variables(const Limits& limits) {
  if (const errc e = parse_urlencoded(value_of(variables, "QUERY_STRING"), limits.max_fields,
                                      errc::too_many_query_fields, args);
      e != errc::ok)
    return e;
  return parse_cookies(value_of(variables, "HTTP_COOKIE"), limits.max_cookies, cookies);
}

errc Request::Data::parse_body(const Limits& limits, std::uint64_t length, bool from_stdin) {
  // Decided before a byte of the body is read.
  if (length > limits.max_body) return errc::body_too_large;
  body_size = length;
  // No body: no form either, whatever the type says.
  if (length == 0) return errc::ok;
  const std::string_view type = value_of(variables, "CONTENT_TYPE");
  if (media_type_is(type, "application/x-www-form-urlencoded")) {
    if (length > limits.max_form) return errc::body_too_large;
    if (from_stdin) {
      if (const errc e = read_whole(length, body); e != errc::ok) return e;
    }
    return parse_urlencoded(body, limits.max_fields, errc::too_many_fields, form);
  }
  if (media_type_is(type, "multipart/form-data")) return parse_multipart(limits, length, from_stdin);
  return from_stdin ? read_whole(length, body) : errc::ok;
}

errc Request::Data::parse_multipart(const Limits& limits, std::uint64_t length, bool from_stdin) {
  multipart = true;
  std::string_view boundary;
  if (const errc e = multipart_boundary(value_of(variables, "CONTENT_TYPE"), boundary); e != errc::ok) return e;
  if (!from_stdin || length <= limits.memory) {
    // Small enough to hold: read whole and parsed where it lies, so no part
    // is copied.
    if (from_stdin) {
      if (const errc e = read_whole(length, body); e != errc::ok) return e;
    }
    collector = std::make_unique<FormCollector>(limits, body);
    MultipartParser parser(boundary, limits, *collector);
    if (const errc e = parser.feed(body); e != errc::ok) return e;
    return parser.finish();
  }
  collector = std::make_unique<FormCollector>(limits, std::string_view());
  MultipartParser parser(boundary, limits, *collector);
  const std::unique_ptr<char[]> piece(new char[kStreamPiece]);
  for (std::uint64_t left = length; left != 0;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kStreamPiece));
    const std::size_t got = platform::read_stdin(piece.get(), want);
    if (got == 0) return errc::body_truncated;
    left -= got;
    if (const errc e = parser.feed(std::string_view(piece.get(), got)); e != errc::ok) return e;
  }
  return parser.finish();
}

namespace {

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

errc Request::from_current(const Limits& limits, Request& out) noexcept {
  out = Request();
  return without_exceptions([&] {
    auto data = std::make_unique<Data>();
    data->variables = platform::environment();
    if (const errc e = data->parse_variables(limits); e != errc::ok) return e;
    const std::string* cl = find_variable(data->variables, "CONTENT_LENGTH");
    std::uint64_t length = 0;
    if (const errc e = content_length(cl != nullptr, cl != nullptr ? *cl : std::string_view(), length); e != errc::ok)
      return e;
    if (const errc e = data->parse_body(limits, length, true); e != errc::ok) return e;
    out.data_ = std::move(data);
    return errc::ok;
  });
}

errc Request::from_parts(Variables variables, std::string body, const Limits& limits, Request& out) noexcept {
  out = Request();
  return without_exceptions([&] {
    auto data = std::make_unique<Data>();
    data->variables = std::move(variables);
    data->body = std::move(body);
    if (const errc e = data->parse_variables(limits); e != errc::ok) return e;
    // As a server hands it over: CONTENT_LENGTH bytes are the body, and
    // without it the body is what was given.
    std::uint64_t length = data->body.size();
    if (const std::string* cl = find_variable(data->variables, "CONTENT_LENGTH"); cl != nullptr) {
      if (const errc e = content_length(true, *cl, length); e != errc::ok) return e;
      if (length > limits.max_body) return errc::body_too_large;
      if (length > data->body.size()) return errc::body_truncated;
      data->body.resize(static_cast<std::size_t>(length));
    }
    if (const errc e = data->parse_body(limits, length, false); e != errc::ok) return e;
    out.data_ = std::move(data);
    return errc::ok;
  });
}

Request::Request() noexcept = default;
Request::Request(Request&&) noexcept = default;
Request& Request::operator=(Request&&) noexcept = default;
Request::~Request() = default;

std::string_view Request::get(std::string_view name) const noexcept {
  return data_ ? value_of(data_->variables, name) : std::string_view();
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

const std::vector<Field>& Request::args() const noexcept {
  static const std::vector<Field> kNone;
  return data_ ? data_->args : kNone;
}

const std::vector<Field>& Request::form() const noexcept {
  static const std::vector<Field> kNone;
  if (!data_) return kNone;
  return data_->collector ? data_->collector->fields() : data_->form;
}

const std::vector<Cookie>& Request::cookies() const noexcept {
  static const std::vector<Cookie> kNone;
  return data_ ? data_->cookies : kNone;
}

const std::vector<UploadedFile>& Request::files() const noexcept {
  static const std::vector<UploadedFile> kNone;
  return data_ && data_->collector ? data_->collector->files() : kNone;
}

const Field* Request::arg(std::string_view name) const noexcept { return find_field(args(), name); }
const Field* Request::field(std::string_view name) const noexcept { return find_field(form(), name); }

const Cookie* Request::cookie(std::string_view name) const noexcept {
  for (const Cookie& c : cookies())
    if (c.name == name) return &c;
  return nullptr;
}

const UploadedFile* Request::file(std::string_view name) const noexcept {
  for (const UploadedFile& f : files())
    if (f.name() == name) return &f;
  return nullptr;
}

}  // namespace cgiecho::web
