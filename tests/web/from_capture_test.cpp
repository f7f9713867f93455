#include <cgiecho/web/from_capture.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/platform_fake.h"

namespace {

using cgiecho::web::errc;
using cgiecho::web::Request;

std::vector<std::string> values(const std::vector<cgiecho::web::Field>& fields, std::string_view name) {
  std::vector<std::string> out;
  for (const auto& f : fields) {
    if (!f.name_is(name)) continue;
    std::string v;
    EXPECT_EQ(f.value(v), errc::ok);
    out.push_back(v);
  }
  return out;
}

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
         EXPECT_EQ(values(r.args(), "name"), std::vector<std::string>{"Ann Lee"});
         EXPECT_EQ(values(r.args(), "note"), std::vector<std::string>{"a<b> & c=d; 100%"});
         EXPECT_EQ(values(r.args(), "city"), std::vector<std::string>{"Z\xC3\xBCrich"});
         EXPECT_EQ(values(r.args(), "agree"), std::vector<std::string>{"yes"});
         EXPECT_TRUE(r.cookies().empty());
       }},
      {"post-urlencoded",
       [](const Request& r) {
         EXPECT_EQ(r.method(), "POST");
         EXPECT_EQ(values(r.args(), "form"), std::vector<std::string>{"urlencoded"});
         EXPECT_EQ(values(r.form(), "text"), std::vector<std::string>{"line one\r\nline two & <three>"});
         EXPECT_EQ(values(r.form(), "colour"), (std::vector<std::string>{"red", "blue"}));
         EXPECT_EQ(values(r.form(), "token"), std::vector<std::string>{"%41+%zz"});
       }},
      {"post-multipart-files",
       [&notes](const Request& r) {
         EXPECT_EQ(values(r.form(), "title"), std::vector<std::string>{"two files \"and\" one empty"});
         EXPECT_EQ(values(r.form(), "note"), std::vector<std::string>{"d\xC3\xA9j\xC3\xA0 vu"});
         ASSERT_EQ(r.files().size(), 3u);
         EXPECT_EQ(r.files()[0].filename(), "notes r\xC3\xA9sum\xC3\xA9.txt");
         EXPECT_EQ(r.files()[0].content_type(), "text/plain");
         EXPECT_EQ(r.files()[0].data(), notes);
         std::string every_byte;
         for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
         EXPECT_EQ(r.files()[1].filename(), "bytes.bin");
         EXPECT_EQ(r.files()[1].data(), every_byte);
         EXPECT_EQ(r.files()[2].name(), "nothing");
         EXPECT_EQ(r.files()[2].filename(), "");
         EXPECT_EQ(r.files()[2].size(), 0u);
       }},
      {"post-text-plain",
       [](const Request& r) {
         EXPECT_EQ(r.content_type(), "text/plain");
         EXPECT_EQ(r.body(), "f=a<b> c\r\n");
         EXPECT_TRUE(r.form().empty());
       }},
      {"get-cookies",
       [](const Request& r) {
         ASSERT_EQ(r.cookies().size(), 3u);
         EXPECT_EQ(r.cookies()[0].name, "session");
         EXPECT_EQ(r.cookies()[0].value, "abc123");
         EXPECT_EQ(r.cookies()[1].value, "dark");
         EXPECT_EQ(r.cookies()[2].name, "empty");
         EXPECT_EQ(r.cookies()[2].value, "");
       }},
      {"put-fetch",
       [](const Request& r) {
         EXPECT_EQ(r.method(), "PUT");
         EXPECT_EQ(r.body(), "{\"id\":7,\"note\":\"a<b>\"}");
       }},
      {"head-fetch",
       [](const Request& r) {
         EXPECT_EQ(r.method(), "HEAD");
         EXPECT_EQ(values(r.args(), "x"), std::vector<std::string>{"<"});
         EXPECT_EQ(r.body_size(), 0u);
       }},
  };
  for (const char* server : {"lighttpd", "apache", "nginx"}) {
    for (const auto& c : cases) {
      const std::string path = std::string(CGIECHO_CAPTURES) + "/echo/" + server + "-" + c.name + ".capture";
      SCOPED_TRACE(path);
      cgiecho::fake::reset();
      Request r;
      cgiecho::capture::ReadError fault;
      ASSERT_EQ(cgiecho::web::request_from_capture_file(path, {}, r, &fault), errc::ok) << fault.message();
      c.check(r);
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
    Request r;
    cgiecho::capture::ReadError fault;
    EXPECT_EQ(cgiecho::web::request_from_capture(c.file, {}, r, &fault), c.want);
    if (c.want == errc::read_failed) {
      EXPECT_EQ(fault.offset, c.offset);
      EXPECT_FALSE(fault.what.empty());
    }
    EXPECT_EQ(r.method(), c.want == errc::ok ? "POST" : "") << "nothing handed out beside an error";
  }
  Request r;
  cgiecho::capture::ReadError fault;
  EXPECT_EQ(cgiecho::web::request_from_capture_file("/no/such/file.capture", {}, r, &fault), errc::read_failed);
  EXPECT_NE(fault.what.find("cannot be read"), std::string::npos);
}

}  // namespace
