/// @file
/// Everything the program asks of the operating system. One implementation
/// per platform (platform_posix.cpp, platform_win32.cpp) and a fake for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cgiecho::platform {

/// The value of an environment variable, whole; "" when unset. The name is
/// taken up to its first NUL, as the system sees names, and a name with "="
/// names nothing, on every platform and under FastCGI.
std::string env(std::string_view name);

/// Variables as names and values, in order: the one list type of the whole
/// library (the web layer's and the capture's Variables are this one). A
/// name may come twice; readers take the last entry.
using Variables = std::vector<std::pair<std::string, std::string>>;
/// Every variable in the order the system keeps them: each entry's name runs
/// to its first "=" (on Windows, past a leading "=", which the system uses
/// for its own entries).
Variables environment();
/// The process's own, also while a channel serves a request (a FastCGI
/// responder's settings come from here, never from a request).
Variables process_environment();
/// One variable of the process's own environment; "" when unset.
std::string process_env(std::string_view name);

/// The command line after the program's name and the blanks after it.
std::string command_tail();

/// One read and what became of it: `size` bytes, or none at the end of
/// the input (`failed` false) or because reading failed (`failed` true).
/// A program that must tell a short body from a broken connection asks
/// this; the 52 routines only count bytes.
struct Read {
  std::size_t size = 0;  ///< the bytes read
  bool failed = false;   ///< reading failed (not the end of the input)
};

/// One read of at most `count` bytes from standard input into `buffer`.
/// A standard input that is not ready yet (non-blocking) is waited for; no
/// standard input at all is the end of the input, not a failure.
Read read_input(char* buffer, std::size_t count);
/// The same, counting bytes only: 0 at end of input, on failure or without
/// stdin.
std::size_t read_stdin(char* buffer, std::size_t count);

/// Puts all the bytes on standard output as one write from the caller's
/// view: what the system takes short is offered again. False when not
/// every byte could be written (the reader went away, the connection
/// broke). A full non-blocking output is waited on, not a failure.
[[nodiscard]] bool write_output(std::string_view bytes);
/// The same, best effort: a failure is not reported and the caller carries
/// on.
void write_stdout(std::string_view bytes);

/// Writes the bytes to standard error, best effort, as write_stdout does:
/// for the few words a program says about itself, never for a response.
void write_stderr(std::string_view bytes);

/// The process's own short name, as a user types it: its file name
/// without the folder (and without ".exe" on Windows).
std::string program_name();
/// One line on standard error, the one way every line the library says
/// about itself goes out: program_name(), ": ", `message` with control
/// bytes, "\\" and bytes above 0x7F as \\xHH, and a line feed, through
/// write_stderr.
void say_on_stderr(std::string_view message);
/// say_on_stderr, then end_process(exit_code): for a program that cannot
/// go on, whose exit status says it too.
[[noreturn]] void end_with_message(std::string_view message, int exit_code);

/// Whether a line on standard error would land in the program's own
/// answer: on Windows, when standard error is standard output's handle, as
/// IIS starts a CGI program (one pipe for both); never on POSIX, where a
/// server gives a CGI program a standard error of its own. A line meant for
/// whoever runs the server is left out then, rather than break the answer.
bool stderr_is_answer();

/// A program run to its end by run_program.
struct ProgramRun {
  bool started = false;  ///< whether the program could be started
  /// Why it could not be started, when it was not; when it was, why its run
  /// was broken off (its pipes failed), the program then ended by force and
  /// `output` what came before.
  std::string failure;
  std::string output;   ///< everything it wrote to standard output
  int exit_code = -1;   ///< -1 when it did not exit by itself
  int signal = 0;       ///< POSIX: the signal that ended it, if one did
};

/// Runs a program the way a web server runs a CGI program: `command` is the
/// program (looked up on the caller's PATH) and its first arguments, `tail`
/// the command-line tail after them (POSIX: split at every blank, so that
/// joining the arguments with blanks gives the tail back; Windows: put on
/// the command line as it is), `environment` the whole environment, nothing
/// of the caller's, and `input` on standard input, followed by its end.
/// Standard error is the caller's. A variable or argument that the system
/// cannot pass (a NUL byte, a name with "=" or no name) is a failure before
/// anything starts, never passed cut.
ProgramRun run_program(const std::vector<std::string>& command, std::string_view tail,
                       const Variables& environment, std::string_view input);

