// One libfcgi request behind the platform seam: its parameters as the
// environment, its input stream as standard input, its output as standard
// output. The FastCGI loops of every system (serve_fastcgi.cpp,
// serve_win32.cpp) serve their requests through it. Not installed: it
// needs libfcgi's header, which a program that embeds the library never
// includes.
#pragma once

#include <fcgiapp.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include <cgiecho/platform/platform.h>

#include "platform/narrow.h"
#include "platform/write_all.h"
#include "text/ascii.h"

namespace cgiecho {

class RequestChannel final : public platform::Channel {
 public:
  // How a parameter's name is matched. exact: byte for byte, as the POSIX
  // environment matches names. any_case: ASCII letters in any case, as the
  // Windows environment matches them, so that a program asks for a
  // parameter there as it asks for a CGI variable.
  enum class Names { exact, any_case };

  RequestChannel(FCGX_Request& request, Names names) : request_(request), names_(names) {}

  // The name as platform::variable_name takes it, as for the process's own
  // environment: up to its first NUL, and a name with "=" names nothing. A
  // parameter sent twice (a server configuration that sets one twice) has
  // the value sent last, as an environment set in that order would, and as
  // environment() shows it; on Windows that holds for names that differ in
  // case only.
  std::string env(std::string_view name) override {
    const std::string key(platform::variable_name(name));
    if (key.empty()) return {};
    std::string_view found;
    bool seen = false;
    for (char** entry = request_.envp; entry != nullptr && *entry != nullptr; ++entry) {
      const std::string_view line(*entry);
      if (line.size() > key.size() && line[key.size()] == '=' && same_name(line.substr(0, key.size()), key)) {
        found = line.substr(key.size() + 1);
        seen = true;
      }
    }
    return seen ? std::string(found) : std::string();
  }

  // One entry per name, as the name first came, with the value sent last: a
  // CGI environment cannot hold a name twice. On Windows the name keeps its
  // first spelling, so that readers that look for QUERY_STRING or an HTTP_
  // prefix in the list find it whatever case a later copy had.
  platform::Variables environment() override {
    platform::Variables all;
    std::unordered_map<std::string, std::size_t> where;  // the name as compared -> its entry
    for (char** entry = request_.envp; entry != nullptr && *entry != nullptr; ++entry) {
      const std::string_view line(*entry);
      const std::size_t eq = line.find('=');
      if (eq == std::string_view::npos) continue;
      const std::string_view name = line.substr(0, eq);
      const auto [at, added] = where.emplace(compared(name), all.size());
      if (added) {
        all.emplace_back(name, line.substr(eq + 1));
      } else {
        all[at->second].second = std::string(line.substr(eq + 1));
      }
    }
    return all;
  }

  // FCGX_GetStr waits for the whole count or the end of the input stream,
  // so a short read means the stream ended, as on a pipe; a connection
  // that broke first leaves the stream's error set.
  platform::Read read(char* buffer, std::size_t count) override {
    const int got = FCGX_GetStr(buffer, platform::clamp_count<int>(count), request_.in);
    if (got > 0) return {static_cast<std::size_t>(got), false};
    return {0, FCGX_GetError(request_.in) != 0};
  }

  // Buffered into FastCGI records and sent in full when the request ends;
  // a client that went away makes the rest fail, as a closed pipe.
  bool write(std::string_view bytes) override {
    return platform::write_all(bytes, [this](const char* data, std::size_t count) {
             return FCGX_PutStr(data, platform::clamp_count<int>(count), request_.out);
           }) == bytes.size();
  }

 private:
  bool same_name(std::string_view a, std::string_view b) const {
    return names_ == Names::exact ? a == b : text::equals_ignoring_case(a, b);
  }
  // A name as same_name compares it.
  std::string compared(std::string_view name) const {
    std::string key(name);
    if (names_ == Names::any_case) std::transform(key.begin(), key.end(), key.begin(), text::to_upper);
    return key;
  }

  FCGX_Request& request_;
  Names names_;
};

// What the handler left unread of the request's input. On a kept
// connection those records would otherwise be taken for the next request's,
// and libfcgi drops the connection with the next request on it; on any
// connection, a server still sending a body it was not asked for would see
// the connection closed under it.
inline void drain_input(FCGX_Request& request) {
  char sink[8192];
  while (FCGX_GetStr(sink, sizeof sink, request.in) > 0) {
  }
}

}  // namespace cgiecho
