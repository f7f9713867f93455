// Request over multipart/form-data bodies: a body up to limits.memory read
// whole and parsed where it lies, a larger one streamed as it is read; both
// give the same form, and every failure leaves the request empty.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <cgiecho/web/request.h>

#include "support/platform_fake.h"

namespace {

using cgiecho::fake::process;
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
  for (const auto& f : r.form()) {
    std::string name, value;
    EXPECT_FALSE(f.encoded);
    EXPECT_EQ(f.name(name), errc::ok);
    EXPECT_EQ(f.value(value), errc::ok);
    s += name + "=" + value + "|";
  }
  for (const auto& f : r.files()) {
    std::string data(static_cast<std::size_t>(f.size()), '?');
    std::size_t got = 0;
    EXPECT_EQ(f.read(0, data.data(), data.size(), got), errc::ok);
    data.resize(got);
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
    cgiecho::fake::reset();
    process().environment = {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", type},
                             {"CONTENT_LENGTH", length.empty() ? std::to_string(body.size()) : length}};
    if (pieces.empty()) pieces = {body};
    process().stdin_pieces = pieces;
    return Request::from_current(limits, request);
  }
  Request request;
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
    ASSERT_NE(request.field("a"), nullptr);
    EXPECT_EQ(request.field("a")->raw_value, "1+%41");
    ASSERT_NE(request.file("f"), nullptr);
    EXPECT_EQ(request.file("f")->size(), 11u);
    EXPECT_EQ(request.file("a"), nullptr);
  }
}

TEST_F(RequestMultipart, FailuresLeaveTheRequestEmpty) {
  Limits streamed;
  streamed.memory = 16;
  const std::string cut = kBody.substr(0, kBody.size() - 9);  // no closing delimiter
  const struct {
    std::string what;
    std::string type, body;
    Limits limits;
    std::string length;  // CONTENT_LENGTH; empty: the body's
    errc want;
  } cases[] = {
      {"no boundary", "multipart/form-data", kBody, Limits{}, "", errc::malformed_multipart},
      {"boundary of 71 bytes", "multipart/form-data; boundary=" + std::string(71, 'b'), kBody, Limits{}, "",
       errc::malformed_multipart},
      {"cut off, whole", kType, cut, Limits{}, "", errc::malformed_multipart},
      {"cut off, streamed", kType, cut, streamed, "", errc::malformed_multipart},
      {"truncated, whole", kType, kBody, Limits{}, std::to_string(kBody.size() + 1), errc::body_truncated},
      {"truncated, streamed", kType, kBody, streamed, std::to_string(kBody.size() + 1), errc::body_truncated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(run(kType, kBody, Limits{}), errc::ok);  // a request that held something
    EXPECT_EQ(run(c.type, c.body, c.limits, {}, c.length), c.want);
    EXPECT_TRUE(request.form().empty());
    EXPECT_TRUE(request.files().empty());
    EXPECT_TRUE(request.variables().empty());
  }
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
    ASSERT_EQ(request.files().size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
      SCOPED_TRACE(i);
      const auto& f = request.files()[i];
      EXPECT_EQ(f.in_memory(), c.in_memory[i]);
      std::string data(sizes[i], '?');
      std::size_t got = 0;
      EXPECT_EQ(f.read(0, data.data(), data.size(), got), errc::ok);
      EXPECT_EQ(data, std::string(sizes[i], static_cast<char>('a' + i)));
    }
  }
}

TEST_F(RequestMultipart, MediaTypeInAnyCaseAndFromParts) {
  ASSERT_EQ(run("Multipart/Form-Data ; BOUNDARY=\"XyZ\"", kBody, Limits{}), errc::ok);
  EXPECT_EQ(summary(request), kWant);
  Request moved;
  {
    Request r;
    ASSERT_EQ(Request::from_parts({{"CONTENT_TYPE", kType}}, kBody, Limits{}, r), errc::ok);
    moved = std::move(r);
  }
  EXPECT_EQ(summary(moved), kWant);  // views into the request's own bytes survive the move
}

}  // namespace
