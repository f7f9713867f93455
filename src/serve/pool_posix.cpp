// The pool on POSIX. The master holds the listener on descriptor 0 and
// runs no handler: it starts each worker as the program itself again
// (fork, then exec of the program file it opened), told by one variable of
// its environment which slot of the shared figures is its own and where
// to say that it serves. A worker is today's responder with that slot to
// keep up to date. The master sees a worker end through SIGCHLD, a request
// that runs too long through the slot's figures, and the signals it is
// sent through a signalfd, so that one wait covers all of them.
#include "serve/pool.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
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
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include <cgiecho/platform/platform.h>

#include "platform/listener.h"
#include "serve/responder.h"
#include "text/decimal.h"

extern char** environ;

namespace cgiecho::pool {
namespace {

// How the master tells a process it starts that it is a worker:
// "SLOT,FIGURES_FD,EVENTS_FD".
constexpr const char* kWorkerVariable = "CGIECHO_POOL_WORKER";
// The longest the master waits before it looks at the clock again.
constexpr int kTickMs = 1000;
// How often the service manager hears the pool's figures, when they changed.
constexpr std::int64_t kStatusEveryMs = 10 * 1000;

// What a worker writes on the pool's pipe when it serves: its pid too, so
// that a note a worker wrote just before it died is never taken for the
// next worker in its slot. Smaller than PIPE_BUF: each write is whole.
struct ReadyNote {
  std::uint32_t slot;
  std::int32_t pid;
};

[[noreturn]] void refuse(std::string_view variable, std::string_view value, std::string_view why) {
  platform::end_with_message(
      "FastCGI responder: " + std::string(variable) + "=" + std::string(value) + ": " + std::string(why), 2);
}

std::string how_it_ended(int status) {
  if (WIFSIGNALED(status)) {
    const int number = WTERMSIG(status);
    const char* abbreviation = ::sigabbrev_np(number);
    return "ended by signal " + std::to_string(number) + " (" +
           (abbreviation != nullptr ? "SIG" + std::string(abbreviation) : std::string("unknown")) + ")";
  }
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

// Whether the listening socket on `fd` still takes connections. A shut
// down TCP listener no longer says it listens; a Unix one still does, but
// refuses connections and polls as hung up (or as closed for reading).
bool still_listening(int fd) {
  int listening = 0;
  socklen_t size = sizeof listening;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) return false;
  pollfd check{fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&check, 1, 0) >= 0 && (check.revents & (POLLERR | POLLHUP | POLLNVAL | POLLRDHUP)) == 0;
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

// A worker as the master keeps it.
struct Process {
  pid_t pid = 0;
  std::uint32_t slot = 0;
  std::uint32_t generation = 0;
  bool ready = false;     // takes connections: counts for READY=1 and a reload
  bool served = false;    // has taken a request: it started well
  bool draining = false;  // told to finish what it holds and leave: not replaced
  bool killed = false;    // ended by the master (timeout, or past its time to drain)
  bool timed_out = false;
  std::int64_t drain_deadline_ms = 0;
};

class Master {
 public:
  Master(const PoolSettings& settings, const Identity& who) : settings_(settings), who_(who) {}

  // Whether the pool ended because its listener no longer takes connections.
  bool listener_lost() const { return listener_lost_; }

  void run() {
    set_up();
    while (!(stopping_ && processes_.empty())) {
      const std::int64_t now = monotonic_ms();
      enforce_deadlines(now);
      notice_served();
      refill(now);
      if (stopping_ && processes_.empty()) break;
      pollfd waits[2] = {{signals_, POLLIN, 0}, {events_read_, POLLIN, 0}};
      const int ready = ::poll(waits, 2, next_wait_ms(now));
      if (ready < 0 && errno != EINTR) give_up("the pool's master cannot wait", errno);
      take_signals();
      take_events();
      reap();
      for (const std::string& line : end_lines_.due(monotonic_ms(), false)) platform::say_on_stderr(line);
      tell_status();
    }
    for (const std::string& line : end_lines_.due(monotonic_ms(), true)) platform::say_on_stderr(line);
    tear_down();
  }

 private:
  void set_up() {
    const std::vector<std::string> arguments = platform::start_arguments();
    program_path_ = platform::start_program_path();
    if (arguments.empty() || program_path_.empty()) give_up("cannot find its own program file to start workers");
    for (const auto& a : arguments) argument_text_.push_back(a);
    exec_fd_ = ::open(program_path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (exec_fd_ < 0) give_up("cannot open its own program file " + program_path_ + " to start workers", errno);

    // Sealed at its size: every new worker holds the descriptor for a
    // moment, and memory shrunk under the master's mapping would end the
    // master with SIGBUS.
    figures_fd_ = ::memfd_create("cgiecho-pool", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (figures_fd_ < 0 || ::ftruncate(figures_fd_, sizeof(Figures)) != 0 ||
        ::fcntl(figures_fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
      give_up("cannot make the pool's shared figures", errno);
    void* shared = ::mmap(nullptr, sizeof(Figures), PROT_READ | PROT_WRITE, MAP_SHARED, figures_fd_, 0);
    if (shared == MAP_FAILED) give_up("cannot map the pool's shared figures", errno);
    figures_ = new (shared) Figures();
    figures_->start_time.store(platform::unix_time_microseconds() / 1000000);
    figures_->workers.store(settings_.workers);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) give_up("cannot make the pool's pipe", errno);
    events_read_ = ends[0];
    events_write_ = ends[1];
    ::fcntl(events_read_, F_SETFL, ::fcntl(events_read_, F_GETFL) | O_NONBLOCK);

    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGCHLD, SIGHUP, SIGTERM, SIGINT, SIGUSR1}) sigaddset(&handled, s);
    if (::sigprocmask(SIG_BLOCK, &handled, &saved_mask_) != 0) give_up("cannot set up its signals", errno);
    signals_ = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals_ < 0) give_up("cannot set up its signals", errno);

    // The groups were looked up at start, before any fork: a child between
    // fork and exec may make no such call.
    if (who_.change) groups_.assign(who_.groups.begin(), who_.groups.end());
    current_generation_ = ++last_generation_;
    if (who_.change) keep_only_what_starting_workers_needs();
  }

  // Started as root to run the workers as another user, the master keeps
  // only the privileges that takes: to give a new process its groups and
  // user (CAP_SETGID, CAP_SETUID), and to signal workers that run as that
  // user (CAP_KILL). It stays user 0, so the program file it opens again
  // on a reload is still its own to read. By the system call itself: no
  // library is needed for three bits.
  static void keep_only_what_starting_workers_needs() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[2] = {};
    data[0].permitted = data[0].effective = (1u << CAP_KILL) | (1u << CAP_SETGID) | (1u << CAP_SETUID);
    if (::syscall(SYS_capset, &header, data) != 0) give_up("cannot give up the privileges it does not need", errno);
  }

  void tear_down() {
    ::sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
    for (int fd : {signals_, events_read_, events_write_, figures_fd_, exec_fd_})
      if (fd >= 0) ::close(fd);
    ::munmap(figures_, sizeof(Figures));
  }

  // The environment a worker starts with: the master's, with the marker
  // that makes it one, and without systemd's: only the master talks to the
  // service manager, and the sockets those variables name are not a
  // worker's.
  std::vector<std::string> worker_environment(std::uint32_t slot) const {
    static constexpr std::string_view kLeftOut[] = {kWorkerVariable, "NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID",
                                                    "LISTEN_FDNAMES"};
    std::vector<std::string> all;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      const std::string_view text(*entry);
      const std::string_view name = text.substr(0, text.find('='));
      if (std::find(std::begin(kLeftOut), std::end(kLeftOut), name) == std::end(kLeftOut)) all.emplace_back(text);
    }
    all.push_back(std::string(kWorkerVariable) + "=" + std::to_string(slot) + "," + std::to_string(figures_fd_) +
                  "," + std::to_string(events_write_));
    return all;
  }

