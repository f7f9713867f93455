// The one line on standard error, the same on every system: built on the
// seam's program_name and write_stderr, so a scripted system sees it too.
#include <string>

#include <cgiecho/platform/platform.h>

#include "text/ascii.h"

namespace cgiecho::platform {

void say_on_stderr(std::string_view message) {
  std::string line;
  text::append_printable(program_name(), line);
  line += ": ";
  text::append_printable(message, line);
  line += '\n';  // one write, so that lines of several processes never mix
  write_stderr(line);
}

void end_with_message(std::string_view message, int exit_code) {
  say_on_stderr(message);
  end_process(exit_code);
}

}  // namespace cgiecho::platform
