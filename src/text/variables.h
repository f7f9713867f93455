// Looking a name up in a list of variables (names and values in order: CGI's
// environment, a FastCGI request's parameters, a capture's params). A name
// may come more than once, as a server may send it; the last entry is the
// one that counts, everywhere, so that every reader of a request sees the
// same value. Names compare byte for byte.
#pragma once

#include <string_view>

#include "text/ascii.h"

namespace cgiecho::text {

// The last entry's value, or null when the name is not there; it lives as
// long as that entry of `variables`. Any list of pairs whose first member
// compares with a string_view (platform::Variables is the usual one).
template <class Pairs>
auto find_variable(const Pairs& variables, std::string_view name) noexcept -> decltype(&variables.begin()->second) {
  for (auto it = variables.rbegin(); it != variables.rend(); ++it)
    if (std::string_view(it->first) == name) return &it->second;
  return nullptr;
}

// The same value as a view, empty when the name is not there.
template <class Pairs>
std::string_view value_of(const Pairs& variables, std::string_view name) noexcept {
  const auto* value = find_variable(variables, name);
  return value != nullptr ? std::string_view(*value) : std::string_view();
}

// Whether HTTPS, as a server sets it, says the request came over TLS:
// "on" in any case, or "1".
inline bool is_https(std::string_view value) noexcept { return equals_ignoring_case(value, "on") || value == "1"; }

}  // namespace cgiecho::text
