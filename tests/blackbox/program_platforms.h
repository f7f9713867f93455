// What the black-box tables share: the builds a table runs against (the
// Linux program, and the x64 and 32-bit Windows programs under Wine), the
// plan that starts one of them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "blackbox/program_run.h"
#include "support/same_bytes.h"

namespace cgiecho::blackbox {

enum class Platform { kLinux, kWindows, kWindows32 };
inline void PrintTo(Platform p, std::ostream* os) {
  *os << (p == Platform::kLinux ? "the Linux program" : p == Platform::kWindows ? "the x64 .exe under Wine"
                                                                                : "the 32-bit .exe under Wine");
}

// A Windows build: its program, the Wine loader for it and a prefix of its own.
struct WindowsBuild {
  const char* exe;
  const char* wine;
  const char* prefix;
  const char* arch;
};

// A missing emulator or program is a failure, never a skip: otherwise a
// broken cross build would pass unnoticed.
inline void expect_runnable(const WindowsBuild& w) {
  ASSERT_STRNE(w.exe, "") << "configure with -DCGIECHO_WINDOWS_EXE / -DCGIECHO_WINDOWS32_EXE=<path of cgiecho.exe>";
  ASSERT_EQ(::access(w.exe, R_OK), 0) << w.exe << " is missing";
  ASSERT_STRNE(w.wine, "") << "configure with -DCGIECHO_WINE / -DCGIECHO_WINE32=<wine loader>";
  ASSERT_EQ(::access(w.wine, X_OK), 0) << w.wine << " is missing";
}

// The program started with exactly `env` (plus, under Wine, what Wine
// itself needs) and `args`: `linux_program` directly, or the Windows build
// under its Wine loader.
inline RunPlan platform_plan(Platform p, const char* linux_program, const WindowsBuild& w,
                             std::vector<std::string> env, std::vector<std::string> args = {}) {
  using namespace std::string_literals;
  RunPlan s;
  if (p == Platform::kLinux) {
    s.argv = {linux_program};
  } else {
    s.argv = {w.wine, w.exe};
    // A UTF-8 locale lets non-ASCII environment values reach the program
    // at all; Wine hands them over in the ANSI code page.
    s.env = {"WINEPREFIX="s + w.prefix, "WINEARCH="s + w.arch, "WINEDEBUG=-all", "LC_ALL=C.UTF-8"};
    s.deadline = std::chrono::seconds(60);  // a cold Wine start on a busy machine takes seconds
  }
  s.argv.insert(s.argv.end(), args.begin(), args.end());
  s.env.insert(s.env.end(), env.begin(), env.end());
  return s;
}

}  // namespace cgiecho::blackbox
