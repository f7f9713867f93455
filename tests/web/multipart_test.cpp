#include "web/multipart.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/multipart_record.h"

namespace cgiecho::web {
// Failures name the error, not its number.
static void PrintTo(errc e, std::ostream* os) { *os << code_name(e); }
}  // namespace cgiecho::web

namespace cgiecho::test {
// Failures show a part's fields, not its bytes.
static std::ostream& operator<<(std::ostream& os, const Rec& r) {
  os << "{" << ::testing::PrintToString(r.name);
  if (r.is_file) os << " file " << ::testing::PrintToString(r.filename);
  if (r.has_type) os << " type " << ::testing::PrintToString(r.type);
  return os << " data " << ::testing::PrintToString(r.data) << "}";
}
}  // namespace cgiecho::test

namespace {

using namespace std::string_literals;
using cgiecho::web::errc;
using cgiecho::web::Limits;
using cgiecho::web::MultipartParser;
namespace web = cgiecho::web;

const std::string kB = "XyZ";

using cgiecho::test::Rec;

Rec text(std::string name, std::string data) { return Rec{std::move(name), false, "", false, "", std::move(data)}; }
Rec file(std::string name, std::string filename, std::string data) {
  return Rec{std::move(name), true, std::move(filename), false, "", std::move(data)};
}
Rec typed(Rec r, std::string type) {
  r.has_type = true;
  r.type = std::move(type);
  return r;
}

// What a parse gives: the error with the rule broken and where, and the
// parts only when there is none (after an error the parts handed out are
// thrown away).
struct Outcome {
  errc error = errc::ok;
  std::vector<Rec> parts;
  std::string rule;
  std::uint64_t offset = 0;
  bool operator==(const Outcome& o) const {
    return error == o.error && parts == o.parts && rule == o.rule && offset == o.offset;
  }
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << cgiecho::web::code_name(o.error);
  if (o.error != errc::ok) os << " (" << o.rule << ", at byte " << o.offset << ")";
  for (const auto& p : o.parts) os << " " << p;
  return os;
}

Outcome ok(std::vector<Rec> parts) { return Outcome{errc::ok, std::move(parts), "", 0}; }
Outcome fails(errc e, std::string rule, std::uint64_t offset) { return Outcome{e, {}, std::move(rule), offset}; }

// Records the parts, and notes any call out of order or an empty piece.
class Recorder final : public web::PartHandler {
 public:
  errc part_begin(const web::PartHead& h) noexcept override {
    if (open_) fault = true;
    open_ = true;
    parts.push_back(Rec{std::string(h.name), h.is_file, std::string(h.filename), h.has_content_type,
                        std::string(h.content_type), ""});
    return errc::ok;
  }
  errc part_data(std::string_view bytes) noexcept override {
    if (!open_ || bytes.empty()) fault = true;
    if (!parts.empty()) parts.back().data.append(bytes);
    return errc::ok;
  }
  errc part_end() noexcept override {
    if (!open_) fault = true;
    open_ = false;
    return errc::ok;
  }
  std::vector<Rec> parts;
  bool fault = false;

