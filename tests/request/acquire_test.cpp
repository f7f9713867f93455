#include <cgiecho/request/acquire.h>

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
  EXPECT_EQ(cgiecho::cgi_request_data().view(), "a=1&b=2");
  cgiecho::cgi_request_data() = "rewritten"s;
  EXPECT_EQ(cgiecho::read_request(), "a=1&b=2");  // a fresh read, the buffer left alone
  EXPECT_EQ(cgiecho::cgi_request_data().view(), "rewritten");
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

// Bytes that show a misplaced or repeated piece: NULs and high bytes, and
// no period shorter than 256.
std::string pattern(std::size_t size) {
  std::string all(size, '\0');
  for (std::size_t i = 0; i < size; ++i) all[i] = static_cast<char>(i * 7 % 256 ^ i / 256 % 256);
  return all;
}

// An announced length is only a promise: room is taken as bytes arrive, at
// most kMaxAhead past them, plus the margins; it grows without a read cut
// short, and a body that fits gets exactly its room.
TEST_F(Acquire, RoomFollowsTheBytesThatArrive) {
  constexpr std::size_t kAhead = cgiecho::kMaxAhead;
  constexpr std::size_t kRead = cgiecho::kMaxRead;
  constexpr std::size_t kFull = kAhead / kRead * kRead;  // in when a whole read no longer fits in kAhead
  const cgiecho::Margins frame{100, 19};
  const struct {
    std::string length;
    std::size_t arriving, piece;
    cgiecho::Margins margins;
    std::vector<std::size_t> rooms;
  } cases[] = {
      {"2147483647", 3, 3, frame, {kAhead + 119}},
      {"1", 1, 1, {}, {1}},
      {"100000", 100000, 100000, frame, {100119}},
      {"70000", 10, 10, {}, {70000}},
      {std::to_string(kAhead), kAhead, kAhead, frame, {kAhead + 119}},
      {std::to_string(kAhead + 1), kAhead + 1, 30001, frame, {kAhead + 119, kAhead + 1 + 119}},
      {std::to_string(kAhead + kRead), kAhead + kRead, kAhead, {}, {kAhead, kAhead + kRead}},
      {"2147483647", kFull + 1, kAhead, {}, {kAhead, kFull + kAhead}},
      // the second room fills up at kAhead + kFull: the first piece ends at kAhead
      {"2147483647", 2 * kAhead + 5, kAhead, {}, {kAhead, kFull + kAhead, kAhead + kFull + kAhead}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length + " announced, " + std::to_string(c.arriving) + " arriving");
    cgiecho::fake::reset();
    set("CONTENT_LENGTH", c.length);
    const std::string all = pattern(c.arriving);
    for (std::size_t at = 0; at < all.size(); at += c.piece) process().stdin_pieces.push_back(all.substr(at, c.piece));
    const cgiecho::RequestData body = cgiecho::read_body_data(c.margins);
    EXPECT_TRUE(body.view() == all);  // not EXPECT_EQ: a failure would print megabytes
    EXPECT_EQ(process().room_sizes, c.rooms);
    for (std::size_t i = 0; i + 1 < process().read_requests.size(); ++i)
      ASSERT_EQ(process().read_requests[i], kRead) << "read " << i << " was cut short by the room";
  }
}

// Memory that runs out ends the body where the room ends: smaller steps
// are tried first, what arrived before stays, and the rest is not read.
TEST_F(Acquire, BodyStopsWhereRoomRunsOut) {
  const struct {
    std::size_t length, limit;
    cgiecho::Margins margins;
    std::size_t min_size;  // the body has at least this much
  } cases[] = {
      {100000, 0, {}, 0},
      {100000, 100, {100, 19}, 0},
      {100000, 50000, {100, 19}, 40000},
      {100000, 99999, {}, 70000},
      {10, 9, {}, 0},
      {cgiecho::kMaxAhead + 100000, cgiecho::kMaxAhead + 50000, {}, cgiecho::kMaxAhead},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " bytes, room up to " + std::to_string(c.limit));
    cgiecho::fake::reset();
    set("CONTENT_LENGTH", std::to_string(c.length));
    const std::string all = pattern(c.length);
    process().stdin_pieces = {all};
    process().room_limit = c.limit;
    cgiecho::RequestData body = cgiecho::read_body_data(c.margins);
    const std::string got(body.view());
    EXPECT_TRUE(got == std::string_view(all).substr(0, got.size()));
    EXPECT_GE(got.size(), c.min_size);
    if (got.empty()) {
      EXPECT_TRUE(process().read_requests.empty());
    } else {
      EXPECT_LE(c.margins.before + got.size() + c.margins.after, c.limit);
    }
    body.frame("<", ">");
    EXPECT_TRUE(body.view() == "<" + got + ">");
  }
}

// A frame goes into the margins kept for it, where the body already lies;
// without them, or around data that came whole, into a new string.
TEST_F(Acquire, FrameGoesAroundTheData) {
  const struct {
    const char* method;
    std::string length;
    cgiecho::Margins margins;
    bool in_place;
  } cases[] = {
      {"POST", "5", {3, 2}, true},  {"POST", "5", {4, 9}, true},   {"POST", "5", {2, 2}, false},
      {"POST", "5", {3, 1}, false}, {"POST", "5", {}, false},      {"POST", "0", {3, 2}, false},
      {"GET", "5", {3, 2}, false},  {"OPTIONS", "5", {3, 2}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.length + " margins " + std::to_string(c.margins.before) + "/" +
                 std::to_string(c.margins.after));
    cgiecho::fake::reset();
    set("REQUEST_METHOD", c.method);
    set("CONTENT_LENGTH", c.length);
    set("QUERY_STRING", "a\0<b"s);
    process().command_tail = "tail";
    process().stdin_pieces = {"x\0y\xFFz"s};
    cgiecho::RequestData data = cgiecho::read_request_data(c.margins);
    const std::string before(data.view());
    const char* const at = data.view().data();
    data.frame("<<<", ">>");
    EXPECT_EQ(data.view(), "<<<" + before + ">>");
    EXPECT_EQ(data.view().data() + 3 == at, c.in_place);
  }
}

TEST_F(Acquire, BodyKeepsEveryByteInOrder) {
  const std::string all = pattern(100000);
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
  EXPECT_EQ(cgiecho::cgi_request_data().view(), "");
}

TEST_F(Acquire, LongValuesComeBackWhole) {
  const std::string long_query(100000, 'q');
  set("REQUEST_METHOD", "GET");
  set("QUERY_STRING", long_query);
  EXPECT_EQ(cgiecho::read_request(), long_query);
}

}  // namespace
