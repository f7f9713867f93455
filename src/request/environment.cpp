#include "request/environment.h"

#include <cgiecho/platform/platform.h>

#include "codec/ucase.h"
#include "request/number.h"

namespace cgiecho {

std::string env_text(std::string_view name) { return platform::env(name.substr(0, kMaxNameLength)); }

std::int32_t env_number(std::string_view name) { return cgi_val(env_text(name)); }

std::int32_t env_flag(std::string_view name) { return env_text(name) == "0" ? 0 : -1; }

std::string env_text_named(std::string_view name) { return env_text(cgi_ucase(name.substr(0, kMaxNameLength))); }

std::int32_t env_number_named(std::string_view name) { return cgi_val(env_text_named(name)); }

}  // namespace cgiecho
