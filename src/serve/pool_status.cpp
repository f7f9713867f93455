#include "serve/pool_status.h"

#include <algorithm>
#include <cstring>

#include "text/ascii.h"

namespace cgiecho::pool {
namespace {

constexpr std::int64_t kAllBusyLogPauseMs = 60 * 1000;
constexpr std::int64_t kEndLinePauseMs = 1000;

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

// A slot's text up to its NUL padding.
template <std::size_t N>
std::string given(const char (&field)[N]) {
  return std::string(field, std::find(field, field + N, '\0'));
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

SlotText read_given_text(const Slot& slot) {
  SlotText text;
  for (int tries = 0; tries < 100; ++tries) {
    const std::uint32_t before = slot.text_turn.load(std::memory_order_acquire);
    if (before % 2 != 0) continue;
    text.method = given(slot.method);
    text.script = given(slot.script);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.text_turn.load(std::memory_order_relaxed) == before) break;
  }
  return text;
}

SlotText read_text(const Slot& slot) {
  // The page's spelling since it was first served: capitals, and a quote
  // escaped too, so that the JSON string needs no escape of its own.
  constexpr text::Escaping kPage{true, true, true};
  const SlotText given_text = read_given_text(slot);
  SlotText text;
  text::append_printable(given_text.method, text.method, kPage);
  text::append_printable(given_text.script, text.script, kPage);
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

std::vector<std::string> EndLines::pass(const std::string& how, std::string line, std::int64_t now) {
  const auto way = std::find_if(ways_.begin(), ways_.end(), [&how](const Way& w) { return w.how == how; });
  if (way == ways_.end()) {
    ways_.push_back(Way{how, now + kEndLinePauseMs, 0, {}});
    return {std::move(line)};
  }
  if (now < way->next_ms) {
    ++way->held;
    way->last = std::move(line);
    return {};
  }
  std::vector<std::string> lines;
  if (way->held > 0) lines.push_back(held_line(*way));
  lines.push_back(std::move(line));
  way->held = 0;
  way->next_ms = now + kEndLinePauseMs;
  return lines;
}

std::vector<std::string> EndLines::due(std::int64_t now, bool all) {
  std::vector<std::string> lines;
  for (auto way = ways_.begin(); way != ways_.end();) {
    if (!all && now < way->next_ms) {
      ++way;
    } else if (way->held == 0) {
      way = ways_.erase(way);  // quiet for a second: the next line of its way is written at once
    } else {
      lines.push_back(held_line(*way));
      way->held = 0;
      way->next_ms = now + kEndLinePauseMs;  // the count was a line of that way
      ++way;
    }
  }
  return lines;
}

std::int64_t EndLines::wait_ms(std::int64_t now, std::int64_t wait) const {
  for (const Way& way : ways_)
    if (way.held > 0) wait = std::min(wait, way.next_ms - now);
  return wait;
}

std::string EndLines::held_line(const Way& way) {
  if (way.held == 1) return way.last;
  return std::to_string(way.held) + " more workers ended the same way: " + way.how +
         " (one such line a second is logged)";
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
