// Every exported routine with the arguments a careless or hostile caller
// passes: a null address for each by-reference argument, the null handle,
// an empty handle, NUL bytes inside a text and a 64 KiB text. Each must give
// what its documented rule gives for the text it was handed, release what
// it takes and leave alone what it only reads.
#ifdef _WIN32
#include <windows.h>
#include <oleauto.h>
#else
#include <sys/mman.h>
#endif

#include "cgiecho.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/expected_page.h"
#include "support/handles.h"
#include "support/same_bytes.h"
#include "support/test_process.h"

namespace {

using namespace std::string_literals;
using cgiecho::test::make;
using cgiecho::test::same_bytes;
using cgiecho::test::set_env;
using cgiecho::test::text;
using cgiecho::test::unset_env;

enum class Arg { null_address, null_handle, empty, nul, large };
constexpr Arg kArgs[] = {Arg::null_address, Arg::null_handle, Arg::empty, Arg::nul, Arg::large};

std::string rep(const std::string& unit) {
  std::string all;
  for (int i = 0; i < 8192; ++i) all += unit;
  return all;
}
const std::string kNul = "k\0=<%41&k=%00"s;
const std::string kLarge = rep("k=%3C+b&");  // 64 KiB
// The most one Windows environment variable holds: 32767 characters with
// the terminating zero.
const std::string kLargeValue = kLarge.substr(0, 32766);

const std::string& text_of(Arg a) {
  static const std::string none;
  return a == Arg::nul ? kNul : a == Arg::large ? kLarge : none;
}
bool no_handle(Arg a) { return a == Arg::null_address || a == Arg::null_handle; }

// A result as text, released; the empty result must be the null handle.
std::string show(cgi_str h) {
  if (h != nullptr && SysStringByteLen(h) == 0) {
    SysFreeString(h);
    return "<empty text in a non-null handle>";
  }
  std::string s = text(h);
  SysFreeString(h);
  return s;
}
std::string show(int32_t n) { return std::to_string(n); }

template <class Call>
std::string captured(Call call) {
  cgiecho::test::begin_capture();
  call();
  return cgiecho::test::end_capture();
}

// The argument handed by reference; the caller's handle must be the same
// handle with the same bytes afterwards.
template <class Call>
std::string by_ref(Arg a, Call call) {
  cgi_str var = no_handle(a) ? nullptr : make(text_of(a));
  const cgi_str before = var;
  std::string out = call(a == Arg::null_address ? nullptr : &var);
  EXPECT_EQ(var, before);
  EXPECT_TRUE(text(var) == text_of(a));
  SysFreeString(var);
  return out;
}
// By value: the routine owns it and releases it (the sanitizer build sees
// a leak or a second release).
cgi_str by_val(Arg a) { return no_handle(a) ? nullptr : make(text_of(a)); }

// Routines without arguments take their text from the environment: unset
// for the null cases, and a value cannot hold NUL bytes.
void env_input(const char* var, Arg a) {
  if (no_handle(a)) unset_env(var); else set_env(var, a == Arg::large ? kLargeValue : text_of(a));
}
// ... or from the request body.
void post_input(Arg a) {
  set_env("REQUEST_METHOD", "POST");
  if (no_handle(a)) unset_env("CONTENT_LENGTH"); else set_env("CONTENT_LENGTH", std::to_string(text_of(a).size()));
  cgiecho::test::feed_stdin(text_of(a));
}

std::string pairs_of(SAFEARRAY* array) {
  if (array == nullptr) return "<no array>";
  std::string all = "[";
  auto* items = static_cast<cgi_str*>(array->pvData);
  for (uint32_t i = 0; i < array->rgsabound[0].cElements; ++i) all += (i ? "|" : "") + text(items[i]);
  return all + "]";
}

struct Row {
  std::string routine;
  std::string (*run)(Arg);
  std::string empty;               // for the null address, the null handle and the empty text
  std::optional<std::string> nul;  // none: the input cannot carry NUL bytes
  std::string large;
};

std::vector<Row> rows() {
  std::vector<Row> all = {
#define ROW_TEXT(v) {"CGI_" #v, [](Arg a) { env_input(#v, a); return show(CGI_##v()); }, "", std::nullopt, kLargeValue},
#define ROW_NUMBER(v) {"CGI_" #v, [](Arg a) { env_input(#v, a); return show(CGI_##v()); }, "0", std::nullopt, "0"},
#define ROW_FLAG(v) {"CGI_" #v, [](Arg a) { env_input(#v, a); return show(CGI_##v()); }, "-1", std::nullopt, "-1"},
      CGI_FIXED_ACCESSORS(ROW_TEXT, ROW_NUMBER, ROW_FLAG)
#undef ROW_TEXT
#undef ROW_NUMBER
#undef ROW_FLAG
      {"CGI_BUFFER", [](Arg a) { post_input(a); return show(CGI_BUFFER()); }, "0", "13", "65536"},
      {"CGI_READ", [](Arg a) { post_input(a); return show(CGI_READ()); }, "", kNul, kLarge},
      {"CGI_STDIN", [](Arg a) { post_input(a); return show(CGI_STDIN()); }, "", kNul, kLarge},
      // The name is taken up to its first NUL: kNul names K.
      {"CGI_PARM", [](Arg a) { return by_ref(a, [](cgi_str* n) { return show(CGI_PARM(n)); }); }, "", "7", ""},
      {"CGI_LPARM", [](Arg a) { return by_ref(a, [](cgi_str* n) { return show(CGI_LPARM(n)); }); }, "0", "7", "0"},
      {"exec_html",
       [](Arg a) {
         cgi_str var = no_handle(a) ? nullptr : make(text_of(a));
         const std::string out = captured([&] { exec_html(a == Arg::null_address ? nullptr : &var); });
         EXPECT_TRUE(a == Arg::null_address || text(var) == out);  // the response, in the variable
         SysFreeString(var);
         return out;
       },
       cgiecho::test::expected_page(""), cgiecho::test::expected_page(kNul), cgiecho::test::expected_page(kLarge)},
      {"cgi_write", [](Arg a) { return by_ref(a, [](cgi_str* t) { return captured([&] { cgi_write(t); }); }); },
       "\r\n", kNul + "\r\n", kLarge + "\r\n"},
      {"cgi_stdout", [](Arg a) { return by_ref(a, [](cgi_str* t) { return captured([&] { cgi_stdout(t); }); }); },
       "\r\n", kNul + "\r\n", kLarge + "\r\n"},
      {"CGI_URLENCODE", [](Arg a) { return by_ref(a, [](cgi_str* t) { return show(CGI_URLENCODE(t)); }); }, "",
       "k%00%3D%3C%2541%26k%3D%2500", rep("k%3D%253C%2Bb%26")},
      {"CGI_DECODE", [](Arg a) { return show(CGI_DECODE(by_val(a))); }, "", "k\0=<A&k=\0"s, rep("k=< b&")},
      {"CGI_PARSEPARMS",
       [](Arg a) {
         return by_ref(a, [](cgi_str* f) {
           SAFEARRAY* array = nullptr;
           const std::string count = show(CGI_PARSEPARMS(f, &array));
           const std::string out = count + pairs_of(array);
           SafeArrayDestroy(array);
           return out;
         });
       },
       "0[]", "2[k\0=<%41|k=%00]"s, "8193[" + rep("k=%3C+b|") + "]"},
      {"CGI_VAR", [](Arg a) { return by_ref(a, [](cgi_str* f) { return show(CGI_VAR(f, make("k"))); }); }, "",
       "\0"s, "\xAB b"},
      {"CGI_VAR",
       [](Arg a) {
         cgi_str f = make("=e&k=1");  // the empty name finds "e"
         const std::string out = show(CGI_VAR(&f, by_val(a)));
         SysFreeString(f);
         return out;
       },
       "e", "", ""},
      {"CGI_FIELD",
       [](Arg a) {
         set_env("REQUEST_METHOD", "GET");
         set_env("QUERY_STRING", "=e&k=1");
         CGI_BUFFER();  // the request data CGI_FIELD reads
         return show(CGI_FIELD(by_val(a)));
       },
       "e", "", ""},
  };
  return all;
}

TEST(Hostile, EveryRoutineHasARow) {
  std::set<std::string> covered;
  for (const auto& r : rows()) covered.insert(r.routine);
  std::istringstream names(CGIECHO_EXPORTED_ROUTINES);
  std::set<std::string> exported;
  for (std::string n; names >> n;) exported.insert(n);
  EXPECT_EQ(exported.size(), 52u);
  EXPECT_EQ(covered, exported);
}

TEST(Hostile, EveryRoutineGivesTheDocumentedResult) {
  // cgi_write puts the CGI header out once per process; from here on it
  // writes just the text.
  captured([] { cgi_write(nullptr); });
  set_env("K", "7");
  for (const auto& r : rows()) {
    for (const Arg a : kArgs) {
      if (a == Arg::nul && !r.nul) continue;
      SCOPED_TRACE(r.routine + " with argument case " + std::to_string(static_cast<int>(a)));
      const std::string& want = a == Arg::nul ? *r.nul : a == Arg::large ? r.large : r.empty;
      EXPECT_TRUE(same_bytes(r.run(a), want));
    }
  }
}

// Address space that reads as zero bytes, which the system backs with no
// memory of its own until they are written.
#ifdef _WIN32
char* zero_pages(std::size_t size) {
  return static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}
void release_zero_pages(char* block, std::size_t) { VirtualFree(block, 0, MEM_RELEASE); }
#else
char* zero_pages(std::size_t size) {
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return block == MAP_FAILED ? nullptr : static_cast<char*>(block);
}
void release_zero_pages(char* block, std::size_t size) { munmap(block, size); }
#endif

// 1.5e9 NUL bytes encode to 4.5e9, past a handle's 32-bit length: the null
// handle. Counted in a 32-bit std::size_t the length wraps to 205 MB, and
// the encoder writes 4.5e9 bytes into that block. Only the handle's length
// is written; the bytes are zero pages (the 32-bit test program is built
// large-address-aware to have room for them).
TEST(Hostile, EncodingPastFourGigabytesGivesTheNullHandle) {
  constexpr std::uint32_t kLength = 1'500'000'000;
  const std::size_t size = sizeof kLength + std::size_t{kLength} + 2;
  char* block = zero_pages(size);
  ASSERT_NE(block, nullptr) << "no address space for a text of 1.5e9 bytes";
  std::memcpy(block, &kLength, sizeof kLength);
  const cgi_str handle = reinterpret_cast<cgi_str>(block + sizeof kLength);
  cgi_str text = handle;
  EXPECT_EQ(CGI_URLENCODE(&text), nullptr);
  EXPECT_EQ(text, handle);
  release_zero_pages(block, size);
}

#ifdef _WIN32
void lock(SAFEARRAY* array) { SafeArrayLock(array); }
void unlock(SAFEARRAY* array) { SafeArrayUnlock(array); }
#else
// The stand-in has no lock call; a caller's lock is its count.
void lock(SAFEARRAY* array) { ++array->cLocks; }
void unlock(SAFEARRAY* array) { --array->cLocks; }
#endif

SAFEARRAY* array_of(const std::vector<std::string>& items) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 1, static_cast<uint32_t>(items.size()));
  auto* slots = static_cast<cgi_str*>(array->pvData);
  for (std::size_t i = 0; i < items.size(); ++i) slots[i] = make(items[i]);
  return array;
}

