// Runs a program the way a web server starts a CGI program: a chosen
// environment and no other, bytes on standard input, standard output
// captured, and a deadline after which the program counts as hung.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace cgiecho::blackbox {

enum class StdoutKind {
  kPipe,        // captured
  kPacketPipe,  // captured, and every write arrives as a packet of its own
  kReaderGone,  // a pipe whose reading end is closed before the program starts
  kClosed,      // descriptor 1 is not open at all
};

struct RunPlan {
  std::vector<std::string> argv;     // argv[0] is the file that runs
  std::vector<std::string> env;      // "NAME=value", the whole environment
  std::vector<std::string> pieces;   // written to stdin in this order
  std::chrono::milliseconds gap{0};  // pause before every piece but the first
  bool keep_stdin_open = false;      // hold the pipe until the program ends
  bool nonblocking = false;          // stdin and stdout non-blocking, as a server may hand them over
  std::chrono::milliseconds stdout_unread{0};  // how long standard output fills before it is read
  StdoutKind out = StdoutKind::kPipe;
  std::chrono::milliseconds deadline{20000};
};

struct RunResult {
  std::string out;
  std::string err;
  std::vector<std::size_t> packets;  // sizes of the reads, for kPacketPipe
  int exit_code = -1;                // -1 unless the program exited normally
  bool timed_out = false;
  std::string failure;               // why the program could not be started
};

RunResult run_program(const RunPlan& plan);

}  // namespace cgiecho::blackbox
