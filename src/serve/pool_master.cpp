// The pool's master, on every system: it holds the listener and runs no
// handler, keeps settings.workers workers started (platform/workers.h
// starts, stops, reaps and waits), ends a request that runs too long
// through the slot's figures, drains, recycles and reloads.
#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include <cgiecho/platform/platform.h>

#include "platform/workers.h"
#include "serve/pool.h"
#include "serve/responder.h"

namespace cgiecho::pool {
namespace {

// The longest the master waits before it looks at the clock again.
constexpr std::int64_t kTickMs = 1000;
// How often the service manager hears the pool's figures, when they changed.
constexpr std::int64_t kStatusEveryMs = 10 * 1000;

// A worker as the master keeps it.
struct Process {
  std::int64_t pid = 0;
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
  Master(const PoolSettings& settings, platform::WorkerHost& host) : settings_(settings), host_(host) {
    figures_ = new (host_.shared()) Figures();
    figures_->start_time.store(platform::unix_time_microseconds() / 1000000);
    figures_->workers.store(settings_.workers);
    current_generation_ = ++last_generation_;
  }

  // Whether the pool ended because its listener no longer takes connections.
  bool listener_lost() const { return listener_lost_; }

  void run() {
    while (!(stopping_ && processes_.empty())) {
      const std::int64_t now = monotonic_ms();
      enforce_deadlines(now);
      notice_served();
      refill(now);
      if (stopping_ && processes_.empty()) break;
      const platform::WorkerEvents events = host_.wait(next_wait_ms(now), !stopping_);
      if (events.reload) begin_reload();
      if (events.stop) begin_stop();
      if (reloading_ && monotonic_ms() >= reload_deadline_ms_)
        reload_failed("its workers did not start within CGIECHO_RELOAD_TIMEOUT (" +
                      std::to_string(settings_.reload_timeout) + " s)");
      for (const auto& note : events.ready) now_ready(note);
      reap();
      for (const std::string& line : end_lines_.due(monotonic_ms(), false)) platform::say_on_stderr(line);
      tell_status();
    }
    for (const std::string& line : end_lines_.due(monotonic_ms(), true)) platform::say_on_stderr(line);
  }

 private:
  // Starts one worker of `generation`, from the program file a reload
  // opened when `next`. False when the system refused the process.
  bool start(std::uint32_t generation, bool next) {
    const std::uint32_t slot = take_slot(*figures_, processes_);
    if (slot == kMaxSlots) return false;
    Slot& s = figures_->slots[slot];
    const std::int64_t pid = host_.start(slot, next);
    if (pid == 0) {
      s.state.store(static_cast<std::uint32_t>(SlotState::free));
      return false;
    }
    Process p;
    p.pid = pid;
    p.slot = slot;
    p.generation = generation;
    processes_.push_back(p);
    s.pid.store(static_cast<std::int32_t>(pid));
    return true;
  }

