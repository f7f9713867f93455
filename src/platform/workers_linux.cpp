// Workers on Linux. The master holds the listener on descriptor 0 and
// starts each worker as the program itself again (fork, then exec of the
// program file it opened), told by one variable of its environment which
// slot of the shared memory is its own and where to say that it serves. It
// sees a worker end through SIGCHLD and the signals it is sent through a
// signalfd, so that one wait covers them and the workers' notes.
#include "platform/workers.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <grp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <ctime>

#include <cgiecho/platform/platform.h>

#include "platform/processes.h"
#include "platform/diagnostics.h"

extern char** environ;

namespace cgiecho::platform {
namespace {

// What a worker writes on the pool's pipe when it serves: its pid too, so
// that a note a worker wrote just before it died is never taken for the
// next worker in its slot. Smaller than PIPE_BUF: each write is whole.
struct ReadyNote {
  std::uint32_t slot;
  std::int32_t pid;
};

std::string how_it_ended(int status) {
  if (WIFSIGNALED(status)) {
    const int number = WTERMSIG(status);
    const char* abbreviation = ::sigabbrev_np(number);
    return "ended by signal " + std::to_string(number) + " (" +
           (abbreviation != nullptr ? "SIG" + std::string(abbreviation) : std::string("unknown")) + ")";
  }
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

// Between fork and exec: every descriptor from `first` on is closed by the
// exec, whatever the master was started with (a file a root shell left
// open must not reach a worker that runs as another user). Marked rather
// than closed, so that the program file stays open for fexecve. The loop
// is for kernels before 5.11, which lack CLOSE_RANGE_CLOEXEC.
void close_on_exec_from(int first) {
  if (::close_range(static_cast<unsigned>(first), ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  rlimit limit{};
  const bool known = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
  const rlim_t end = known ? limit.rlim_cur : 65536;
  for (rlim_t fd = static_cast<rlim_t>(first); fd < end; ++fd) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}

[[noreturn]] void child_fails(const char* what) {
  const int error = errno;
  // Best effort: nowhere else to say it, and the exit status says it too.
  say_on_stderr(std::string("a new worker ") + what + ": " + std::strerror(error));
  ::_exit(127);
}

// Started as root to run the workers as another user, the master keeps
// only the privileges that takes: to give a new process its groups and
// user (CAP_SETGID, CAP_SETUID), and to signal workers that run as that
// user (CAP_KILL). It stays user 0, so the program file it opens again
// on a reload is still its own to read. By the system call itself: no
// library is needed for three bits.
void keep_only_what_starting_workers_needs() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[2] = {};
  data[0].permitted = data[0].effective = (1u << CAP_KILL) | (1u << CAP_SETGID) | (1u << CAP_SETUID);
  if (::syscall(SYS_capset, &header, data) != 0) give_up("cannot give up the privileges it does not need", errno);
}

// `groups` (the group first), then the group, then the user: system calls
// only, so that a child between fork and exec may make them.
bool become(const std::vector<gid_t>& groups, const WorkerUser& user) {
  return ::setgroups(groups.size(), groups.data()) == 0 && ::setgid(static_cast<gid_t>(user.gid)) == 0 &&
         ::setuid(static_cast<uid_t>(user.uid)) == 0;
}

}  // namespace

struct WorkerHost::State {
  std::size_t shared_size = 0;
  WorkerUser user;
  std::vector<gid_t> groups;
  std::string program_path;
  std::vector<std::string> arguments;
  int exec_fd = -1;
  int next_fd = -1;
  int figures_fd = -1;
  int events_read = -1;
  int events_write = -1;
  int signals = -1;
  sigset_t saved_mask{};
  void* shared = nullptr;

  // The environment a worker starts with: the master's, with the marker
  // that makes it one, and without systemd's: only the master talks to the
  // service manager, and the sockets those variables name are not a
  // worker's.
  std::vector<std::string> worker_environment(std::uint32_t slot) const {
    static constexpr std::string_view kLeftOut[] = {kPoolMarker, "NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID",
                                                    "LISTEN_FDNAMES"};
    std::vector<std::string> all;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      const std::string_view text(*entry);
      const std::string_view name = text.substr(0, text.find('='));
      if (std::find(std::begin(kLeftOut), std::end(kLeftOut), name) == std::end(kLeftOut)) all.emplace_back(text);
    }
    // The marker: "SLOT,FIGURES_FD,EVENTS_FD".
    all.push_back(std::string(kPoolMarker) + "=" + std::to_string(slot) + "," + std::to_string(figures_fd) +
                  "," + std::to_string(events_write));
    return all;
  }

  [[noreturn]] void run_child(pid_t master, int program, char** argv, char** envp) const {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    close_on_exec_from(STDERR_FILENO + 1);
    ::fcntl(figures_fd, F_SETFD, 0);
    ::fcntl(events_write, F_SETFD, 0);
    if (user.change && !become(groups, user)) child_fails("cannot become CGIECHO_USER");
    // After the change of user, which clears it: a worker never outlives
    // its master.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != master) ::_exit(1);
    ::fexecve(program, argv, envp);
    child_fails("cannot start the program file");
  }
};

WorkerHost::WorkerHost(std::size_t shared_size, const WorkerUser& user, const WorkerListener&, bool)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.shared_size = shared_size;
  s.user = user;
  s.arguments = start_arguments();
  s.program_path = start_program_path();
  if (s.arguments.empty() || s.program_path.empty()) give_up("cannot find its own program file to start workers");
  s.exec_fd = ::open(s.program_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (s.exec_fd < 0) give_up("cannot open its own program file " + s.program_path + " to start workers", errno);

  // Sealed at its size: every new worker holds the descriptor for a
  // moment, and memory shrunk under the master's mapping would end the
  // master with SIGBUS.
  s.figures_fd = ::memfd_create("cgiecho-pool", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (s.figures_fd < 0 || ::ftruncate(s.figures_fd, static_cast<off_t>(shared_size)) != 0 ||
      ::fcntl(s.figures_fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
    give_up("cannot make the pool's shared figures", errno);
  s.shared = ::mmap(nullptr, shared_size, PROT_READ | PROT_WRITE, MAP_SHARED, s.figures_fd, 0);
  if (s.shared == MAP_FAILED) give_up("cannot map the pool's shared figures", errno);

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) give_up("cannot make the pool's pipe", errno);
  s.events_read = ends[0];
  s.events_write = ends[1];
  ::fcntl(s.events_read, F_SETFL, ::fcntl(s.events_read, F_GETFL) | O_NONBLOCK);

  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : {SIGCHLD, SIGHUP, SIGTERM, SIGINT, SIGUSR1}) sigaddset(&handled, signal);
  if (::sigprocmask(SIG_BLOCK, &handled, &s.saved_mask) != 0) give_up("cannot set up its signals", errno);
  s.signals = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
  if (s.signals < 0) give_up("cannot set up its signals", errno);

  // The groups were looked up at start, before any fork: a child between
  // fork and exec may make no such call.
  if (user.change) s.groups.assign(user.groups.begin(), user.groups.end());
  if (user.change) keep_only_what_starting_workers_needs();
}

WorkerHost::~WorkerHost() {
  State& s = *state_;
  ::sigprocmask(SIG_SETMASK, &s.saved_mask, nullptr);
  for (int fd : {s.signals, s.events_read, s.events_write, s.figures_fd, s.exec_fd, s.next_fd})
    if (fd >= 0) ::close(fd);
  ::munmap(s.shared, s.shared_size);
}

void* WorkerHost::shared() const { return state_->shared; }

std::int64_t WorkerHost::start(std::uint32_t slot, bool next) {
  const State& s = *state_;
  // Everything the child needs is made before the fork: between fork and
  // exec it makes system calls only.
  const std::vector<std::string> environment = s.worker_environment(slot);
  std::vector<char*> envp, argv;
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  for (const auto& a : s.arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t master = ::getpid();
  const int program = next ? s.next_fd : s.exec_fd;

  const pid_t pid = ::fork();
  if (pid < 0) {
    say_on_stderr(std::string("cannot start a worker: ") + std::strerror(errno));
    return 0;
  }
  if (pid == 0) s.run_child(master, program, argv.data(), envp.data());
  return pid;
}

std::string WorkerHost::reopen_program() {
  State& s = *state_;
  const int program = ::open(s.program_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (program < 0) return "cannot open " + s.program_path + ": " + std::strerror(errno);
  s.next_fd = program;
  return "";
}

void WorkerHost::take_next_program() {
  State& s = *state_;
  ::close(s.exec_fd);
  s.exec_fd = s.next_fd;
  s.next_fd = -1;
}

void WorkerHost::drop_next_program() {
  State& s = *state_;
  if (s.next_fd >= 0) ::close(s.next_fd);
  s.next_fd = -1;
}

void WorkerHost::ask_to_stop(std::int64_t pid) { ::kill(static_cast<pid_t>(pid), SIGTERM); }

void WorkerHost::end(std::int64_t pid) { ::kill(static_cast<pid_t>(pid), SIGKILL); }

void WorkerHost::stopping() {}

std::vector<EndedWorker> WorkerHost::reap() {
  std::vector<EndedWorker> ended;
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid <= 0) return ended;
    ended.push_back({pid, WIFEXITED(status) && WEXITSTATUS(status) == 0, how_it_ended(status)});
  }
}

WorkerEvents WorkerHost::wait(std::int64_t wait_ms, bool) {
  State& s = *state_;
  pollfd waits[2] = {{s.signals, POLLIN, 0}, {s.events_read, POLLIN, 0}};
  const int ready = ::poll(waits, 2, static_cast<int>(std::clamp<std::int64_t>(wait_ms, 0, INT32_MAX)));
  if (ready < 0 && errno != EINTR) give_up("the pool's master cannot wait", errno);
  WorkerEvents events;
  signalfd_siginfo info{};
  while (::read(s.signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGHUP) events.reload = true;
    if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT || info.ssi_signo == SIGUSR1) events.stop = true;
    // SIGCHLD: reap() follows
  }
  ReadyNote notes[64];
  for (;;) {
    const ssize_t got = ::read(s.events_read, notes, sizeof notes);
    if (got <= 0) break;
    for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof notes[0]; ++i)
      events.ready.push_back({notes[i].slot, notes[i].pid});
  }
  return events;
}

std::string WorkerHost::opened_address() const { return ""; }

// A shut down TCP listener no longer says it listens; a Unix one still
// does, but refuses connections and polls as hung up (or as closed for
// reading).
bool WorkerHost::listener_accepts() const {
  int listening = 0;
  socklen_t size = sizeof listening;
  if (::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) return false;
  pollfd check{STDIN_FILENO, POLLIN | POLLRDHUP, 0};
  return ::poll(&check, 1, 0) >= 0 && (check.revents & (POLLERR | POLLHUP | POLLNVAL | POLLRDHUP)) == 0;
}

std::int64_t monotonic_us() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::int64_t monotonic_ms() { return monotonic_us() / 1000; }

void notify_service_manager(std::string_view state) {
  const std::string where = process_env("NOTIFY_SOCKET");
  if (where.empty() || (where.front() != '/' && where.front() != '@')) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (where.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, where.data(), where.size());
  if (where.front() == '@') address.sun_path[0] = '\0';  // an abstract socket's name
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + where.size());
  if (::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), size) < 0) {
    // Best effort: the service manager may be gone, and serving goes on.
  }
  ::close(fd);
}

