/// @file
/// CGIECHO_LISTEN: where a responder that opens its own listener listens.
/// Compiled on every platform, so that the rule is tested on every one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cgiecho {

/// A parsed CGIECHO_LISTEN value.
struct ListenAddress {
  /// A TCP address, a Windows named pipe or a socket path.
  enum class Kind { tcp, pipe, path };
  Kind kind = Kind::tcp;  ///< which of the three
  std::string host;  ///< tcp: as given, without the brackets of an IPv6 address
  int port = 0;      ///< tcp: 1 to 65535
};

/// "HOST:PORT" (HOST a name, an IPv4 address or a bracketed IPv6 address),
/// "\\.\pipe\NAME" (a Windows named pipe, "pipe" in any case), or a socket path: anything with a
/// "/" in it. Nothing else: no port, port 0, a host left out (which would
/// listen on every address without saying so), a NUL byte.
std::optional<ListenAddress> parse_listen_address(std::string_view text);

/// Whether a listener's address, in network byte order (4 bytes for IPv4, 16
/// for IPv6), takes connections from this machine only: 127.0.0.0/8, ::1,
/// and \::ffff:127.x.y.z, how an IPv6 socket shows an IPv4 loopback address.
/// Any other address (0.0.0.0 and :: among them) can be reached by other
/// hosts.
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
