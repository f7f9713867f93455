#include <cgiecho/web/request.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include <cgiecho/platform/platform.h>
#include <cgiecho/web/form_collector.h>
#include <cgiecho/web/multipart.h>

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

errc BodyStream::read(char* buffer, std::size_t count, std::size_t& got) noexcept {
  got = 0;
  if (position_ >= size_) return errc::ok;
  if (file_ != nullptr) {
    if (!file_->read_at(position_, buffer, count, got)) {
      got = 0;
      return errc::temp_file_failed;
    }
  } else {
    got = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - position_));
    if (got > 0) std::memcpy(buffer, memory_.data() + static_cast<std::size_t>(position_), got);
  }
  position_ += got;
  return errc::ok;
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

  // The body by its kind: from `input` when there is one, else `body`
  // holds it already, head.length bytes.
  errc parse_body(const Limits& limits, BodyInput* input);
  errc parse_multipart(const Limits& limits, BodyInput* input);
  errc keep_other(const Limits& limits, BodyInput& input);
};

errc Request::Data::parse_body(const Limits& limits, BodyInput* input) {
  body_size = head.length;
  // No body: no form either, whatever the type says.
  if (head.length == 0) return errc::ok;
  switch (head.kind) {
    case BodyKind::urlencoded:
      if (input != nullptr) {
        if (const errc e = read_whole(*input, body); e != errc::ok) return e;
      }
      return parse_urlencoded(body, limits.max_fields, errc::too_many_fields, form);
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
    if (const errc e = parser.feed(body); e != errc::ok) return e;
    return parser.finish();
  }
  collector = std::make_unique<FormCollector>(limits, std::string_view());
  MultipartParser parser(head.boundary, limits, *collector);
  const std::unique_ptr<char[]> piece(new char[kStreamPiece]);
  if (const errc e = input->read_all(piece.get(), kStreamPiece, [&parser](std::string_view bytes) { return parser.feed(bytes); });
      e != errc::ok)
    return e;
  if (const errc e = input->end_error(); e != errc::ok) return e;
  return parser.finish();
}

void Request::refuse_current(errc e, const Limits& limits, std::string_view bad_variable) noexcept {
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
  refuse(e, variables, limits, input, bad_variable);
}

errc Request::from_current(const Limits& limits, Request& out) noexcept {
  out = Request();
  std::unique_ptr<Data> data;
  BodyInput input(0);
  const errc e = without_exceptions([&] {
    data = std::make_unique<Data>();
    data->variables = platform::environment();
    const errc checked = check_request(data->variables, limits, 0, data->head);
    input = BodyInput(data->head.length);
    return checked != errc::ok ? checked : data->parse_body(limits, &input);
  });
  if (e != errc::ok) {
    static const Variables kNone;
    refuse(e, data ? data->variables : kNone, limits, input);
    return e;
  }
  out.data_ = std::move(data);
  return errc::ok;
}

errc Request::from_parts(Variables variables, std::string body, const Limits& limits, Request& out) noexcept {
  out = Request();
  return without_exceptions([&] {
    auto data = std::make_unique<Data>();
    data->variables = std::move(variables);
    data->body = std::move(body);
    // As a server hands it over: CONTENT_LENGTH bytes are the body, and
    // without it the body is what was given.
    if (const errc e = check_request(data->variables, limits, data->body.size(), data->head); e != errc::ok)
      return e;
    if (data->head.length > data->body.size()) return errc::body_truncated;
    data->body.resize(static_cast<std::size_t>(data->head.length));
    if (const errc e = data->parse_body(limits, nullptr); e != errc::ok) return e;
    out.data_ = std::move(data);
    return errc::ok;
  });
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

const std::vector<Field>& Request::args() const noexcept {
  static const std::vector<Field> kNone;
  return data_ ? data_->head.args : kNone;
}

const std::vector<Field>& Request::form() const noexcept {
  static const std::vector<Field> kNone;
  if (!data_) return kNone;
  return data_->collector ? data_->collector->fields() : data_->form;
}

const std::vector<Cookie>& Request::cookies() const noexcept {
  static const std::vector<Cookie> kNone;
  return data_ ? data_->head.cookies : kNone;
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
