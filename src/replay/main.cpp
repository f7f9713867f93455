// cgiecho-replay FILE -- PROGRAM [ARGS]: runs a CGI program on a captured
// request, and with --compare holds its answer against the captured one.
#include <string>
#include <string_view>
#include <vector>

#include <cgiecho/capture/capture_file.h>
#include <cgiecho/platform/platform.h>

#include "replay/replay.h"

namespace {

void say(std::string_view raw, std::string_view escaped = {}) {
  cgiecho::platform::write_stderr(cgiecho::replay::stderr_line(raw, escaped));
}

}  // namespace

int main(int argc, char** argv) {
  using namespace cgiecho;
  replay::Options options;
  std::string error;
  if (!replay::parse_arguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    say(error);
    platform::write_stderr(replay::kUsage);
    return replay::kExitTrouble;
  }
  std::string file;
  if (!capture::read_file(options.file, file)) {
    say(options.file + ": cannot be read");
    return replay::kExitTrouble;
  }
  capture::Capture request;
  capture::ReadError fault;
  if (!capture::read_capture(file, request, fault)) {
    say(options.file + ": not a whole capture file: ", fault.message());
    return replay::kExitTrouble;
  }
  if (options.compare && !request.response) {
    say(options.file + ": holds no response to compare with");
    return replay::kExitTrouble;
  }
  if (!options.keep_loader_variables) {
    const std::vector<std::string> names = replay::remove_loader_variables(request.params);
    if (!names.empty()) say(replay::left_out_note(names));
  }
  const std::string no_body;
  const std::string& body = request.body ? request.body->bytes : no_body;
  if (request.body && request.body->cut)
    say(options.file + ": the body was cut when it was captured; the program gets its first " +
        std::to_string(body.size()) + " bytes only");

  const platform::ProgramRun run =
      platform::run_program(options.command, request.argv.value_or(std::string()), request.params, body);
  if (!run.started) {
    say("cannot run " + options.command[0] + ": " + run.failure);
    return replay::kExitNotStarted;
  }
  if (!run.failure.empty()) {
    say("the run of " + options.command[0] + " broke off: " + run.failure);
    return replay::kExitTrouble;
  }
  if (run.signal != 0) say(options.command[0] + " was ended by signal " + std::to_string(run.signal));
  if (!options.compare) {
    platform::write_stdout(run.output);
    return run.signal != 0 ? 128 + run.signal : run.exit_code;
  }
  if (run.exit_code != 0 && run.signal == 0) say(options.command[0] + " ended with status " + std::to_string(run.exit_code));
  const replay::Comparison result =
      replay::compare_answers(request.response->bytes, request.response->cut, run.output);
  platform::write_stdout(result.report + "\n");
  return result.same ? 0 : replay::kExitDiffers;
}
