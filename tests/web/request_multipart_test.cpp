// Request over multipart/form-data bodies: a body up to limits.memory read
// whole and parsed where it lies, a larger one streamed as it is read; both
// give the same form, and every failure leaves the request empty.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <cgiecho/web/request.h>

#include "support/platform_fake.h"
#include "support/web_fields.h"

namespace {

using cgiecho::fake::process;
using cgiecho::test::code_of;
using cgiecho::web::errc;
using cgiecho::web::Limits;
using cgiecho::web::Request;
using namespace std::string_literals;

const std::string kType = "multipart/form-data; boundary=XyZ";
const std::string kBody =
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"a\"\r\n\r\n"
    "1+%41\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"f\"; filename=\"x.txt\"\r\n"
    "Content-Type: text/plain\r\n\r\n"
    "hello\0world\r\n"s
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"a\"\r\n\r\n"
    "2\r\n"
    "--XyZ--\r\n";

// The form as text: fields as sent (no decoding), then each file and its data.
std::string summary(const Request& r) {
  std::string s;
  for (const auto& f : r.raw_form()) {
    EXPECT_FALSE(f.encoded);
    s += f.name().value_or("(failed)") + "=" + f.value().value_or("(failed)") + "|";
  }
  for (const auto& f : r.uploads()) {
    std::string data(static_cast<std::size_t>(f.size()), '?');
    const auto got = f.read(0, data.data(), data.size());
    EXPECT_EQ(code_of(got), errc::ok);
    data.resize(got.value_or(0));
    s += std::string(f.name()) + ":" + std::string(f.filename()) + ":" + std::string(f.content_type()) + ":" + data +
         "|";
  }
  return s;
}

const std::string kWant = "a=1+%41|a=2|f:x.txt:text/plain:hello\0world|"s;

class RequestMultipart : public testing::Test {
 protected:
  void SetUp() override { cgiecho::fake::reset(); }
  errc run(const std::string& type, const std::string& body, const Limits& limits,
           std::vector<std::string> pieces = {}, std::string length = "") {
    request = Request();  // its temp files closed before the next request makes any
    cgiecho::fake::reset();
    process().environment = {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", type},
                             {"CONTENT_LENGTH", length.empty() ? std::to_string(body.size()) : length}};
    if (pieces.empty()) pieces = {body};
    process().stdin_pieces = pieces;
    auto got = Request::current(limits);
    const errc e = code_of(got);
    failure = got ? cgiecho::web::error() : got.error();
    request = std::move(got).value_or(Request());
    return e;
  }
  Request request;        // empty after a failure
  cgiecho::web::error failure;  // the last failure's, with its detail
};

TEST_F(RequestMultipart, WholeAndStreamedGiveTheSameForm) {
  Limits whole;  // 1 MiB in memory: the body is read whole
  Limits streamed;
  streamed.memory = 16;  // every body here streams
  std::vector<std::string> bytes;
  for (char c : kBody) bytes.emplace_back(1, c);
  const struct {
    std::string what;
    Limits limits;
    std::vector<std::string> pieces;
  } cases[] = {
      {"whole, one read", whole, {}},
      {"whole, a byte per read", whole, bytes},
      {"streamed, one read", streamed, {}},
      {"streamed, a byte per read", streamed, bytes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(run(kType, kBody, c.limits, c.pieces), errc::ok);
    EXPECT_EQ(summary(request), kWant);
    EXPECT_EQ(request.body(), "");  // a multipart body is parsed, not kept
    EXPECT_EQ(request.body_size(), kBody.size());
    EXPECT_EQ(request.field("a"), "1+%41");
    EXPECT_EQ(request.raw_form()[0].raw_value, "1+%41");
    ASSERT_NE(request.file("f"), nullptr);
    EXPECT_EQ(request.file("f")->size(), 11u);
    EXPECT_EQ(request.file("a"), nullptr);
  }
}

TEST_F(RequestMultipart, FailuresLeaveTheRequestEmpty) {
  Limits streamed;
  streamed.memory = 16;
  const std::string cut = kBody.substr(0, kBody.size() - 9);  // no closing delimiter
  const std::string bad_line = kBody.substr(0, 7) + "Content-Disposition form-data\r\n" + kBody.substr(7);
  const std::string kNoClose = "the closing delimiter never came";
  const std::string kBadBoundary = "the boundary is missing or malformed";
  const std::optional<std::uint64_t> none;
  const struct {
    std::string what;
    std::string type, body;
    Limits limits;
    std::string length;  // CONTENT_LENGTH; empty: the body's
    errc want;
    std::string rule;  // the error's detail
    std::optional<std::uint64_t> offset;
  } cases[] = {
      {"no boundary", "multipart/form-data", kBody, Limits{}, "", errc::malformed_multipart, kBadBoundary, none},
      {"boundary of 71 bytes", "multipart/form-data; boundary=" + std::string(71, 'b'), kBody, Limits{}, "",
       errc::malformed_multipart, kBadBoundary, none},
      {"cut off, whole", kType, cut, Limits{}, "", errc::malformed_multipart, kNoClose, cut.size()},
      {"cut off, streamed", kType, cut, streamed, "", errc::malformed_multipart, kNoClose, cut.size()},
      {"a line without a colon, whole", kType, bad_line, Limits{}, "", errc::malformed_multipart,
       "a part's header line has no colon", 7},
      {"a line without a colon, streamed", kType, bad_line, streamed, "", errc::malformed_multipart,
       "a part's header line has no colon", 7},
      {"truncated, whole", kType, kBody, Limits{}, std::to_string(kBody.size() + 1), errc::body_truncated, "", none},
      {"truncated, streamed", kType, kBody, streamed, std::to_string(kBody.size() + 1), errc::body_truncated, "",
       none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(run(kType, kBody, Limits{}), errc::ok);  // a request that held something
    EXPECT_EQ(run(c.type, c.body, c.limits, {}, c.length), c.want);
    EXPECT_EQ(failure.detail(), c.rule);
    EXPECT_EQ(failure.offset(), c.offset);
    EXPECT_TRUE(request.raw_form().empty());
    EXPECT_TRUE(request.uploads().empty());
    EXPECT_TRUE(request.variables().empty());
  }
  // from_parts tells the same.
  const auto parts = Request::from_parts({{"CONTENT_TYPE", kType}}, bad_line);
  ASSERT_FALSE(parts);
  EXPECT_EQ(parts.error().message(),
            "The multipart body breaks the multipart rules (a part's header line has no colon, at byte 7).");
}

TEST_F(RequestMultipart, LimitsAtTheirValueAndOneOver) {
  const auto limited = [](std::uint64_t Limits::*field, std::uint64_t value) {
    Limits l;
    l.*field = value;
    return l;
  };
  const struct {
    std::string what;
    Limits limits;
    errc want;
  } cases[] = {
      {"3 parts", limited(&Limits::max_parts, 3), errc::ok},
      {"2 parts", limited(&Limits::max_parts, 2), errc::too_many_parts},
      {"1 file", limited(&Limits::max_files, 1), errc::ok},
      {"0 files", limited(&Limits::max_files, 0), errc::too_many_files},
      {"a file of 11 bytes", limited(&Limits::max_file, 11), errc::ok},
      {"a file of 10 bytes", limited(&Limits::max_file, 10), errc::file_too_large},
      {"text parts of 6 bytes", limited(&Limits::max_form, 6), errc::ok},
      {"text parts of 5 bytes", limited(&Limits::max_form, 5), errc::body_too_large},
      {"the body at max_body", limited(&Limits::max_body, kBody.size()), errc::ok},
      {"the body over max_body", limited(&Limits::max_body, kBody.size() - 1), errc::body_too_large},
  };
  for (const auto& c : cases) {
    for (const std::uint64_t memory : {std::uint64_t{1} << 20, std::uint64_t{16}}) {
      SCOPED_TRACE(c.what + (memory == 16 ? ", streamed" : ", whole"));
      Limits l = c.limits;
      l.memory = memory;
      EXPECT_EQ(run(kType, kBody, l), c.want);
      EXPECT_EQ(summary(request), c.want == errc::ok ? kWant : "");
    }
  }
}

// limits.memory is the request's budget for file data in memory, not each
// file's: files that fit together stay, and the file that would pass it
// goes to a temp file, as does every later one that would.
TEST_F(RequestMultipart, FilesInMemoryShareOneBudget) {
  std::string body;
  const std::size_t sizes[] = {40, 40, 30, 10};
  for (std::size_t i = 0; i < 4; ++i)
    body += "--XyZ\r\nContent-Disposition: form-data; name=f; filename=\"" + std::to_string(i) + "\"\r\n\r\n" +
            std::string(sizes[i], static_cast<char>('a' + i)) + "\r\n";
  body += "--XyZ--\r\n";
  const struct {
    std::uint64_t memory;
    std::vector<bool> in_memory;
  } cases[] = {
      {120, {true, true, true, true}},  // the body streams (larger than 120): 120 bytes of files fit
      {119, {true, true, true, false}},
      {100, {true, true, false, true}},
      {79, {true, false, true, false}},
      {0, {false, false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.memory);
    cgiecho::fake::reset_temp_files();
    Limits l;
    l.memory = c.memory;
    ASSERT_EQ(run(kType, body, l), errc::ok);
    ASSERT_EQ(request.uploads().size(), 4u);
    ASSERT_EQ(request.files("f").size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
      SCOPED_TRACE(i);
      const auto& f = request.uploads()[i];
      EXPECT_EQ(request.files("f")[i], &f);
      EXPECT_EQ(f.in_memory(), c.in_memory[i]);
      std::string data(sizes[i], '?');
      EXPECT_EQ(f.read(0, data.data(), data.size()), sizes[i]);
      EXPECT_EQ(data, std::string(sizes[i], static_cast<char>('a' + i)));
    }
  }
}

TEST_F(RequestMultipart, MediaTypeInAnyCaseAndFromParts) {
  ASSERT_EQ(run("Multipart/Form-Data ; BOUNDARY=\"XyZ\"", kBody, Limits{}), errc::ok);
  EXPECT_EQ(summary(request), kWant);
  Request moved;
  {
    auto r = Request::from_parts({{"CONTENT_TYPE", kType}}, kBody);
    ASSERT_EQ(code_of(r), errc::ok);
    moved = std::move(*r);
  }
  EXPECT_EQ(summary(moved), kWant);  // views into the request's own bytes survive the move
}

}  // namespace
