// run_program on POSIX: fork and exec with pipes on both standard streams,
// the input fed and the output read in one poll loop, so that a program
// that answers before it reads (or never reads) cannot stall either side.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cgiecho/platform/platform.h>

namespace cgiecho::platform {
namespace {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }
  int get() const { return fd_; }
  int* out() { return &fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

bool make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  *read_end.out() = fds[0];
  *write_end.out() = fds[1];
  return true;
}

// In the child: `fd` becomes `target` and stays open across exec.
void move_to(int fd, int target) {
  if (fd == target) {
    ::fcntl(fd, F_SETFD, 0);
  } else {
    ::dup2(fd, target);
  }
}

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// "NAME=VALUE" strings, or the reason one cannot be passed.
std::string environment_strings(const Variables& environment, std::vector<std::string>& out) {
  for (const auto& [name, value] : environment) {
    if (name.empty() || name.find('=') != std::string::npos || has_nul(name))
      return "the variable name \"" + name.substr(0, name.find('\0')) + "\" cannot be put in an environment";
    if (has_nul(value)) return "the value of " + name + " holds a NUL byte, which an environment cannot carry";
    out.push_back(name + "=" + value);
  }
  return {};
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

ProgramRun run_program(const std::vector<std::string>& command, std::string_view tail,
                       const Variables& environment, std::string_view input) {
  ProgramRun run;
  if (command.empty()) {
    run.failure = "no program named";
    return run;
  }
  std::vector<std::string> args = command;
  if (!tail.empty()) {
    // Every blank splits: "a  b" becomes "a", "", "b", which join back to it.
    for (std::size_t at = 0;;) {
      const std::size_t blank = tail.find(' ', at);
      args.emplace_back(tail.substr(at, blank - at));
      if (blank == std::string_view::npos) break;
      at = blank + 1;
    }
  }
  for (const auto& a : args) {
    if (has_nul(a)) {
      run.failure = "an argument holds a NUL byte, which a command line cannot carry";
      return run;
    }
  }
  std::vector<std::string> env;
  run.failure = environment_strings(environment, env);
  if (!run.failure.empty()) return run;
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(env);

  Fd in_read, in_write, out_read, out_write, failed_read, failed_write;
  if (!make_pipe(in_read, in_write) || !make_pipe(out_read, out_write) || !make_pipe(failed_read, failed_write)) {
    run.failure = std::string("pipe: ") + std::strerror(errno);
    return run;
  }
  const int child_in = in_read.get(), child_out = out_write.get(), child_failed = failed_write.get();
  // A program that leaves its input unread closes the pipe under us: the
  // write then fails instead of ending this process.
  std::signal(SIGPIPE, SIG_IGN);

  const pid_t pid = ::fork();
  if (pid < 0) {
    run.failure = std::string("fork: ") + std::strerror(errno);
    return run;
  }
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    move_to(child_in, STDIN_FILENO);
    move_to(child_out, STDOUT_FILENO);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);  // an ignored signal would stay ignored across exec
    ::execvpe(argv[0], argv.data(), envp.data());  // PATH: the caller's, as execvpe looks it up
    const int error = errno;
    (void)!::write(child_failed, &error, sizeof error);
    ::_exit(127);
  }
  in_read.close();
  out_write.close();
  failed_write.close();
  int exec_error = 0;
  ssize_t got_error;
  while ((got_error = ::read(failed_read.get(), &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
  }
  if (got_error == static_cast<ssize_t>(sizeof exec_error)) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    run.failure = command[0] + ": " + std::strerror(exec_error);
    return run;
  }
  run.started = true;

  ::fcntl(in_write.get(), F_SETFL, ::fcntl(in_write.get(), F_GETFL) | O_NONBLOCK);
  if (input.empty()) in_write.close();
  std::size_t fed = 0;
  char buffer[65536];
  while (out_read.get() >= 0 && run.failure.empty()) {
    pollfd waits[2] = {{out_read.get(), POLLIN, 0}, {in_write.get(), POLLOUT, 0}};
    if (::poll(waits, in_write.get() >= 0 ? 2 : 1, -1) < 0) {
      if (errno != EINTR) run.failure = std::string("poll: ") + std::strerror(errno);
      continue;
    }
    if (in_write.get() >= 0 && waits[1].revents != 0) {
      const ssize_t put = ::write(in_write.get(), input.data() + fed, input.size() - fed);
      if (put > 0) fed += static_cast<std::size_t>(put);
      // A program that stops reading (EPIPE) has taken all it wants.
      if ((put < 0 && errno != EAGAIN && errno != EINTR) || fed == input.size()) in_write.close();
    }
    if (waits[0].revents != 0) {
      const ssize_t got = ::read(out_read.get(), buffer, sizeof buffer);
      if (got > 0) {
        run.output.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0) {
        out_read.close();
      } else if (errno != EINTR && errno != EAGAIN) {
        run.failure = std::string("reading its output: ") + std::strerror(errno);
      }
    }
  }
  in_write.close();
  // A run broken off leaves a program that may wait on its pipes forever:
  // it is ended, so that the wait below ends too.
  if (!run.failure.empty()) ::kill(pid, SIGKILL);
  out_read.close();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

}  // namespace cgiecho::platform
