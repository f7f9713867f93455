// CGIECHO_LISTEN: where a responder that opens its own listener listens.
// Header-only so that the rule is tested on every platform.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

namespace cgiecho {

struct ListenAddress {
  enum class Kind { tcp, pipe, path };
  Kind kind = Kind::tcp;
  std::string host;  // tcp: as given, without the brackets of an IPv6 address
  int port = 0;      // tcp: 1 to 65535
};

// "HOST:PORT" (HOST a name, an IPv4 address or a bracketed IPv6 address),
// "\\.\pipe\NAME" (a Windows named pipe, "pipe" in any case), or a socket path: anything with a
// "/" in it. Nothing else: no port, port 0, a host left out (which would
// listen on every address without saying so), a NUL byte.
inline std::optional<ListenAddress> parse_listen_address(std::string_view text) {
  constexpr std::string_view kPipe = "\\\\.\\pipe\\";
  if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
  ListenAddress a;
  auto folded = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (text.size() > kPipe.size() &&
      std::equal(kPipe.begin(), kPipe.end(), text.begin(), [&](char p, char t) { return p == folded(t); })) {
    a.kind = ListenAddress::Kind::pipe;
    return a;
  }
  if (text.find('/') != std::string_view::npos) {
    a.kind = ListenAddress::Kind::path;
    return a;
  }
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  if (port.empty() || port.size() > 5) return std::nullopt;
  int number = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  if (number < 1 || number > 65535) return std::nullopt;
  a.host = std::string(host);
  a.port = number;
  return a;
}

// Whether a listener's address, in network byte order (4 bytes for IPv4, 16
// for IPv6), takes connections from this machine only: 127.0.0.0/8, ::1,
// and ::ffff:127.x.y.z, how an IPv6 socket shows an IPv4 loopback address.
// Any other address (0.0.0.0 and :: among them) can be reached by other
// hosts.
inline bool is_loopback_address(std::string_view bytes) {
  constexpr std::string_view kMapped("\0\0\0\0\0\0\0\0\0\0\xff\xff", 12);
  constexpr std::string_view kLoopback6("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\1", 16);
  if (bytes.size() == 16) {
    if (bytes == kLoopback6) return true;
    if (bytes.substr(0, 12) != kMapped) return false;
    bytes.remove_prefix(12);
  }
  return bytes.size() == 4 && bytes[0] == '\x7f';
}

}  // namespace cgiecho
