// The real process environment and standard handles, for tests of the
// exported routines on either platform.
#pragma once

#include <string>

namespace cgiecho::test {

void set_env(const std::string& name, const std::string& value);
void unset_env(const std::string& name);

// Standard input reads these bytes, then ends.
void feed_stdin(const std::string& bytes);

// Everything written to standard output between begin and end.
void begin_capture();
std::string end_capture();

}  // namespace cgiecho::test
