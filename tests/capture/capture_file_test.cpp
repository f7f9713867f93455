#include <cgiecho/capture/capture_file.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;
using cgiecho::capture::Body;
using cgiecho::capture::Capture;
using cgiecho::capture::ReadError;
using cgiecho::capture::Response;

bool same(const Capture& a, const Capture& b) {
  auto same_body = [](const Body& x, const Body& y) {
    return x.declared == y.declared && x.bytes == y.bytes && x.cut == y.cut;
  };
  return a.params == b.params && a.argv == b.argv && a.body.has_value() == b.body.has_value() &&
         (!a.body || same_body(*a.body, *b.body)) && a.response.has_value() == b.response.has_value() &&
         (!a.response || (a.response->bytes == b.response->bytes && a.response->cut == b.response->cut));
}

TEST(CaptureFile, WritesTheDocumentedBytes) {
  Capture c;
  c.params = {{"REQUEST_METHOD", "POST"}, {"Q", "a\nb"}};
  c.argv = "x y";
  c.body = Body{5, "ab\0\r\n"s, false};
  c.response = Response{"page", true};
  EXPECT_EQ(cgiecho::capture::write_capture(c),
            "cgiecho-capture 1\n"
            "param 14 4\nREQUEST_METHODPOST\n"
            "param 1 3\nQa\nb\n"
            "argv 3\nx y\n"
            "body 5 5\nab\0\r\n\n"
            "response 4 cut\npage\n"s);
  c.body = Body{std::nullopt, "", true};
  EXPECT_NE(cgiecho::capture::write_capture(c).find("\nbody - 0 cut\n\n"), std::string::npos);
}

// Whatever the bytes, a file reads back as what was written.
TEST(CaptureFile, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  Capture cases[5];
  cases[1].params = {{"", ""}, {all, all}, {"\n", "\n\n"}, {"A", "1"}, {"A", "2"}};
  cases[2].argv = "";
  cases[2].body = Body{0, "", false};
  cases[2].response = Response{"", false};
  cases[3].argv = all;
  cases[3].body = Body{UINT64_MAX, all + "cgiecho-capture 1\nbody 1 1\n", true};
  cases[4].params = {{"N", "v"}};
  cases[4].response = Response{all, true};
  for (const auto& c : cases) {
    const std::string file = cgiecho::capture::write_capture(c);
    SCOPED_TRACE(testing::PrintToString(file.substr(0, 60)));
    Capture back;
    ReadError error;
    ASSERT_TRUE(cgiecho::capture::read_capture(file, back, error)) << error.message();
    EXPECT_TRUE(same(back, c));
  }
}

TEST(CaptureFile, FaultsNameTheirOffset) {
  const std::string head = "cgiecho-capture 1\n";  // 18 bytes
  const struct {
    std::string file;
    std::uint64_t offset;
    std::string what;  // a part of the message
  } cases[] = {
      {"", 0, "not a capture file"},
      {"GET / HTTP/1.1\r\n", 0, "not a capture file"},
      {"cgiecho-capture 2\n", 16, "version \"2\""},
      {"cgiecho-capture 1", 17, "cut short"},
      {"cgiecho-capture 1\r\n", 16, "version \"1\\x0d\""},
      {head + "params 1 1\nab\n", 18, "unknown record \"params\""},
      {head + "\n", 18, "unknown record \"\""},
      {head + "\x80\xff 1\n", 18, "unknown record \"\\x80\\xff\""},
      {head + "param 1 1", 18, "cut short"},
      {head + "argv 1\nx\n" + std::string(70, 'a'), 27, "longer than 64 bytes"},
      {head + "argv 3\nab", 18, "run past the end of the file (2 bytes left)"},
      {head + "argv 3\nabc", 18, "run past the end"},
      {head + "param 3 4\nabcdef\n", 18, "7 bytes and a line break run past"},
      {head + "argv 3\nabcd\n", 28, "no line break after its 3 bytes"},
      {head + "body 1 1\nx\nbody 1 1\ny\n", 29, "a second body record"},
      {head + "argv 0\n\nargv 0\n\n", 26, "a second argv record"},
      {head + "response 0\n\nresponse 0\n\n", 30, "a second response record"},
      {head + "body 0 0\n\nparam 0 0\n\n", 28, "param record after the body record"},
      {head + "response 0\n\nbody 0 0\n\n", 30, "body record after the response record"},
      {head + "argv 18446744073709551616\n", 18, "overflows 64 bits"},
      {head + "argv 99999999999999999999999\n", 18, "overflows 64 bits"},
      {head + "argv 18446744073709551615\nx\n", 18, "run past the end"},
      {head + "param 18446744073709551615 1\n", 18, "together overflow 64 bits"},
      {head + "body 1 -\n", 18, "\"-\" is not a decimal number"},
      {head + "argv 01\nx\n", 18, "leading zero"},
      {head + "argv +1\nx\n", 18, "not a decimal number"},
      {head + "argv 1 \nx\n", 18, "needs one number"},
      {head + "argv 1 cut\nx\n", 18, "needs one number"},
      {head + "param 1\nx\n", 18, "needs two numbers"},
      {head + "body  1 1\nx\n", 18, "needs two numbers"},
      {head + "body 1 1 cut cut\nx\n", 18, "needs two numbers"},
      {head + "response 1 Cut\nx\n", 18, "needs one number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.file));
    Capture out;
    out.argv = "left over";
    ReadError error;
    ASSERT_FALSE(cgiecho::capture::read_capture(c.file, out, error));
    EXPECT_EQ(error.offset, c.offset);
    EXPECT_NE(error.what.find(c.what), std::string::npos) << error.what;
    EXPECT_EQ(error.message(), "offset " + std::to_string(c.offset) + ": " + error.what);
    EXPECT_FALSE(out.argv.has_value()) << "nothing handed out beside an error";
  }
}

// A file cut at any byte either ends on a record boundary (and reads as the
// records before it) or is refused at or before the cut, never past it.
TEST(CaptureFile, EveryTruncationIsCaught) {
  Capture c;
  c.params = {{"A", "1"}, {"CONTENT_LENGTH", "3"}};
  c.argv = "t";
  c.body = Body{3, "a\nb", true};
  c.response = Response{"ok\n", false};
  const std::string file = cgiecho::capture::write_capture(c);
  std::size_t whole_prefixes = 0;
  for (std::size_t cut = 0; cut < file.size(); ++cut) {
    SCOPED_TRACE(cut);
    Capture out;
    ReadError error;
    if (cgiecho::capture::read_capture(file.substr(0, cut), out, error)) {
      ++whole_prefixes;
      EXPECT_EQ(cgiecho::capture::write_capture(out), file.substr(0, cut));
    } else {
      EXPECT_LE(error.offset, cut);
    }
  }
  EXPECT_EQ(whole_prefixes, 5u);  // after the first line and after each of the first four records
}

}  // namespace