/// A request that arrives over a connection rather than through the process
/// itself (a FastCGI request): while one is set, env, read_stdin and
/// write_stdout serve it, with the same meaning, instead of the process's own
/// environment and standard handles. Only the command-line tail stays the
/// process's.
class Channel {
 public:
  /// A variable of the request; "" when unset.
  virtual std::string env(std::string_view name) = 0;
  /// Every variable of the request, in order.
  virtual Variables environment() = 0;
  /// At most `count` bytes of the request's input.
  virtual Read read(char* buffer, std::size_t count) = 0;
  /// Every byte to the request's output; false when not all went.
  virtual bool write(std::string_view bytes) = 0;

 protected:
  ~Channel() = default;
};

/// The channel of the request in hand; null gives the process's own back.
void set_channel(Channel* channel);
/// The channel set now (null: none), so that a channel can be put in front
/// of whichever serves the request and give it back (a capture keeps what
/// passes through).
Channel* channel();

/// Files the program writes for itself (captures of requests), in
/// files_posix.cpp and files_win32.cpp. A handle is the system's own (a
/// descriptor, a HANDLE), held in an integer.
enum class Created { ok, exists, failed };
/// Creates `path` as a new file that only its owner may read or write:
/// never one that is already there (Created::exists), never through a link.
/// On failure `error` says why.
Created create_private_file(const std::string& path, std::intptr_t& handle, std::string& error);
/// All the bytes, appended; false (with `error`) when they could not be.
[[nodiscard]] bool write_file(std::intptr_t handle, std::string_view bytes, std::string& error);
/// Closes a handle create_private_file gave.
void close_file(std::intptr_t handle);
/// Removes the file at `path`, if it is there.
void remove_file(const std::string& path);
/// How many entries of `folder` have names ending in `suffix`, counting no
/// further than `limit`; false (with `error`) when the folder cannot be read.
[[nodiscard]] bool count_files(const std::string& folder, std::string_view suffix, std::uint64_t limit, std::uint64_t& count,
                 std::string& error);
/// When a file was last written, in microseconds since 1970-01-01 00:00
/// UTC; false when there is no such file.
[[nodiscard]] bool file_time(const std::string& path, std::int64_t& unix_microseconds);
/// The time of day in microseconds since 1970-01-01 00:00 UTC.
std::int64_t unix_time_microseconds();
/// This process's id.
std::uint64_t process_id();

/// Process start-up, a program's first call (the echo program's, and the
/// upload, feedback and JSON examples'): on POSIX a reader that goes away
/// makes a write fail rather than end the program (SIGPIPE ignored); on
/// Windows COM, the console and the per-thread state are set up. False when
/// the per-thread state cannot be set up: the program then ends with 255
/// (end_process) and writes nothing.
[[nodiscard]] bool start_process();
/// Ends the process with `exit_code` at once, output flushed. A program
/// that called start_process ends with this, so that on Windows what
/// start_process set up is taken down first.
[[noreturn]] void end_process(int exit_code);

/// Room for bytes that arrive a piece at a time (a request body), taken from
/// the system directly: it grows by moving pages rather than copying bytes
/// where the system can, and large room asks for large pages, so that fewer
/// faults fill it. Untouched room costs address space, and on hosts that
/// count what they hand out, that count. Each call gives null when the room
/// cannot be had; grow_room then leaves the old room as it was. `size` is
/// always the size the room was last taken or grown to.
/// @{
char* take_room(std::size_t size);
char* grow_room(char* room, std::size_t size, std::size_t new_size);
void give_back_room(char* room, std::size_t size);
/// @}

}  // namespace cgiecho::platform

// ---- Temp files for uploads ------------------------------------------------
namespace cgiecho::platform {

/// What became of making a file: `code` 0 when it was made, else the
/// system's own error number (errno on Linux, GetLastError() on Windows),
/// for the caller to show or to compare (EEXIST / ERROR_FILE_EXISTS: the
/// name is taken). A name refused before the system is asked gives EINVAL
/// (ERROR_INVALID_NAME on Windows); memory that cannot be had ENOMEM
/// (ERROR_NOT_ENOUGH_MEMORY).
struct [[nodiscard]] FileResult {
  int code = 0;  ///< 0, or the system's error number
  /// The file was made.
  bool ok() const noexcept { return code == 0; }
};

/// A file for one upload, in the temp folder (TMPDIR, else /tmp; on Windows
/// the folder GetTempPath names) of the process's own environment, never a
/// request's. No other user can open it, and it is gone once closed or once
/// the process ends, however it ends: on Linux it has no name at all
/// (O_TMPFILE; where the file system lacks that, it is made with O_EXCL and
/// mode 0600 and unlinked at once); on Windows it is opened for deletion on
/// close and shared with nobody. Move-only; the destructor closes it.
class TempFile {
 public:
  /// No file: create() makes one.
  TempFile() noexcept = default;
  /// Takes the file of `other`, which then holds none.
  TempFile(TempFile&& other) noexcept
      : handle_(std::exchange(other.handle_, kNone)), size_(std::exchange(other.size_, 0)),
        linkable_(std::exchange(other.linkable_, false)) {}
  /// Closes this one's file and takes that of `other`.
  TempFile& operator=(TempFile&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, kNone);
      size_ = std::exchange(other.size_, 0);
      linkable_ = std::exchange(other.linkable_, false);
    }
    return *this;
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { close(); }

