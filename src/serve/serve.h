// Serving requests: one per process under CGI, many under FastCGI.
#pragma once

#include <functional>

namespace cgiecho {

// Whether the process was started as a FastCGI responder: its standard
// input is a listening socket, as web servers and spawn-fcgi hand it over on
// POSIX, or the listening end of a named pipe, as IIS and mod_fcgid hand it
// over on Windows; or CGIECHO_LISTEN names a listener for it to open. Any
// other start is CGI.
bool started_as_fastcgi();

// Runs `handle` once per request: in a loop while the process is a FastCGI
// responder, once otherwise, so the same program runs both ways. During
// each call the platform seam serves that request (its parameters as the
// environment, its input stream as standard input, its output as standard
// output), so the core and the exported routines work on it unchanged; the
// request data and the CGI header flag start fresh every time. A handler
// that throws costs its own request only. The loop ends when the web server
// sends SIGTERM, or on Windows sets the shutdown event (both after the
// request in hand), or the listener fails. A CGIECHO_LISTEN that names no
// listener, or one that cannot be opened, ends the process with a message.
void serve(const std::function<void()>& handle);

// One request: the request data and the CGI header flag cleared, then
// `handle`, whose exception, if it throws, goes no further. What serve does
// under CGI and for each FastCGI request.
void serve_once(const std::function<void()>& handle);

}  // namespace cgiecho
