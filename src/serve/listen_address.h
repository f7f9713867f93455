// CGIECHO_LISTEN: where a responder that opens its own listener listens.
// Compiled on every platform, so that the rule is tested on every one.
#pragma once

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
std::optional<ListenAddress> parse_listen_address(std::string_view text);

}  // namespace cgiecho
