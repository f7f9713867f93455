#include "replay/replay.h"

#include "capture/recorder.h"

#include "text/ascii.h"
#include "text/hex.h"

namespace cgiecho::replay {
namespace {

// Bytes shown in a report: printable ASCII as it is, CR, LF, tab and the
// backslash escaped, any other byte as \xNN, so binary answers stay readable.
std::string shown(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      text::append_printable(std::string_view(&c, 1), out);
    }
  }
  return out;
}

std::string byte_at(std::string_view bytes, std::size_t at) {
  if (at >= bytes.size()) return "nothing (it ends there)";
  const auto b = static_cast<unsigned char>(bytes[at]);
  const std::string hex{text::kHexLower[b >> 4], text::kHexLower[b & 0x0F]};
  return "0x" + hex + " \"" + shown(bytes.substr(at, 1)) + "\"";
}

// The bytes around `at`: a little before it, more after.
std::string excerpt(std::string_view bytes, std::size_t at) {
  const std::size_t from = at < 24 ? 0 : at - 24;
  std::string out = from > 0 ? "..." : "";
  out += shown(bytes.substr(from, 64));
  if (from + 64 < bytes.size()) out += "...";
  return out;
}

std::string count(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

}  // namespace

bool parse_arguments(const std::vector<std::string>& args, Options& out, std::string& error) {
  out = Options{};
  std::size_t i = 0;
  for (; i < args.size() && args[i].size() > 2 && args[i].compare(0, 2, "--") == 0; ++i) {
    if (args[i] == "--compare") {
      out.compare = true;
    } else if (args[i] == "--keep-loader-variables") {
      out.keep_loader_variables = true;
    } else {
      error = "unknown option " + args[i];
      return false;
    }
  }
  if (i == args.size() || args[i] == "--") {
    error = "no capture file named";
    return false;
  }
  out.file = args[i++];
  if (i == args.size() || args[i] != "--") {
    error = "\"--\" and the program to run must follow the capture file";
    return false;
  }
  out.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
  if (out.command.empty()) {
    error = "no program named after \"--\"";
    return false;
  }
  return true;
}

bool is_loader_variable(std::string_view name) {
  // Each a way for a captured value to run code in the program: a library
  // loaded, a module path read first, a file or option run at start.
  static constexpr struct {
    std::string_view name;
    bool prefix;  // every name that begins so
  } kLoaderVariables[] = {
      {"LD_", true},                 // the dynamic loader: LD_PRELOAD, LD_LIBRARY_PATH, LD_AUDIT
      {"DYLD_", true},               // macOS's dynamic loader
      {"GCONV_PATH", false},         // glibc's character set modules, loaded by iconv
      {"BASH_FUNC_", true},          // exported shell functions, defined as bash starts
      {"BASH_ENV", false},           // a file bash runs as it starts
      {"ENV", false},                // a file sh runs as it starts
      {"SHELLOPTS", false},          // bash options at start: xtrace, which expands PS4
      {"BASHOPTS", false},           // bash's shopt options at start
      {"PS4", false},                // expanded before each traced command, $(...) and all
      {"PERL5OPT", false},           // perl options: -M loads a module
      {"PERL5LIB", false},           // perl's module folders, searched first
      {"PERLLIB", false},            // the same, where PERL5LIB is unset
      {"PERL5DB", false},            // the debugger code perl runs under -d
      {"PYTHONPATH", false},         // python's module folders, searched first
      {"PYTHONHOME", false},         // python's standard library
      {"PYTHONSTARTUP", false},      // a file interactive python runs first
      {"RUBYOPT", false},            // ruby options: -r loads a library
      {"RUBYLIB", false},            // ruby's library folders, searched first
      {"NODE_OPTIONS", false},       // node options: --require loads a module
      {"PHPRC", false},              // where php finds php.ini, whose auto_prepend_file runs
      {"PHP_INI_SCAN_DIR", false},   // more ini files php reads
      {"JAVA_TOOL_OPTIONS", false},  // JVM options: -javaagent loads code
      {"_JAVA_OPTIONS", false},      // the same, read by every JVM
      {"JDK_JAVA_OPTIONS", false},   // the java launcher's options
      {"TCLLIBPATH", false},         // tcl's package folders
      {"LUA_INIT", true},            // code lua runs at start; LUA_INIT_5_4 for one version
      {"LUA_PATH", true},            // lua's module paths, LUA_PATH_5_4 too
      {"LUA_CPATH", true},           // lua's C module paths, loaded as libraries
  };
  // Without case: Windows reads names so, and leaving out one more name
  // costs nothing.
  for (const auto& v : kLoaderVariables)
    if (v.prefix ? text::starts_with_ignoring_case(name, v.name) : text::equals_ignoring_case(name, v.name))
      return true;
  return false;
}