TEST(Hostile, ParseParmsWithTheArrayInEveryState) {
  cgi_str form = make("a=1&b");
  EXPECT_EQ(CGI_PARSEPARMS(&form, nullptr), 0);
  EXPECT_EQ(CGI_PARSEPARMS(nullptr, nullptr), 0);

  SAFEARRAY* array = array_of({"old", "x\0y"s});
  EXPECT_EQ(CGI_PARSEPARMS(&form, &array), 2);  // the previous array is released (sanitizer build)
  EXPECT_EQ(pairs_of(array), "[a=1|b]");

  // A locked array cannot be destroyed: the call gives 0 and leaves it.
  SAFEARRAY* const held = array;
  lock(held);
  EXPECT_EQ(CGI_PARSEPARMS(&form, &array), 0);
  EXPECT_EQ(array, held);
  EXPECT_EQ(pairs_of(array), "[a=1|b]");
  EXPECT_EQ(held->rgsabound[0].lLbound, 1);
  unlock(held);
  EXPECT_EQ(CGI_PARSEPARMS(nullptr, &array), 0);  // unlocked again: replaced by no pairs
  EXPECT_EQ(pairs_of(array), "[]");
  SafeArrayDestroy(array);
  SysFreeString(form);
}

#ifndef _WIN32
TEST(Hostile, StandInsTakeTheirEdgeArguments) {
  int32_t bound = 99;
  SAFEARRAY* empty = SafeArrayCreateVector(VT_BSTR, 1, 0);
  const struct {
    const char* what;
    bool ok;
  } cases[] = {
      {"SysStringByteLen of the null handle", SysStringByteLen(nullptr) == 0},
      {"a vector of another type", SafeArrayCreateVector(VT_BSTR + 1, 1, 2) == nullptr},
      {"destroying no array", SafeArrayDestroy(nullptr) == 0},
      {"bounds of no array", SafeArrayGetLBound(nullptr, 1, &bound) < 0 && SafeArrayGetUBound(nullptr, 1, &bound) < 0},
      {"bounds into nowhere", SafeArrayGetLBound(empty, 1, nullptr) < 0 && SafeArrayGetUBound(empty, 1, nullptr) < 0},
      {"bounds of dimension 0 or 2", SafeArrayGetLBound(empty, 0, &bound) < 0 && SafeArrayGetUBound(empty, 2, &bound) < 0},
      {"an empty vector's lower bound", SafeArrayGetLBound(empty, 1, &bound) == 0 && bound == 1},
      {"an empty vector's upper bound", SafeArrayGetUBound(empty, 1, &bound) == 0 && bound == 0},
  };
  for (const auto& c : cases) EXPECT_TRUE(c.ok) << c.what;
  lock(empty);
  EXPECT_LT(SafeArrayDestroy(empty), 0);  // refused: still the caller's
  unlock(empty);
  EXPECT_EQ(SafeArrayDestroy(empty), 0);

  cgi_str zeroed = SysAllocStringByteLen(nullptr, 3);  // no data: zero bytes
  EXPECT_EQ(std::string(zeroed, 4), std::string(4, '\0'));
  SysFreeString(zeroed);
  cgi_str none = SysAllocStringByteLen("ab", 0);  // the empty text, still a handle
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(SysStringByteLen(none), 0u);
  EXPECT_EQ(none[0], '\0');
  SysFreeString(none);
  SysFreeString(nullptr);
}
#endif

}  // namespace
