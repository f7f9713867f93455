// One libfcgi request behind the platform seam: its parameters as the
// environment, its input stream as standard input, its output as standard
// output.
#pragma once

#include <fcgiapp.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace cgiecho {

class RequestChannel final : public platform::Channel {
 public:
  // fold_case: names match in any case, as the Windows environment's do, so
  // a program asks for a parameter as it asks for a CGI variable there.
  RequestChannel(FCGX_Request& request, bool fold_case) : request_(request), fold_case_(fold_case) {}

  std::string env(std::string_view name) override {
    const std::string key(name.substr(0, name.find('\0')));
    const char* value = FCGX_GetParam(key.c_str(), request_.envp);
    if (value != nullptr || !fold_case_) return value ? std::string(value) : std::string();
    for (const auto& [n, v] : environment()) {
      if (same_folded(n, key)) return v;
    }
    return {};
  }

  platform::Variables environment() override {
    platform::Variables all;
    for (char** entry = request_.envp; entry != nullptr && *entry != nullptr; ++entry) {
      const std::string_view text(*entry);
      const std::size_t eq = text.find('=');
      if (eq != std::string_view::npos) all.emplace_back(text.substr(0, eq), text.substr(eq + 1));
    }
    return all;
  }

  // FCGX_GetStr waits for the whole count or the end of the input stream,
  // so a short read means the stream ended, as on a pipe.
  std::size_t read(char* buffer, std::size_t count) override {
    const int got = FCGX_GetStr(buffer, static_cast<int>(std::min<std::size_t>(count, INT_MAX)), request_.in);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }

  // Buffered into FastCGI records and sent in full when the request ends;
  // a client that went away makes the rest fail quietly, as a closed pipe.
  void write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const auto n = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
      if (FCGX_PutStr(bytes.data(), n, request_.out) != n) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  static bool same_folded(std::string_view a, std::string_view b) {
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                               [&](char x, char y) { return fold(x) == fold(y); });
  }

  FCGX_Request& request_;
  bool fold_case_;
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