  // Starts one worker of `generation` from the program file `program`.
  // False when the system refused the process.
  bool start(std::uint32_t generation, int program) {
    const std::uint32_t slot = take_slot(*figures_, processes_);
    if (slot == kMaxSlots) return false;
    Slot& s = figures_->slots[slot];

    // Everything the child needs is made before the fork: between fork and
    // exec it makes system calls only.
    const std::vector<std::string> environment = worker_environment(slot);
    std::vector<char*> envp, argv;
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    for (const auto& a : argument_text_) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t master = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
      s.state.store(static_cast<std::uint32_t>(SlotState::free));
      platform::say_on_stderr(std::string("cannot start a worker: ") + std::strerror(errno));
      return false;
    }
    if (pid == 0) run_child(master, program, argv.data(), envp.data());
    Process p;
    p.pid = pid;
    p.slot = slot;
    p.generation = generation;
    processes_.push_back(p);
    s.pid.store(pid);
    return true;
  }

  [[noreturn]] void run_child(pid_t master, int program, char** argv, char** envp) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    close_on_exec_from(STDERR_FILENO + 1);
    ::fcntl(figures_fd_, F_SETFD, 0);
    ::fcntl(events_write_, F_SETFD, 0);
    if (who_.change) {
      if (::setgroups(groups_.size(), groups_.data()) != 0 || ::setgid(static_cast<gid_t>(who_.gid)) != 0 ||
          ::setuid(static_cast<uid_t>(who_.uid)) != 0)
        child_fails("cannot become CGIECHO_USER");
    }
    // After the change of user, which clears it: a worker never outlives
    // its master.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != master) ::_exit(1);
    ::fexecve(program, argv, envp);
    child_fails("cannot start the program file");
  }

  [[noreturn]] static void child_fails(const char* what) {
    const int error = errno;
    // Best effort: nowhere else to say it, and the exit status says it too.
    platform::say_on_stderr(std::string("a new worker ") + what + ": " + std::strerror(error));
    ::_exit(127);
  }

  std::size_t serving(std::uint32_t generation) const {
    return static_cast<std::size_t>(std::count_if(processes_.begin(), processes_.end(), [&](const Process& p) {
      return p.generation == generation && !p.draining;
    }));
  }

  // A worker that has taken a request started well, and ends the back-off
  // of its pool; being ready is not enough (has_served).
  void notice_served() {
    for (Process& p : processes_) {
      if (p.served || !has_served(figures_->slots[p.slot])) continue;
      p.served = true;
      if (p.generation == current_generation_) pace_.served();
    }
  }

  // Keeps the pool full: a worker that ended is replaced at once, unless
  // workers keep ending before they serve: then one at a time, further
  // and further apart.
  void refill(std::int64_t now) {
    if (stopping_) return;
    while (serving(current_generation_) < settings_.workers) {
      if (!pace_.may_start(now) || !pace_.started(start(current_generation_, exec_fd_), now)) return;
    }
  }

  void enforce_deadlines(std::int64_t now) {
    for (Process& p : processes_) {
      if (p.killed) continue;
      if (ms_to_timeout(figures_->slots[p.slot], settings_.request_timeout, now) <= 0) {
        // A handler past its time cannot be trusted to stop by itself.
        p.timed_out = p.killed = true;
        ::kill(p.pid, SIGKILL);
      } else if (p.draining && now >= p.drain_deadline_ms) {
        p.killed = true;
        ::kill(p.pid, SIGKILL);
      }
    }
  }

  int next_wait_ms(std::int64_t now) const {
    std::int64_t wait = end_lines_.wait_ms(now, kTickMs);
    if (!stopping_) wait = pace_.wait_ms(now, wait);
    for (const Process& p : processes_) {
      if (p.killed) continue;
      wait = std::min(wait, ms_to_timeout(figures_->slots[p.slot], settings_.request_timeout, now));
      if (p.draining) wait = std::min(wait, p.drain_deadline_ms - now);
    }
    if (reloading_) wait = std::min(wait, reload_deadline_ms_ - now);
    return static_cast<int>(std::max<std::int64_t>(wait, 0));
  }

  void take_signals() {
    signalfd_siginfo info{};
    while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      switch (info.ssi_signo) {
        case SIGHUP:
          begin_reload();
          break;
        case SIGTERM:
        case SIGINT:
        case SIGUSR1:
          begin_stop();
          break;
        default:
          break;  // SIGCHLD: reap() follows
      }
    }
    if (reloading_ && monotonic_ms() >= reload_deadline_ms_) reload_failed("its workers did not start within CGIECHO_RELOAD_TIMEOUT (" +
                                                                   std::to_string(settings_.reload_timeout) + " s)");
  }

  void take_events() {
    ReadyNote notes[64];
    for (;;) {
      const ssize_t got = ::read(events_read_, notes, sizeof notes);
      if (got <= 0) return;
      for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof notes[0]; ++i) now_ready(notes[i]);
    }
  }

  void now_ready(const ReadyNote& note) {
    const auto p = std::find_if(processes_.begin(), processes_.end(), [&note](const Process& q) {
      return q.slot == note.slot && q.pid == note.pid && !q.ready;
    });
    if (p == processes_.end()) return;
    p->ready = true;
    if (!announced_ready_ && serving_ready(current_generation_) >= settings_.workers) {
      announced_ready_ = true;
      tell("READY=1\n", "");
    }
    if (reloading_ && p->generation == reload_generation_ && serving_ready(reload_generation_) >= settings_.workers)
      commit_reload();
  }

  std::size_t serving_ready(std::uint32_t generation) const {
    return static_cast<std::size_t>(std::count_if(processes_.begin(), processes_.end(), [&](const Process& p) {
      return p.generation == generation && p.ready && !p.draining;
    }));
  }

  // STATUS= for the service manager (systemctl status shows it), every
  // few seconds while the figures change.
  void tell_status() {
    if (!announced_ready_) return;
    if (monotonic_ms() - status_told_ms_ < kStatusEveryMs) return;
    if (status_line() != status_told_) tell("", "");
  }

  // `state` with the figures as STATUS=, `before` them.
  void tell(const std::string& state, const std::string& before) {
    status_told_ = status_line();
    status_told_ms_ = monotonic_ms();
    notify(state + "STATUS=" + before + status_told_);
  }

  std::string status_line() const {
    return std::to_string(serving(current_generation_)) + " workers; " + std::to_string(figures_->answered.load()) +
           " requests answered, " + std::to_string(figures_->crashed.load()) + " crashed, " +
           std::to_string(figures_->timed_out.load()) + " timed out, " +
           std::to_string(figures_->reloads.load()) + " reloads";
  }

  void drain(Process& p, std::int64_t now) {
    if (p.draining) return;
    p.draining = true;
    p.drain_deadline_ms = now + static_cast<std::int64_t>(settings_.stop_timeout) * 1000;
    ::kill(p.pid, SIGTERM);
  }

  // SIGHUP: the program file is opened again by its path and a whole new
  // pool started from it beside the old one, on the same listener. The old
  // workers are told to leave once every new one serves, so that there is
  // always a worker to take a connection.
  void begin_reload() {
    if (stopping_) return;
    if (reloading_) {
      platform::say_on_stderr("a reload is under way already: SIGHUP ignored");
      return;
    }
    // Room for a whole new pool beside the one serving and any still
    // leaving from the reload before.
    if (kMaxSlots - processes_.size() < settings_.workers) {
      platform::say_on_stderr(
          "reload failed: the workers of the last reload are still leaving; the running workers go on serving");
      return;
    }
    const int program = ::open(program_path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (program < 0) {
      platform::say_on_stderr("reload failed: cannot open " + program_path_ + ": " + std::strerror(errno) +
          "; the running workers go on serving");
      return;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    notify("RELOADING=1\nMONOTONIC_USEC=" +
           std::to_string(static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000));
    reloading_ = true;
    reload_fd_ = program;
    reload_generation_ = ++last_generation_;
    reload_deadline_ms_ = monotonic_ms() + std::int64_t{settings_.reload_timeout} * 1000;
    for (std::uint32_t i = 0; i < settings_.workers; ++i) {
      if (!start(reload_generation_, reload_fd_)) {
        reload_failed("the system refused a new worker");
        return;
      }
    }
  }

  void commit_reload() {
    const std::int64_t now = monotonic_ms();
    for (Process& p : processes_)
      if (p.generation != reload_generation_) drain(p, now);
    ::close(exec_fd_);
    exec_fd_ = reload_fd_;
    reload_fd_ = -1;
    current_generation_ = reload_generation_;
    reloading_ = false;
    // The failures counted were the old program's.
    pace_.served();
    figures_->reloads.fetch_add(1);
    tell("READY=1\n", "");
  }

  void reload_failed(const std::string& why) {
    if (!reloading_) return;
    const std::int64_t now = monotonic_ms();
    for (Process& p : processes_)
      if (p.generation == reload_generation_) drain(p, now);
    ::close(reload_fd_);
    reload_fd_ = -1;
    reloading_ = false;
    platform::say_on_stderr("reload failed: " + why + "; the running workers go on serving");
    tell("READY=1\n", "reload failed; ");
  }

  void begin_stop() {
    if (stopping_) return;
    stopping_ = true;
    notify("STOPPING=1");
    if (reloading_) {
      ::close(reload_fd_);
      reload_fd_ = -1;
      reloading_ = false;
    }
    const std::int64_t now = monotonic_ms();
    for (Process& p : processes_) drain(p, now);
  }

  void reap() {
    for (;;) {
      int status = 0;
      const pid_t pid = ::waitpid(-1, &status, WNOHANG);
      if (pid <= 0) return;
      const auto p = std::find_if(processes_.begin(), processes_.end(), [pid](const Process& q) { return q.pid == pid; });
      if (p == processes_.end()) continue;
      const Process gone = *p;
      processes_.erase(p);
      ended(gone, status);
    }
  }

  void ended(const Process& p, int status) {
    Slot& s = figures_->slots[p.slot];
    const auto state = static_cast<SlotState>(s.state.load());
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::string serving;
    if (state == SlotState::busy) {
      const SlotText text = read_given_text(s);
      serving = " while serving " + text.method + " " + text.script;
    }
    const bool served = p.served || has_served(s);
    s.pid.store(0);
    s.state.store(static_cast<std::uint32_t>(SlotState::free));

    const bool replaced = !stopping_ && !p.draining && p.generation == current_generation_;
    const std::int64_t now = monotonic_ms();
    if (!clean) {
      if (p.timed_out) {
        figures_->timed_out.fetch_add(1);
      } else if (!p.killed) {
        figures_->crashed.fetch_add(1);
      }
      const std::string how = how_it_ended(status);
      const std::string line =
          "worker " + std::to_string(p.pid) + " " + how + serving + (replaced ? "; replaced" : "; not replaced");
      for (const std::string& said : end_lines_.pass(how, line, now)) platform::say_on_stderr(said);
    } else if (state == SlotState::leaving) {
      figures_->recycled.fetch_add(1);
    }
    if (reloading_ && p.generation == reload_generation_ && !p.ready) {
      reload_failed("the new worker " + std::to_string(p.pid) + " " + how_it_ended(status) +
                    " before it could serve");
      return;
    }
    if (!replaced) return;
    if (served) {
      if (!p.served) pace_.served();
      return;
    }
    pace_.failed(now);
    // Workers that end before they serve, on a listener that takes no
    // connections (a handler shut it down, for every process that holds
    // it), will never serve: starting more would only fail.
    if (!still_listening(STDIN_FILENO)) {
      platform::say_on_stderr(
          "the listening socket no longer accepts connections: no worker can serve, and the pool ends with status 1");
      listener_lost_ = true;
      begin_stop();
    }
  }

  const PoolSettings& settings_;
  const Identity& who_;
  std::string program_path_;
  std::vector<std::string> argument_text_;
  std::vector<gid_t> groups_;
  int exec_fd_ = -1;
  int figures_fd_ = -1;
  int events_read_ = -1;
  int events_write_ = -1;
  int signals_ = -1;
  sigset_t saved_mask_{};
  Figures* figures_ = nullptr;
  std::vector<Process> processes_;
  std::uint32_t last_generation_ = 0;
  std::uint32_t current_generation_ = 0;
  StartPace pace_;
  EndLines end_lines_;
  bool listener_lost_ = false;
  bool announced_ready_ = false;
  std::int64_t status_told_ms_ = 0;
  std::string status_told_;
  bool stopping_ = false;
  bool reloading_ = false;
  std::uint32_t reload_generation_ = 0;
  int reload_fd_ = -1;
  std::int64_t reload_deadline_ms_ = 0;
};

}  // namespace

