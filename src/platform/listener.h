/// @file
/// What a FastCGI responder asks of the operating system beyond the request
/// seam of platform.h: finding, opening and giving up its listener. Each
/// call is for the system its comment names (listener_posix.cpp,
/// listener_win32.cpp); the other does not define it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

/// POSIX: closes every descriptor above standard error, for a responder
/// about to become another user: one that whoever started it as root left
/// open (a shell's `9<file`) would stay open to that user and to every
/// program its handlers start.
void close_other_descriptors();

/// POSIX: users and groups as /etc/passwd and /etc/group list them, read
/// by the program itself: the static programs carry no name service
/// (glibc's would need its shared libraries, of the very version the
/// program was linked with, at run time). A user or group kept elsewhere
/// (a directory service) is named by number.
struct Account {
  std::string name;  ///< the user's name
  unsigned uid = 0;  ///< the user's number
  unsigned gid = 0;  ///< the number of the user's own group
};
/// POSIX: the user whose name, or failing that whose number, is `who`;
/// false when /etc/passwd lists none.
bool find_account(std::string_view who, Account& out);
/// POSIX: `primary` and each group that /etc/group lists `user` in, once
/// each, `primary` first: what a process that becomes the user is given.
std::vector<unsigned> groups_of(std::string_view user, unsigned primary);
/// POSIX: the group ID that `name` (a group name, or a number) names; false
/// when no such group exists.
bool find_group(const std::string& name, unsigned& gid);

/// POSIX: the program as it was started, for starting it again: the
/// arguments it was given, and the path of argv[0] made absolute when the
/// process started (against the folder it started in, or along PATH for a
/// bare name, as a shell found it), so that a file replaced since, or a
/// symbolic link switched, is what starts next. "" when it cannot be found.
/// @{
std::vector<std::string> start_arguments();
std::string start_program_path();
/// @}

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

/// A responder that cannot go on says why ("FastCGI responder: WHAT") and
/// ends with status 1: a server that starts it again must not see a clean
/// end, or it restarts it in a loop that leaves no trace. `error` is the
/// errno of the failed call, 0 for none.
[[noreturn]] void give_up(std::string_view what, int error = 0);

/// Windows: the IPv4 address, 4 bytes in network order, that a TCP listener
/// on `host` (an address, or a name looked up as libfcgi looks it up to
/// listen there) is bound to; "" when the name does not resolve. Asked
/// after libfcgi has started the socket library.
std::string tcp_host_address(const std::string& host);

}  // namespace cgiecho::platform