 private:
  bool open_ = false;
};

std::size_t held_bound(std::string_view boundary) { return 4 + boundary.size() + web::kMaxDelimiterPadding + 1; }

// Feeds the body cut at `cuts`, each piece in its own short-lived copy so
// that a view kept past feed shows up under the sanitizers.
Outcome streamed(std::string_view body, const std::vector<std::size_t>& cuts, const Limits& limits = {},
                 std::string_view boundary = kB) {
  Recorder r;
  MultipartParser parser(boundary, limits, r);
  errc e = errc::ok;
  std::size_t at = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(body.size());
  for (std::size_t end : ends) {
    const std::string piece(body.substr(at, end - at));
    if (e == errc::ok) e = parser.feed(piece);
    EXPECT_LE(parser.held(), held_bound(boundary));
    at = end;
  }
  if (e == errc::ok) e = parser.finish();
  EXPECT_FALSE(r.fault) << "handler calls out of order";
  if (e != errc::ok) return fails(e, std::string(parser.broken_rule()), parser.error_offset());
  return ok(r.parts);
}

// The whole body at once; its parts must be views into the body, and `out`
// must be untouched on an error.
Outcome whole(std::string_view body, const Limits& limits = {}, std::string_view boundary = kB) {
  std::vector<web::Part> out(1);
  out[0].name = "sentinel";
  const errc e = web::parse_multipart(body, boundary, limits, out);
  if (e != errc::ok) {
    EXPECT_EQ(out.size(), 1u);
    // The rule and where: from a parser fed the body in one piece.
    Outcome o = streamed(body, {}, limits, boundary);
    EXPECT_EQ(o.error, e);
    return o;
  }
  Outcome o;
  const std::less<const char*> before;
  for (std::size_t i = 1; i < out.size(); ++i) {
    const auto& p = out[i];
    for (std::string_view v : {p.name, p.filename, p.content_type, p.data}) {
      if (v.empty()) continue;
      EXPECT_TRUE(!before(v.data(), body.data()) && !before(body.data() + body.size(), v.data() + v.size()))
          << "a view outside the body";
    }
    o.parts.push_back(Rec{std::string(p.name), p.is_file, std::string(p.filename), p.has_content_type,
                          std::string(p.content_type), std::string(p.data)});
  }
  return o;
}

// The whole body, then the same cut in every place into two pieces, into
// three at spread-out places, and byte by byte: all must agree.
Outcome every_split(std::string_view body, const Limits& limits = {}, std::string_view boundary = kB) {
  const Outcome w = whole(body, limits, boundary);
  const std::size_t n = body.size();
  const auto agree = [&](const std::vector<std::size_t>& cuts) {
    const Outcome s = streamed(body, cuts, limits, boundary);
    if (s == w) return true;
    ADD_FAILURE() << "cut at " << testing::PrintToString(cuts) << ": " << s << "\nwhole: " << w;
    return false;
  };
  for (std::size_t i = 0; i <= n; ++i)
    if (!agree({i})) return w;
  const std::size_t step = n / 12 + 1;
  for (std::size_t i = 0; i <= n; i += step)
    for (std::size_t j = i; j <= n; j += step)
      if (!agree({i, j})) return w;
  std::vector<std::size_t> bytes;
  for (std::size_t i = 1; i < n; ++i) bytes.push_back(i);
  agree(bytes);
  return w;
}

std::string disposition(const std::string& params) { return "Content-Disposition: form-data; " + params + "\r\n"; }

// One part: the opening delimiter, header lines (each with its CRLF), the
// empty line, the data and the CRLF that ends it.
std::string part(const std::string& headers, const std::string& data) {
  return "--" + kB + "\r\n" + headers + "\r\n" + data + "\r\n";
}
const std::string kClose = "--" + kB + "--\r\n";

TEST(Multipart, ReadsWellFormedBodies) {
  const std::string a = disposition("name=\"a\"");
  const struct {
    std::string body;
    Outcome want;
  } cases[] = {
      {part(a, "hello") + kClose, ok({text("a", "hello")})},
      {"--XyZ--", ok({})},
      {part(disposition("name=\"f\"; filename=\"x.txt\"") + "Content-Type:  text/plain \t\r\n", "DATA") + kClose,
       ok({typed(file("f", "x.txt", "DATA"), "text/plain")})},
      // A delimiter right after the empty line: an empty part.
      {"--XyZ\r\n" + a + "\r\n--XyZ--", ok({text("a", "")})},
      {part(a, "") + kClose, ok({text("a", "")})},
      {part(disposition("name=\"\"; filename=\"\""), "x") + kClose, ok({file("", "", "x")})},
      {part(disposition("name=\"\""), "") + kClose, ok({text("", "")})},
      // Preamble and epilogue are ignored.
      {"junk\r\nmore --XyZ\r\n\r\n" + part(a, "1") + kClose + "trailing\r\n--XyZ\r\nbad", ok({text("a", "1")})},
      {"x--XyZ\r\n" + part(a, "1") + "--XyZ--", ok({text("a", "1")})},
      {"--XyZ-x\r\n" + part(a, "1") + "--XyZ--garbage", ok({text("a", "1")})},
      // Padding after a delimiter, up to the most allowed.
      {"--XyZ \t \r\n" + a + "\r\n1\r\n--XyZ\t\r\n" + a + "\r\n2\r\n--XyZ--",
       ok({text("a", "1"), text("a", "2")})},
      {"--XyZ" + std::string(128, ' ') + "\r\n" + a + "\r\n1\r\n--XyZ--", ok({text("a", "1")})},
      // A boundary that is not a delimiter is data.
      {part(a, "a--XyZ\r\nb") + kClose, ok({text("a", "a--XyZ\r\nb")})},
      {part(a, "\n--XyZ\r\n\r--XyZ\r\n") + kClose, ok({text("a", "\n--XyZ\r\n\r--XyZ\r\n")})},
      {part(a, "x\r\n--XyZx\r\n--XyZ-x\r\n--XyZ \tq\r\n--XyZ\rq\r\n--XyZ \r\r") + kClose,
       ok({text("a", "x\r\n--XyZx\r\n--XyZ-x\r\n--XyZ \tq\r\n--XyZ\rq\r\n--XyZ \r\r")})},
      {part(a, "x\r\n--XyZ \r") + kClose, ok({text("a", "x\r\n--XyZ \r")})},
      {part(a, "--XyZx") + kClose, ok({text("a", "--XyZx")})},
      {part(a, "\r\n\r\n\r") + kClose, ok({text("a", "\r\n\r\n\r")})},
      {part(a, "\r\n--XyY\r\n--Xy") + kClose, ok({text("a", "\r\n--XyY\r\n--Xy")})},
      // NUL and high bytes anywhere.
      {part(disposition("name=\"a\0b\"; filename=\"\0.txt\""s), "\0\xff\r\0"s) + kClose,
       ok({file("a\0b"s, "\0.txt"s, "\0\xff\r\0"s)})},
      // Filenames are the client's bytes, untouched.
      {part(disposition("name=f; filename=\"../../etc/passwd\""), "x") + kClose, ok({file("f", "../../etc/passwd", "x")})},
      {part(disposition("name=f; filename=\"C:\\tmp\\a.txt\""), "x") + kClose, ok({file("f", "C:\\tmp\\a.txt", "x")})},
      {part(disposition("name=f; filename=\"%22a%22 b%0D%0A;c\""), "x") + kClose,
       ok({file("f", "%22a%22 b%0D%0A;c", "x")})},
      {part(disposition("name=\"a'b\\\\\"; filename=\"\\\""), "x") + kClose, ok({file("a'b\\\\", "\\", "x")})},
      // Names of headers and parameters in any case; filename* ignored.
      {part("CONTENT-disposition: Form-Data; NAME=a; FileName=b\r\ncontent-TYPE: image/png\r\n", "x") + kClose,
       ok({typed(file("a", "b", "x"), "image/png")})},
      {part(disposition("name=a; filename*=UTF-8''%E2%82%AC.txt"), "x") + kClose, ok({text("a", "x")})},
      {part("Content-Disposition:form-data;name=a\r\n", "x") + kClose, ok({text("a", "x")})},
      {part("Content-Disposition: \tform-data ;  name = \"a\" ; x=y;\t \r\n", "x") + kClose, ok({text("a", "x")})},
      {part(disposition("name=!#$%&'*+-.^_`|~09az"), "x") + kClose, ok({text("!#$%&'*+-.^_`|~09az", "x")})},
      {part("X-Other: 1\r\n" + a + "Content-Transfer-Encoding: binary\r\n--XyZ-: not a delimiter\r\n", "x") + kClose,
       ok({text("a", "x")})},
      {part(a + "Content-Type:\r\n", "x") + kClose, ok({typed(text("a", "x"), "")})},
      {part(a + "Content-Type: text/plain; charset=\"a b\"\r\n", "x") + kClose,
       ok({typed(text("a", "x"), "text/plain; charset=\"a b\"")})},
      // Repeated names stay, in order.
      {part(a, "1") + part(a, "2") + part(disposition("name=b; filename=f"), "3") + kClose,
       ok({text("a", "1"), text("a", "2"), file("b", "f", "3")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.body));
    EXPECT_EQ(every_split(c.body), c.want);
  }
}

TEST(Multipart, RefusesWhatBreaksTheRules) {
  const std::string a = disposition("name=a");
  const std::string d = "--XyZ\r\nContent-Disposition: ";  // a part's first header, up to its value
  const std::string p = d + "form-data; ";                   // and up to its parameters
  const std::string end = "\r\nx\r\n" + kClose;             // the empty line, the data and the close
  const std::string kNoClose = "the closing delimiter never came";
  // The body is `before` + `after`; the rule is found at the first byte of
  // `after` (the body's end for a missing closing delimiter).
  const struct {
    std::string before, after, rule;
  } cases[] = {
      {"", "", kNoClose},
      {"no delimiter anywhere", "", kNoClose},
      {"--XyZ", "", kNoClose},
      {"--XyZ\r\n", "", kNoClose},
      {"--XyZ\nContent-Disposition: form-data; name=a\n\nx\n--XyZ--", "", kNoClose},  // LF alone ends nothing
      {part(a, "cut off before the closing delimiter"), "", kNoClose},
      {part(a, "x") + "--XyZ", "", kNoClose},
      {part(a, "x") + "--XyZ-", "", kNoClose},
      {part(a, "x") + "--XyZ \t", "", kNoClose},
      {part(a, "x") + "--XyZ\r", "", kNoClose},
      // Header lines.
      {"--XyZ\r\n", "Content-Disposition form-data; name=a\r\n" + end, "a part's header line has no colon"},
      {"--XyZ\r\n" + a, " folded: onto the line before\r\n" + end, "a header line is folded"},
      {"--XyZ\r\n" + a, "\tX: folded\r\n" + end, "a header line is folded"},
      {p + "\r\n", " name=a\r\n" + end, "a header line is folded"},
      {p + "name=a", "\nX: y\r\n" + end, "a bare LF in a header block"},
      {p + "name=\"a", "\rb\"\r\n" + end, "a bare CR in a header block"},
      {"--XyZ\r\n" + a + "X: y", "\r\r\n" + end, "a bare CR in a header block"},
      {"--XyZ\r\nContent", " Disposition: form-data; name=a\r\n" + end, "a part's header name is not a token"},
      {"--XyZ\r\n", ": form-data\r\n" + a + end, "a part's header name is not a token"},
      {"--XyZ\r\nX", "(y): 1\r\n" + a + end, "a part's header name is not a token"},
      // A header block that meets a delimiter.
      {"--XyZ\r\n" + a, "--XyZ\r\n" + a + "\r\nx\r\n--XyZ--", "a delimiter before the header block ends"},
      {"--XyZ\r\n" + a, "--XyZ \t\r\n\r\nx\r\n--XyZ--", "a delimiter before the header block ends"},
      {"--XyZ\r\n" + a, "--XyZ--\r\n", "a delimiter before the header block ends"},
      {"--XyZ\r\n", "--XyZ\r\n" + a + "\r\nx\r\n--XyZ--", "a delimiter before the header block ends"},
      // Content-Disposition and its parameters.
      {"--XyZ\r\nContent-Type: text/plain\r\n", end, "a part without Content-Disposition"},
      {"--XyZ\r\n" + disposition("filename=\"f\""), end, "a part without a name"},
      {d, "attachment; name=a\r\n" + end, "Content-Disposition is not form-data"},
      {d, "form-data x; name=a\r\n" + end, "Content-Disposition is not form-data"},
      {d, "form-data/x; name=a\r\n" + end, "Content-Disposition is not form-data"},
      {d, "; name=a\r\n" + end, "Content-Disposition is not form-data"},
      {p + "name=", "\"a\r\n" + end, "a quote that never closes"},
      {p + "name=\"a\"", "b\r\n" + end, "bytes after a closing quote"},
      {p + "name=\"a\" ", "b\r\n" + end, "bytes after a closing quote"},
      {p + "name=\"a\\\"", "b\"\r\n" + end, "bytes after a closing quote"},
      {p + "name=a ", "b\r\n" + end, "an unquoted value that is not a token"},
      {p + "name=a", "/b\r\n" + end, "an unquoted value that is not a token"},
      {p + "name=", "\xc3\xa9\r\n" + end, "an unquoted value that is not a token"},
      {p + "name=", "\r\n" + end, "a parameter without a value"},
      {p + "name", "\r\n" + end, "a parameter without a value"},
      {p + "name=", "; filename=b\r\n" + end, "a parameter without a value"},
      {p + "name=a;", "; filename=b\r\n" + end, "a parameter without a name"},
      {p + "name=a; ", "NAME=b\r\n" + end, "a parameter named twice"},
      {p + "name=a; filename=b; ", "Filename=c\r\n" + end, "a parameter named twice"},
      {p + "name=a; x=1; ", "X=2\r\n" + end, "a parameter named twice"},
      // Past eight parameters the names are sorted: still the first repeat sent.
      {p + "z=1; y=2; x=3; w=4; v=5; u=6; t=7; s=8; ", "Z=9; name=a; y=0\r\n" + end, "a parameter named twice"},
      {"--XyZ\r\n" + a, a + end, "Content-Disposition given twice"},
      {"--XyZ\r\n" + a + "Content-Type: a\r\n", "content-type: b\r\n" + end, "Content-Type given twice"},
      // Padding past the most allowed: found at the blank one too many.
      {"--XyZ" + std::string(128, ' '), " \r\n" + a + "\r\nx\r\n--XyZ--", "a delimiter padded past 128 blanks"},
      {part(a, "x") + "--XyZ" + std::string(128, '\t'), "\t\r\n" + a + "\r\ny\r\n--XyZ--",
       "a delimiter padded past 128 blanks"},
  };
  for (const auto& c : cases) {
    const std::string body = c.before + c.after;
    SCOPED_TRACE(testing::PrintToString(body));
    EXPECT_EQ(every_split(body), fails(errc::malformed_multipart, c.rule, c.before.size()));
  }
}

TEST(Multipart, EveryCutBeforeTheClosingDelimiterIsMalformed) {
  // Every state the parser has: preamble, a delimiter with padding, a
  // header block cut anywhere, data with CRs and near-delimiters, an empty
  // part, a file part, the closing delimiter.
  const std::string body = "pre\r\n--XyZ \t\r\n" + disposition("name=\"a\"") + "X: y\r\n\r\n" +
                           "1\r2\r\n-\r\n--XyZx\r\n--XyZ \r\r\n--XyZ\r\n" + disposition("name=e") + "\r\n--XyZ\r\n" +
                           disposition("name=f; filename=\"f.bin\"") + "Content-Type: a/b\r\n\r\n\0\r\n\r\n"s +
                           "\r\n--XyZ--";
  const Outcome full = every_split(body + "\r\nepilogue");
  ASSERT_EQ(full.error, errc::ok);
  ASSERT_EQ(full.parts.size(), 3u);
  for (std::size_t cut = 0; cut < body.size(); ++cut) {
    SCOPED_TRACE(cut);
    const std::string_view head(body.data(), cut);
    const Outcome w = whole(head);
    EXPECT_EQ(w.error, errc::malformed_multipart);
    EXPECT_EQ(w.rule, "the closing delimiter never came");
    EXPECT_EQ(w.offset, cut);
    EXPECT_EQ(streamed(head, {cut / 2}), w);
  }
  EXPECT_EQ(whole(body), full);
}

TEST(Multipart, LimitsPassAtTheirValueAndFailOneOver) {
  const std::string head = disposition("name=\"a\"");
  const std::uint64_t head_block = head.size() + 2;  // and the empty line
  const std::uint64_t file_block = disposition("name=f; filename=x").size() + 2;  // the largest here
  const std::string three = part(head, "1234") + part(disposition("name=f; filename=x"), "0123456789") +
                            part(disposition("name=g; filename=y"), "") + part(head, "123456") + kClose;
  // Where a limit is found to be passed: the byte after the delimiter of
  // the part too many, the empty line of the file too many, the first byte
  // too many of data or of a header block.
  const auto at = [&](const std::string& text) { return static_cast<std::uint64_t>(three.find(text)); };
  struct Row {
    const char* what;
    std::function<void(Limits&)> set;
    errc want;
    std::uint64_t offset;
  };
  const Row rows[] = {
      {"parts at", [](Limits& l) { l.max_parts = 4; }, errc::ok, 0},
      {"parts over", [](Limits& l) { l.max_parts = 3; }, errc::too_many_parts, at(head + "\r\n123456")},
      {"no parts", [](Limits& l) { l.max_parts = 0; }, errc::too_many_parts, 7},
      {"files at", [](Limits& l) { l.max_files = 2; }, errc::ok, 0},
      {"files over", [](Limits& l) { l.max_files = 1; }, errc::too_many_files,
       at(disposition("name=g; filename=y")) + disposition("name=g; filename=y").size()},
      {"file at", [](Limits& l) { l.max_file = 10; }, errc::ok, 0},
      {"file over", [](Limits& l) { l.max_file = 9; }, errc::file_too_large, at("0123456789") + 9},
      {"form at", [](Limits& l) { l.max_form = 10; }, errc::ok, 0},
      {"form over", [](Limits& l) { l.max_form = 9; }, errc::body_too_large, at("123456\r\n") + 5},
      {"header at", [&](Limits& l) { l.max_part_header = file_block; }, errc::ok, 0},
      {"header over", [&](Limits& l) { l.max_part_header = file_block - 1; }, errc::part_header_too_large,
       at(disposition("name=f; filename=x")) + file_block - 1},
      {"memory is no limit", [](Limits& l) { l.memory = 0; }, errc::ok, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    Limits limits;
    r.set(limits);
    const Outcome o = every_split(three, limits);
    EXPECT_EQ(o.error, r.want);
    if (r.want != errc::ok) {
      EXPECT_EQ(o.offset, r.offset);
    }
    EXPECT_EQ(o.rule, "");  // a limit is no rule of the body's
  }
  // Limits at zero still pass what is within them.
  Limits zero;
  zero.max_file = zero.max_form = 0;
  zero.max_files = 1;
  const std::string empty_ones = part(head, "") + part(disposition("name=f; filename=x"), "") + kClose;
  EXPECT_EQ(every_split(empty_ones, zero).error, errc::ok);
  // A header block exactly at the limit, counted up to its empty line.
  Limits tight;
  tight.max_part_header = head_block;
  EXPECT_EQ(every_split(part(head, "x") + kClose, tight).error, errc::ok);
  tight.max_part_header = head_block - 1;
  EXPECT_EQ(every_split(part(head, "x") + kClose, tight).error, errc::part_header_too_large);
}

TEST(Multipart, AHeaderByteCountsAgainstTheLimitBeforeItIsJudged) {
  // A CR or LF out of place is malformed when it is within the limit, and
  // the block too large when the byte that shows it is past the limit.
  const std::string a = disposition("name=a");
  const struct {
    const char* what;
    std::string block;
    std::size_t shown_at;  // the byte that breaks the rule, from the block's start
  } cases[] = {
      {"CR without LF", a + "X: 1\rY\r\n\r\n", a.size() + 5},
      {"LF without CR", a + "X: 1\nY\r\n\r\n", a.size() + 4},
      {"CR, CR, LF", a + "X: 1\r\r\n\r\n", a.size() + 5},
      {"LF without CR ends the block", a + "\n\r\n", a.size()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string body = "--XyZ\r\n" + c.block + "x\r\n--XyZ--";
    Limits limits;
    limits.max_part_header = c.shown_at + 1;
    EXPECT_EQ(every_split(body, limits).error, errc::malformed_multipart);
    limits.max_part_header = c.shown_at;
    EXPECT_EQ(every_split(body, limits).error, errc::part_header_too_large);
  }
}

TEST(Multipart, ACutOffDelimiterCountsAsDataAgainstTheLimit) {
  // At the end, the bytes of a delimiter that never finished are data: the
  // error is the same wherever the pieces were cut.
  const std::string open = "--XyZ\r\n" + disposition("name=f; filename=x") + "\r\n123";
  const struct {
    std::string body;
    std::uint64_t max_file;
    errc want;
  } cases[] = {
      {open + "\r\n--XyZ", 3, errc::file_too_large},       {open + "\r\n--XyZ", 9, errc::file_too_large},
      {open + "\r\n--XyZ", 10, errc::malformed_multipart}, {open + "\r\n--XyZ \t\r", 12, errc::file_too_large},
      {open + "\r\n--XyZ \t\r", 13, errc::malformed_multipart}, {open + "\r\n--XyZ-", 2, errc::file_too_large},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.body) + " " + std::to_string(c.max_file));
    Limits limits;
    limits.max_file = c.max_file;
    EXPECT_EQ(every_split(c.body, limits).error, c.want);
  }
}

TEST(Multipart, BoundaryOf70BytesWorksAnd71IsRefused) {
  const std::string b70(70, 'b');
  const std::string b71(71, 'b');
  const std::string body = "--" + b70 + std::string(128, ' ') + "\r\n" + disposition("name=a") + "\r\nv\r\n--" + b70 +
                           "\r\n--" + b70 + "--";
  // The second part has no headers: its delimiter closes nothing.
  EXPECT_EQ(every_split(body, {}, b70),
            fails(errc::malformed_multipart, "the closing delimiter never came", body.size()));
  const std::string good = "--" + b70 + "\r\n" + disposition("name=a") + "\r\nv\r\n--" + b70 + "--";
  EXPECT_EQ(every_split(good, {}, b70), ok({text("a", "v")}));
  for (const std::string& unusable : {b71, std::string(), "a\r\nb"s})
    EXPECT_EQ(whole("--" + unusable + "\r\n" + disposition("name=a") + "\r\nv\r\n--" + unusable + "--", {}, unusable),
              fails(errc::malformed_multipart, "the boundary is missing or malformed", 0));

  // The most a parser holds back: a delimiter with all its padding and CR.
  Recorder r;
  MultipartParser parser(b70, {}, r);
  EXPECT_EQ(parser.feed("--" + b70 + "\r\n" + disposition("name=a") + "\r\nv\r\n--" + b70 + std::string(128, ' ') + "\r"),
            errc::ok);
  EXPECT_EQ(parser.held(), held_bound(b70));
  EXPECT_EQ(parser.feed("\n" + disposition("name=b") + "\r\nw\r\n--" + b70 + "--"), errc::ok);
  EXPECT_EQ(parser.held(), 0u);
  EXPECT_EQ(parser.finish(), errc::ok);
  EXPECT_EQ(r.parts, (std::vector<Rec>{text("a", "v"), text("b", "w")}));
}

TEST(MultipartBoundary, TokenOrQuotedOneTo70Bytes) {
  const std::string b70(70, '7');
  const struct {
    std::string content_type;
    errc want;
    std::string boundary;
  } cases[] = {
      {"multipart/form-data; boundary=abc", errc::ok, "abc"},
      {"multipart/form-data;boundary=abc;charset=utf-8", errc::ok, "abc"},
      {"multipart/form-data; BOUNDARY=\"a b:c?=\"", errc::ok, "a b:c?="},
      {"multipart/form-data; charset=x; Boundary=----WebKitFormBoundary7MA4YWxkTrZu0gW",
       errc::ok, "----WebKitFormBoundary7MA4YWxkTrZu0gW"},
      {"multipart/form-data; boundary=abc;", errc::ok, "abc"},
      {"multipart/form-data; boundary=" + b70, errc::ok, b70},
      {"multipart/form-data; boundary=\"" + b70 + "\"", errc::ok, b70},
      {"multipart/form-data; boundary=" + b70 + "7", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary=\"" + b70 + "7\"", errc::malformed_multipart, ""},
      {"multipart/form-data", errc::malformed_multipart, ""},
      {"multipart/form-data; charset=utf-8", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary=", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary=\"\"", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary=\"abc", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary=\"abc\"x", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary=a=b", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary=abc; boundary=abc", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary=abc; Boundary=def", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary=\"a\r\nb\"", errc::malformed_multipart, ""},
      {"multipart/form-data; boundary", errc::malformed_multipart, ""},
      {"multipart/form-data;; boundary=abc", errc::malformed_multipart, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content_type);
    std::string_view got = "unchanged";
    EXPECT_EQ(web::multipart_boundary(c.content_type, got), c.want);
    EXPECT_EQ(got, c.want == errc::ok ? c.boundary : "unchanged");
  }
}

TEST(MediaTypeIs, ComparesTheTypeWithoutCaseOrParameters) {
  const struct {
    std::string content_type;
    bool want;
  } cases[] = {
      {"multipart/form-data", true},          {"Multipart/Form-Data; boundary=x", true},
      {" multipart/form-data ;x", true},     {"multipart/form-data2", false},
      {"multipart/form", false},              {"multipart/form-data\0"s, false},
      {"", false},                            {"text/plain; a=multipart/form-data", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.content_type));
    EXPECT_EQ(web::media_type_is(c.content_type, "multipart/form-data"), c.want);
  }
}

TEST(Multipart, AHeaderBlockThatNeverEndsStopsAtTheLimit) {
  const std::string endless[] = {std::string(1024, 'h'), "X-A: b\r\n"s};
  for (const auto& filler : endless) {
    SCOPED_TRACE(filler.substr(0, 8));
    Recorder r;
    MultipartParser parser(kB, {}, r);
    errc e = parser.feed("--XyZ\r\n" + disposition("name=a"));
    std::uint64_t fed = 0;
    while (e == errc::ok && fed < (std::uint64_t{1} << 20)) {
      e = parser.feed(filler);
      fed += filler.size();
    }
    EXPECT_EQ(e, errc::part_header_too_large);
    EXPECT_LE(fed, Limits{}.max_part_header + filler.size());
    EXPECT_EQ(parser.feed("\r\n\r\n--XyZ--"), errc::part_header_too_large);
    EXPECT_EQ(parser.finish(), errc::part_header_too_large);
    EXPECT_TRUE(r.parts.empty());
  }
}

// A handler's error stops the parser, and stays.
TEST(Multipart, AHandlersErrorStopsEverything) {
  struct Refuser final : web::PartHandler {
    int at;
    explicit Refuser(int a) : at(a) {}
    errc part_begin(const web::PartHead&) noexcept override { return at == 0 ? errc::too_many_fields : errc::ok; }
    errc part_data(std::string_view) noexcept override { return at == 1 ? errc::temp_file_failed : errc::ok; }
    errc part_end() noexcept override { return at == 2 ? errc::out_of_memory : errc::ok; }
  };
  const std::string body = part(disposition("name=a"), "x") + kClose;
  const errc want[] = {errc::too_many_fields, errc::temp_file_failed, errc::out_of_memory};
  for (int at = 0; at < 3; ++at) {
    SCOPED_TRACE(at);
    Refuser h(at);
    MultipartParser parser(kB, {}, h);
    EXPECT_EQ(parser.feed(body), want[at]);
    EXPECT_EQ(parser.feed(body), want[at]);
    EXPECT_EQ(parser.finish(), want[at]);
  }
}

TEST(Multipart, ALargePartIsOneViewIntoTheBody) {
  std::string data(1 << 20, 'd');
  for (std::size_t i = 0; i < data.size(); i += 97) data[i] = '\r';
  for (std::size_t i = 50; i < data.size(); i += 1009) data.replace(i, 7, "\r\n--XyZ");
  const std::string body = part(disposition("name=f; filename=b"), data) + kClose;
  std::vector<web::Part> parts;
  ASSERT_EQ(web::parse_multipart(body, kB, {}, parts), errc::ok);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].data.data(), body.data() + body.find(data));
  EXPECT_EQ(parts[0].data, data);
  EXPECT_EQ(streamed(body, {1000, 70000, 70001, 500000}), ok({file("f", "b", data)}));
}

}  // namespace
