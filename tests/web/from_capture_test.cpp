#include <cgiecho/web/from_capture.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/platform_fake.h"
#include "support/web_fields.h"

namespace {

using cgiecho::web::errc;
using cgiecho::web::Request;
using cgiecho::test::code_of;

// The requests Chromium sent through each server, as the web layer reads
// them: the same whichever server passed them on.
TEST(RequestFromCapture, RecordedRequestsReadTheSameThroughEveryServer) {
  const std::string notes = "first line\r\n--not-a-boundary\r\n\r\nlast line, no line break";
  const struct {
    std::string name;
    std::function<void(const Request&)> check;
  } cases[] = {
      {"get-form",
       [](const Request& r) {
         EXPECT_EQ(r.method(), "GET");
         EXPECT_EQ(r.args("name"), std::vector<std::string>{"Ann Lee"});
         EXPECT_EQ(r.args("note"), std::vector<std::string>{"a<b> & c=d; 100%"});
         EXPECT_EQ(r.args("city"), std::vector<std::string>{"Z\xC3\xBCrich"});
         EXPECT_EQ(r.args("agree"), std::vector<std::string>{"yes"});
         EXPECT_TRUE(r.raw_cookies().empty());
       }},
      {"post-urlencoded",
       [](const Request& r) {
         EXPECT_EQ(r.method(), "POST");
         EXPECT_EQ(r.args("form"), std::vector<std::string>{"urlencoded"});
         EXPECT_EQ(r.fields("text"), std::vector<std::string>{"line one\r\nline two & <three>"});
         EXPECT_EQ(r.fields("colour"), (std::vector<std::string>{"red", "blue"}));
         EXPECT_EQ(r.fields("token"), std::vector<std::string>{"%41+%zz"});
       }},
      {"post-multipart-files",
       [&notes](const Request& r) {
         EXPECT_EQ(r.fields("title"), std::vector<std::string>{"two files \"and\" one empty"});
         EXPECT_EQ(r.fields("note"), std::vector<std::string>{"d\xC3\xA9j\xC3\xA0 vu"});
         ASSERT_EQ(r.uploads().size(), 3u);
         EXPECT_EQ(r.uploads()[0].filename(), "notes r\xC3\xA9sum\xC3\xA9.txt");
         EXPECT_EQ(r.uploads()[0].content_type(), "text/plain");
         EXPECT_EQ(r.uploads()[0].data(), notes);
         std::string every_byte;
         for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
         EXPECT_EQ(r.uploads()[1].filename(), "bytes.bin");
         EXPECT_EQ(r.uploads()[1].data(), every_byte);
         EXPECT_EQ(r.uploads()[2].name(), "nothing");
         EXPECT_EQ(r.uploads()[2].filename(), "");
         EXPECT_EQ(r.uploads()[2].size(), 0u);
       }},
      {"post-text-plain",
       [](const Request& r) {
         EXPECT_EQ(r.content_type(), "text/plain");
         EXPECT_EQ(r.body(), "f=a<b> c\r\n");
         EXPECT_TRUE(r.raw_form().empty());
       }},
      {"get-cookies",
       [](const Request& r) {
         ASSERT_EQ(r.raw_cookies().size(), 3u);
         EXPECT_EQ(r.raw_cookies()[0].name, "session");
         EXPECT_EQ(r.cookie("session"), "abc123");
         EXPECT_EQ(r.raw_cookies()[1].value, "dark");
         EXPECT_EQ(r.raw_cookies()[2].name, "empty");
         EXPECT_EQ(r.cookie("empty"), "");
       }},
      {"put-fetch",
       [](const Request& r) {
         EXPECT_EQ(r.method(), "PUT");
         EXPECT_EQ(r.body(), "{\"id\":7,\"note\":\"a<b>\"}");
       }},
      {"head-fetch",
       [](const Request& r) {
         EXPECT_EQ(r.method(), "HEAD");
         EXPECT_EQ(r.args("x"), std::vector<std::string>{"<"});
         EXPECT_EQ(r.body_size(), 0u);
       }},
  };
  for (const char* server : {"lighttpd", "apache", "nginx"}) {
    for (const auto& c : cases) {
      const std::string path = std::string(CGIECHO_CAPTURES) + "/echo/" + server + "-" + c.name + ".capture";
      SCOPED_TRACE(path);
      cgiecho::fake::reset();
      const auto r = cgiecho::web::request_from_capture_file(path);
      ASSERT_EQ(code_of(r), errc::ok) << r.error().message();
      c.check(*r);
    }
  }
}

TEST(RequestFromCapture, WhatIsNotAWholeRequestSaysSo) {
  const std::string head = "cgiecho-capture 1\nparam 14 4\nREQUEST_METHODPOST\nparam 14 2\nCONTENT_LENGTH10\n";
  const struct {
    std::string name;
    std::string file;
    errc want;
    std::uint64_t offset;  // of the fault, where the file is not a whole capture
  } cases[] = {
      {"a whole body", head + "body 10 10\n0123456789\n", errc::ok, 0},
      {"a body the capture cut", head + "body 10 4 cut\n0123\n", errc::body_truncated, 0},
      {"a file cut short", head + "body 10 10\n0123", errc::read_failed, 76},
      {"not a capture", "GET / HTTP/1.1\r\n", errc::read_failed, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cgiecho::fake::reset();
    const auto r = cgiecho::web::request_from_capture(c.file);
    EXPECT_EQ(code_of(r), c.want);
    if (c.want == errc::read_failed) {
      EXPECT_EQ(r.error().offset(), c.offset);
      EXPECT_FALSE(r.error().detail().empty());
    }
    if (r) {
      EXPECT_EQ(r->method(), "POST");
    }
  }
  const auto missing = cgiecho::web::request_from_capture_file("/no/such/file.capture");
  EXPECT_EQ(code_of(missing), errc::read_failed);
  EXPECT_EQ(missing.error().detail(), "/no/such/file.capture cannot be read");
}

}  // namespace
