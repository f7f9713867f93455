/// @file
/// What a FastCGI responder asks of the operating system beyond the request
/// seam of platform.h: finding, opening and giving up its listener. Each
/// call is for the system its comment names (listener_posix.cpp,
/// listener_win32.cpp); the other does not define it.
#pragma once

#include <string>
#include <string_view>

namespace cgiecho::platform {

/// Windows: whether standard input is the listening end of a named pipe
/// that a web server handed over, as IIS and Apache's mod_fcgid start a
/// responder: the server end of a two-way pipe. An anonymous pipe is a named
/// pipe's server end too, but a one-way one; consoles, files, sockets and
/// absent handles are no pipe. (On POSIX libfcgi's own rule, a listening
/// socket, applies.)
bool stdin_is_pipe_listener();

/// POSIX: opens a listening socket, on TCP at exactly `host` (an IPv4 or
/// IPv6 address: the static program carries no resolver) and `port`, or at
/// the socket path `path` (replacing only a socket no one listens on), and
/// puts it on standard input, where a web server hands one over, with
/// `backlog` connections waiting at most (the system may hold it lower). A
/// socket path gets the file mode `mode` and, unless `group` is "", that
/// group (a name or a number): it is made, given both and set listening in
/// a folder of its own that it makes beside the path, which no other user
/// may enter, and then renamed to the path, so that nothing at the path is
/// ever changed by name. "" on success, else what failed.
/// @{
std::string listen_on_tcp(const std::string& host, int port, int backlog);
std::string listen_on_path(const std::string& path, int backlog, unsigned mode, const std::string& group);
/// @}

/// POSIX: moves the listening socket from standard input to a descriptor
/// of its own (3 or above) that is closed on exec, and puts /dev/null on
/// standard input: a program that a handler starts (system(), popen())
/// must not inherit the listener, with which it could take the next
/// client's connection. The new descriptor, or -1 with errno set.
int move_listener_off_stdin();

/// Windows: makes the named pipe `name` and puts its listening end on
/// standard input with standard output and error closed, as IIS hands a pipe
/// over. "" on success, else what failed (the name is taken, ...).
std::string listen_on_pipe(const std::string& name);

/// Windows: closes standard output and standard error, as a web server
/// leaves them for a responder: libfcgi takes standard input for a listener
/// only then.
void close_standard_output();

/// Windows: the event a web server sets to ask its responder to end (IIS
/// passes its handle number in _FCGI_SHUTDOWN_EVENT_), taken out of the
/// environment, so that libfcgi does not watch it too (it would end the
/// process at once, request in hand or not) and no program the responder
/// starts inherits the name. True when there is one.
bool take_stop_event();
/// Blocks until the web server sets that event.
void wait_for_stop_event();

/// Windows: the IPv4 address, 4 bytes in network order, that a TCP listener
/// on `host` (an address, or a name looked up as libfcgi looks it up to
/// listen there) is bound to; "" when the name does not resolve. Asked
/// after libfcgi has started the socket library.
std::string tcp_host_address(const std::string& host);

}  // namespace cgiecho::platform
