// The multipart parser on any body, whole and cut into fuzz-chosen pieces,
// each checked against a plain reference parser written here from the
// rules alone: same error (for a malformed body the same rule) found at the
// same byte, and the same parts, however the body is cut.
//
// Input: byte 0 picks the boundary, byte 1 tightens limits (one bit each),
// byte 2 says how many cuts follow (0 to 7, two bytes each); the rest is
// the body. Or a capture file: its body, with the boundary it was sent with.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "web/multipart.h"

#include "capture_seed.h"
#include "support/multipart_record.h"

namespace {

namespace web = cgiecho::web;
using web::errc;

using cgiecho::test::Rec;

// ---- The reference: positions in the whole body, one rule at a time ------

bool tchar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}
bool ws(char c) { return c == ' ' || c == '\t'; }
std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}
std::string_view trim(std::string_view s) {
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}

enum class Kind { none, opens, closes, overpadded, cut };
struct Delim {
  Kind kind = Kind::none;
  std::size_t at = 0;   // where "--" starts
  std::size_t end = 0;  // after its CRLF
};

// What stands at `i`, a place right after a CRLF (or taken as one).
Delim classify(std::string_view body, std::string_view dash, std::size_t i) {
  const std::size_t n = body.size();
  Delim d{Kind::none, i, 0};
  const std::string_view rest = body.substr(i);
  if (rest.size() < dash.size()) {
    if (dash.substr(0, rest.size()) == rest) d.kind = Kind::cut;
    return d;
  }
  if (rest.substr(0, dash.size()) != dash) return d;
  std::size_t j = i + dash.size();
  if (j == n) return d.kind = Kind::cut, d;
  if (body[j] == '-') {
    if (j + 1 == n) d.kind = Kind::cut;
    else if (body[j + 1] == '-') d.kind = Kind::closes;
    return d;
  }
  std::size_t k = j;
  while (k < n && ws(body[k])) ++k;
  if (k - j > web::kMaxDelimiterPadding) return d.kind = Kind::overpadded, d;
  if (k == n) return d.kind = Kind::cut, d;
  if (body[k] != '\r') return d;
  if (k + 1 == n) return d.kind = Kind::cut, d;
  if (body[k + 1] != '\n') return d;
  d.kind = Kind::opens;
  d.end = k + 2;
  return d;
}

// The first delimiter at `from` (taken as after a CRLF) or after any CRLF
// from there on.
Delim next_delimiter(std::string_view body, std::string_view dash, std::size_t from) {
  Delim d = classify(body, dash, from);
  if (d.kind != Kind::none) return d;
  for (std::size_t p = body.find("\r\n", from); p != std::string_view::npos; p = body.find("\r\n", p + 1)) {
    d = classify(body, dash, p + 2);
    if (d.kind != Kind::none) return d;
  }
  return Delim{};
}

struct Head {
  bool disposition = false, has_name = false, is_file = false, has_type = false;
  std::string name, filename, type;
};

// A rule broken, and where: in the text being read, then in the body.
struct Broken {
  const char* rule = nullptr;  // null: no rule broken
  std::uint64_t at = 0;
};

