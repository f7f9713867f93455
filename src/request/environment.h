/// @file
/// Reading CGI variables. Every reader of a variable goes through here, the
/// exported accessors and the request readers alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cgiecho {

/// Names are cut to this many bytes before the lookup.
inline constexpr std::size_t kMaxNameLength = 256;

/// The variable's value byte for byte, whole at any length; "" when unset.
std::string env_text(std::string_view name);
/// The value read by cgi_val.
std::int32_t env_number(std::string_view name);
/// 0 when the value is exactly "0"; -1 for anything else, unset included.
std::int32_t env_flag(std::string_view name);

/// By a name given by a caller: upper-cased with cgi_ucase first.
/// @{
std::string env_text_named(std::string_view name);
std::int32_t env_number_named(std::string_view name);
/// @}

}  // namespace cgiecho
