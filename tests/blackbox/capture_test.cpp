// Capture and replay from the outside: the echo program run as a web server
// runs it with CGIECHO_CAPTURE_DIR set, the file it leaves read back, and
// cgiecho-replay run on that file; on Linux and under Wine (x64 and x86).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <cgiecho/capture/capture_file.h>

#include "blackbox/program_platforms.h"
#include "blackbox/program_run.h"
#include "capture/recorder.h"
#include "support/same_bytes.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using cgiecho::blackbox::expect_runnable;
using cgiecho::blackbox::Platform;
using cgiecho::blackbox::platform_plan;
using cgiecho::blackbox::WindowsBuild;
using cgiecho::blackbox::RunPlan;
using cgiecho::blackbox::RunResult;
using cgiecho::blackbox::run_program;
using cgiecho::test::same_bytes;
using cgiecho::capture::Capture;

std::string filler(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

std::string read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::pair<std::string, std::string> split_variable(const std::string& entry) {
  const std::size_t eq = entry.find('=');
  return {entry.substr(0, eq), entry.substr(eq + 1)};
}

const WindowsBuild kWindows64{CGIECHO_WINDOWS_EXE, CGIECHO_WINE, CGIECHO_WINE_PREFIX, "win64"};
const WindowsBuild kWindows32{CGIECHO_WINDOWS32_EXE, CGIECHO_WINE32, CGIECHO_WINE32_PREFIX, "win32"};

class CaptureProgram : public testing::TestWithParam<Platform> {
 protected:
  void SetUp() override {
    if (on_wine()) {
      expect_runnable(windows());
      // cgiecho-replay.exe sits beside cgiecho.exe, and finds it there.
      const std::string exe = windows().exe;
      replay_exe_ = exe.substr(0, exe.find_last_of('/') + 1) + "cgiecho-replay.exe";
    }
    dir_ = fs::path(testing::TempDir()) / ("cgiecho-captures-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A folder as the program sees it: Wine reaches the Unix root as Z:.
  std::string seen(const fs::path& path) const { return (on_wine() ? "Z:" : "") + path.string(); }
  std::string dir_setting() const { return "CGIECHO_CAPTURE_DIR=" + seen(dir_); }

  const WindowsBuild& windows() const { return GetParam() == Platform::kWindows32 ? kWindows32 : kWindows64; }
  bool on_wine() const { return GetParam() != Platform::kLinux; }

  RunResult echo(std::vector<std::string> env, const std::string& body = "", std::vector<std::string> args = {}) const {
    RunPlan s = platform_plan(GetParam(), CGIECHO_PROGRAM, windows(), std::move(env), std::move(args));
    s.pieces = {body};
    return run_program(s);
  }
  RunResult replay(const fs::path& file, bool compare) const {
    std::vector<std::string> args;
    if (compare) args.push_back("--compare");
    args.insert(args.end(), {seen(file), "--", on_wine() ? "cgiecho.exe" : CGIECHO_PROGRAM});
    const WindowsBuild& w = windows();
    const WindowsBuild replay_build{replay_exe_.c_str(), w.wine, w.prefix, w.arch};
    return run_program(platform_plan(GetParam(), CGIECHO_REPLAY, replay_build, {}, args));
  }

  // The capture files in the folder, oldest first by name.
  std::vector<fs::path> files() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir_))
      if (entry.path().extension() == ".capture") found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
  }
  void clear() const {
    for (const auto& f : files()) fs::remove(f);
  }

  Capture read(const fs::path& file) const {
    Capture c;
    cgiecho::capture::ReadError error;
    EXPECT_TRUE(cgiecho::capture::read_capture(read_whole(file), c, error)) << error.message();
    return c;
  }

  // The variables the capture holds are the request's: under Wine, Wine
  // adds its own, so only ours are looked for.
  void expect_variables(const Capture& c, const std::vector<std::string>& env) const {
    std::vector<std::pair<std::string, std::string>> want;
    for (const auto& e : env) want.push_back(split_variable(e));
    if (!on_wine()) {
      EXPECT_EQ(c.params, want);
      return;
    }
    for (const auto& v : want) EXPECT_NE(std::find(c.params.begin(), c.params.end(), v), c.params.end()) << v.first;
  }

  fs::path dir_;
  std::string replay_exe_;
};

