/// @file
/// The tail of a Windows command line: what follows the program's name and
/// the blanks after it. Header-only so the rule is tested on every platform.
#pragma once

#include <cstddef>
#include <string_view>

namespace cgiecho {

/// The tail of `line`, a whole command line: past the program's name (in
/// double quotes, or up to the first space or control byte) and the spaces
/// after it; empty when a quote never closes.
inline std::string_view command_tail_of(std::string_view line) {
  std::size_t i = 0;
  if (!line.empty() && line[0] == '"') {
    const std::size_t close = line.find('"', 1);
    // An unclosed quote leaves no way to tell name from arguments.
    if (close == std::string_view::npos) return {};
    i = close + 1;
  } else {
    if (!line.empty() && line[0] != ' ') i = 1;
    // unsigned: bytes above 0x7F belong to the name
    while (i < line.size() && static_cast<unsigned char>(line[i]) > 0x20) ++i;
  }
  while (i < line.size() && line[i] == ' ') ++i;
  return line.substr(i);
}

}  // namespace cgiecho
