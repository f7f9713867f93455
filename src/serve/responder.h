/// @file
/// What a FastCGI responder does beside serving requests, the same on every
/// system (serve_fastcgi.cpp, serve_win32.cpp): how it ends when it cannot go
/// on, and where CGIECHO_LISTEN asks it to listen.
#pragma once

#include <string_view>

#include "platform/diagnostics.h"
#include "serve/listen_address.h"

namespace cgiecho {

using platform::give_up;

/// The listener a CGIECHO_LISTEN value `address` names: HOST:PORT, or an
/// address of the kind `other` (a socket path on POSIX, a named pipe on
/// Windows). Any other value ends the process with status 2 and a message
/// that names the value and `expected`, what this system takes.
ListenAddress checked_listen_address(std::string_view address, ListenAddress::Kind other,
                                     std::string_view expected);

/// FastCGI has no authentication: a TCP listener that other hosts can reach,
/// with no FCGI_WEB_SERVER_ADDRS in the process's environment to name the
/// web servers, takes requests from any host that reaches it. Says so in one
/// line on standard error when `address` (the listener's address in network
/// byte order, 4 or 16 bytes) is not a loopback address; `shown` names the
/// listener in that line.
void warn_if_reachable(std::string_view address, std::string_view shown);

/// The same end for a CGIECHO_LISTEN `address` that parses but that this
/// system cannot listen on as asked.
[[noreturn]] void refuse_listen_address(std::string_view address, std::string_view why);

}  // namespace cgiecho