TEST_P(CaptureProgram, EachRequestIsKeptAndReplaysToTheSameAnswer) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  const std::string big = filler(100000);
  const struct {
    std::string name;
    std::vector<std::string> env;
    std::string body;  // on standard input
    std::vector<std::string> args;
    std::optional<std::uint64_t> declared;
    std::string kept;  // the body the capture holds
  } cases[] = {
      {"GET", {"REQUEST_METHOD=GET", "QUERY_STRING=a=1&b=<x>"}, "", {}, std::nullopt, ""},
      {"POST of every byte", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=256"}, every_byte, {}, 256, every_byte},
      {"POST of 100000 bytes", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=100000"}, big, {}, 100000, big},
      {"body short of its length", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=10"}, "ab<d", {}, 10, "ab<d"},
      {"PUT, body left unread", {"REQUEST_METHOD=PUT", "QUERY_STRING=q=1", "CONTENT_LENGTH=4"}, "body", {}, 4, "body"},
      {"no method: the command line", {"QUERY_STRING=q"}, "", {"x=1", "<y>"}, std::nullopt, ""},
      {"length the request readers take", {"REQUEST_METHOD=POST", "CONTENT_LENGTH= 42"}, big.substr(0, 48), {},
       std::nullopt, big.substr(0, 42)},
      {"length that is no number", {"REQUEST_METHOD=POST", "CONTENT_LENGTH=abc"}, "hello", {}, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clear();
    const RunResult plain = echo(c.env, c.body, c.args);
    std::vector<std::string> env = c.env;
    env.push_back(dir_setting());
    const RunResult captured = echo(env, c.body, c.args);
    EXPECT_EQ(captured.exit_code, 0);
    EXPECT_EQ(captured.err, "");
    EXPECT_TRUE(same_bytes(captured.out, plain.out)) << "capture changed the answer";

    const auto found = files();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].extension(), ".capture");
    if (!on_wine()) {
      struct stat st {};
      ASSERT_EQ(::stat(found[0].c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u) << "only the owner may read a capture";
    }
    const Capture file = read(found[0]);
    expect_variables(file, c.env);
    std::string tail;
    for (const auto& a : c.args) tail += (tail.empty() ? "" : " ") + a;
    EXPECT_EQ(file.argv, tail);
    ASSERT_TRUE(file.body.has_value());
    EXPECT_EQ(file.body->declared, c.declared);
    EXPECT_TRUE(same_bytes(file.body->bytes, c.kept));
    EXPECT_FALSE(file.body->cut);
    ASSERT_TRUE(file.response.has_value());
    EXPECT_TRUE(same_bytes(file.response->bytes, captured.out));
    EXPECT_FALSE(file.response->cut);

    const RunResult compared = replay(found[0], true);
    EXPECT_EQ(compared.exit_code, 0) << compared.out << compared.err;
    EXPECT_EQ(compared.out, "same: " + std::to_string(captured.out.size()) + " bytes\n");
    if (c.name == "POST of every byte") {
      const RunResult replayed = replay(found[0], false);
      EXPECT_EQ(replayed.exit_code, 0);
      EXPECT_TRUE(same_bytes(replayed.out, captured.out));
    }
  }
}

TEST_P(CaptureProgram, SecretsStayOutUnlessTheServerAsks) {
  const std::string marker(cgiecho::capture::kSecretMarker);
  // Every variable but the first and the last holds a credential.
  const std::vector<std::string> request = {"REQUEST_METHOD=GET",
                                            "HTTP_COOKIE=sid=s3cr3t",
                                            "HTTP_AUTHORIZATION=Basic QWxhZGRpbg==",
                                            "HTTP_PROXY_AUTHORIZATION=Bearer t0k3n",
                                            "REDIRECT_HTTP_AUTHORIZATION=Basic cmVkaXI=",
                                            "HTTP_X_API_KEY=k-9f8e7d",
                                            "DB_PASSWORD=hunter2",
                                            "HTTP_X_SESSION_ID=sess-5150",
                                            "HTTP_X_TRACE=kept"};
  const struct {
    std::string secrets;  // CGIECHO_CAPTURE_SECRETS, "" for unset
    bool kept;
  } cases[] = {{"", false}, {"1", true}, {"yes", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.secrets);
    clear();
    std::vector<std::string> env = request;
    env.push_back(dir_setting());
    if (!c.secrets.empty()) env.push_back("CGIECHO_CAPTURE_SECRETS=" + c.secrets);
    EXPECT_EQ(echo(env).exit_code, 0);
    const auto found = files();
    ASSERT_EQ(found.size(), 1u);
    std::vector<std::string> want = request;
    if (!c.kept) {
      for (std::size_t i = 1; i + 1 < want.size(); ++i) want[i] = split_variable(want[i]).first + "=" + marker;
    }
    expect_variables(read(found[0]), want);
    if (!c.kept) {
      const std::string file = read_whole(found[0]);
      for (const char* secret : {"s3cr3t", "QWxhZGRpbg", "t0k3n", "cmVkaXI", "k-9f8e7d", "hunter2", "sess-5150"})
        EXPECT_EQ(file.find(secret), std::string::npos) << secret;
    }
  }
}

TEST_P(CaptureProgram, LimitsHoldAndAreSaidOnce) {
  // CGIECHO_CAPTURE_MAX: files the folder may hold, whoever made them.
  for (int i = 0; i < 3; ++i) {
    const RunResult r = echo({"REQUEST_METHOD=GET", "QUERY_STRING=n=" + std::to_string(i), dir_setting(),
                              "CGIECHO_CAPTURE_MAX=2"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("n=" + std::to_string(i)), std::string::npos);
    if (i < 2) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find("CGIECHO_CAPTURE_MAX"), std::string::npos) << r.err;
    }
  }
  const auto two = files();
  ASSERT_EQ(two.size(), 2u);
  EXPECT_NE(read_whole(two[0]).find("n=0"), std::string::npos) << "names sort by time";
  EXPECT_NE(read_whole(two[1]).find("n=1"), std::string::npos);
  // A folder found full is marked so, and not counted again for a while;
  // with room made and the mark gone, capture goes on.
  const fs::path marker = dir_ / std::string(cgiecho::capture::kFullMarker);
  EXPECT_TRUE(fs::exists(marker));
  const RunResult again = echo({"REQUEST_METHOD=GET", dir_setting(), "CGIECHO_CAPTURE_MAX=2"});
  EXPECT_NE(again.err.find("CGIECHO_CAPTURE_MAX"), std::string::npos) << again.err;
  fs::remove(two[0]);
  EXPECT_NE(echo({"REQUEST_METHOD=GET", dir_setting(), "CGIECHO_CAPTURE_MAX=2"}).err.find("CGIECHO_CAPTURE_MAX"),
            std::string::npos) << "refused while the mark is young";
  EXPECT_EQ(files().size(), 1u);
  fs::remove(marker);
  EXPECT_EQ(echo({"REQUEST_METHOD=GET", dir_setting(), "CGIECHO_CAPTURE_MAX=2"}).err, "");
  EXPECT_EQ(files().size(), 2u);
  clear();

  // CGIECHO_CAPTURE_MAX_BODY: the body and the response kept as far as it
  // allows, and the records say so.
  const RunResult r = echo({"REQUEST_METHOD=POST", "CONTENT_LENGTH=10", dir_setting(), "CGIECHO_CAPTURE_MAX_BODY=4"},
                           "0123456789");
  EXPECT_NE(r.out.find("0123456789"), std::string::npos) << "the program still gets the whole body";
  const auto one = files();
  ASSERT_EQ(one.size(), 1u);
  const Capture c = read(one[0]);
  ASSERT_TRUE(c.body && c.response);
  EXPECT_EQ(c.body->bytes, "0123");
  EXPECT_EQ(c.body->declared, 10u);
  EXPECT_TRUE(c.body->cut);
  EXPECT_EQ(c.response->bytes, "Cont");
  EXPECT_TRUE(c.response->cut);
  const RunResult compared = replay(one[0], true);
  EXPECT_EQ(compared.exit_code, 0);
  EXPECT_NE(compared.out.find("as far as the capture kept"), std::string::npos) << compared.out;
  EXPECT_NE(compared.err.find("cut"), std::string::npos) << compared.err;
}

TEST_P(CaptureProgram, WhatFailsNeverChangesTheAnswer) {
  const fs::path not_a_folder = dir_ / "file.capture";
  std::ofstream(not_a_folder) << "x";
  const struct {
    std::string name;
    std::vector<std::string> settings;
    std::string said;  // a part of the one line on standard error
  } cases[] = {
      {"missing folder", {"CGIECHO_CAPTURE_DIR=" + seen(dir_ / "missing")}, "missing"},
      {"a file, not a folder", {"CGIECHO_CAPTURE_DIR=" + seen(not_a_folder)}, "cannot be read"},
      {"cap not a number", {dir_setting(), "CGIECHO_CAPTURE_MAX=ten"}, "CGIECHO_CAPTURE_MAX"},
      {"body limit not a number", {dir_setting(), "CGIECHO_CAPTURE_MAX_BODY=-1"}, "CGIECHO_CAPTURE_MAX_BODY"},
      {"cap of none", {dir_setting(), "CGIECHO_CAPTURE_MAX=0"}, "CGIECHO_CAPTURE_MAX"},
  };
  const std::vector<std::string> request = {"REQUEST_METHOD=POST", "CONTENT_LENGTH=5"};
  const RunResult plain = echo(request, "a<b>c");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> env = request;
    env.insert(env.end(), c.settings.begin(), c.settings.end());
    const RunResult r = echo(env, "a<b>c");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(same_bytes(r.out, plain.out));
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(files(), std::vector<fs::path>{not_a_folder});
  }
}

