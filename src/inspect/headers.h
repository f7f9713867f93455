// The request's headers as the server passed them: HTTP_* variables and
// the two that CGI names without the prefix.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cgiecho/platform/platform.h>

namespace cgiecho::inspect {

// A header name from the part of its variable's name after "HTTP_": "_"
// becomes "-" and each word is capitalised, its first byte upper-case and
// the rest lower-case (ASCII letters only; other bytes stay as they are):
// ACCEPT_LANGUAGE gives Accept-Language.
std::string header_name(std::string_view variable_suffix);

// Name and value; the value is a view into the variables given.
using Header = std::pair<std::string, std::string_view>;

// Every HTTP_* variable as a header, plus Content-Type and Content-Length
// from CONTENT_TYPE and CONTENT_LENGTH when those are set and not empty.
// HTTP_CONTENT_TYPE and HTTP_CONTENT_LENGTH are left out: a server should
// not pass them, and they would stand beside the real ones. Sorted by the
// bytes of the name (unsigned, shorter first on a common start); headers of
// one name keep the order of their variables.
std::vector<Header> request_headers(const platform::Variables& variables);

}  // namespace cgiecho::inspect
