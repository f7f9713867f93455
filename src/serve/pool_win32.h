// The pool of worker processes on Windows (pool_win32.cpp): the master that
// holds a TCP listener and keeps the workers. A worker is serve_win32.cpp's
// responder with pool::Worker (pool.h) to keep its slot up to date.
#pragma once

#include <string>

#include "serve/listen_address.h"

#include "serve/pool_settings.h"

namespace cgiecho::pool {

// Opens the TCP listener at `where` (parsed from CGIECHO_LISTEN=`address`
// and checked already), starts settings.workers workers (the program again, with the
// same command line, handed the listener, the shared figures and a stop
// event by inheritance) and keeps that many until Ctrl+C, Ctrl+Break or
// the web server's shutdown event (`stop_event`: whether the process was
// given one). Returns when every worker has ended.
void run_windows_master(const PoolSettings& settings, const std::string& address, const ListenAddress& where,
                        bool stop_event);

// In a worker, before libfcgi starts: whether the process is one (then its
// listener is on standard input, standard output and error are closed for
// libfcgi to take it, and the pool's stop event is the one take_stop_event
// finds). restore_standard_output gives output and error back once libfcgi
// has started.
bool prepare_windows_worker();
void restore_standard_output();

}  // namespace cgiecho::pool
