// The built echo program from the outside, as a web server starts it: an
// environment of only the request's variables, a body on a pipe, and every
// byte of standard output and the exit code compared. The same table runs
// against the Linux program and against the x64 and 32-bit Windows programs
// under Wine.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

#include "blackbox/program_platforms.h"
#include "blackbox/program_run.h"
#include "support/expected_page.h"
#include "support/same_bytes.h"

namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using cgiecho::blackbox::run_program;
using cgiecho::blackbox::RunResult;
using cgiecho::blackbox::RunPlan;
using cgiecho::blackbox::StdoutKind;
using cgiecho::blackbox::Platform;
using cgiecho::blackbox::platform_plan;
using cgiecho::blackbox::WindowsBuild;
using cgiecho::blackbox::expect_runnable;
using cgiecho::test::same_bytes;

std::string page(const std::string& data) { return cgiecho::test::expected_page(data); }

// Bytes that repeat a pattern without "<", so they pass unchanged.
std::string filler(std::size_t size, char first = 'a') {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(first + static_cast<char>(i % 26));
  return s;
}

std::string every_byte_but_nul() {
  std::string s;
  for (int b = 1; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

std::string escaped(std::string s) {
  for (std::size_t at = s.find('<'); at != std::string::npos; at = s.find('<', at + 4)) s.replace(at, 1, "&lt;");
  return s;
}

const WindowsBuild kWindows64{CGIECHO_WINDOWS_EXE, CGIECHO_WINE, CGIECHO_WINE_PREFIX, "win64"};
const WindowsBuild kWindows32{CGIECHO_WINDOWS32_EXE, CGIECHO_WINE32, CGIECHO_WINE32_PREFIX, "win32"};

class EchoProgram : public testing::TestWithParam<Platform> {
 protected:
  void SetUp() override {
    if (GetParam() != Platform::kLinux) expect_runnable(windows());
  }

  const WindowsBuild& windows() const { return GetParam() == Platform::kWindows32 ? kWindows32 : kWindows64; }

  RunPlan plan(std::vector<std::string> env, std::vector<std::string> args = {}) const {
    return platform_plan(GetParam(), CGIECHO_PROGRAM, windows(), std::move(env), std::move(args));
  }

  bool on_wine() const { return GetParam() != Platform::kLinux; }

  // Every request ends with the whole page, exit code 0 and nothing on
  // standard error.
  void expect_page(const RunResult& r, const std::string& data) const {
    ASSERT_EQ(r.failure, "");
    EXPECT_FALSE(r.timed_out) << "no answer within the deadline";
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(same_bytes(r.out, page(data)));
    EXPECT_EQ(r.err, "");
  }

  // Each case once: its environment, its body on stdin, then the page.
  template <class Cases>
  void run_cases(const Cases& cases) const {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      RunPlan s = plan(c.env, c.args);
      s.pieces = {c.body};
      expect_page(run_program(s), c.data);
    }
  }
};

struct Case {
  std::string name;
  std::vector<std::string> env;
  std::string body;  // on standard input, then end of input
  std::string data;  // what the page shows
  std::vector<std::string> args = {};
  // Wine converts environment values from the Unix locale's UTF-8 to the
  // Windows ANSI code page (1252) before the program sees them.
  std::optional<std::string> data_under_wine = std::nullopt;
};

TEST_P(EchoProgram, QueryStringMethodsEchoTheQueryString) {
  const std::string long7915 = filler(7915), long7916 = filler(7916), long20000 = filler(20000);
  const std::vector<Case> cases = {
      {"GET", {"REQUEST_METHOD=GET", "QUERY_STRING=a=1&b=2"}, "", "a=1&b=2"},
      {"GET without a query string", {"REQUEST_METHOD=GET"}, "", ""},
      {"GET, empty query string", {"REQUEST_METHOD=GET", "QUERY_STRING="}, "", ""},
      {"escapes stay encoded", {"REQUEST_METHOD=GET", "QUERY_STRING=a>b&c=%3Cd%3E+e%00"}, "", "a>b&c=%3Cd%3E+e%00"},
      {"'<' sanitised", {"REQUEST_METHOD=GET", "QUERY_STRING=name=Ann&note=a<b>"}, "", "name=Ann&note=a&lt;b>"},
      {"'<<' and an entity", {"REQUEST_METHOD=GET", "QUERY_STRING=a<<b&lt;"}, "", "a&lt;&lt;b&lt;"},
      {"nosanitize=1 opts out", {"REQUEST_METHOD=GET", "QUERY_STRING=nosanitize=1&note=a<b>"}, "",
       "nosanitize=1&note=a<b>"},
      {"nosanitize=10 opts out", {"REQUEST_METHOD=GET", "QUERY_STRING=nosanitize=10&x=<i>"}, "", "nosanitize=10&x=<i>"},
      {"NoSanitize=1 does not", {"REQUEST_METHOD=GET", "QUERY_STRING=NoSanitize=1&x=<i>"}, "", "NoSanitize=1&x=&lt;i>"},
      {"marker later does not", {"REQUEST_METHOD=GET", "QUERY_STRING=x=<i>&nosanitize=1"}, "", "x=&lt;i>&nosanitize=1"},
      {"marker cut short does not", {"REQUEST_METHOD=GET", "QUERY_STRING=nosanitize=<"}, "", "nosanitize=&lt;"},
      {"HEAD: the whole page", {"REQUEST_METHOD=HEAD", "QUERY_STRING=a=<1>"}, "", "a=&lt;1>"},
      {"PUT: the body stays unread", {"REQUEST_METHOD=PUT", "QUERY_STRING=q=1", "CONTENT_LENGTH=4"}, "body", "q=1"},
      {"POST's query string is ignored", {"REQUEST_METHOD=POST", "QUERY_STRING=q=1", "CONTENT_LENGTH=4"}, "body",
       "body"},
      {"UTF-8 letters", {"REQUEST_METHOD=GET", "QUERY_STRING=x=\xC3\xA9\xE2\x82\xAC\xC3\xBF"}, "",
       "x=\xC3\xA9\xE2\x82\xAC\xC3\xBF", {}, "x=\xE9\x80\xFF"},
      {"7915 bytes", {"REQUEST_METHOD=GET", "QUERY_STRING=" + long7915}, "", long7915},
      {"7916 bytes", {"REQUEST_METHOD=GET", "QUERY_STRING=" + long7916}, "", long7916},
      {"20000 bytes", {"REQUEST_METHOD=GET", "QUERY_STRING=" + long20000}, "", long20000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunPlan s = plan(c.env, c.args);
    s.pieces = {c.body};
    // Held open: a program that waits for the end of an input it should
    // not read runs into the deadline.
    s.keep_stdin_open = true;
    expect_page(run_program(s), on_wine() && c.data_under_wine ? *c.data_under_wine : c.data);
  }
}

TEST_P(EchoProgram, OtherMethodsEchoTheCommandLine) {
  const std::vector<Case> cases = {
      {"no method, arguments", {}, "", "x=1 y", {"x=1", "y"}},
      {"no method, '<' in an argument", {}, "", "a&lt;b", {"a<b"}},
      {"no method, no arguments", {}, "", ""},  // under Wine its own variables are set too
      {"no method, query string ignored", {"QUERY_STRING=q=1"}, "", "tail", {"tail"}},
      {"lower-case get", {"REQUEST_METHOD=get", "QUERY_STRING=q=1"}, "", "tail", {"tail"}},
      {"lower-case get, no arguments", {"REQUEST_METHOD=get", "QUERY_STRING=q=1"}, "", ""},
      {"Post", {"REQUEST_METHOD=Post", "CONTENT_LENGTH=4"}, "body", "tail", {"tail"}},
      {"GET with a trailing blank", {"REQUEST_METHOD=GET ", "QUERY_STRING=q=1"}, "", "tail", {"tail"}},
      {"DELETE", {"REQUEST_METHOD=DELETE", "QUERY_STRING=q=1"}, "", "tail", {"tail"}},
      {"empty method", {"REQUEST_METHOD=", "QUERY_STRING=q=1"}, "", "tail", {"tail"}},
  };
  run_cases(cases);
}

TEST_P(EchoProgram, PostEchoesContentLengthBytesOfTheBody) {
  const std::string big = filler(100000);
  // Room in large pages from 512 KiB on; past 64 MiB the room grows once.
  const std::string mebibyte = filler(std::size_t{1} << 20);
  const std::string past_room = filler((std::size_t{64} << 20) + 100000);
  const std::string all = "\0"s + every_byte_but_nul();
  const std::string forty_eight = filler(48);
  const std::vector<Case> cases = {
      {"hello", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=5"}, "hello", "hello"},
      {"NUL bytes", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=7"}, "a\0b\0<\0"s, "a\0b\0&lt;\0"s},
      {"every byte", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=256"}, all, escaped(all)},
      {"nosanitize=1 in the body", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=16"}, "nosanitize=1&<i>",
       "nosanitize=1&<i>"},
      {"100000 bytes", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=100000"}, big, big},
      {"32000 bytes", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=32000"}, big.substr(0, 32000), big.substr(0, 32000)},
      {"32001 bytes", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=32001"}, big.substr(0, 32001), big.substr(0, 32001)},
      {"1 MiB", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=1048576"}, mebibyte, mebibyte},
      {"64 MiB + 100000 bytes", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + std::to_string(past_room.size())},
       past_room, past_room},
      {"body ends early", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=10"}, "abcd", "abcd"},
      {"large body ends early", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=100000"}, big.substr(0, 70001),
       big.substr(0, 70001)},
      {"no body at all", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=10"}, "", ""},
      {"CONTENT_LENGTH missing", {"REQUEST_METHOD=POST"}, "hello", ""},
      {"CONTENT_LENGTH empty", {"REQUEST_METHOD=POST", "CONTENT_LENGTH="}, "hello", ""},
      {"CONTENT_LENGTH 0", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=0"}, "hello", ""},
      {"CONTENT_LENGTH negative", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=-5"}, "hello", ""},
      {"CONTENT_LENGTH not a number", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=abc"}, "hello", ""},
      {"CONTENT_LENGTH ' 42'", {"REQUEST_METHOD=POST", "CONTENT_LENGTH= 42"}, forty_eight, forty_eight.substr(0, 42)},
      {"CONTENT_LENGTH tab, line feed", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=\t\n42"}, forty_eight,
       forty_eight.substr(0, 42)},
      {"CONTENT_LENGTH '42abc'", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=42abc"}, forty_eight,
       forty_eight.substr(0, 42)},
      {"CONTENT_LENGTH CR 42", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=\r42"}, forty_eight, ""},
      {"CONTENT_LENGTH 4.5 rounds to even", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=4.5"}, "hello", "hell"},
      {"CONTENT_LENGTH 5.5 rounds to even", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=5.5"}, "hello world",
       "hello "},
      {"CONTENT_LENGTH 2147483647 with 5 bytes", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=2147483647"}, "hello", "hello"},
      {"CONTENT_LENGTH 2147483648", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=2147483648"}, "hello", ""},
      {"CONTENT_LENGTH 1e1", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=1e1"}, forty_eight, forty_eight.substr(0, 10)},
      {"CONTENT_LENGTH &HA", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=&HA"}, forty_eight, forty_eight.substr(0, 10)},
      {"CONTENT_LENGTH beyond 32 bits", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=4294967301"}, "hello", ""},
  };
  run_cases(cases);
}

TEST_P(EchoProgram, PostBodyArrivingInPiecesIsGatheredWhole) {
  const std::string big = filler(100000);
  const struct {
    std::string name;
    std::vector<std::string> pieces;
    std::chrono::milliseconds gap;
  } cases[] = {
      {"5 pieces, 20 ms apart", {"ab", "c<d", "", "ef", "ghij"}, 20ms},
      {"one byte at a time", {"a", "b", "c", "d", "e", "f"}, 5ms},
      {"100000 bytes in uneven pieces",
       {big.substr(0, 1), big.substr(1, 31999), big.substr(32000, 40000), big.substr(72000, 27999), big.substr(99999)},
       10ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string body;
    for (const auto& p : c.pieces) body += p;
    RunPlan s = plan({"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + std::to_string(body.size())});
    s.pieces = c.pieces;
    s.gap = c.gap;
    s.keep_stdin_open = true;  // the announced length, not the end of input, ends the body
    expect_page(run_program(s), escaped(body));
  }
}

TEST_P(EchoProgram, PostStopsAtContentLengthWhileTheInputStaysOpen) {
  const std::string big = filler(80000);
  const struct {
    std::size_t length;
    std::vector<std::string> pieces;
  } cases[] = {
      {5, {"helloEXTRA"}},
      {5, {"he", "lloEXTRA"}},
      {40000, {big.substr(0, 50000)}},
      {70000, {big.substr(0, 30000), big.substr(30000)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    RunPlan s = plan({"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + std::to_string(c.length)});
    s.pieces = c.pieces;
    s.gap = 20ms;
    s.keep_stdin_open = true;
    if (!on_wine()) s.deadline = 10s;
    std::string sent;
    for (const auto& p : c.pieces) sent += p;
    expect_page(run_program(s), sent.substr(0, c.length));
  }
}

TEST_P(EchoProgram, UnwritableStdoutStillEndsWithExitCodeZero) {
  const std::string big = filler(100000);
  const struct {
    std::string name;
    StdoutKind out;
    std::vector<std::string> env;
    std::string body;
  } cases[] = {
      {"reader gone, GET", StdoutKind::kReaderGone, {"REQUEST_METHOD=GET", "QUERY_STRING=a=1"}, ""},
      {"reader gone, 100000-byte POST", StdoutKind::kReaderGone, {"REQUEST_METHOD=POST", "CONTENT_LENGTH=100000"}, big},
      {"closed, GET", StdoutKind::kClosed, {"REQUEST_METHOD=GET", "QUERY_STRING=a=1"}, ""},
      {"closed, 100000-byte POST", StdoutKind::kClosed, {"REQUEST_METHOD=POST", "CONTENT_LENGTH=100000"}, big},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunPlan s = plan(c.env);
    s.pieces = {c.body};
    s.out = c.out;
    const RunResult r = run_program(s);
    ASSERT_EQ(r.failure, "");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);  // neither SIGPIPE nor a failed write changes it
    if (!on_wine()) {
      EXPECT_EQ(r.err, "");
    }
  }
}

// On a packet pipe every write arrives as a read of its own (up to 4096
// bytes a packet), so a page split over two writes shows as two packets.
TEST_P(EchoProgram, SmallResponseArrivesAsOneWrite) {
  const std::vector<Case> cases = {
      {"GET", {"REQUEST_METHOD=GET", "QUERY_STRING=a<b"}, "", "a&lt;b"},
      {"empty GET", {"REQUEST_METHOD=GET"}, "", ""},
      {"POST", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=3000"}, filler(3000), filler(3000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunPlan s = plan(c.env);
    s.pieces = {c.body};
    s.out = StdoutKind::kPacketPipe;
    const RunResult r = run_program(s);
    expect_page(r, c.data);
    EXPECT_EQ(r.packets, std::vector<std::size_t>{page(c.data).size()});
  }
}

INSTANTIATE_TEST_SUITE_P(Linux, EchoProgram, testing::Values(Platform::kLinux),
                         [](const auto&) { return std::string("cgiecho"); });
INSTANTIATE_TEST_SUITE_P(Windows, EchoProgram, testing::Values(Platform::kWindows),
                         [](const auto&) { return std::string("cgiecho_exe"); });
INSTANTIATE_TEST_SUITE_P(Windows32, EchoProgram, testing::Values(Platform::kWindows32),
                         [](const auto&) { return std::string("cgiecho_exe"); });

// Raw bytes above 0x7F that are not UTF-8 cannot reach a program under
// Wine, which converts the environment through the Unix locale; the Linux
// program gets them as they are.
TEST(EchoProgramLinux, EnvironmentBytesAboveAsciiPassUnchanged) {
  const std::string all = every_byte_but_nul();  // NUL cannot be in an environment value
  RunPlan s;
  s.argv = {CGIECHO_PROGRAM};
  s.env = {"REQUEST_METHOD=GET", "QUERY_STRING=" + all};
  const RunResult r = run_program(s);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(same_bytes(r.out, page(escaped(all))));
}

// A server may hand over non-blocking pipes: a read that finds no bytes yet
// (EAGAIN) waits for them rather than ending the body, and a write that
// finds the pipe full waits for room rather than cutting the page.
TEST(EchoProgramLinux, NonBlockingPipesWaitForBytesAndRoom) {
  using namespace std::chrono_literals;
  const std::string big = filler(1 << 20);  // far more than a pipe holds
  const std::string query = filler(120000);
  const auto post = [](const std::string& body) {
    return std::vector<std::string>{"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + std::to_string(body.size())};
  };
  const struct {
    std::string name;
    std::vector<std::string> env, pieces;
    std::string data;
  } cases[] = {
      {"a body in pieces 50 ms apart", post("abc<def"), {"ab", "c<d", "ef"}, "abc&lt;def"},
      {"a page of 120000 bytes, nothing read", {"REQUEST_METHOD=GET", "QUERY_STRING=" + query}, {}, query},
      {"1 MiB in two pieces", post(big), {big.substr(0, 300000), big.substr(300000)}, big},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunPlan s;
    s.argv = {CGIECHO_PROGRAM};
    s.env = c.env;
    s.pieces = c.pieces;
    s.gap = 50ms;
    s.keep_stdin_open = true;
    s.nonblocking = true;
    s.stdout_unread = 100ms;  // the pipe fills: a write meets EAGAIN
    const RunResult r = run_program(s);
    EXPECT_EQ(r.exit_code, 0) << r.failure << r.err;
    EXPECT_TRUE(same_bytes(r.out, page(c.data)));
  }
}

// A client that announces 2 GB and sends three bytes gets its page from a
// process that may not even have 256 MiB of address space.
TEST(EchoProgramLinux, AnnouncedLengthTakesNoRoomAhead) {
  if (CGIECHO_SANITIZED) GTEST_SKIP() << "the sanitizers reserve terabytes of shadow address space";
  RunPlan s;
  s.argv = {"/usr/bin/prlimit", "--as=268435456", CGIECHO_PROGRAM};
  s.env = {"REQUEST_METHOD=POST", "CONTENT_LENGTH=2147483647"};
  s.pieces = {"a<b"};
  const RunResult r = run_program(s);
  EXPECT_EQ(r.exit_code, 0) << r.failure << r.err;
  EXPECT_TRUE(same_bytes(r.out, page("a&lt;b")));
}

// Large pages too reach the kernel in one write call: a program that
// writes in pieces can interleave with another writer or be cut short.
TEST(EchoProgramLinux, WholeResponseIsOneWriteCall) {
  ASSERT_STRNE(CGIECHO_STRACE, "") << "strace is needed to count write calls";
  const std::string body = filler(100000);
  const std::string query = filler(20000);
  const struct {
    std::string name;
    std::vector<std::string> env;
    std::string body, data;
  } cases[] = {
      {"100000-byte POST", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=100000"}, body, body},
      {"20000-byte GET", {"REQUEST_METHOD=GET", "QUERY_STRING=" + query + "<"}, "", query + "&lt;"},
  };
  const std::string log = testing::TempDir() + "cgiecho_writes." + std::to_string(::getpid());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunPlan s;
    s.argv = {CGIECHO_STRACE, "-f", "-qq", "-e", "signal=none", "-e",
              "trace=write,writev,pwrite64,pwritev,pwritev2,sendfile,splice,vmsplice", "-o", log, CGIECHO_PROGRAM};
    s.env = c.env;
    // LeakSanitizer cannot work under ptrace and would fail the run.
    if (CGIECHO_SANITIZED) s.env.push_back("ASAN_OPTIONS=detect_leaks=0");
    s.pieces = {c.body};
    const RunResult r = run_program(s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(same_bytes(r.out, page(c.data)));

    std::ifstream in(log);
    std::vector<std::string> calls;
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    ASSERT_EQ(calls.size(), 1u) << testing::PrintToString(calls);
    const std::string size = std::to_string(page(c.data).size());
    EXPECT_TRUE(std::regex_search(calls[0], std::regex("write\\(1, .*, " + size + "\\) += " + size + "$")))
        << calls[0];
  }
  ::unlink(log.c_str());
}

}  // namespace
