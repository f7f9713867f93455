#include "platform/accounts.h"

#include <algorithm>
#include <cstdint>

#include <cgiecho/platform/platform.h>

#include "text/decimal.h"

namespace cgiecho::platform {
namespace {

// Far more than any account file; a larger one is not read at all rather
// than read in part.
constexpr std::uint64_t kMaxFile = 64u << 20;

// A user or group number: decimal digits only, and never (id_t)-1, which
// the system calls take as "no change".
bool id_number(std::string_view text, unsigned& out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const text::Decimal read = text::parse_decimal(text);
  if (read.outcome != text::Decimal::Outcome::number || read.value >= 0xFFFFFFFFu) return false;
  out = static_cast<unsigned>(read.value);
  return true;
}

// Calls `each` with the colon-separated fields of every line that has at
// least `fields` of them; comments and the "+"/"-" lines of old NIS
// setups are no entries.
template <class Each>
void each_entry(std::string_view file, std::size_t fields, Each each) {
  std::vector<std::string_view> parts;
  while (!file.empty()) {
    const std::size_t end = std::min(file.find('\n'), file.size());
    std::string_view line = file.substr(0, end);
    file.remove_prefix(std::min(end + 1, file.size()));
    if (line.empty() || line.front() == '#' || line.front() == '+' || line.front() == '-') continue;
    parts.clear();
    for (;;) {
      const std::size_t colon = line.find(':');
      parts.push_back(line.substr(0, colon));
      if (colon == std::string_view::npos) break;
      line.remove_prefix(colon + 1);
    }
    if (parts.size() >= fields && !parts[0].empty() && !each(parts)) return;
  }
}

std::string file_text(const char* path) {
  std::string text;
  if (read_file(path, kMaxFile, text) != FileRead::ok) text.clear();
  return text;
}

}  // namespace

bool find_account_in(std::string_view passwd, std::string_view who, Account& out) {
  unsigned number = 0;
  const bool is_number = id_number(who, number);
  bool found = false;
  for (const bool by_name : {true, false}) {
    if (!by_name && !is_number) break;
    each_entry(passwd, 7, [&](const std::vector<std::string_view>& f) {
      Account a;
      if (!id_number(f[2], a.uid) || !id_number(f[3], a.gid)) return true;
      if (by_name ? f[0] != who : a.uid != number) return true;
      a.name = std::string(f[0]);
      out = std::move(a);
      found = true;
      return false;
    });
    if (found) return true;
  }
  return false;
}

bool find_group_in(std::string_view group, std::string_view name, unsigned& gid) {
  if (id_number(name, gid)) return true;
  bool found = false;
  each_entry(group, 3, [&](const std::vector<std::string_view>& f) {
    if (f[0] != name || !id_number(f[2], gid)) return true;
    found = true;
    return false;
  });
  return found;
}

std::vector<unsigned> groups_of_in(std::string_view group, std::string_view user, unsigned primary) {
  std::vector<unsigned> out{primary};
  each_entry(group, 3, [&](const std::vector<std::string_view>& f) {
    unsigned gid = 0;
    if (f.size() < 4 || !id_number(f[2], gid) || std::find(out.begin(), out.end(), gid) != out.end()) return true;
    std::string_view members = f[3];
    while (!members.empty()) {
      const std::size_t comma = std::min(members.find(','), members.size());
      if (members.substr(0, comma) == user) {
        out.push_back(gid);
        break;
      }
      members.remove_prefix(std::min(comma + 1, members.size()));
    }
    return true;
  });
  return out;
}

bool find_account(std::string_view who, Account& out) { return find_account_in(file_text("/etc/passwd"), who, out); }

std::vector<unsigned> groups_of(std::string_view user, unsigned primary) {
  return groups_of_in(file_text("/etc/group"), user, primary);
}

bool find_group(const std::string& name, unsigned& gid) { return find_group_in(file_text("/etc/group"), name, gid); }

}  // namespace cgiecho::platform