  // Workers of `generation` not asked to leave; `ready`: that take connections.
  std::size_t serving(std::uint32_t generation, bool ready = false) const {
    return static_cast<std::size_t>(std::count_if(processes_.begin(), processes_.end(), [&](const Process& p) {
      return p.generation == generation && !p.draining && (p.ready || !ready);
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
      if (!pace_.may_start(now) || !pace_.started(start(current_generation_, false), now)) return;
    }
  }

  void enforce_deadlines(std::int64_t now) {
    for (Process& p : processes_) {
      if (p.killed) continue;
      if (ms_to_timeout(figures_->slots[p.slot], settings_.request_timeout, now) <= 0) {
        // A handler past its time cannot be trusted to stop by itself.
        p.timed_out = p.killed = true;
        host_.end(p.pid);
      } else if (p.draining && now >= p.drain_deadline_ms) {
        p.killed = true;
        host_.end(p.pid);
      }
    }
  }

  std::int64_t next_wait_ms(std::int64_t now) const {
    std::int64_t wait = end_lines_.wait_ms(now, kTickMs);
    if (!stopping_) wait = pace_.wait_ms(now, wait);
    for (const Process& p : processes_) {
      if (p.killed) continue;
      wait = std::min(wait, ms_to_timeout(figures_->slots[p.slot], settings_.request_timeout, now));
      if (p.draining) wait = std::min(wait, p.drain_deadline_ms - now);
    }
    if (reloading_) wait = std::min(wait, reload_deadline_ms_ - now);
    return std::max<std::int64_t>(wait, 0);
  }

  void now_ready(const platform::WorkerEvents::Ready& note) {
    const auto p = std::find_if(processes_.begin(), processes_.end(), [&note](const Process& q) {
      return q.slot == note.slot && q.pid == note.pid && !q.ready;
    });
    if (p == processes_.end()) return;
    p->ready = true;
    if (!announced_ready_ && serving(current_generation_, true) >= settings_.workers) {
      announced_ready_ = true;
      tell("READY=1\n", "");
    }
    if (reloading_ && p->generation == reload_generation_ && serving(reload_generation_, true) >= settings_.workers)
      commit_reload();
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
    platform::notify_service_manager(state + "STATUS=" + before + status_told_);
  }

  std::string status_line() const {
    return std::to_string(serving(current_generation_)) + " workers; " + std::to_string(figures_->answered.load()) +
           " requests answered, " + std::to_string(figures_->crashed.load()) + " crashed, " +
           std::to_string(figures_->timed_out.load()) + " timed out, " +
           std::to_string(figures_->reloads.load()) + " reloads";
  }

  // Each worker has its own time to finish what it holds, from when it
  // was asked.
  void drain(Process& p, std::int64_t now) {
    if (p.draining) return;
    p.draining = true;
    p.drain_deadline_ms = now + static_cast<std::int64_t>(settings_.stop_timeout) * 1000;
    host_.ask_to_stop(p.pid);
  }

  // A reload (SIGHUP): the program file is opened again by its path and a
  // whole new pool started from it beside the old one, on the same
  // listener. The old workers are told to leave once every new one serves,
  // so that there is always a worker to take a connection.
  void begin_reload() {
    if (stopping_) return;
    if (reloading_) {
      platform::say_on_stderr("a reload is under way already: SIGHUP ignored");
      return;
    }
    // Room for a whole new pool beside the one serving and any still
    // leaving from the reload before.
    if (kMaxSlots - processes_.size() < settings_.workers) {
      platform::say_on_stderr("reload failed: the workers of the last reload are still leaving; the running workers go on serving");
      return;
    }
    const std::string refused = host_.reopen_program();
    if (!refused.empty()) {
      platform::say_on_stderr("reload failed: " + refused + "; the running workers go on serving");
      return;
    }
    platform::notify_service_manager("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(platform::monotonic_us()));
    reloading_ = true;
    reload_generation_ = ++last_generation_;
    reload_deadline_ms_ = monotonic_ms() + std::int64_t{settings_.reload_timeout} * 1000;
    for (std::uint32_t i = 0; i < settings_.workers; ++i) {
      if (!start(reload_generation_, true)) {
        reload_failed("the system refused a new worker");
        return;
      }
    }
  }

  void commit_reload() {
    const std::int64_t now = monotonic_ms();
    for (Process& p : processes_)
      if (p.generation != reload_generation_) drain(p, now);
    host_.take_next_program();
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
    host_.drop_next_program();
    reloading_ = false;
    platform::say_on_stderr("reload failed: " + why + "; the running workers go on serving");
    tell("READY=1\n", "reload failed; ");
  }

  void begin_stop() {
    if (stopping_) return;
    stopping_ = true;
    platform::notify_service_manager("STOPPING=1");
    if (reloading_) {
      host_.drop_next_program();
      reloading_ = false;
    }
    const std::int64_t now = monotonic_ms();
    for (Process& p : processes_) drain(p, now);
    host_.stopping();
  }

  void reap() {
    for (const platform::EndedWorker& e : host_.reap()) {
      const auto p = std::find_if(processes_.begin(), processes_.end(), [&e](const Process& q) { return q.pid == e.pid; });
      if (p == processes_.end()) continue;
      const Process gone = *p;
      processes_.erase(p);
      ended(gone, e);
    }
  }

  // How a worker's end reads: the system's words, or what the master did.
  std::string how(const Process& p, const platform::EndedWorker& e) const {
    if (!e.how.empty()) return e.how;
    if (p.timed_out) return "was ended over CGIECHO_REQUEST_TIMEOUT=" + std::to_string(settings_.request_timeout);
    return "was ended past CGIECHO_STOP_TIMEOUT=" + std::to_string(settings_.stop_timeout);
  }

  void ended(const Process& p, const platform::EndedWorker& e) {
    Slot& s = figures_->slots[p.slot];
    const auto state = static_cast<SlotState>(s.state.load());
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
    if (!e.clean) {
      if (p.timed_out) {
        figures_->timed_out.fetch_add(1);
      } else if (!p.killed) {
        figures_->crashed.fetch_add(1);
      }
      const std::string ended_how = how(p, e);
      const std::string line = "worker " + std::to_string(p.pid) + " " + ended_how + serving +
                               (replaced ? "; replaced" : "; not replaced");
      for (const std::string& said : end_lines_.pass(ended_how, line, now)) platform::say_on_stderr(said);
    } else if (state == SlotState::leaving) {
      figures_->recycled.fetch_add(1);
    }
    if (reloading_ && p.generation == reload_generation_ && !p.ready) {
      reload_failed("the new worker " + std::to_string(p.pid) + " " + how(p, e) + " before it could serve");
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
    if (!host_.listener_accepts()) {
      platform::say_on_stderr("the listening socket no longer accepts connections: no worker can serve, and the pool ends with status 1");
      listener_lost_ = true;
      begin_stop();
    }
  }

  const PoolSettings& settings_;
  platform::WorkerHost& host_;
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
  std::int64_t reload_deadline_ms_ = 0;
};

}  // namespace

void run_master(const PoolSettings& settings, const platform::WorkerUser& user,
                const platform::WorkerListener& listener, bool stop_event) {
  bool lost = false;
  {
    platform::WorkerHost host(sizeof(Figures), user, listener, stop_event);
    // The listener the host opened itself (Windows): said as a responder
    // of one process says it.
    const std::string bound = host.opened_address();
    if (!bound.empty()) warn_if_reachable(bound, listener.address);
    Master master(settings, host);
    master.run();
    lost = master.listener_lost();
  }
  if (lost) platform::end_process(1);
}

}  // namespace cgiecho::pool