INSTANTIATE_TEST_SUITE_P(Linux, CaptureProgram, testing::Values(Platform::kLinux),
                         [](const auto&) { return std::string("cgiecho"); });
INSTANTIATE_TEST_SUITE_P(Windows, CaptureProgram, testing::Values(Platform::kWindows),
                         [](const auto&) { return std::string("cgiecho_exe"); });
INSTANTIATE_TEST_SUITE_P(Windows32, CaptureProgram, testing::Values(Platform::kWindows32),
                         [](const auto&) { return std::string("cgiecho_exe"); });

// A C host of the 52 routines: the first request reader captures the
// request, without a response record, and a replay gives the host the same.
TEST(CaptureLinux, CHostsCaptureTheRequestTheyRead) {
  const fs::path dir = fs::path(testing::TempDir()) / ("cgiecho-c-host-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  RunPlan s;
  s.argv = {CGIECHO_C_HOST};
  s.env = {"REQUEST_METHOD=POST", "CONTENT_LENGTH=6", "CGIECHO_CAPTURE_DIR=" + dir.string()};
  s.pieces = {"a\0b<c>"s};
  const RunResult r = run_program(s);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  std::vector<fs::path> found(fs::directory_iterator(dir), fs::directory_iterator{});
  ASSERT_EQ(found.size(), 1u);
  Capture c;
  cgiecho::capture::ReadError error;
  ASSERT_TRUE(cgiecho::capture::read_capture(read_whole(found[0]), c, error)) << error.message();
  ASSERT_TRUE(c.body.has_value());
  EXPECT_EQ(c.body->bytes, "a\0b<c>"s);
  EXPECT_FALSE(c.response.has_value());

  RunPlan again;
  again.argv = {CGIECHO_REPLAY, found[0].string(), "--", CGIECHO_C_HOST};
  const RunResult replayed = run_program(again);
  EXPECT_EQ(replayed.exit_code, 0);
  EXPECT_TRUE(same_bytes(replayed.out, r.out));
  fs::remove_all(dir);
}

// docs/capture.md shows the capture of one GET byte for byte (its CR LF shown
// as line breaks): it is the file the program writes.
TEST(CaptureLinux, TheDocumentedExampleIsWhatTheProgramWrites) {
  const std::string page = read_whole(fs::path(CGIECHO_SOURCE_DIR) / "docs" / "capture.md");
  const std::size_t intro = page.find("capture of a GET with two variables");
  ASSERT_NE(intro, std::string::npos);
  const std::size_t open = page.find("```\n", intro) + 4;
  const std::string shown = page.substr(open, page.find("```\n", open) - open);

  const fs::path dir = fs::path(testing::TempDir()) / ("cgiecho-readme-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  RunPlan s;
  s.argv = {CGIECHO_PROGRAM};
  s.env = {"REQUEST_METHOD=GET", "QUERY_STRING=a=<b>", "CGIECHO_CAPTURE_DIR=" + dir.string()};
  ASSERT_EQ(run_program(s).exit_code, 0);
  std::vector<fs::path> found(fs::directory_iterator(dir), fs::directory_iterator{});
  ASSERT_EQ(found.size(), 1u);
  std::string file = read_whole(found[0]);
  for (std::size_t at = file.find("\r\n"); at != std::string::npos; at = file.find("\r\n", at)) file.erase(at, 1);
  EXPECT_EQ(file, shown);
  fs::remove_all(dir);
}

// The inspector echoes the request's headers: where it echoes a removed
// value byte for byte, the response record holds the marker instead, and
// a replay compares the same where only removed values differ.
TEST(CaptureLinux, TheInspectorsEchoOfACredentialIsRemoved) {
  const std::string marker(cgiecho::capture::kSecretMarker);
  const fs::path dir = fs::path(testing::TempDir()) / ("cgiecho-inspect-capture-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  const struct {
    std::string name;
    std::vector<std::string> env;
    std::vector<std::string> gone;  // bytes the file must not hold
    std::string echo;               // what its response record holds instead
    bool same;                      // whether a replay compares the same
  } cases[] = {
      {"the inspector echoing a cookie", {"HTTP_COOKIE=sid=s3cr3t; lang=\"en\""}, {"sid=s3cr3t", "s3cr3t"},
       "[\"sid\",\"" + marker + "\"]",
       false},  // a replay sends the marker as the header, which holds no cookie to list
      {"an API key and a token", {"HTTP_X_API_KEY=k-9f8e7d", "HTTP_X_AUTH_TOKEN=t-0a1b2c"}, {"k-9f8e7d", "t-0a1b2c"},
       "[\"X-Api-Key\",\"" + marker + "\"]", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(dir);
    RunPlan s;
    s.argv = {CGIECHO_INSPECT};
    s.env = {"REQUEST_METHOD=GET", "CGIECHO_CAPTURE_DIR=" + dir.string()};
    s.env.insert(s.env.end(), c.env.begin(), c.env.end());
    const RunResult r = run_program(s);
    EXPECT_EQ(r.exit_code, 0);
    for (const auto& g : c.gone) EXPECT_NE(r.out.find(g), std::string::npos) << "the answer itself is whole";
    std::vector<fs::path> found(fs::directory_iterator(dir), fs::directory_iterator{});
    ASSERT_EQ(found.size(), 1u);
    const std::string file = read_whole(found[0]);
    for (const auto& g : c.gone) EXPECT_EQ(file.find(g), std::string::npos) << g;
    Capture capture;
    cgiecho::capture::ReadError error;
    ASSERT_TRUE(cgiecho::capture::read_capture(file, capture, error)) << error.message();
    ASSERT_TRUE(capture.response.has_value());
    EXPECT_NE(capture.response->bytes.find(c.echo), std::string::npos) << capture.response->bytes;

    RunPlan again;
    again.argv = {CGIECHO_REPLAY, "--compare", found[0].string(), "--", CGIECHO_INSPECT};
    const RunResult replayed = run_program(again);
    EXPECT_EQ(replayed.exit_code, c.same ? 0 : 1) << replayed.out;
    if (c.same) {
      EXPECT_NE(replayed.out.find("the capture removed matched any bytes"), std::string::npos) << replayed.out;
    }
    fs::remove_all(dir);
  }
}

// Variables that would have the replayed program's loader or interpreter
// load or run code are left out, and named on one line, unless asked for.
TEST(CaptureLinux, ReplayLeavesLoaderVariablesOut) {
  const fs::path dir = fs::path(testing::TempDir()) / ("cgiecho-replay-loader-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  cgiecho::capture::Capture c;
  c.params = {{"REQUEST_METHOD", "GET"},       {"LD_LIBRARY_PATH", "/nonexistent"}, {"BASH_ENV", "/tmp/x.sh"},
              {"BASH_FUNC_f%%", "() { :; }"}, {"PYTHONPATH", "/tmp/py"},          {"QUERY_STRING", "a=1"}};
  const fs::path file = dir / "loader.capture";
  std::ofstream(file, std::ios::binary) << cgiecho::capture::write_capture(c);
  const struct {
    std::vector<std::string> options;
    bool kept;
  } cases[] = {{{}, false}, {{"--keep-loader-variables"}, true}};
  for (const auto& row : cases) {
    SCOPED_TRACE(testing::PrintToString(row.options));
    RunPlan s;
    s.argv = {CGIECHO_REPLAY};
    s.argv.insert(s.argv.end(), row.options.begin(), row.options.end());
    s.argv.insert(s.argv.end(), {file.string(), "--", CGIECHO_REPORT_CHILD});
    const RunResult r = run_program(s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    if (!row.kept) {
      EXPECT_NE(r.out.find("env REQUEST_METHOD=GET\nenv QUERY_STRING=a=1\n"), std::string::npos) << r.out;
    }
    for (const char* name : {"LD_LIBRARY_PATH=", "BASH_ENV=", "BASH_FUNC_f%%=", "PYTHONPATH="})
      EXPECT_EQ(r.out.find(std::string("env ") + name) != std::string::npos, row.kept) << name;
    if (row.kept) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find("LD_LIBRARY_PATH BASH_ENV BASH_FUNC_f%% PYTHONPATH"), std::string::npos) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }
  fs::remove_all(dir);
}

// What cgiecho-replay refuses, and the status it ends with.
TEST(CaptureLinux, ReplayRefusesWhatItCannotRun) {
  const fs::path dir = fs::path(testing::TempDir()) / ("cgiecho-replay-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string whole = "cgiecho-capture 1\nparam 14 3\nREQUEST_METHODGET\n";
  std::ofstream(dir / "whole") << whole;
  std::ofstream(dir / "cut") << whole.substr(0, whole.size() - 3);
  std::ofstream(dir / "nul") << "cgiecho-capture 1\nparam 1 3\nAx\0y\n"s;
  const struct {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string said;
  } cases[] = {
      {"truncated file", {(dir / "cut").string(), "--", CGIECHO_PROGRAM}, 125, "offset 18"},
      {"no such file", {(dir / "none").string(), "--", CGIECHO_PROGRAM}, 125, "cannot be read"},
      {"nothing to compare with", {"--compare", (dir / "whole").string(), "--", CGIECHO_PROGRAM}, 125, "no response"},
      {"no such program", {(dir / "whole").string(), "--", (dir / "none").string()}, 127, "cannot run"},
      {"a value no environment carries", {(dir / "nul").string(), "--", CGIECHO_PROGRAM}, 127, "NUL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunPlan s;
    s.argv = {CGIECHO_REPLAY};
    s.argv.insert(s.argv.end(), c.args.begin(), c.args.end());
    const RunResult r = run_program(s);
    EXPECT_EQ(r.exit_code, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
  }
  fs::remove_all(dir);
}

}  // namespace
