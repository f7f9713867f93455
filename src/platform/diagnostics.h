/// @file
/// How a responder that cannot go on ends (stderr_line.cpp); the lines
/// themselves are platform.h's say_on_stderr.
#pragma once

#include <string_view>

namespace cgiecho::platform {

/// A responder that cannot go on says why ("FastCGI responder: WHAT") and
/// ends with status 1: a server that starts it again must not see a clean
/// end, or it restarts it in a loop that leaves no trace. `error` is the
/// errno of the failed call, 0 for none.
[[noreturn]] void give_up(std::string_view what, int error = 0);

}  // namespace cgiecho::platform
