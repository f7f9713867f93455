// The pool's figures, kept in memory that the master and every worker map,
// so that any worker answers the status page with the whole pool's figures
// and the master can see which request a worker holds when it ends. Only
// lock-free atomics and plain bytes: the memory is shared between
// processes, where a mutex held by a process that died would never be
// released. Also what the master reads off a slot, and how often it logs,
// when a worker ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cgiecho::pool {

// Room for two pools of the largest size: during a reload the old workers
// drain while the new ones start.
constexpr std::uint32_t kMaxSlots = 2048;

enum class SlotState : std::uint32_t {
  free = 0,
  starting = 1,  // started, not serving yet
  idle = 2,
  busy = 3,
  leaving = 4,   // served its share of requests and leaves by itself
};

struct Slot {
  std::atomic<std::int32_t> pid;
  std::atomic<std::uint32_t> state;
  std::atomic<std::uint64_t> requests;
  std::atomic<std::int64_t> busy_since_ms;  // on the monotonic clock, which every process shares
  // Odd while method and script change: a reader in another process reads
  // them again when the turn changed under it.
  std::atomic<std::uint32_t> text_turn;
  char method[24];
  char script[228];
};

struct Figures {
  std::atomic<std::int64_t> start_time;  // seconds since the epoch
  std::atomic<std::uint32_t> workers;    // how many the pool keeps
  std::atomic<std::uint32_t> slots_used;  // no slot at or past this is in use
  std::atomic<std::uint64_t> accepted;
  std::atomic<std::uint64_t> answered;
  std::atomic<std::uint64_t> crashed;
  std::atomic<std::uint64_t> timed_out;
  std::atomic<std::uint64_t> recycled;
  std::atomic<std::uint64_t> reloads;
  std::atomic<std::uint64_t> max_busy;
  std::atomic<std::uint64_t> all_busy_count;
  std::atomic<std::int64_t> all_busy_said_ms;  // when that was last logged; 0 never
  Slot slots[kMaxSlots];
};

// A worker's method and script: what fits of each, as the request gave
// them; a script cut to fit ends in "...". A log line takes them so, and
// its writer (platform::say_on_stderr) escapes them.
struct SlotText {
  std::string method;
  std::string script;
};
SlotText read_given_text(const Slot& slot);
// The same as the status page shows them: every byte that is not printable
// ASCII (or is a quote or a backslash) as \xHH, so that the JSON cannot be
// broken by a request's bytes.
SlotText read_text(const Slot& slot);

// A worker takes a request: its slot says so, the counts follow.
// `busy_workers` comes back as the number busy now, this one included.
// True when every worker is busy and no such line was logged in the last
// minute: the caller logs one.
bool begin_request(Figures& figures, std::uint32_t slot, std::string_view method, std::string_view script,
                   std::int64_t now_ms);
void end_request(Figures& figures, std::uint32_t slot);

// Whether the worker in `slot` has taken a request. One that ends before
// that failed to start, however ready it said it was: a worker whose
// listener is gone gets ready, then ends at once.
inline bool has_served(const Slot& slot) {
  return slot.requests.load() > 0 || slot.state.load() == static_cast<std::uint32_t>(SlotState::busy);
}

// The master's lines for workers that ended, at most one a second for each
// way of ending ("exited with status 1"), so that workers that keep ending
// the same way cannot flood the log; those held back are counted, and the
// count is said once that second is over.
class EndLines {
 public:
  // The lines to write for a worker that ended `how` at `now`, `line` its
  // own: none when it is held back; else `line`, after the count of those
  // held back before it when its second is over.
  std::vector<std::string> pass(const std::string& how, std::string line, std::int64_t now);
  // The counts due at `now` (or all of them, with `all`), one line each;
  // a single line held back is written itself.
  std::vector<std::string> due(std::int64_t now, bool all);
  // `wait`, or less when a count falls due sooner.
  std::int64_t wait_ms(std::int64_t now, std::int64_t wait) const;

 private:
  struct Way {
    std::string how;
    std::int64_t next_ms;   // when a line of this way may be written again
    std::uint64_t held;     // lines held back since the last one written
    std::string last;       // the last of them, written itself when it is the only one
  };
  static std::string held_line(const Way& way);
  std::vector<Way> ways_;  // only the ways seen within the last second or two
};

// The status page's JSON object (one line, no trailing newline), with
// `now_ms` on the monotonic clock for the seconds a request has run.
std::string status_json(const Figures& figures, std::int64_t now_ms);

}  // namespace cgiecho::pool
