// The inspector: answers a request with a JSON report of what the server
// and the client sent (method, query, fields, cookies, files, headers and
// the body's size and digest), or with the error that stopped it.
#pragma once

#include <cgiecho/platform/platform.h>

namespace cgiecho::inspect {

// The CGIECHO_* variables among `all`: the limits a responder's own
// environment sets for requests whose parameters do not.
platform::Variables limit_variables(const platform::Variables& all);

// Answers the request in hand through the platform seam, in one write.
// Limits come from the request's variables, else from `own_limits` (empty
// under CGI, where the request's variables are the process's).
void answer_request(const platform::Variables& own_limits);

}  // namespace cgiecho::inspect
