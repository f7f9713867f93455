// Every exported routine with each of its allocations failing in turn. The
// program replaces the global allocation functions (support/alloc_fault.h):
// each allocation is counted, live blocks are tracked, and the n-th
// allocation from a chosen moment fails (std::bad_alloc, or null from the
// nothrow forms). The export
// layer, the core and the scripted platform are linked in, so every
// allocation a call makes passes through here.
#include "cgiecho.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/alloc_fault.h"
#include "support/handles.h"
#include "support/platform_fake.h"

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define CGIECHO_LEAK_CHECK 1
#endif

namespace {

using cgiecho::fake::process;
using cgiecho::test::allocations;

// The arguments of the call, made before counting starts.
cgi_str g_arg = nullptr;   // by reference
cgi_str g_name = nullptr;  // by value: the routine releases it
SAFEARRAY* g_array = nullptr;

using cgiecho::test::make;
using cgiecho::test::view;

// Results are recorded into room reserved up front, so recording allocates
// nothing while blocks are counted.
void record(std::string& out, cgi_str h) {
  if (h != nullptr && SysStringByteLen(h) == 0) {
    out.assign("<empty text in a non-null handle>");
  } else {
    out.assign(view(h));
  }
  SysFreeString(h);
}
void record(std::string& out, int32_t n) {
  char digits[16];
  out.assign(digits, static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%d", static_cast<int>(n))));
}
void record_pairs(std::string& out, int32_t count) {
  record(out, count);
  if (g_array == nullptr) {
    out.append("<no array>");
    return;
  }
  out.append("[");
  const auto* items = static_cast<cgi_str*>(g_array->pvData);
  for (uint32_t i = 0; i < g_array->rgsabound[0].cElements; ++i) out.append(i ? "|" : "").append(view(items[i]));
  out.append("]");
}

void env(const char* name, const char* value) { process().environment[name] = value; }
const char kValue[] = "a value longer than any short string";
const char kForm[] = "a=1&b=some longer pair value&c";
const char kBody[] = "a=1&b=%3C2&c=some more bytes";
void post() {
  env("REQUEST_METHOD", "POST");
  env("CONTENT_LENGTH", "28");
  process().stdin_pieces = {"a=1&b=%3C2&c=som", "e more bytes"};
}
void previous_array() {
  g_array = SafeArrayCreateVector(VT_BSTR, 1, 2);
  static_cast<cgi_str*>(g_array->pvData)[0] = make("old");
  static_cast<cgi_str*>(g_array->pvData)[1] = make("previous array text");
}

struct Row {
  std::string routine;
  void (*setup)();
  void (*call)(std::string& result);
  std::string want;                 // the result of a normal call
  std::string written;              // what a normal call writes
  std::vector<std::string> failed;  // the results allowed when an allocation fails
  // The scripted platform allocates to record each write, so when that
  // fails the call ends with its earlier writes out (the real platform's
  // writes allocate nothing): a routine of several writes may leave the
  // first of them.
  bool partial = false;
};

const std::string kPage =
    "Content-type: text/html\r\n\r\n<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">\r\n"
    "<html><body>a<b and a text past sixteen\r\n</body></html>";

std::vector<Row> rows() {
  return {
#define ROW_TEXT(v) {"CGI_" #v, [] { env(#v, kValue); }, [](std::string& r) { record(r, CGI_##v()); }, kValue, "", {""}},
#define ROW_NUMBER(v) \
  {"CGI_" #v, [] { env(#v, "42 and then some more bytes"); }, [](std::string& r) { record(r, CGI_##v()); }, "42", "", {"0"}},
#define ROW_FLAG(v) {"CGI_" #v, [] { env(#v, "1"); }, [](std::string& r) { record(r, CGI_##v()); }, "-1", "", {"0"}},
      CGI_FIXED_ACCESSORS(ROW_TEXT, ROW_NUMBER, ROW_FLAG)
#undef ROW_TEXT
#undef ROW_NUMBER
#undef ROW_FLAG
      // Room for a body that cannot be had ends the body where the room
      // ends (here, before it begins); a failure after that costs nothing.
      {"CGI_BUFFER", post, [](std::string& r) { record(r, CGI_BUFFER()); }, "28", "", {"0", "28"}},
      {"CGI_STDIN", post, [](std::string& r) { record(r, CGI_STDIN()); }, kBody, "", {"", kBody}},
      {"CGI_READ", [] { env("REQUEST_METHOD", "GET"); env("QUERY_STRING", kBody); },
       [](std::string& r) { record(r, CGI_READ()); }, kBody, "", {""}},
      {"CGI_PARM", [] { env("QUERY_STRING", kValue); g_arg = make("query_string"); },
       [](std::string& r) { record(r, CGI_PARM(&g_arg)); }, kValue, "", {""}},
      {"CGI_LPARM", [] { env("CONTENT_LENGTH", "12345 and more bytes"); g_arg = make("content_length"); },
       [](std::string& r) { record(r, CGI_LPARM(&g_arg)); }, "12345", "", {"0"}},
      {"exec_html", [] { g_arg = make("a<b and a text past sixteen"); }, [](std::string&) { exec_html(&g_arg); }, "",
       kPage, {""}},
      {"cgi_write", [] { g_arg = make(kValue); }, [](std::string&) { cgi_write(&g_arg); }, "",
       std::string("Content-type: text/html\r\n\r\n") + kValue + "\r\n", {""}, true},
      {"cgi_stdout", [] { g_arg = make(kValue); }, [](std::string&) { cgi_stdout(&g_arg); }, "",
       std::string(kValue) + "\r\n", {""}, true},
      {"CGI_URLENCODE", [] { g_arg = make("a b<c and a text past sixteen"); },
       [](std::string& r) { record(r, CGI_URLENCODE(&g_arg)); }, "a+b%3Cc+and+a+text+past+sixteen", "", {""}},
      {"CGI_DECODE", [] { g_name = make("a+b%3Cc+and+a+text+past+sixteen"); },
       [](std::string& r) {
         record(r, CGI_DECODE(g_name));
         g_name = nullptr;
       },
       "a b<c and a text past sixteen", "", {""}},
      {"CGI_PARSEPARMS", [] { g_arg = make(kForm); },
       [](std::string& r) { record_pairs(r, CGI_PARSEPARMS(&g_arg, &g_array)); },
       "3[a=1|b=some longer pair value|c]", "", {"0<no array>"}},
      // The previous array goes first: whichever allocation fails, no array
      // is left, never the old pairs, taken for the new.
      {"CGI_PARSEPARMS", [] { g_arg = make(kForm); previous_array(); },
       [](std::string& r) { record_pairs(r, CGI_PARSEPARMS(&g_arg, &g_array)); },
       "3[a=1|b=some longer pair value|c]", "", {"0<no array>"}},
      {"CGI_VAR", [] { g_arg = make("a=1&name=some value past sixteen"); g_name = make("NAME"); },
       [](std::string& r) {
         record(r, CGI_VAR(&g_arg, g_name));
         g_name = nullptr;
       },
       "some value past sixteen", "", {""}},
      {"CGI_FIELD",
       [] {
         env("REQUEST_METHOD", "GET");
         env("QUERY_STRING", "a=1&name=some value past sixteen");
         CGI_BUFFER();
         g_name = make("name");
       },
       [](std::string& r) {
         record(r, CGI_FIELD(g_name));
         g_name = nullptr;
       },
       "some value past sixteen", "", {""}},
  };
}

struct Outcome {
  std::string result, written, arg_before, arg_after;
  std::size_t allocations = 0;
};

void release_arguments() {
  SysFreeString(g_arg);
  SysFreeString(g_name);
  SafeArrayDestroy(g_array);
  g_arg = g_name = nullptr;
  g_array = nullptr;
}

// One call with its n-th allocation failing (0: none); the process state it
// leaves stays for the next call.
void call_once(const Row& row, std::size_t fail_nth, Outcome& out) {
  release_arguments();
  row.setup();
  out.arg_before.assign(view(g_arg));
  const std::size_t made = allocations().made;
  allocations().fail_at = fail_nth == 0 ? 0 : made + fail_nth;
  out.result.clear();
  row.call(out.result);
  allocations().fail_at = 0;
  out.allocations = allocations().made - made;
  out.arg_after.assign(view(g_arg));
  out.written.clear();
  for (const auto& w : process().writes) out.written.append(w);
  process().writes.clear();
}

Outcome reserved() {
  Outcome o;
  for (std::string* s : {&o.result, &o.written, &o.arg_before, &o.arg_after}) s->reserve(4096);
  return o;
}

bool is_prefix(const std::string& part, const std::string& whole) { return whole.compare(0, part.size(), part) == 0; }

TEST(AllocationFailure, EveryAllocationOfEveryRoutineFailsCleanly) {
  Outcome normal = reserved(), failed = reserved(), next = reserved();
  std::set<std::string> covered;
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.routine);
    covered.insert(row.routine);
    cgiecho::fake::reset();
    std::size_t live = allocations().live;
    call_once(row, 0, normal);
    release_arguments();
    cgiecho::fake::reset();
    EXPECT_EQ(normal.result, row.want);
    EXPECT_EQ(normal.written, row.written);
    EXPECT_EQ(allocations().live, live) << "blocks left by a normal call";
    EXPECT_GT(normal.allocations, 0u);

    for (std::size_t n = 1; n <= normal.allocations; ++n) {
      live = allocations().live;
      call_once(row, n, failed);
      call_once(row, 0, next);
      release_arguments();
      cgiecho::fake::reset();
      const std::size_t left = allocations().live - live;
      SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(normal.allocations) + " failed");
      EXPECT_EQ(left, 0u) << "blocks leaked";
      EXPECT_NE(std::find(row.failed.begin(), row.failed.end(), failed.result), row.failed.end()) << failed.result;
      if (row.partial) {
        EXPECT_TRUE(is_prefix(failed.written, normal.written)) << failed.written;
      } else {
        EXPECT_EQ(failed.written, "");
      }
      EXPECT_EQ(failed.arg_after, failed.arg_before);  // exec_html without its page leaves the text
      EXPECT_EQ(next.result, normal.result);
      // The CGI header goes out once: if the failed call wrote it, the next does not.
      EXPECT_TRUE(next.written == normal.written || failed.written + next.written == normal.written) << next.written;
    }
#ifdef CGIECHO_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
  }
  std::istringstream names(CGIECHO_EXPORTED_ROUTINES);
  std::set<std::string> exported;
  for (std::string n; names >> n;) exported.insert(n);
  EXPECT_EQ(covered, exported);
}

}  // namespace