std::vector<std::string> remove_loader_variables(Variables& variables) {
  std::vector<std::string> names;
  Variables kept;
  kept.reserve(variables.size());
  for (auto& variable : variables) {
    if (is_loader_variable(variable.first)) {
      names.push_back(std::move(variable.first));
    } else {
      kept.push_back(std::move(variable));
    }
  }
  variables = std::move(kept);
  return names;
}

std::string left_out_note(const std::vector<std::string>& names) {
  std::string list;
  for (const auto& name : names) list += (list.empty() ? "" : " ") + name;
  return "left out of the program's environment, as they would have it load or run code the capture names "
         "(--keep-loader-variables keeps them): " + list;
}

std::string stderr_line(std::string_view raw, std::string_view escaped) {
  std::string line = "cgiecho-replay: ";
  text::append_printable(raw, line);
  line += escaped;
  line += '\n';
  return line;
}

namespace {

// Where they part: `at` in the capture, `at_replayed` in the program's answer.
Comparison differs(std::string_view captured, bool captured_cut, std::string_view replayed, std::size_t at,
                   std::size_t at_replayed) {
  std::string report = "differs at byte " + std::to_string(at) + ": the capture holds " + count(captured.size()) +
                       (captured_cut ? " (cut there)" : "") + ", the program wrote " + count(replayed.size());
  if (at_replayed != at) report += " (there at byte " + std::to_string(at_replayed) + ")";
  report += "\n  captured: " + byte_at(captured, at) + " in " + excerpt(captured, at) + "\n";
  report += "  replayed: " + byte_at(replayed, at_replayed) + " in " + excerpt(replayed, at_replayed);
  return {false, report};
}

std::size_t common_prefix(std::string_view a, std::string_view b) {
  std::size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  return at;
}

}  // namespace

Comparison compare_answers(std::string_view captured, bool captured_cut, std::string_view replayed) {
  // The capture's pieces between markers; each marker stands for bytes the
  // capture removed, and matches any bytes. A response the capture cut is
  // only known as far as it was kept: as if a marker followed it.
  std::vector<std::string_view> pieces;
  for (std::size_t from = 0;;) {
    const std::size_t marker = captured.find(capture::kSecretMarker, from);
    pieces.push_back(captured.substr(from, marker == std::string_view::npos ? std::string_view::npos : marker - from));
    if (marker == std::string_view::npos) break;
    from = marker + capture::kSecretMarker.size();
  }
  const std::size_t markers = pieces.size() - 1;
  std::size_t in_capture = 0;  // where the piece in hand starts, in each
  std::size_t in_replay = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::string_view piece = pieces[i];
    const bool first = i == 0;
    const bool last = i + 1 == pieces.size();
    std::size_t found = in_replay;
    if (!first && !(last && !captured_cut)) {
      // After a marker, the leftmost place the piece appears is as good as
      // any: what follows has the most room.
      found = replayed.find(piece, in_replay);
    } else if (!first) {
      // The last piece of a whole response ends where the answer ends.
      found = replayed.size() >= in_replay + piece.size() ? replayed.size() - piece.size() : std::string_view::npos;
    }
    const bool matched =
        found != std::string_view::npos && replayed.substr(found, piece.size()) == piece &&
        (!last || captured_cut || found + piece.size() == replayed.size());
    if (!matched) {
      // Where the bytes part: in place for the first piece, else from where
      // the piece would have to start.
      const std::size_t from = first || found == std::string_view::npos ? in_replay : found;
      const std::size_t same = common_prefix(piece, replayed.substr(std::min(from, replayed.size())));
      return differs(captured, captured_cut, replayed, in_capture + same, from + same);
    }
    in_replay = found + piece.size();
    in_capture += piece.size() + capture::kSecretMarker.size();
  }
  const std::string kept = captured_cut ? "same as far as the capture kept the response: its first " +
                                              count(captured.size()) + " (the program wrote " + count(replayed.size()) + ")"
                                        : "same: " + count(captured.size());
  if (markers == 0) return {true, kept};
  const std::string removed = std::to_string(markers) + (markers == 1 ? " value" : " values") +
                              " the capture removed matched any bytes";
  if (captured_cut) return {true, kept + ", where " + removed};
  return {true, "same: " + count(replayed.size()) + ", where " + removed};
}

}  // namespace cgiecho::replay
