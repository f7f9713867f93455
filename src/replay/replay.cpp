#include "replay/replay.h"

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

Comparison compare_answers(std::string_view captured, bool captured_cut, std::string_view replayed) {
  // A cut response is only known as far as it was kept.
  const std::string_view held = captured_cut ? replayed.substr(0, captured.size()) : replayed;
  std::size_t at = 0;
  while (at < captured.size() && at < held.size() && captured[at] == held[at]) ++at;
  if (at == captured.size() && at == held.size()) {
    if (!captured_cut) return {true, "same: " + count(captured.size())};
    return {true, "same as far as the capture kept the response: its first " + count(captured.size()) +
                      " (the program wrote " + count(replayed.size()) + ")"};
  }
  std::string report = "differs at byte " + std::to_string(at) + ": the capture holds " + count(captured.size()) +
                       (captured_cut ? " (cut there)" : "") + ", the program wrote " + count(replayed.size()) + "\n";
  report += "  captured: " + byte_at(captured, at) + " in " + excerpt(captured, at) + "\n";
  report += "  replayed: " + byte_at(replayed, at) + " in " + excerpt(replayed, at);
  return {false, report};
}

}  // namespace cgiecho::replay
