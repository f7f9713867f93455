// cgiecho-replay: runs a CGI program on a captured request. What the
// program decides without the operating system lives here, so that tests
// reach it; main.cpp runs the program through the platform seam.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cgiecho::replay {

// Exit statuses of the replay itself; without --compare it otherwise ends
// with the program's own status.
inline constexpr int kExitDiffers = 1;      // --compare: the answers differ
inline constexpr int kExitTrouble = 125;    // bad usage, or a file that is not a whole capture
inline constexpr int kExitNotStarted = 127; // the program could not be started

inline constexpr std::string_view kUsage =
    "usage: cgiecho-replay [--compare] [--keep-loader-variables] FILE -- PROGRAM [ARGS...]\n"
    "Runs PROGRAM as a CGI program on the request captured in FILE: exactly the\n"
    "captured variables as its environment, ARGS and then the captured command-line\n"
    "tail as its arguments, the captured body on standard input. Writes what the\n"
    "program answers; with --compare, says instead whether that is the captured\n"
    "response (exit status 0) or where it first differs (exit status 1).\n"
    "Variables that make a loader or an interpreter run code (LD_*, DYLD_*, BASH_ENV,\n"
    "PYTHONPATH and the like) are left out of the environment, and named on standard\n"
    "error, unless --keep-loader-variables is given.\n";

struct Options {
  bool compare = false;
  bool keep_loader_variables = false;
  std::string file;
  std::vector<std::string> command;  // the program and its arguments
};

// The arguments after the program's own name. False, with `error` set,
// when they are not as kUsage says.
bool parse_arguments(const std::vector<std::string>& args, Options& out, std::string& error);

using Variables = std::vector<std::pair<std::string, std::string>>;

// Whether a variable makes the program's loader or interpreter load or run
// code that its value names: LD_* and DYLD_* (the dynamic loaders),
// BASH_ENV, PS4, PERL5LIB, PYTHONPATH, JAVA_TOOL_OPTIONS, LUA_INIT* and
// more, each in one table in replay.cpp with what it does. Names compare
// without case.
bool is_loader_variable(std::string_view name);

// Takes such variables out of `variables`, keeping the others in order;
// gives their names, in order.
std::vector<std::string> remove_loader_variables(Variables& variables);
// What the replay says of them: their names as they are, for stderr_line.
std::string left_out_note(const std::vector<std::string>& names);

// One line for standard error: "cgiecho-replay: ", `raw` with each byte
// that is not printable ASCII (and "\\") as \xhh, then `escaped` as it is
// (text its maker escaped so already: a capture file's fault), and a line
// break.
std::string stderr_line(std::string_view raw, std::string_view escaped = {});

struct Comparison {
  bool same = false;
  std::string report;  // one line when the same; otherwise where and how they differ
};

// The program's answer held against the captured response. A response that
// the capture cut (`captured_cut`) is compared as far as it was kept; each
// marker of a removed value in it (capture::kSecretMarker) matches any
// bytes, none included.
Comparison compare_answers(std::string_view captured, bool captured_cut, std::string_view replayed);

}  // namespace cgiecho::replay