PoolMembership join_pool(std::size_t shared_size, std::uint32_t slots) {
  const std::vector<std::uint64_t> marker = read_pool_marker(3, slots, 1u << 20);
  if (marker.empty()) return {};
  ::unsetenv(kPoolMarker);
  const int figures_fd = static_cast<int>(marker[1]), events = static_cast<int>(marker[2]);
  void* shared = ::mmap(nullptr, shared_size, PROT_READ | PROT_WRITE, MAP_SHARED, figures_fd, 0);
  if (shared == MAP_FAILED) give_up("a worker cannot map the pool's shared figures", errno);
  ::close(figures_fd);
  ::fcntl(events, F_SETFD, FD_CLOEXEC);
  return {static_cast<std::int64_t>(marker[0]), shared, events};
}

void tell_ready(const PoolMembership& pool) {
  const ReadyNote note{static_cast<std::uint32_t>(pool.slot), static_cast<std::int32_t>(::getpid())};
  if (::write(static_cast<int>(pool.notes), &note, sizeof note) < 0) {
    // The master is gone: the parent-death signal ends this worker too.
  }
}

void leave_pool(const PoolMembership& pool, std::size_t shared_size) {
  ::munmap(pool.shared, shared_size);
  ::close(static_cast<int>(pool.notes));
}

std::int64_t current_process_id() { return ::getpid(); }

void effective_ids(unsigned& uid, unsigned& gid) {
  uid = ::geteuid();
  gid = ::getegid();
}

bool become_user(const WorkerUser& user) {
  return become(std::vector<gid_t>(user.groups.begin(), user.groups.end()), user);
}

}  // namespace cgiecho::platform
