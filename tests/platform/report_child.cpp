// A child for the run_program tests: writes back what it was started with,
// its arguments, command-line tail, environment and standard input, and
// ends with the status its first argument asks for ("exit7"). Given
// "noread" it leaves its input unread.
#include <string>
#include <string_view>

#include <cgiecho/platform/platform.h>

int main(int argc, char** argv) {
  using namespace cgiecho;
  std::string out;
  for (int i = 1; i < argc; ++i) out += "arg " + std::string(argv[i]) + "\n";
  out += "tail " + platform::command_tail() + "\n";
  for (const auto& [name, value] : platform::process_environment()) out += "env " + name + "=" + value + "\n";
  std::string input;
  const bool read = !(argc > 1 && std::string_view(argv[1]) == "noread");
  char buffer[65536];
  for (std::size_t got; read && (got = platform::read_stdin(buffer, sizeof buffer)) > 0;) input.append(buffer, got);
  out += "stdin " + std::to_string(input.size()) + "\n" + input;
  platform::write_stdout(out);
  return argc > 1 && std::string_view(argv[1]) == "exit7" ? 7 : 0;
}
