// The pool of worker processes: a master that holds the listener and keeps
// the workers (pool_master.cpp), and what a worker reports back through the
// memory they share. The responder runs one or the other.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/workers.h"
#include "serve/pool_settings.h"
#include "serve/pool_status.h"

namespace cgiecho {
class RequestChannel;
}

namespace cgiecho::pool {

using Identity = platform::WorkerUser;
// The identity the settings name; an unknown user or group, or a user
// other than the current one without root, ends the process with status 2
// and a line that names the variable.
Identity checked_identity(const PoolSettings& settings);
// Becomes `who`: its groups, its group, then its user; ends the process
// with status 1 when the system refuses.
void become(const Identity& who);

// The master: starts settings.workers workers (the program itself again,
// told by its environment that it is one, handed the listener: on POSIX
// the one on descriptor 0, on Windows one opened from `listener`) as
// `user`, and keeps that many until asked to stop (SIGTERM, SIGINT or
// SIGUSR1; Ctrl+C, Ctrl+Break or the web server's stop event, when
// `stop_event` says it gave one), reloading on SIGHUP. Returns when every
// worker has ended. When a worker fails to start and the listener no
// longer takes connections, no worker can serve again: the master says
// so, stops its workers and ends the process with status 1, so that a
// service manager starts it again.
void run_master(const PoolSettings& settings, const platform::WorkerUser& user,
                const platform::WorkerListener& listener, bool stop_event);

// What a worker and the master share (pool_worker.cpp).
using platform::monotonic_ms;
// The first slot that no process of `processes` (each with a `slot`)
// holds, made ready for a worker that starts; kMaxSlots when every one is
// taken.
template <class Processes>
std::uint32_t take_slot(Figures& figures, const Processes& processes) {
  for (std::uint32_t slot = 0; slot < kMaxSlots; ++slot) {
    const bool taken = std::any_of(processes.begin(), processes.end(), [slot](const auto& p) { return p.slot == slot; });
    if (taken) continue;
    Slot& s = figures.slots[slot];
    s.pid.store(0);
    s.requests.store(0);
    s.state.store(static_cast<std::uint32_t>(SlotState::starting));
    if (figures.slots_used.load() <= slot) figures.slots_used.store(slot + 1);
    return slot;
  }
  return kMaxSlots;
}

// Milliseconds until the request the slot holds has run `timeout_s`
// seconds (0 or less: it has); kNoDeadline when it holds none or
// `timeout_s` is 0 (no timeout).
constexpr std::int64_t kNoDeadline = INT64_MAX;
std::int64_t ms_to_timeout(const Slot& slot, std::uint32_t timeout_s, std::int64_t now);

// When a master may start a worker: at once, unless workers keep ending
// before they serve; then one at a time, the first at once, then twice as
// far apart each time, up to a second.
class StartPace {
 public:
  bool may_start(std::int64_t now) const { return failed_ == 0 || now >= next_ms_; }
  // After a start at `now` (`made`: the system made the process): whether
  // another may follow at once.
  bool started(bool made, std::int64_t now);
  // A worker ended before it served (has_served); one has served since.
  void failed(std::int64_t now);
  void served() { failed_ = 0; }
  // `wait`, or less when a start falls due sooner.
  std::int64_t wait_ms(std::int64_t now, std::int64_t wait) const;

 private:
  std::int64_t delay_ms() const;
  std::int64_t failed_ = 0;  // workers in a row that ended before they served
  std::int64_t next_ms_ = 0;
};

// A worker's side: what its serve loop reports to the master and the pool.
class Worker {
 public:
  // The worker this process was started as, or null when it was not
  // started by a master. Takes the marker out of the environment, so that
  // programs the handler starts do not see it.
  static std::unique_ptr<Worker> from_environment(const PoolSettings& settings);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // The worker takes connections from now: the master counts it as ready
  // (for READY=1, and a reload's new workers), not yet as started well.
  void ready();
  // A request is in hand / answered. After end, leave() says whether the
  // worker has served its share (CGIECHO_MAX_REQUESTS).
  void begin(std::string_view method, std::string_view script);
  void end();
  bool leave() const { return limit_ != 0 && served_ >= limit_; }
  // Whether `script` (the request's SCRIPT_NAME) is the status page's.
  bool is_status_page(std::string_view script) const {
    return !status_path_.empty() && script == status_path_;
  }
  std::string status_json() const;

  // One request on `channel`, counted when `worker` is not null (the
  // caller ends it): the status page when it asks for that, else `handle`
  // behind the platform seam.
  static void serve(RequestChannel& channel, const std::function<void()>& handle, Worker* worker);

 private:
  Worker(Figures* figures, std::uint32_t slot, int events, std::uint64_t max_requests, std::uint32_t seed,
         std::string status_path);
  Figures* figures_;
  std::uint32_t slot_;
  int events_;
  std::uint64_t limit_;
  std::uint64_t served_ = 0;
  std::string status_path_;
};

}  // namespace cgiecho::pool
