// What a worker of either system's pool does with its slot, and the helpers
// both masters use: the parts of pool.h that make no system call of their
// own.
#include <algorithm>

#include <cgiecho/platform/platform.h>

#include "serve/pool.h"
#include "text/decimal.h"

namespace cgiecho::pool {

void say(std::string_view what) {
  std::string line = "cgiecho: ";
  line += what;
  line += '\n';
  platform::write_stderr(line);
}

bool take_number(std::string_view& text, std::uint64_t limit, std::uint64_t& out) {
  const std::size_t comma = std::min(text.find(','), text.size());
  const text::Decimal number = text::parse_decimal(text.substr(0, comma));
  text.remove_prefix(std::min(comma + 1, text.size()));
  out = number.value;
  return number.outcome == text::Decimal::Outcome::number && number.value <= limit;
}

namespace {
constexpr std::int64_t kFirstBackoffMs = 10;
constexpr std::int64_t kMaxBackoffMs = 1000;
}  // namespace

bool StartPace::started(bool made, std::int64_t now) {
  if (!made) {
    next_ms_ = now + kMaxBackoffMs;
    failed_ = std::max<std::int64_t>(failed_, 1);
    return false;
  }
  if (failed_ == 0) return true;
  next_ms_ = now + delay_ms();
  return false;
}

void StartPace::failed(std::int64_t now) {
  ++failed_;
  next_ms_ = now + delay_ms();
}

std::int64_t StartPace::delay_ms() const {
  return std::min(kMaxBackoffMs, kFirstBackoffMs << std::min<std::int64_t>(failed_ - 1, 10));
}

std::int64_t StartPace::wait_ms(std::int64_t now, std::int64_t wait) const {
  return failed_ > 0 ? std::min(wait, next_ms_ - now) : wait;
}

std::int64_t ms_to_timeout(const Slot& slot, std::uint32_t timeout_s, std::int64_t now) {
  if (timeout_s == 0 || slot.state.load() != static_cast<std::uint32_t>(SlotState::busy)) return kNoDeadline;
  return slot.busy_since_ms.load() + static_cast<std::int64_t>(timeout_s) * 1000 - now;
}

Worker::Worker(Figures* figures, std::uint32_t slot, int events, std::uint64_t limit, std::string status_path)
    : figures_(figures), slot_(slot), events_(events), limit_(limit), status_path_(std::move(status_path)) {}

void Worker::begin(std::string_view method, std::string_view script) {
  if (begin_request(*figures_, slot_, method, script, monotonic_ms()))
    say("all " + std::to_string(figures_->workers.load()) +
        " workers are busy: requests wait for one (CGIECHO_WORKERS sets how many; said at most once a minute)");
}

void Worker::end() {
  ++served_;
  end_request(*figures_, slot_);
}

std::string Worker::status_json() const { return pool::status_json(*figures_, monotonic_ms()); }

}  // namespace cgiecho::pool
