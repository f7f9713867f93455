// What only the C wrappers can break: handles read by their counted length,
// the null handle as empty, by-value arguments released, the caller's
// string left alone, arrays replaced, and every accessor bound to its name.
#ifdef _WIN32
#include <windows.h>
#include <oleauto.h>
#endif

#include "cgiecho.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/expected_page.h"
#include "support/handles.h"
#include "support/test_process.h"

namespace {

using namespace std::string_literals;
using cgiecho::test::make;
using cgiecho::test::set_env;
using cgiecho::test::take;
using cgiecho::test::text;
using cgiecho::test::unset_env;
#ifdef _WIN32
using bound_t = LONG;
#else
using bound_t = int32_t;
#endif

TEST(Exports, CodecKeepsNulsAndTheCallersString) {
  cgi_str in = make("a \0<"s);
  EXPECT_EQ(take(CGI_URLENCODE(&in)), "a+%00%3C");
  EXPECT_EQ(text(in), "a \0<"s);
  SysFreeString(in);
  EXPECT_EQ(take(CGI_DECODE(make("a+%00%3C"))), "a \0<"s);  // by value: released inside
  EXPECT_EQ(take(CGI_URLENCODE(nullptr)), "");
  cgi_str null_text = nullptr;
  EXPECT_EQ(CGI_URLENCODE(&null_text), nullptr);  // the empty result is the null handle
  EXPECT_EQ(CGI_DECODE(nullptr), nullptr);
}

TEST(Exports, ParseParmsReplacesTheArray) {
  const struct {
    std::string form;
    std::vector<std::string> pairs;
  } cases[] = {{"a=1&b=x%3Cy", {"a=1", "b=x%3Cy"}}, {"&&", {"", "", ""}}, {"", {}}, {"a\0b"s, {"a\0b"s}}};
  SAFEARRAY* array = nullptr;
  for (const auto& c : cases) {  // each call releases what the previous one left
    SCOPED_TRACE(testing::PrintToString(c.form));
    cgi_str form = make(c.form);
    EXPECT_EQ(CGI_PARSEPARMS(&form, &array), static_cast<int32_t>(c.pairs.size()));
    EXPECT_EQ(text(form), c.form);
    SysFreeString(form);
    ASSERT_NE(array, nullptr);
    bound_t lower = 0, upper = 0;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, static_cast<bound_t>(c.pairs.size()));
    auto* items = static_cast<cgi_str*>(array->pvData);
    for (std::size_t i = 0; i < c.pairs.size(); ++i) EXPECT_EQ(text(items[i]), c.pairs[i]);
  }
  SafeArrayDestroy(array);
}

TEST(Exports, VarAndFieldTakeTheName) {
  cgi_str form = make("a=1&b=x%3Cy");
  EXPECT_EQ(take(CGI_VAR(&form, make("B"))), "x\xABy");
  EXPECT_EQ(take(CGI_VAR(&form, nullptr)), "");
  EXPECT_EQ(take(CGI_VAR(nullptr, make("a"))), "");
  SysFreeString(form);

  set_env("REQUEST_METHOD", "GET");
  set_env("QUERY_STRING", "f=%41+b");
  EXPECT_EQ(CGI_BUFFER(), 7);
  EXPECT_EQ(take(CGI_FIELD(make("f"))), "A b");
  EXPECT_EQ(take(CGI_READ()), "f=%41+b");
}

TEST(Exports, EveryFixedAccessorReadsItsOwnVariable) {
  struct Text {
    const char* var;
    cgi_str (CGI_CALL *read)();
  };
#define ROW_TEXT(v) Text{#v, CGI_##v},
#define ROW_SKIP(v)
  const Text texts[] = {CGI_FIXED_ACCESSORS(ROW_TEXT, ROW_SKIP, ROW_SKIP)};
  EXPECT_EQ(sizeof texts / sizeof texts[0], 36u);
  for (const auto& t : texts) unset_env(t.var);
  for (const auto& t : texts) {
    SCOPED_TRACE(t.var);
    EXPECT_EQ(t.read(), nullptr);  // unset: the null handle
    const std::string value = std::string("v:") + t.var + "\xE9 ";
    set_env(t.var, value);
    EXPECT_EQ(take(t.read()), value);
    unset_env(t.var);  // every other accessor must still see nothing
  }
  set_env("CONTENT_LENGTH", " 42abc");
  set_env("SERVER_PORT", "99999999999");
  EXPECT_EQ(CGI_CONTENT_LENGTH(), 42);
  EXPECT_EQ(CGI_SERVER_PORT(), INT32_MIN);
  const struct {
    const char* value;  // nullptr: unset
    int32_t want;
  } flags[] = {{"0", 0}, {"1", -1}, {" 0", -1}, {"00", -1}, {"", -1}, {nullptr, -1}};
  for (const auto& f : flags) {
    SCOPED_TRACE(f.value ? f.value : "(unset)");
    if (f.value) set_env("SERVER_PORT_SECURE", f.value); else unset_env("SERVER_PORT_SECURE");
    EXPECT_EQ(CGI_SERVER_PORT_SECURE(), f.want);
  }
}

TEST(Exports, GenericAccessorsUpperCaseACopyOfTheName) {
  set_env("QUERY_STRING", "q=1");
  set_env("X_NUM", "&HFFFF&");
  cgi_str name = make("query_string");
  EXPECT_EQ(take(CGI_PARM(&name)), "q=1");
  EXPECT_EQ(text(name), "query_string");
  SysFreeString(name);
  cgi_str num = make("x_num");
  EXPECT_EQ(CGI_LPARM(&num), 65535);
  SysFreeString(num);
  EXPECT_EQ(CGI_PARM(nullptr), nullptr);
  EXPECT_EQ(CGI_LPARM(nullptr), 0);

  // Names are cut to 256 bytes before the lookup.
  const std::string name256(256, 'N');
  set_env(name256, "cut");
  cgi_str long_name = make(std::string(256, 'n') + std::string(44, 'x'));
  EXPECT_EQ(take(CGI_PARM(&long_name)), "cut");
  SysFreeString(long_name);
  unset_env(name256);
}

TEST(Exports, WritersPutEveryByteOut) {
  cgi_str page = make("a<\0b"s);
  cgi_str line = make("x\0y"s);
  cgiecho::test::begin_capture();
  exec_html(&page);
  cgi_write(&line);
  cgi_write(&line);
  cgi_stdout(nullptr);
  const std::string out = cgiecho::test::end_capture();
  const std::string want_page = cgiecho::test::expected_page("a<\0b"s);
  EXPECT_EQ(text(page), want_page);  // exec_html leaves the response in the variable
  EXPECT_EQ(out, want_page + "Content-type: text/html\r\n\r\nx\0y\r\nx\0y\r\n\r\n"s);
  EXPECT_EQ(text(line), "x\0y"s);
  SysFreeString(page);
  SysFreeString(line);
}

TEST(Exports, StdinReadsTheAnnouncedBody) {
  set_env("CONTENT_LENGTH", "5");
  cgiecho::test::feed_stdin("he\0lo and more"s);
  EXPECT_EQ(take(CGI_STDIN()), "he\0lo"s);
  EXPECT_EQ(take(CGI_STDIN()), " and "s);
}

}  // namespace
