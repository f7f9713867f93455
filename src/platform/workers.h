// What a pool's master asks of the system to keep worker processes, and
// what a worker asks to join the pool. The master's rules (how many, when,
// how long) are the caller's; here is only how each system starts, stops,
// reaps and waits (workers_linux.cpp, workers_win32.cpp; workers.cpp what
// both share).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cgiecho::platform {

// The variable that makes a process the master starts a worker.
constexpr const char kPoolMarker[] = "CGIECHO_POOL_WORKER";

// The `count` comma-separated numbers of the marker, the first a slot
// below `slots`, the others no more than `limit`; none when it is unset.
// Ends the process on a marker that is not one.
std::vector<std::uint64_t> read_pool_marker(std::size_t count, std::uint32_t slots, std::uint64_t limit);

// Milliseconds on a clock that every process of the machine shares and
// that never goes back; and in microseconds, for the service manager.
std::int64_t monotonic_ms();
std::int64_t monotonic_us();

// Sends `state` ("READY=1", ...) to systemd's NOTIFY_SOCKET when it is
// set; nothing otherwise, and on Windows. Best effort.
void notify_service_manager(std::string_view state);

// Who the workers (or a responder of one process) run as, from
// CGIECHO_USER and CGIECHO_GROUP; `change` false: as the master.
struct WorkerUser {
  bool change = false;
  unsigned uid = 0;
  unsigned gid = 0;
  std::string name;
  std::vector<unsigned> groups;  // the group first, then the user's others
};

// POSIX: the process's effective user and group.
void effective_ids(unsigned& uid, unsigned& gid);
// POSIX: becomes `user`: its groups, its group, then its user; false with
// errno set when the system refuses.
bool become_user(const WorkerUser& user);

// Windows: the TCP listener the master opens for its workers.
struct WorkerListener {
  std::string host;
  int port = 0;
  int backlog = 0;
  std::string address;  // CGIECHO_LISTEN as given, for the line that refuses it
};

// A worker that ended: `how` reads as "exited with status 3", "ended by
// signal 9 (SIGKILL)", ...; "" when the master itself ended it where the
// system records no cause of its own (Windows).
struct EndedWorker {
  std::int64_t pid = 0;
  bool clean = false;  // exited with status 0
  std::string how;
};

// What happened while the master waited.
struct WorkerEvents {
  bool stop = false;    // SIGTERM, SIGINT, SIGUSR1; Ctrl+C, Ctrl+Break, the web server's stop event
  bool reload = false;  // SIGHUP
  struct Ready {
    std::uint32_t slot;
    std::int64_t pid;
  };
  std::vector<Ready> ready;  // workers that said they take connections
};

// The master's side. Ends the process with a line when the system refuses
// what the pool cannot run without. `shared_size` bytes of memory every
// worker maps; on Linux the workers hold the listener the process has on
// standard input, on Windows the one opened from `listener`;
// `stop_event`: Windows was given a web server's stop event to watch.
class WorkerHost {
 public:
  WorkerHost(std::size_t shared_size, const WorkerUser& user, const WorkerListener& listener, bool stop_event);
  ~WorkerHost();
  WorkerHost(const WorkerHost&) = delete;
  WorkerHost& operator=(const WorkerHost&) = delete;

  void* shared() const;  // zeroed
  // Starts the program again as the worker of `slot`; `next`: from the
  // program file opened by reopen_program. Its id, or 0 when the system
  // refused (said on standard error).
  std::int64_t start(std::uint32_t slot, bool next);
  // Opens the program file again by its path for the next workers (a
  // reload, Linux only); "" on success, else why not. take_next_program
  // makes it the one workers start from; drop_next_program closes it.
  std::string reopen_program();
  void take_next_program();
  void drop_next_program();
  // Asks a worker to finish what it holds and leave. On Windows one event
  // asks every worker at once.
  void ask_to_stop(std::int64_t pid);
  void end(std::int64_t pid);  // at once
  // The pool stops: Windows closes its listener, so that no new connection
  // waits for workers that leave.
  void stopping();
  std::vector<EndedWorker> reap();  // since last asked
  // Waits up to `wait_ms` for a signal, a worker's note or a worker's end.
  // `stop_wanted`: whether a stop request still matters.
  WorkerEvents wait(std::int64_t wait_ms, bool stop_wanted);
  // The address, 4 bytes in network order, of the listener the host
  // opened itself (Windows); "" when it took the process's own.
  std::string opened_address() const;
  bool listener_accepts() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The worker's side: the pool this process was started into, or `slot`
// -1 when it was not started by a master; a slot is below `slots`. Takes
// the marker out of the environment, so that programs the handler starts
// do not see it. Ends the process on a marker that is not one.
struct PoolMembership {
  std::int64_t slot = -1;
  void* shared = nullptr;
  std::intptr_t notes = -1;  // where ready notes go (Linux)
};
PoolMembership join_pool(std::size_t shared_size, std::uint32_t slots);
// Tells the master this worker of `slot` takes connections.
void tell_ready(const PoolMembership& pool);
void leave_pool(const PoolMembership& pool, std::size_t shared_size);
// Windows, in a worker before libfcgi starts: whether the process is one
// (then its listener is on standard input, standard output and error are
// closed for libfcgi to take it, and the pool's stop event is the one
// take_stop_event finds). restore_standard_output gives output and error
// back once libfcgi has started.
bool prepare_pool_worker(std::uint32_t slots);
void restore_standard_output();
std::int64_t current_process_id();  // as the master's start returned it

}  // namespace cgiecho::platform
