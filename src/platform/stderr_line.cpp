// The one line on standard error, the same on every system: built on the
// seam's program_name and write_stderr, so a scripted system sees it too.
#include <cstring>
#include <string>

#include <cgiecho/platform/platform.h>

#include "platform/diagnostics.h"
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

void give_up(std::string_view what, int error) {
  std::string line = "FastCGI responder: ";
  line += what;
  if (error != 0) line += std::string(": ") + std::strerror(error);
  end_with_message(line, 1);
}

}  // namespace cgiecho::platform
