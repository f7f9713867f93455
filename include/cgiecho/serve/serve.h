/// @file
/// Serving requests: one per process under CGI, many under FastCGI.
#pragma once

#include <functional>

namespace cgiecho {

/// Whether the process was started as a FastCGI responder: its standard
/// input is a listening socket, as web servers and spawn-fcgi hand it over on
/// POSIX, or the listening end of a named pipe, as IIS and mod_fcgid hand it
/// over on Windows; or CGIECHO_LISTEN names a listener for it to open. Any
/// other start is CGI. Inside serve's loop, where the listener has left
/// standard input, still true.
bool started_as_fastcgi();

/// Runs `handle` once per request: in a loop while the process is a FastCGI
/// responder, once otherwise, so the same program runs both ways. During
/// each call the platform seam serves that request (its parameters as the
/// environment, its input stream as standard input, its output as standard
/// output), so the core and the exported routines work on it unchanged; the
/// request data and the CGI header flag start fresh every time. A handler
/// that throws costs its own request only. The loop ends when the web server
/// sends SIGTERM (or SIGUSR1), or on Windows sets the shutdown event or closes the
/// listener (each after the request in hand). A responder that cannot go on
/// (standard input a socket that does not listen, a CGIECHO_LISTEN listener
/// that cannot be opened, the listening socket or the wait for it failing)
/// says why on standard error and ends the process with status 1, so that a
/// server which starts it again can tell; a CGIECHO_LISTEN value that is no
/// listener address on this system ends it with status 2. A TCP listener
/// that other hosts can reach, with no FCGI_WEB_SERVER_ADDRS to name the web
/// servers, is said at start in one line on standard error.
///
/// On POSIX, while the loop serves, standard input is /dev/null and the
/// listener sits on a descriptor of its own that is closed on exec, so a
/// program that a handler starts never holds it. Started as root with
/// CGIECHO_USER, the responder closes every descriptor above standard error
/// before it becomes that user: open what a handler needs after that.
///
/// With CGIECHO_WORKERS=N in the process's environment, the process that
/// calls serve becomes a pool's master: it starts N workers (the program
/// again, whose own call to serve runs the loop above), keeps them, and
/// stops them on SIGTERM, SIGINT or SIGUSR1 (Windows: Ctrl+C, Ctrl+Break or
/// the shutdown event), then returns; on Linux SIGHUP reloads them. It
/// never calls `handle` itself. On Windows the pool needs a TCP listener; a
/// named pipe is served by one process, as without the variable. The
/// settings of the pool, of the user to run as and of the listening socket
/// are read at start; a bad value ends the process with status 2 and a
/// line that names it (docs/pool.md).
void serve(const std::function<void()>& handle);

/// Back to the state before any request: no request data (its memory
/// released), no CGI header sent. Every request starts from here, under CGI
/// and FastCGI alike, and the process ends here.
void reset_request_state();

/// One request: reset_request_state, then `handle`, whose exception, if it
/// throws, goes no further. What serve does under CGI and for each FastCGI
/// request.
void serve_once(const std::function<void()>& handle);

}  // namespace cgiecho
