// The two values that live for the whole process. Behind accessors so that
// tests can reset them between cases.
#pragma once

#include <string>

namespace cgiecho {

// The request data: filled by buffer_request, rewritten by the echo page,
// read by field lookups on the request.
std::string& cgi_request_data();

// Whether write_with_header has put the CGI header out yet.
bool& cgi_header_sent();

// Back to the start-up state: empty data, no header sent.
void reset_process_state();

}  // namespace cgiecho
