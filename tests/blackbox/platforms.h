// What the black-box tests share: the builds they run (the Linux program,
// the x64 and 32-bit Windows programs under Wine) and how each is started.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "blackbox/program_run.h"

namespace cgiecho::blackbox {

enum class Platform { kLinux, kWindows, kWindows32 };
inline void PrintTo(Platform p, std::ostream* os) {
  *os << (p == Platform::kLinux     ? "Linux build"
          : p == Platform::kWindows ? "x64 Windows build under Wine"
                                    : "32-bit Windows build under Wine");
}

// A Windows build: its echo program, the Wine loader for it and a prefix
// of its own. Its other programs sit beside the echo program.
struct WindowsBuild {
  const char* exe;
  const char* wine;
  const char* prefix;
  const char* arch;
  std::string beside(const std::string& name) const {
    const std::string path = exe;
    return path.substr(0, path.find_last_of('/') + 1) + name;
  }
};
inline const WindowsBuild kWindows64{CGIECHO_WINDOWS_EXE, CGIECHO_WINE, CGIECHO_WINE_PREFIX, "win64"};
inline const WindowsBuild kWindows32{CGIECHO_WINDOWS32_EXE, CGIECHO_WINE32, CGIECHO_WINE32_PREFIX, "win32"};

class ProgramTest : public testing::TestWithParam<Platform> {
 protected:
  void SetUp() override {
    if (GetParam() == Platform::kLinux) return;
    // A missing emulator or program is a failure, never a skip: otherwise
    // a broken cross build would pass unnoticed.
    const WindowsBuild& w = windows();
    ASSERT_STRNE(w.exe, "") << "configure with -DCGIECHO_WINDOWS_EXE / -DCGIECHO_WINDOWS32_EXE=<path of cgiecho.exe>";
    ASSERT_EQ(::access(w.exe, R_OK), 0) << w.exe << " is missing";
    ASSERT_STRNE(w.wine, "") << "configure with -DCGIECHO_WINE / -DCGIECHO_WINE32=<wine loader>";
    ASSERT_EQ(::access(w.wine, X_OK), 0) << w.wine << " is missing";
  }

  const WindowsBuild& windows() const { return GetParam() == Platform::kWindows32 ? kWindows32 : kWindows64; }
  bool on_wine() const { return GetParam() != Platform::kLinux; }

  // `program` (a path of the Linux build, or a file name of the Windows
  // build) started with exactly `env` (plus, under Wine, what Wine itself
  // needs) and `args`.
  RunPlan plan_for(const std::string& linux_program, const std::string& windows_program, std::vector<std::string> env,
                   std::vector<std::string> args) const {
    RunPlan s;
    if (GetParam() == Platform::kLinux) {
      s.argv = {linux_program};
    } else {
      const WindowsBuild& w = windows();
      s.argv = {w.wine, w.beside(windows_program)};
      // A UTF-8 locale lets non-ASCII environment values reach the program
      // at all; Wine hands them over in the ANSI code page.
      s.env = {std::string("WINEPREFIX=") + w.prefix, std::string("WINEARCH=") + w.arch, "WINEDEBUG=-all",
               "LC_ALL=C.UTF-8"};
      s.deadline = std::chrono::seconds(60);  // a cold Wine start on a busy machine takes seconds
    }
    s.argv.insert(s.argv.end(), args.begin(), args.end());
    s.env.insert(s.env.end(), env.begin(), env.end());
    return s;
  }
};

}  // namespace cgiecho::blackbox
