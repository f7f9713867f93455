#include "inspect/inspect.h"

#include <algorithm>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cgiecho/web/cookies.h>
#include <cgiecho/web/errors.h>
#include <cgiecho/web/form.h>
#include <cgiecho/web/limits.h>
#include <cgiecho/web/response.h>

#include "inspect/body.h"
#include "inspect/headers.h"
#include "inspect/sha256.h"
#include "inspect/text.h"
#include "web/multipart.h"
#include "web/reading.h"

namespace cgiecho::inspect {
namespace {

using web::errc;

// A multipart body hashes each file's bytes a second time, beside the hash
// of the whole body: from this size on the parser and the files' hashes run
// on a second thread while the body is read and hashed. Below it, starting
// the thread costs about what it saves.
constexpr std::uint64_t kSecondThreadFrom = std::uint64_t{1} << 20;

// Room taken ahead for a url-encoded body: an announced length is only a
// promise.
constexpr std::uint64_t kReserveAtMost = std::uint64_t{16} << 20;

constexpr std::string_view kLimitPrefix = "CGIECHO_";

std::string_view value_of(const platform::Variables& variables, std::string_view name) {
  return web::variable_value(variables, name);
}

// A text part's name and value lie one after the other in Parts::text:
// one allocation holds every text part, however many a form has.
struct TextPart {
  std::size_t name_size = 0;
  std::size_t value_size = 0;
};

struct FilePart {
  std::string name;
  std::string filename;
  bool has_content_type = false;
  std::string content_type;
  std::uint64_t size = 0;
  char sha256[Sha256::kHexSize] = {};
};

// Text parts are kept (the parser keeps them within the form-data limit);
// a file part's bytes are only counted and hashed as they pass, so a file
// of any size takes no memory and no temp file.
class Parts final : public web::PartHandler {
 public:
  errc part_begin(const web::PartHead& head) noexcept override {
    in_file_ = head.is_file;
    try {
      if (head.is_file) {
        FilePart& f = files.emplace_back();
        f.name = head.name;
        f.filename = head.filename;
        f.has_content_type = head.has_content_type;
        f.content_type = head.content_type;
        hash_.emplace();
      } else {
        texts.push_back({head.name.size(), 0});
        text.append(head.name);
      }
    } catch (const std::bad_alloc&) {
      return errc::out_of_memory;
    }
    return errc::ok;
  }

  errc part_data(std::string_view bytes) noexcept override {
    if (in_file_) {
      hash_->update(bytes);
      files.back().size += bytes.size();
      return errc::ok;
    }
    try {
      text.append(bytes);
    } catch (const std::bad_alloc&) {
      return errc::out_of_memory;
    }
    texts.back().value_size += bytes.size();
    return errc::ok;
  }

  errc part_end() noexcept override {
    if (!in_file_) return errc::ok;
    const bool hashed = hash_->finish(files.back().sha256);
    hash_.reset();
    return hashed ? errc::ok : errc::out_of_memory;
  }

  std::vector<TextPart> texts;
  std::string text;  // the text parts' names and values, in order
  std::vector<FilePart> files;

 private:
  std::optional<Sha256> hash_;
  bool in_file_ = false;
};

using web::BodyKind;

// Everything the report shows. Views point into the request's variables.
struct Report {
  std::string_view method;
  std::string_view query;
  web::RequestHead head;  // the query's fields, the cookies, the body's kind
  std::string form_body;  // a url-encoded body, which its fields point into
  std::vector<web::Field> form;
  Parts parts;
  std::uint64_t body_size = 0;
  char body_sha256[Sha256::kHexSize] = {};
};

// A body whose parser is not needed: counted and hashed.
errc read_other(BodyReader& body, Report& r) {
  const errc e = body.read(false, [](std::string_view) { return errc::ok; });
  r.body_size = body.size();
  if (e != errc::ok) return e;
  if (const errc end = body.end_error(); end != errc::ok) return end;
  return body.finish(r.body_sha256) ? errc::ok : errc::out_of_memory;
}

errc read_urlencoded(BodyReader& body, const web::Limits& limits, Report& r) {
  // Room for the whole body at once, within the form-data limit checked
  // before; a longer announced body grows the room as it arrives.
  r.form_body.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(r.head.length, kReserveAtMost)));
  const errc e = body.read(false, [&r](std::string_view piece) {
    r.form_body.append(piece);
    return errc::ok;
  });
  r.body_size = body.size();
  if (e != errc::ok) return e;
  if (const errc end = body.end_error(); end != errc::ok) return end;
  if (!body.finish(r.body_sha256)) return errc::out_of_memory;
  return web::take(web::parse_urlencoded(r.form_body, limits.max_fields, errc::too_many_fields), r.form);
}