std::int64_t monotonic_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Identity checked_identity(const PoolSettings& settings) {
  Identity who;
  if (settings.user.empty()) return who;
  platform::Account account;
  const text::Decimal number = text::parse_decimal(settings.user);
  if (platform::find_account(settings.user, account)) {
    who.user = account.name;
    who.uid = account.uid;
    who.gid = account.gid;
  } else if (number.outcome == text::Decimal::Outcome::number && number.value < 0xFFFFFFFFu) {
    // A user number that /etc/passwd does not list (a directory service
    // keeps it) has no group of its own there: CGIECHO_GROUP names it.
    if (settings.group.empty())
      refuse("CGIECHO_USER", settings.user, "not in /etc/passwd: name its group in CGIECHO_GROUP too");
    who.user = settings.user;
    who.uid = static_cast<unsigned>(number.value);
  } else {
    refuse("CGIECHO_USER", settings.user, "no such user in /etc/passwd");
  }
  if (!settings.group.empty() && !platform::find_group(settings.group, who.gid))
    refuse("CGIECHO_GROUP", settings.group, "no such group");
  if (::geteuid() != 0) {
    if (who.uid != ::geteuid() || who.gid != ::getegid())
      refuse("CGIECHO_USER", settings.user, "only a responder started as root can become another user");
    return who;
  }
  who.change = true;
  who.groups = platform::groups_of(who.user, who.gid);
  return who;
}

