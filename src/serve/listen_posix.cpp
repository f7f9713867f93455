// CGIECHO_LISTEN on POSIX: the listener is opened before the loop and put
// on descriptor 0, so the responder serves it as one a web server handed
// over.
#include <string>

#include "platform/listener.h"
#include "serve/listen_address.h"

namespace cgiecho {

void open_listener_from_environment() {
  const std::string address = platform::process_env("CGIECHO_LISTEN");
  if (address.empty()) return;
  const std::optional<ListenAddress> where = parse_listen_address(address);
  if (!where || where->kind == ListenAddress::Kind::pipe) {
    platform::end_with_message("CGIECHO_LISTEN=" + address + ": not HOST:PORT or a socket path", 2);
  }
  const std::string failed = where->kind == ListenAddress::Kind::tcp ? platform::listen_on_tcp(where->host, where->port)
                                                                     : platform::listen_on_path(address);
  if (!failed.empty()) platform::end_with_message("CGIECHO_LISTEN=" + address + ": " + failed, 1);
}

}  // namespace cgiecho
