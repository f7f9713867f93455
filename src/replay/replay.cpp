#include "replay/replay.h"

#include <cgiecho/capture/recorder.h>

namespace cgiecho::replay {
namespace {

// Bytes shown in a report: printable ASCII as it is, CR, LF, tab and the
// backslash escaped, any other byte as \xNN, so binary answers stay readable.
std::string shown(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);  // unsigned: bytes above 0x7F must not go negative
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

std::string byte_at(std::string_view bytes, std::size_t at) {
  if (at >= bytes.size()) return "nothing (it ends there)";
  static constexpr char kHex[] = "0123456789abcdef";
  const auto b = static_cast<unsigned char>(bytes[at]);
  return std::string("0x") + kHex[b >> 4] + kHex[b & 0x0F] + " \"" + shown(bytes.substr(at, 1)) + "\"";
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
  static constexpr std::string_view kPrefixes[] = {"LD_", "DYLD_", "BASH_FUNC_"};
  static constexpr std::string_view kNames[] = {"BASH_ENV",      "ENV",       "PERL5OPT",   "PERL5LIB",
                                                "PYTHONPATH",    "PYTHONHOME", "PYTHONSTARTUP", "RUBYOPT",
                                                "RUBYLIB",       "NODE_OPTIONS", "GCONV_PATH"};
  // Without case: Windows reads names so, and leaving out one more name
  // costs nothing.
  const auto same = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
      if (x != b[i]) return false;
    }
    return true;
  };
  for (const std::string_view prefix : kPrefixes)
    if (name.size() >= prefix.size() && same(name.substr(0, prefix.size()), prefix)) return true;
  for (const std::string_view n : kNames)
    if (same(name, n)) return true;
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
  for (const auto& name : names) list += (list.empty() ? "" : " ") + shown(name);
  return "left out of the program's environment, as they would have it load or run code the capture names "
         "(--keep-loader-variables keeps them): " + list;
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
