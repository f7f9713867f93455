// The behaviour tables once more through the exported C routines, so that
// the Windows DLL (under Wine) and libcgiecho.so are held to the same bytes.
#ifdef _WIN32
#include <windows.h>
#include <oleauto.h>
#endif

#include "cgiecho.h"

#include <gtest/gtest.h>

#include <string>

#include "support/field_cases.h"
#include "support/handles.h"
#include "support/test_process.h"

namespace {

using namespace std::string_literals;

using cgiecho::test::make;
using cgiecho::test::take;

TEST(ExportedNumbers, LparmAndContentLengthReadNumbersAlike) {
  const struct {
    std::string value;
    int32_t want;
  } cases[] = {
      {"123", 123}, {" 42", 42}, {"\t\n42", 42}, {"\r42", 0}, {"42abc", 42}, {"abc", 0}, {"", 0}, {"-7", -7},
      {"12.5", 12}, {"13.5", 14}, {"-2.5", -2}, {"1e3", 1000}, {"2.5D1", 25}, {"1e10", INT32_MIN},
      {"99999999999", INT32_MIN}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN},
      {"&H1F", 31}, {"&B101", 5}, {"&O17", 15}, {"&17", 15}, {"&HFFFF", -1}, {"&H0FFFF", 65535},
      {"&HFFFF&", 65535}, {"&HFFFFFFFF", -1}, {"&HFFFFFFFF&&", INT32_MIN}, {"&HFFFF?", 65535}, {"&HG", 0},
  };
  cgi_str name = make("cgiecho_number");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.value));
    cgiecho::test::set_env("CGIECHO_NUMBER", c.value);
    cgiecho::test::set_env("CONTENT_LENGTH", c.value);
    EXPECT_EQ(CGI_LPARM(&name), c.want);
    EXPECT_EQ(CGI_CONTENT_LENGTH(), c.want);
  }
  SysFreeString(name);
}

TEST(ExportedCodec, BothDirectionsByteForByte) {
  const struct {
    std::string plain, encoded;
  } round_trips[] = {
      {"", ""}, {"a b&c", "a+b%26c"}, {"Hello, World!", "Hello%2C+World%21"}, {"A-Z_0.9~", "A%2DZ%5F0%2E9%7E"},
      {"\0x\0"s, "%00x%00"}, {"\x7F\x80\xFF", "%7F%80%FF"}, {"100%", "100%25"},
  };
  for (const auto& c : round_trips) {
    SCOPED_TRACE(testing::PrintToString(c.plain));
    cgi_str plain = make(c.plain);
    EXPECT_EQ(take(CGI_URLENCODE(&plain)), c.encoded);
    SysFreeString(plain);
    EXPECT_EQ(take(CGI_DECODE(make(c.encoded))), c.plain);
  }
  const struct {
    std::string in, want;
  } lenient[] = {
      {"%zz", "\0"s}, {"%1g", "\x01"}, {"%4zA", "\x04" "A"}, {"%%41", "\0" "1"s}, {"%4", "\x04"}, {"%", "%"},
      {"%41%", "A%"}, {"%2541", "%41"}, {"a%-1b", "a\0b"s}, {"++", "  "},
  };
  for (const auto& c : lenient) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(take(CGI_DECODE(make(c.in))), c.want);
  }
}

TEST(ExportedFields, VarMatchesLikeTheCore) {
  for (const auto& c : cgiecho::test::kFieldCases) {
    SCOPED_TRACE(testing::PrintToString(c.form) + " " + testing::PrintToString(c.name));
    cgi_str form = make(c.form);
    cgi_str name = make(c.name);  // by value: CGI_VAR releases it
    EXPECT_EQ(take(CGI_VAR(&form, name)), c.want);
    SysFreeString(form);
  }
}

TEST(ExportedFields, FieldReadsWhatBufferStored) {
  EXPECT_EQ(take(CGI_FIELD(make("a"))), "");  // nothing stored yet
  cgiecho::test::set_env("REQUEST_METHOD", "GET");
  cgiecho::test::set_env("QUERY_STRING", "a=%3C1%3E&b=2");
  EXPECT_EQ(CGI_BUFFER(), 13);
  EXPECT_EQ(take(CGI_FIELD(make("A"))), "\xAB" "1\xBB");
  EXPECT_EQ(take(CGI_FIELD(make("b"))), "2");
  EXPECT_EQ(take(CGI_FIELD(nullptr)), "");
}

}  // namespace
