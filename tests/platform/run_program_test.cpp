// run_program on the real system (Linux, and the Windows builds under
// Wine), with a child that writes back what it was started with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cgiecho/platform/platform.h>

namespace {

using cgiecho::platform::ProgramRun;
using cgiecho::platform::run_program;
using cgiecho::platform::Variables;

struct Report {
  std::vector<std::string> args;
  std::string tail;
  Variables env;
  std::string input;
};

// Parses what report_child.cpp writes.
Report parse(const std::string& out) {
  Report r;
  std::size_t at = 0;
  auto line = [&] {
    const std::size_t end = out.find('\n', at);
    std::string s = out.substr(at, end - at);
    at = end == std::string::npos ? out.size() : end + 1;
    return s;
  };
  for (;;) {
    const std::string l = line();
    if (l.rfind("arg ", 0) == 0) {
      r.args.push_back(l.substr(4));
    } else if (l.rfind("tail ", 0) == 0) {
      r.tail = l.substr(5);
    } else if (l.rfind("env ", 0) == 0) {
      const std::size_t eq = l.find('=', 5);  // past a leading "=" of the system's own names
      r.env.emplace_back(l.substr(4, eq - 4), eq == std::string::npos ? "" : l.substr(eq + 1));
    } else {
      if (l.rfind("stdin ", 0) == 0) r.input = out.substr(at);
      return r;
    }
  }
}

bool has(const Variables& env, const std::pair<std::string, std::string>& v) {
  for (const auto& e : env)
    if (e == v) return true;
  return false;
}

TEST(RunProgram, TheChildGetsExactlyWhatItIsGiven) {
  std::string high;
  for (int b = 0x20; b < 0x7F; ++b) high += static_cast<char>(b);
  const std::string big(1 << 20, 'x');
  const struct {
    std::string name;
    std::vector<std::string> args;  // after the child's own name
    std::string tail;
    Variables env;
    std::string input;
    std::vector<std::string> want_args;  // as a POSIX program gets them; a Windows program parses the tail itself
  } cases[] = {
      {"nothing at all", {}, "", {}, "", {}},
      {"variables in order, empty and long values",
       {}, "", {{"REQUEST_METHOD", "POST"}, {"EMPTY", ""}, {"PRINTABLE", high}, {"LONG", std::string(20000, 'v')}},
       "", {}},
      {"a tail splits at every blank", {}, "a  b=<1>", {}, "", {"a", "", "b=<1>"}},
      {"arguments first, then the tail", {"first", "second"}, "t", {}, "", {"first", "second", "t"}},
      {"arguments with blanks, quotes and backslashes",
       {"a b", "c\"d", "e\\", "\\\\\"", "f\\g", "\t"}, "", {}, "", {"a b", "c\"d", "e\\", "\\\\\"", "f\\g", "\t"}},
      {"1 MiB of input", {}, "", {{"CONTENT_LENGTH", "1048576"}}, big, {}},
      {"input with every byte", {}, "", {}, high + std::string("\0\r\n\xff", 4), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> command = {REPORT_CHILD};
    command.insert(command.end(), c.args.begin(), c.args.end());
    const ProgramRun run = run_program(command, c.tail, c.env, c.input);
    ASSERT_TRUE(run.started) << run.failure;
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.signal, 0);
    const Report r = parse(run.output);
    if (POSIX_SYSTEM || c.tail.find("  ") == std::string::npos) {
      EXPECT_EQ(r.args, c.want_args);
    }
    EXPECT_EQ(r.input, c.input);
    if (c.args.empty()) {
      EXPECT_EQ(r.tail, c.tail);
    }
    if (POSIX_SYSTEM) {
      EXPECT_EQ(r.env, c.env);
    } else {
      // Wine adds variables of its own; ours must all be there.
      for (const auto& v : c.env) EXPECT_TRUE(has(r.env, v)) << v.first;
    }
  }
}

TEST(RunProgram, StatusAndUnreadInput) {
  const std::string big(4 << 20, 'x');  // more than any pipe holds
  const struct {
    std::string arg;
    std::string input;
    int exit_code;
    std::size_t read;
  } cases[] = {{"exit7", "", 7, 0}, {"noread", big, 0, 0}, {"exit7", big, 7, big.size()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    const ProgramRun run = run_program({REPORT_CHILD, c.arg}, "", {}, c.input);
    ASSERT_TRUE(run.started) << run.failure;
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(parse(run.output).input.size(), c.read);
  }
}

// What a system cannot pass is refused before anything runs, never cut.
TEST(RunProgram, WhatCannotBePassedIsRefused) {
  using namespace std::string_literals;
  const struct {
    std::string name;
    std::vector<std::string> command;
    std::string tail;
    Variables env;
    std::string failure;  // a part of the reason
  } cases[] = {
      {"NUL in a value", {REPORT_CHILD}, "", {{"A", "x\0y"s}}, "NUL"},
      {"NUL in a name", {REPORT_CHILD}, "", {{"A\0B"s, "x"}}, "cannot be put"},
      {"'=' in a name", {REPORT_CHILD}, "", {{"A=B", "x"}}, "cannot be put"},
      {"empty name", {REPORT_CHILD}, "", {{"", "x"}}, "cannot be put"},
      {"NUL in an argument", {REPORT_CHILD, "a\0b"s}, "", {}, "NUL"},
      {"NUL in the tail", {REPORT_CHILD}, "a\0b"s, {}, "NUL"},
      {"no program", {}, "", {}, "no program"},
      {"a program that is not there", {"cgiecho-no-such-program"}, "", {}, "cgiecho-no-such-program"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramRun run = run_program(c.command, c.tail, c.env, "");
    EXPECT_FALSE(run.started);
    EXPECT_NE(run.failure.find(c.failure), std::string::npos) << run.failure;
    EXPECT_EQ(run.output, "");
  }
}

}  // namespace