// The parameters after "form-data": their syntax first, then the first
// name sent a second time (compared without case).
Broken disposition(std::string_view v, Head& h) {
  std::size_t i = 0;
  while (i < v.size() && tchar(v[i])) ++i;
  std::size_t j = i;
  while (j < v.size() && ws(v[j])) ++j;
  if (lower(v.substr(0, i)) != "form-data" || (j < v.size() && v[j] != ';'))
    return {"Content-Disposition is not form-data", 0};
  std::vector<std::pair<std::string, std::size_t>> names;
  bool quoted = false;
  for (;;) {
    while (i < v.size() && ws(v[i])) ++i;
    if (i == v.size()) break;
    if (v[i] != ';') return {quoted ? "bytes after a closing quote" : "an unquoted value that is not a token", i};
    ++i;
    while (i < v.size() && ws(v[i])) ++i;
    if (i == v.size()) break;
    const std::size_t name_at = i;
    while (i < v.size() && tchar(v[i])) ++i;
    const std::string name = lower(v.substr(name_at, i - name_at));
    if (name.empty()) return {"a parameter without a name", i};
    while (i < v.size() && ws(v[i])) ++i;
    if (i == v.size() || v[i] != '=') return {"a parameter without a value", i};
    ++i;
    while (i < v.size() && ws(v[i])) ++i;
    std::string value;
    quoted = i < v.size() && v[i] == '"';
    if (quoted) {
      const std::size_t close = v.find('"', i + 1);
      if (close == std::string_view::npos) return {"a quote that never closes", i};
      value = v.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      const std::size_t at = i;
      while (i < v.size() && tchar(v[i])) ++i;
      if (i == at)
        return {i == v.size() || v[i] == ';' ? "a parameter without a value" : "an unquoted value that is not a token",
                i};
      value = v.substr(at, i - at);
    }
    names.emplace_back(name, name_at);
    if (name == "name") h.has_name = true, h.name = value;
    if (name == "filename") h.is_file = true, h.filename = value;
  }
  std::set<std::string> seen;
  for (const auto& [name, at] : names)
    if (!seen.insert(name).second) return {"a parameter named twice", at};
  return {};
}