errc read_multipart(BodyReader& body, const web::Limits& limits, Report& r) {
  web::MultipartParser parser(r.head.boundary, limits, r.parts);
  errc e = body.read(r.head.length >= kSecondThreadFrom,
                     [&parser](std::string_view piece) { return parser.feed(piece); });
  r.body_size = body.size();
  if (e != errc::ok) return e;
  if ((e = body.end_error()) != errc::ok) return e;
  if ((e = parser.finish()) != errc::ok) return e;
  return body.finish(r.body_sha256) ? errc::ok : errc::out_of_memory;
}

// The request read as every program on the web layer reads it (see
// web::check_request), with the body hashed as it passes; a refusal is
// logged and its body read off as web::refuse does. On an error
// `bad_variable` names the limit variable at fault, if one is.
errc inspect(const platform::Variables& variables, const platform::Variables& own_limits, Report& r,
             std::string& bad_variable) {
  r.method = value_of(variables, "REQUEST_METHOD");
  r.query = value_of(variables, "QUERY_STRING");
  // A server's mistake outranks the client's: checked first. The body's
  // length is still read, to read the body off.
  web::result<web::Limits> set = web::limits_from(variables, own_limits, web::Limits{});
  const web::Limits limits = set.value_or(web::Limits{});
  errc e = web::check_request(variables, limits, 0, r.head);
  if (!set) {
    e = set.error().code();
    bad_variable = set.error().detail();
  }
  BodyReader body(r.head.length);
  if (e == errc::ok) {
    if (r.head.length == 0) {
      e = read_other(body, r);  // no body: no form either
    } else if (r.head.kind == BodyKind::urlencoded) {
      e = read_urlencoded(body, limits, r);
    } else if (r.head.kind == BodyKind::multipart) {
      e = read_multipart(body, limits, r);
    } else {
      e = read_other(body, r);
    }
  }
  if (e != errc::ok) web::refuse(e, variables, limits, body.input(), bad_variable);
  return e;
}

void append_pair(std::string_view name, std::string_view value, std::string& out) {
  out += '[';
  append_json_text(name, out);
  out += ',';
  append_json_text(value, out);
  out += ']';
}

// Url-encoded fields decoded, each name and value in turn through one
// scratch buffer, so that no field costs an allocation of its own.
void append_fields(const std::vector<web::Field>& fields, std::string& out) {
  std::string scratch;
  auto decoded = [&scratch](std::string_view raw) {
    if (scratch.size() < raw.size()) scratch.resize(raw.size());
    return std::string_view(scratch.data(), web::form_decode_to(raw, scratch.data()));
  };
  out += '[';
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    out += '[';
    append_json_text(decoded(fields[i].raw_name), out);
    out += ',';
    append_json_text(decoded(fields[i].raw_value), out);
    out += ']';
  }
  out += ']';
}

template <class Items, class Append>
void append_list(const Items& items, std::string& out, Append&& append_item) {
  out += '[';
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ',';
    first = false;
    append_item(item);
  }
  out += ']';
}

void append_digest(std::uint64_t size, const char* sha256, std::string& out) {
  out += "\"size\":";
  out += std::to_string(size);
  out += ",\"sha256\":\"";
  out.append(sha256, Sha256::kHexSize);
  out += '"';
}

// About the size of the report, so that its room is taken once: every
// name and value as it is, and room for the punctuation. Escapes and base64
// make it longer; the room then grows.
std::size_t report_size(const Report& r, const std::vector<Header>& headers) {
  constexpr std::size_t kFixed = 512, kPerItem = 8, kPerFile = 160;
  std::size_t size = kFixed + 2 * r.query.size() + r.form_body.size() + kPerItem * (r.head.args.size() + r.form.size()) +
                     r.parts.text.size() + kPerItem * r.parts.texts.size();
  for (const auto& c : r.head.cookies) size += c.name.size() + c.value.size() + kPerItem;
  for (const auto& f : r.parts.files) size += f.name.size() + f.filename.size() + f.content_type.size() + kPerFile;
  for (const auto& h : headers) size += h.first.size() + h.second.size() + kPerItem;
  return size;
}