  /// A new, empty file in place of whatever this held. False when the
  /// system refuses one (the handle is then closed).
  [[nodiscard]] bool create() noexcept;
  /// Whether it holds a file.
  bool is_open() const noexcept { return handle_ != kNone; }
  /// Appends every byte; false when that fails (the file's size then says
  /// how much is in it).
  [[nodiscard]] bool write(std::string_view bytes) noexcept;
  /// The bytes written to it.
  std::uint64_t size() const noexcept { return size_; }
  /// Up to `count` bytes from `offset` (fewer only at the end; 0 past it).
  /// False when the read fails.
  [[nodiscard]] bool read_at(std::uint64_t offset, char* buffer, std::size_t count, std::size_t& got) const noexcept;
  /// Gives the data a name: a new file at `path` (UTF-8 on Windows), never
  /// replacing anything there, and never made through a link at `path`
  /// itself. On Linux the file itself is linked there where it can be (same
  /// file system, /proc or the privilege for AT_EMPTY_PATH), without
  /// copying a byte; otherwise the bytes are copied. The new file is
  /// private to the program's user (mode 0600 on Linux; on Windows a DACL
  /// that grants its owner everything and nobody else anything, inheriting
  /// nothing from the folder). A failure says the system's reason; `path`
  /// taken is EEXIST (ERROR_FILE_EXISTS), and a copy that fails halfway is
  /// removed. The temp file stays open and usable.
  FileResult keep_as(std::string_view path) const noexcept;
  /// The same as a new file `name` inside `folder`: the folder is opened
  /// once, as given (a link that names it is followed, as opening it
  /// does), and `name` is made relative to what was opened, so nothing
  /// that renames or relinks the folder's path meanwhile can send the file
  /// elsewhere. `name` is one plain name (plain_file_name), else EINVAL
  /// (ERROR_INVALID_NAME).
  FileResult keep_in(std::string_view folder, std::string_view name) const noexcept;
  /// Closes the file, which is then gone.
  void close() noexcept;

 private:
  /// keep_as and keep_in: `name` relative to the folder handle `dir`.
  FileResult keep_at(std::intptr_t dir, const std::string& name) const;

  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  ///< a descriptor, a HANDLE, or the tests' fake's number
  std::uint64_t size_ = 0;
  bool linkable_ = false;  ///< an O_TMPFILE file, which linkat can name
};

/// A new file at `path` holding `bytes`, with the same rules as
/// TempFile::keep_as (private, never replaces anything, removed if writing
/// fails), and the same in a folder as TempFile::keep_in.
/// @{
FileResult write_new_file(std::string_view path, std::string_view bytes) noexcept;
FileResult write_new_file_in(std::string_view folder, std::string_view name, std::string_view bytes) noexcept;
/// @}

/// Whether `name` names one entry of a folder and nothing else: not empty,
/// not "." or "..", and without "/", "\\" or NUL (on every platform, so a
/// program's names work on each); on Windows also without ":", which would
/// name a stream of another file.
inline bool plain_file_name(std::string_view name) noexcept {
#ifdef _WIN32
  constexpr std::string_view kNot("/\\\0:", 4);
#else
  constexpr std::string_view kNot("/\\\0", 3);
#endif
  return !name.empty() && name != "." && name != ".." && name.find_first_of(kNot) == std::string_view::npos;
}

}  // namespace cgiecho::platform

// ---- Files a program keeps, and random ids -----------------------------------
namespace cgiecho::platform {

/// `count` bytes from the system's cryptographic random source (getrandom,
/// else /dev/urandom; BCryptGenRandom on Windows). False when it cannot
/// give them all.
[[nodiscard]] bool random_bytes(char* out, std::size_t count) noexcept;

/// Whether `path` (UTF-8 on Windows) names an existing folder.
bool is_folder(std::string_view path) noexcept;

/// What read_file found.
enum class FileRead { ok, missing, failed };
/// The whole file at `path` into `out`: FileRead::missing when there is no
/// such file, failed when it cannot be read or holds more than `max` bytes
/// (`out` is then unchanged).
FileRead read_file(std::string_view path, std::uint64_t max, std::string& out) noexcept;

}  // namespace cgiecho::platform

/// @namespace cgiecho::platform
/// The one seam to the operating system: environment, standard input and
/// output, files, temp files, listeners and processes.
