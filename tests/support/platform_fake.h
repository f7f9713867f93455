// A scripted operating system for core tests: set the environment, the
// command line and what each read of standard input returns; see every
// write to standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace cgiecho::fake {

struct Process {
  std::map<std::string, std::string> environment;  // exact-case names
  std::string command_tail;
  std::vector<std::string> stdin_pieces;            // one per read, split further if asked for less
  std::size_t stdin_taken = 0;                      // of the first piece, so large pieces are not moved per read
  std::vector<std::size_t> read_requests;           // the count each read asked for
  std::vector<std::string> writes;                  // one entry per write call
  std::string errors;                               // everything written to standard error
  std::string program_name = "prog";                // the name say_on_stderr puts first
  bool stderr_is_answer = false;                    // standard error is standard output (IIS's CGI)
  bool stdin_fails = false;                         // once the pieces are taken, reading fails instead of ending
  bool stdout_fails = false;                        // every write fails (a reader that went away)
  std::vector<std::size_t> room_sizes;              // each size asked of take_room or grow_room
  std::size_t room_limit = SIZE_MAX;                // room asked for past this is not to be had
  std::string written() const;
};

// The current process; reset() gives a fresh one and clears the process state.
Process& process();
void reset();

}  // namespace cgiecho::fake

// ---- Temp files for uploads ------------------------------------------------
#include <cstdint>

namespace cgiecho::fake {

// platform::TempFile and write_new_file in memory. A test sets the
// failures it wants and reads back what was made.
struct TempFiles {
  std::map<std::intptr_t, std::string> open;  // by handle, while open
  std::intptr_t next = 1;
  std::size_t created = 0;                     // every create that succeeded
  bool refuse_create = false;
  std::uint64_t write_budget = UINT64_MAX;     // bytes writes may still put, over all files
  std::map<std::string, std::string> kept;     // keep_as and write_new_file by path, keep_in as "folder/name"
  std::size_t kept_by_link = 0;                // keep_as calls (each names the file itself)
  std::set<std::string> folders;               // what is_folder finds and keep_in keeps in; read_file reads `kept`
};

TempFiles& temp_files();
void reset_temp_files();

}  // namespace cgiecho::fake
