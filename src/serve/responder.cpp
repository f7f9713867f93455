#include "serve/responder.h"

#include <optional>
#include <string>

#include <cgiecho/platform/platform.h>


namespace cgiecho {

ListenAddress checked_listen_address(std::string_view address, ListenAddress::Kind other,
                                     std::string_view expected) {
  const std::optional<ListenAddress> where = parse_listen_address(address);
  if (!where || (where->kind != ListenAddress::Kind::tcp && where->kind != other)) {
    refuse_listen_address(address, "not HOST:PORT or " + std::string(expected));
  }
  return *where;
}

void warn_if_reachable(std::string_view address, std::string_view shown) {
  if (is_loopback_address(address) || !platform::process_env("FCGI_WEB_SERVER_ADDRS").empty()) return;
  std::string line = "FastCGI responder: warning: listening on ";
  line += shown;
  line +=
      ", which other hosts can reach, and FCGI_WEB_SERVER_ADDRS is not set: any host that reaches it can send "
      "requests (set FCGI_WEB_SERVER_ADDRS to the web server's addresses, or listen on a loopback address)";
  platform::say_on_stderr(line);
}

void refuse_listen_address(std::string_view address, std::string_view why) {
  std::string line = "FastCGI responder: CGIECHO_LISTEN=";
  line += address;
  line += ": ";
  line += why;
  platform::end_with_message(line, 2);
}

}  // namespace cgiecho