void become(const Identity& who) {
  if (!who.change) return;
  const std::vector<gid_t> groups(who.groups.begin(), who.groups.end());
  if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(static_cast<gid_t>(who.gid)) != 0 ||
      ::setuid(static_cast<uid_t>(who.uid)) != 0)
    give_up("cannot become CGIECHO_USER=" + who.user, errno);
}

void notify(std::string_view state) {
  const std::string where = platform::process_env("NOTIFY_SOCKET");
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

void run_master(const PoolSettings& settings, const Identity& who) {
  Master master(settings, who);
  master.run();
  if (master.listener_lost()) platform::end_process(1);
}

std::unique_ptr<Worker> Worker::from_environment(const PoolSettings& settings) {
  const std::string marker = platform::process_env(kWorkerVariable);
  if (marker.empty()) return nullptr;
  ::unsetenv(kWorkerVariable);
  std::string_view rest(marker);
  std::uint64_t slot = 0, figures_fd = 0, events = 0;
  if (!take_number(rest, kMaxSlots - 1, slot) || !take_number(rest, 1u << 20, figures_fd) ||
      !take_number(rest, 1u << 20, events) || !rest.empty())
    give_up(std::string("not a worker's marker: ") + kWorkerVariable + "=" + marker);
  void* shared = ::mmap(nullptr, sizeof(Figures), PROT_READ | PROT_WRITE, MAP_SHARED, static_cast<int>(figures_fd), 0);
  if (shared == MAP_FAILED) give_up("a worker cannot map the pool's shared figures", errno);
  ::close(static_cast<int>(figures_fd));
  ::fcntl(static_cast<int>(events), F_SETFD, FD_CLOEXEC);
  return std::unique_ptr<Worker>(new Worker(static_cast<Figures*>(shared), static_cast<std::uint32_t>(slot),
                                            static_cast<int>(events), settings.max_requests,
                                            static_cast<std::uint32_t>(::getpid()) ^
                                                static_cast<std::uint32_t>(monotonic_ms()),
                                            settings.status_path));
}

Worker::~Worker() {
  if (leave()) figures_->slots[slot_].state.store(static_cast<std::uint32_t>(SlotState::leaving));
  ::munmap(figures_, sizeof(Figures));
  ::close(events_);
}

void Worker::ready() {
  Slot& s = figures_->slots[slot_];
  s.pid.store(static_cast<std::int32_t>(::getpid()));
  s.state.store(static_cast<std::uint32_t>(SlotState::idle));
  const ReadyNote note{slot_, static_cast<std::int32_t>(::getpid())};
  if (::write(events_, &note, sizeof note) < 0) {
    // The master is gone: the parent-death signal ends this worker too.
  }
}

}  // namespace cgiecho::pool
