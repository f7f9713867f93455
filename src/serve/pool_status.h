// The pool's figures, kept in memory that the master and every worker map,
// so that any worker answers the status page with the whole pool's figures
// and the master can see which request a worker holds when it ends. Only
// lock-free atomics and plain bytes: the memory is shared between
// processes, where a mutex held by a process that died would never be
// released.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// A worker's method and script as the status page and the log show them:
// what fits of each, every byte that is not printable ASCII (or is a
// quote or a backslash) as \xHH, so that neither a log line nor the JSON
// can be broken by a request's bytes. A script cut to fit ends in "...".
struct SlotText {
  std::string method;
  std::string script;
};
SlotText read_text(const Slot& slot);

// A worker takes a request: its slot says so, the counts follow.
// `busy_workers` comes back as the number busy now, this one included.
// True when every worker is busy and no such line was logged in the last
// minute: the caller logs one.
bool begin_request(Figures& figures, std::uint32_t slot, std::string_view method, std::string_view script,
                   std::int64_t now_ms);
void end_request(Figures& figures, std::uint32_t slot);

// The status page's JSON object (one line, no trailing newline), with
// `now_ms` on the monotonic clock for the seconds a request has run.
std::string status_json(const Figures& figures, std::int64_t now_ms);

}  // namespace cgiecho::pool
