#include "request/acquire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/platform_fake.h"

namespace {

using cgiecho::fake::process;
using namespace std::string_literals;

class Acquire : public testing::Test {
 protected:
  void SetUp() override { cgiecho::fake::reset(); }
  void set(const std::string& name, const std::string& value) { process().environment[name] = value; }
};

TEST_F(Acquire, MethodChoosesTheSource) {
  const struct {
    const char* method;  // nullptr: unset
    std::string want;
  } cases[] = {
      {"GET", "q=1"}, {"PUT", "q=1"}, {"HEAD", "q=1"}, {"POST", "body"},
      {"get", "tail"}, {"Get", "tail"}, {" GET", "tail"}, {"GET ", "tail"}, {"OPTIONS", "tail"},
      {"", "tail"}, {nullptr, "tail"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method ? c.method : "(unset)");
    cgiecho::fake::reset();
    if (c.method) set("REQUEST_METHOD", c.method);
    set("QUERY_STRING", "q=1");
    set("CONTENT_LENGTH", "4");
    process().stdin_pieces = {"body"};
    process().command_tail = "tail";
    EXPECT_EQ(cgiecho::read_request(), c.want);
    // Only the chosen source is consulted: stdin stays untouched otherwise.
    EXPECT_EQ(process().read_requests.empty(), c.want != "body");
  }
}

TEST_F(Acquire, BufferStoresTheDataAndReturnsItsLength) {
  set("REQUEST_METHOD", "GET");
  set("QUERY_STRING", "a=1&b=2");
  EXPECT_EQ(cgiecho::buffer_request(), 7);
  EXPECT_EQ(cgiecho::cgi_request_data(), "a=1&b=2");
  cgiecho::cgi_request_data() = "rewritten";
  EXPECT_EQ(cgiecho::read_request(), "a=1&b=2");  // a fresh read, the buffer left alone
  EXPECT_EQ(cgiecho::cgi_request_data(), "rewritten");
}

TEST_F(Acquire, MissingQueryStringGivesEmptyData) {
  set("REQUEST_METHOD", "GET");
  EXPECT_EQ(cgiecho::buffer_request(), 0);
}

TEST_F(Acquire, BodyLengthComesFromContentLength) {
  const struct {
    const char* length;  // nullptr: unset
    std::string want;
  } cases[] = {
      {"5", "hello"}, {" 5", "hello"}, {"5abc", "hello"}, {"3", "hel"}, {"\r5", ""}, {"0", ""},
      {"", ""}, {"abc", ""}, {"-5", ""}, {nullptr, ""}, {"4.5", "hell"}, {"5.5", "hello "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length ? c.length : "(unset)");
    cgiecho::fake::reset();
    set("REQUEST_METHOD", "POST");
    if (c.length) set("CONTENT_LENGTH", c.length);
    process().stdin_pieces = {"hello world"};
    EXPECT_EQ(cgiecho::read_body(), c.want);
    if (c.want.empty()) {
      EXPECT_TRUE(process().read_requests.empty()) << "stdin must not be read";
    }
  }
}

TEST_F(Acquire, BodyNeverReadsPastContentLength) {
  const struct {
    std::size_t length;
    std::vector<std::string> pieces;
    std::size_t want_size;
    std::vector<std::size_t> want_requests;
  } cases[] = {
      // a short first read, and more waiting than announced
      {4, {"ab", "cdefghijk"}, 4, {4, 2}},
      {70000, {std::string(100000, 'x')}, 70000, {32000, 32000, 6000}},
      {32000, {std::string(32001, 'x')}, 32000, {32000}},
      {32001, {std::string(40000, 'x')}, 32001, {32000, 1}},
      // the input ends early: what came is the body
      {10, {"abcd"}, 4, {10, 6}},
      {70000, {std::string(1000, 'x'), std::string(500, 'y')}, 1500, {32000, 32000, 32000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    cgiecho::fake::reset();
    set("CONTENT_LENGTH", std::to_string(c.length));
    process().stdin_pieces = c.pieces;
    const std::string body = cgiecho::read_body();
    EXPECT_EQ(body.size(), c.want_size);
    EXPECT_EQ(process().read_requests, c.want_requests);
  }
}

// An announced length is only a promise: room is taken as bytes arrive, at
// most kMaxAhead past them, and a body that fits gets its spare room too.
TEST_F(Acquire, RoomFollowsTheBytesThatArrive) {
  constexpr std::size_t kAhead = cgiecho::kMaxAhead;
  const struct {
    std::string length;
    std::size_t arriving, spare, min_room, max_room;
  } cases[] = {
      {"2147483647", 3, 119, 3, kAhead},
      {"2147483647", kAhead + 5, 0, kAhead + 5, 2 * kAhead + 5},
      {"100000", 100000, 119, 100119, 100119 + 64},
      {"70000", 10, 0, 10, 70000 + 64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length + " announced, " + std::to_string(c.arriving) + " arriving");
    cgiecho::fake::reset();
    set("CONTENT_LENGTH", c.length);
    process().stdin_pieces = {std::string(c.arriving, 'x')};
    const std::string body = cgiecho::read_body(c.spare);
    EXPECT_EQ(body.size(), c.arriving);
    EXPECT_GE(body.capacity(), c.min_room);
    EXPECT_LE(body.capacity(), c.max_room);
  }
}

TEST_F(Acquire, BodyKeepsEveryByteInOrder) {
  std::string all;
  for (int i = 0; i < 100000; ++i) all += static_cast<char>(i * 7 % 256);  // NULs and high bytes
  set("CONTENT_LENGTH", std::to_string(all.size()));
  for (std::size_t at = 0; at < all.size(); at += 777) process().stdin_pieces.push_back(all.substr(at, 777));
  EXPECT_EQ(cgiecho::read_body(), all);
}

TEST_F(Acquire, SecondPostFindsStdinUsedUp) {
  set("REQUEST_METHOD", "POST");
  set("CONTENT_LENGTH", "5");
  process().stdin_pieces = {"hello"};
  EXPECT_EQ(cgiecho::buffer_request(), 5);
  EXPECT_EQ(cgiecho::buffer_request(), 0);
  EXPECT_EQ(cgiecho::cgi_request_data(), "");
}

TEST_F(Acquire, LongValuesComeBackWhole) {
  const std::string long_query(100000, 'q');
  set("REQUEST_METHOD", "GET");
  set("QUERY_STRING", long_query);
  EXPECT_EQ(cgiecho::read_request(), long_query);
}

}  // namespace