Broken header_line(std::string_view line, std::string_view dash, Head& h) {
  if (ws(line[0])) return {"a header line is folded", 0};
  if (line.substr(0, dash.size()) == dash) {
    const std::string_view rest = line.substr(dash.size());
    if (rest.substr(0, 2) == "--" || trim(rest).empty()) return {"a delimiter before the header block ends", 0};
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return {"a part's header line has no colon", 0};
  for (std::size_t i = 0; i < colon; ++i)
    if (!tchar(line[i])) return {"a part's header name is not a token", i};
  if (colon == 0) return {"a part's header name is not a token", 0};
  const std::string name = lower(line.substr(0, colon));
  const std::string_view value = trim(line.substr(colon + 1));
  if (name == "content-disposition") {
    if (h.disposition) return {"Content-Disposition given twice", 0};
    h.disposition = true;
    Broken b = disposition(value, h);
    b.at += static_cast<std::size_t>(value.data() - line.data());
    return b;
  }
  if (name == "content-type") {
    if (h.has_type) return {"Content-Type given twice", 0};
    h.has_type = true;
    h.type = value;
  }
  return {};
}

// The error, and where in the body it is found: for a malformed body with
// the rule broken.
errc reference(std::string_view body, std::string_view boundary, const web::Limits& limits, std::vector<Rec>& out,
               Broken& where) {
  const std::string dash = "--" + std::string(boundary);
  const std::size_t n = body.size();
  // Offsets past a limit are counted in 64 bits, as the parser counts them.
  const auto fail = [&](errc e, std::uint64_t at, const char* rule = nullptr) {
    where = {rule, at};
    return e;
  };
  const auto malformed = [&](const char* rule, std::uint64_t at) { return fail(errc::malformed_multipart, at, rule); };
  // A boundary no delimiter can be made of (a recorded request's may be
  // anything) refuses every body at its first byte.
  if (boundary.empty() || boundary.size() > 70 || boundary.find_first_of("\r\n") != std::string_view::npos)
    return malformed("the boundary is missing or malformed", 0);
  const char* const no_close = "the closing delimiter never came";
  std::uint64_t parts = 0, files = 0, form = 0;
  Delim d = next_delimiter(body, dash, 0);
  for (;;) {
    if (d.kind == Kind::overpadded)  // found at the blank one too many
      return malformed("a delimiter padded past 128 blanks", d.at + dash.size() + web::kMaxDelimiterPadding);
    if (d.kind != Kind::opens && d.kind != Kind::closes) return malformed(no_close, n);
    if (d.kind == Kind::closes) return errc::ok;
    if (++parts > limits.max_parts) return fail(errc::too_many_parts, d.end);
    // The header block, line by line; each byte counts before it is judged.
    const std::size_t block = d.end;
    const auto over = [&](std::size_t upto) { return upto - block > limits.max_part_header; };
    const auto too_large = [&] { return fail(errc::part_header_too_large, block + limits.max_part_header); };
    Head h;
    std::size_t line = block;
    std::size_t data_from = 0;
    std::size_t empty_line = 0;
    for (;;) {
      const std::size_t q = body.find_first_of("\r\n", line);
      if (q == std::string_view::npos) return over(n) ? too_large() : malformed(no_close, n);
      if (body[q] == '\n') return over(q + 1) ? too_large() : malformed("a bare LF in a header block", q);
      if (q + 1 == n) return over(q + 1) ? too_large() : malformed(no_close, n);
      if (over(q + 2)) return too_large();
      if (body[q + 1] != '\n') return malformed("a bare CR in a header block", q);
      if (q == line) {
        empty_line = q;
        data_from = q + 2;
        break;
      }
      if (const Broken b = header_line(body.substr(line, q - line), dash, h); b.rule != nullptr)
        return malformed(b.rule, line + b.at);
      line = q + 2;
    }
    if (!h.disposition) return malformed("a part without Content-Disposition", empty_line);
    if (!h.has_name) return malformed("a part without a name", empty_line);
    if (h.is_file && ++files > limits.max_files) return fail(errc::too_many_files, empty_line);
    d = next_delimiter(body, dash, data_from);
    const bool found = d.kind == Kind::opens || d.kind == Kind::closes || d.kind == Kind::overpadded;
    const std::size_t data_end = !found ? n : d.at == data_from ? data_from : d.at - 2;
    const std::string_view data = body.substr(data_from, data_end - data_from);
    if (h.is_file && data.size() > limits.max_file) return fail(errc::file_too_large, data_from + limits.max_file);
    if (!h.is_file && form + data.size() > limits.max_form)
      return fail(errc::body_too_large, data_from + (limits.max_form - form));
    if (!h.is_file) form += data.size();
    out.push_back(Rec{h.name, h.is_file, h.filename, h.has_type, h.type, std::string(data)});
  }
}

// ---- The parser under test -------------------------------------------------

class Recorder final : public web::PartHandler {
 public:
  errc part_begin(const web::PartHead& h) noexcept override {
    parts.push_back(Rec{std::string(h.name), h.is_file, std::string(h.filename), h.has_content_type,
                        std::string(h.content_type), ""});
    return errc::ok;
  }
  errc part_data(std::string_view bytes) noexcept override {
    if (bytes.empty()) std::abort();
    parts.back().data.append(bytes);
    return errc::ok;
  }
  errc part_end() noexcept override { return errc::ok; }
  std::vector<Rec> parts;
};

// What the parser says of an error: the rule (a malformed body's only) and
// the byte where it was found.
struct Fault {
  std::string_view rule;
  std::uint64_t offset = 0;
  bool operator!=(const Fault& o) const { return rule != o.rule || offset != o.offset; }
};

errc streamed(std::string_view body, std::vector<std::size_t> cuts, std::string_view boundary,
              const web::Limits& limits, std::vector<Rec>& out, Fault& fault) {
  Recorder r;
  web::MultipartParser parser(boundary, limits, r);
  cuts.push_back(body.size());
  std::size_t at = 0;
  errc e = errc::ok;
  for (std::size_t end : cuts) {
    const std::string piece(body.substr(at, end - at));  // gone after feed: no view may outlive it
    if (e == errc::ok) e = parser.feed(piece);
    if (parser.held() > 4 + boundary.size() + web::kMaxDelimiterPadding + 1) std::abort();
    at = end;
  }
  if (e == errc::ok) e = parser.finish();
  if (e == errc::ok) out = r.parts;
  fault = {parser.broken_rule(), parser.error_offset()};
  // A malformed body names its rule, and no other error has one; the byte
  // lies within the body.
  if ((e == errc::malformed_multipart) == fault.rule.empty()) std::abort();
  if (e != errc::ok && fault.offset > body.size()) std::abort();
  return e;
}

const std::string_view kBoundaries[] = {
    "XyZ", "b", "----WebKitFormBoundary7MA4YWxkTrZu0gW", "a b:c", "-", "--",
    "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz",  // 70
    "form-data",
};

void check(std::string_view body, std::string_view boundary, const web::Limits& limits,
           const std::vector<std::size_t>& cuts) {
  std::vector<Rec> want;
  Broken where;
  const errc want_error = reference(body, boundary, limits, want, where);

  // Whole: views into the body, `out` untouched on an error.
  std::vector<web::Part> parts(1);
  const errc whole_error = web::parse_multipart(body, boundary, limits, parts);
  if (whole_error != want_error) std::abort();
  if (whole_error != errc::ok) {
    if (parts.size() != 1) std::abort();
  } else {
    if (parts.size() != want.size() + 1) std::abort();
    for (std::size_t i = 0; i < want.size(); ++i) {
      const web::Part& p = parts[i + 1];
      for (std::string_view v : {p.name, p.filename, p.content_type, p.data}) {
        if (v.empty()) continue;
        if (v.data() < body.data() || v.data() + v.size() > body.data() + body.size()) std::abort();
      }
      const Rec got{std::string(p.name), p.is_file, std::string(p.filename), p.has_content_type,
                    std::string(p.content_type), std::string(p.data)};
      if (!(got == want[i])) std::abort();
    }
  }

  // In one piece, in the fuzz-chosen pieces, and byte by byte while that
  // stays cheap: the same error, found at the same byte.
  std::vector<Rec> got;
  Fault one, cut;
  if (streamed(body, {}, boundary, limits, got, one) != want_error) std::abort();
  const std::string_view want_rule = where.rule != nullptr ? std::string_view(where.rule) : std::string_view();
  if (want_error != errc::ok && (one.offset != where.at || one.rule != want_rule)) std::abort();
  got.clear();
  if (streamed(body, cuts, boundary, limits, got, cut) != want_error || (want_error == errc::ok && got != want))
    std::abort();
  if (want_error != errc::ok && cut != one) std::abort();
  if (body.size() <= 512) {
    std::vector<std::size_t> every;
    for (std::size_t i = 1; i < body.size(); ++i) every.push_back(i);
    got.clear();
    if (streamed(body, every, boundary, limits, got, cut) != want_error || (want_error == errc::ok && got != want))
      std::abort();
    if (want_error != errc::ok && cut != one) std::abort();
  }
}

// The boundary parameter of a recorded request's Content-Type, as a
// browser writes it (a token, no quotes); "" when there is none.
std::string_view boundary_of(std::string_view content_type) {
  const std::size_t at = content_type.find("boundary=");
  if (at == std::string_view::npos) return {};
  const std::string_view rest = content_type.substr(at + 9);
  return rest.substr(0, rest.find(';'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A recorded request: its body with its own boundary, whole and in three.
  cgiecho::capture::Capture seed;
  if (read_capture_seed(data, size, seed)) {
    const std::string_view boundary = boundary_of(param_of(seed, "CONTENT_TYPE"));
    if (seed.body && !boundary.empty()) {
      const std::string_view body = seed.body->bytes;
      check(body, boundary, web::Limits{}, {body.size() / 3, body.size() * 2 / 3});
    }
    return 0;
  }
  if (size < 3) return 0;
  const std::string_view boundary = kBoundaries[data[0] % (sizeof kBoundaries / sizeof kBoundaries[0])];
  web::Limits limits;
  const std::uint8_t tight = data[1];
  if (tight & 1) limits.max_parts = 3;
  if (tight & 2) limits.max_files = 1;
  if (tight & 4) limits.max_file = 16;
  if (tight & 8) limits.max_part_header = 64;
  if (tight & 16) limits.max_form = 8;
  if (tight & 32) limits.max_parts = 0;
  const std::size_t ncuts = data[2] % 8;
  if (size < 3 + 2 * ncuts) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + 3 + 2 * ncuts, size - 3 - 2 * ncuts);
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < ncuts; ++i)
    cuts.push_back((data[3 + 2 * i] | (std::size_t{data[4 + 2 * i]} << 8)) % (body.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  check(body, boundary, limits, cuts);
  return 0;
}
