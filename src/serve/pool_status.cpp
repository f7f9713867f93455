#include "serve/pool_status.h"

#include <algorithm>
#include <cstring>

namespace cgiecho::pool {
namespace {

constexpr std::int64_t kAllBusyLogPauseMs = 60 * 1000;

// Copies what fits of `text` into `field`, NUL-padded; a cut is marked by
// its three last bytes, so that a reader never takes a part for the whole.
template <std::size_t N>
void put_text(char (&field)[N], std::string_view text) {
  std::memset(field, 0, N);
  if (text.size() < N) {
    std::memcpy(field, text.data(), text.size());
    return;
  }
  std::memcpy(field, text.data(), N - 4);
  std::memcpy(field + N - 4, "...", 3);
}

template <std::size_t N>
std::string shown(const char (&field)[N]) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < N && field[i] != '\0'; ++i) {
    const auto b = static_cast<unsigned char>(field[i]);
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      out += static_cast<char>(b);
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

void append_field(std::string& out, const char* name, std::uint64_t value) {
  out += '"';
  out += name;
  out += "\":";
  out += std::to_string(value);
  out += ',';
}

}  // namespace

SlotText read_text(const Slot& slot) {
  SlotText text;
  for (int tries = 0; tries < 100; ++tries) {
    const std::uint32_t before = slot.text_turn.load(std::memory_order_acquire);
    if (before % 2 != 0) continue;
    text.method = shown(slot.method);
    text.script = shown(slot.script);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.text_turn.load(std::memory_order_relaxed) == before) break;
  }
  return text;
}

bool begin_request(Figures& figures, std::uint32_t slot, std::string_view method, std::string_view script,
                   std::int64_t now_ms) {
  Slot& s = figures.slots[slot];
  s.text_turn.fetch_add(1, std::memory_order_acq_rel);
  put_text(s.method, method);
  put_text(s.script, script);
  s.text_turn.fetch_add(1, std::memory_order_release);
  s.busy_since_ms.store(now_ms);
  s.state.store(static_cast<std::uint32_t>(SlotState::busy));
  figures.accepted.fetch_add(1);

  std::uint64_t busy = 0;
  const std::uint32_t used = std::min(figures.slots_used.load(), kMaxSlots);
  for (std::uint32_t i = 0; i < used; ++i)
    if (figures.slots[i].state.load() == static_cast<std::uint32_t>(SlotState::busy)) ++busy;
  std::uint64_t most = figures.max_busy.load();
  while (busy > most && !figures.max_busy.compare_exchange_weak(most, busy)) {
  }
  // Every worker busy: the next request waits for one.
  if (busy < figures.workers.load()) return false;
  figures.all_busy_count.fetch_add(1);
  std::int64_t said = figures.all_busy_said_ms.load();
  return (said == 0 || now_ms - said >= kAllBusyLogPauseMs) &&
         figures.all_busy_said_ms.compare_exchange_strong(said, now_ms);
}

void end_request(Figures& figures, std::uint32_t slot) {
  Slot& s = figures.slots[slot];
  s.requests.fetch_add(1);
  figures.answered.fetch_add(1);
  s.state.store(static_cast<std::uint32_t>(SlotState::idle));
}

std::string status_json(const Figures& figures, std::int64_t now_ms) {
  std::string processes;
  std::uint64_t workers = 0, busy = 0, idle = 0;
  const std::uint32_t used = std::min(figures.slots_used.load(), kMaxSlots);
  for (std::uint32_t i = 0; i < used; ++i) {
    const Slot& s = figures.slots[i];
    const auto state = static_cast<SlotState>(s.state.load());
    if (state != SlotState::idle && state != SlotState::busy) continue;
    ++workers;
    ++(state == SlotState::busy ? busy : idle);
    processes += processes.empty() ? "{" : ",{";
    append_field(processes, "pid", static_cast<std::uint64_t>(s.pid.load()));
    append_field(processes, "requests", s.requests.load());
    processes += "\"state\":";
    if (state == SlotState::busy) {
      const SlotText text = read_text(s);
      processes += "\"busy\",\"method\":";
      append_json_string(processes, text.method);
      processes += ",\"script\":";
      append_json_string(processes, text.script);
      processes += ",\"seconds\":";
      processes += std::to_string(std::max<std::int64_t>(0, now_ms - s.busy_since_ms.load()) / 1000);
    } else {
      processes += "\"idle\"";
    }
    processes += '}';
  }
  std::string out = "{";
  append_field(out, "start_time", static_cast<std::uint64_t>(figures.start_time.load()));
  append_field(out, "workers", workers);
  append_field(out, "busy", busy);
  append_field(out, "idle", idle);
  append_field(out, "max_busy", figures.max_busy.load());
  append_field(out, "all_busy_count", figures.all_busy_count.load());
  append_field(out, "accepted", figures.accepted.load());
  append_field(out, "answered", figures.answered.load());
  append_field(out, "crashed", figures.crashed.load());
  append_field(out, "timed_out", figures.timed_out.load());
  append_field(out, "recycled", figures.recycled.load());
  append_field(out, "reloads", figures.reloads.load());
  out += "\"processes\":[" + processes + "]}";
  return out;
}

}  // namespace cgiecho::pool