// The report as one compact JSON object, members in a fixed order, then a
// line feed.
void append_report(const Report& r, const std::vector<Header>& headers, std::string& out) {
  out += "{\"method\":";
  append_json_text(r.method, out);
  out += ",\"query\":";
  append_json_text(r.query, out);
  out += ",\"args\":";
  append_fields(r.head.args, out);
  out += ",\"form\":";
  if (r.head.kind == BodyKind::multipart) {
    std::string_view rest = r.parts.text;
    append_list(r.parts.texts, out, [&](const TextPart& t) {
      append_pair(rest.substr(0, t.name_size), rest.substr(t.name_size, t.value_size), out);
      rest.remove_prefix(t.name_size + t.value_size);
    });
  } else {
    append_fields(r.form, out);
  }
  out += ",\"cookies\":";
  append_list(r.head.cookies, out, [&](const web::Cookie& c) { append_pair(c.name, c.value, out); });
  out += ",\"files\":";
  append_list(r.parts.files, out, [&](const FilePart& f) {
    out += "{\"name\":";
    append_json_text(f.name, out);
    out += ",\"filename\":";
    append_json_text(f.filename, out);
    out += ",\"content_type\":";
    if (f.has_content_type) {
      append_json_text(f.content_type, out);
    } else {
      out += "null";
    }
    out += ',';
    append_digest(f.size, f.sha256, out);
    out += '}';
  });
  out += ",\"headers\":";
  append_list(headers, out, [&](const Header& h) { append_pair(h.first, h.second, out); });
  out += ",\"body\":{";
  append_digest(r.body_size, r.body_sha256, out);
  out += "}}\n";
}

// Every answer, errors included, reflects what a client sent: no cache
// keeps it, and no browser reads it as anything but JSON.
std::string head(int status) {
  // Constant values that each call accepts: none of them can fail.
  web::Response h;
  (void)h.status(status);
  (void)h.content_type("application/json", "utf-8");
  (void)h.header("Cache-Control", "no-store");
  (void)h.header("X-Content-Type-Options", "nosniff");
  return std::string(h.text());
}

// Every success has the same head: made once, not per request.
const std::string& success_head() {
  static const std::string h = head(200);
  return h;
}

std::string error_answer(errc e, std::string_view bad_variable, bool with_body) {
  std::string out = head(web::http_status(e));
  if (!with_body) return out;
  out += "{\"error\":";
  append_json_text(web::code_name(e), out);
  out += ",\"message\":";
  if (e == errc::invalid_limit && !bad_variable.empty()) {
    append_json_text(std::string(bad_variable) + " is not a plain decimal number", out);
  } else {
    append_json_text(web::message(e), out);
  }
  out += "}\n";
  return out;
}

}  // namespace

platform::Variables limit_variables(const platform::Variables& all) {
  platform::Variables limits;
  for (const auto& v : all)
    if (std::string_view(v.first).substr(0, kLimitPrefix.size()) == kLimitPrefix) limits.push_back(v);
  return limits;
}

void answer_request(const platform::Variables& own_limits) {
  try {
    const platform::Variables variables = platform::environment();
    // A HEAD request gets the header block alone; its status is that of the
    // same GET.
    const bool with_body = value_of(variables, "REQUEST_METHOD") != "HEAD";
    Report report;
    std::string bad_variable;
    const errc e = inspect(variables, own_limits, report, bad_variable);
    if (e != errc::ok) {
      platform::write_stdout(error_answer(e, bad_variable, with_body));
      return;
    }
    std::string out;
    if (with_body) {
      const std::vector<Header> headers = request_headers(variables);
      out.reserve(success_head().size() + report_size(report, headers));
      out += success_head();
      append_report(report, headers, out);
    } else {
      out = success_head();
    }
    platform::write_stdout(out);
  } catch (const std::exception&) {
    // Out of memory (std::bad_alloc, or std::length_error for a form larger
    // than a 32-bit process can hold).
    try {
      platform::write_stdout(error_answer(errc::out_of_memory, {}, true));
    } catch (const std::exception&) {
      // Not even the refusal fits: the server answers for the program.
    }
  }
}

}  // namespace cgiecho::inspect
