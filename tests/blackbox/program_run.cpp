#include "blackbox/program_run.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace cgiecho::blackbox {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> c_strings(const std::vector<std::string>& items) {
  std::vector<char*> out;
  for (const auto& s : items) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Feeds the pieces without ever blocking for good: a program that leaves
// its input unread, or a helper process that inherited the pipe, must not
// hang the test, so every wait looks at `stop`.
void feed(int fd, const RunPlan& plan, const std::atomic<bool>& stop) {
  for (std::size_t i = 0; i < plan.pieces.size() && !stop; ++i) {
    if (i > 0) std::this_thread::sleep_for(plan.gap);
    const std::string& piece = plan.pieces[i];
    std::size_t done = 0;
    while (done < piece.size() && !stop) {
      const ssize_t put = ::write(fd, piece.data() + done, piece.size() - done);
      if (put > 0) {
        done += static_cast<std::size_t>(put);
      } else if (put < 0 && errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 20);
      } else if (put < 0 && errno != EINTR) {
        return;  // the reader is gone
      }
    }
  }
}

bool reap(pid_t pid, int& exit_code) {
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) != pid) return false;
  exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

// Everything the pipe holds now, without waiting for more.
void drain(int fd, std::vector<char>& buf, RunResult& r) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  for (;;) {
    const ssize_t got = ::read(fd, buf.data(), buf.size());
    if (got > 0) {
      r.out.append(buf.data(), static_cast<std::size_t>(got));
      r.packets.push_back(static_cast<std::size_t>(got));
    } else if (!(got < 0 && errno == EINTR)) {
      return;
    }
  }
}

}  // namespace

RunResult run_program(const RunPlan& plan) {
  RunResult r;
  // The test process must survive writing to a program that has ended.
  std::signal(SIGPIPE, SIG_IGN);

  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  const int out_flags = O_CLOEXEC | (plan.out == StdoutKind::kPacketPipe ? O_DIRECT : 0);
  if (::pipe2(in, O_CLOEXEC) != 0 || (plan.out != StdoutKind::kClosed && ::pipe2(out, out_flags) != 0)) {
    close_fd(in[0]);
    close_fd(in[1]);
    r.failure = std::string("pipe: ") + std::strerror(errno);
    return r;
  }
  if (plan.out == StdoutKind::kReaderGone) close_fd(out[0]);
  int err = ::memfd_create("stderr", MFD_CLOEXEC);

  std::vector<char*> argv = c_strings(plan.argv);
  std::vector<char*> envp = c_strings(plan.env);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::dup2(in[0], STDIN_FILENO);
    if (out[1] >= 0) ::dup2(out[1], STDOUT_FILENO);
    else ::close(STDOUT_FILENO);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    if (plan.nonblocking) {
      ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
      ::fcntl(STDOUT_FILENO, F_SETFL, ::fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);  // an ignored signal would stay ignored across exec
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  close_fd(in[0]);
  close_fd(out[1]);
  if (pid < 0) {
    close_fd(in[1]);
    close_fd(out[0]);
    close_fd(err);
    r.failure = std::string("fork: ") + std::strerror(errno);
    return r;
  }

  ::fcntl(in[1], F_SETFL, ::fcntl(in[1], F_GETFL) | O_NONBLOCK);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    feed(in[1], plan, stop);
    if (!plan.keep_stdin_open) ::close(in[1]);
  });

  // The program's end, not the pipe's end of file, closes the run: helper
  // processes that an emulator starts may hold the pipe open for longer.
  const auto deadline = Clock::now() + plan.deadline;
  bool exited = false;
  bool eof = out[0] < 0;
  std::vector<char> buf(1 << 18);
  std::this_thread::sleep_for(plan.stdout_unread);
  while (!exited && Clock::now() < deadline) {
    if (!eof) {
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        const ssize_t got = ::read(out[0], buf.data(), buf.size());
        if (got > 0) {
          r.out.append(buf.data(), static_cast<std::size_t>(got));
          r.packets.push_back(static_cast<std::size_t>(got));
        } else if (got == 0) {
          eof = true;
        }
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    exited = reap(pid, r.exit_code);
  }
  if (!exited) {
    r.timed_out = true;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.exit_code = -1;
  }
  if (out[0] >= 0 && !eof) drain(out[0], buf, r);

  stop = true;
  writer.join();
  if (plan.keep_stdin_open) ::close(in[1]);
  close_fd(out[0]);
  if (err >= 0) {
    ::lseek(err, 0, SEEK_SET);
    ssize_t got;
    while ((got = ::read(err, buf.data(), buf.size())) > 0) r.err.append(buf.data(), static_cast<std::size_t>(got));
    close_fd(err);
  }
  return r;
}

}  // namespace cgiecho::blackbox
