// What a worker of the pool does with its slot, and the helpers the master
// uses: the parts of pool.h that make no system call of their own.
#include <algorithm>
#include <random>

#include <cgiecho/platform/platform.h>
#include <cgiecho/serve/serve.h>

#include "platform/workers.h"
#include "serve/pool.h"
#include "serve/request_channel.h"

namespace cgiecho::pool {

namespace {
constexpr std::int64_t kFirstBackoffMs = 10;
constexpr std::int64_t kMaxBackoffMs = 1000;

// A worker's share of CGIECHO_MAX_REQUESTS: the setting less a part of up
// to a tenth of it drawn from `seed` (the process id and the clock: no
// secret, and the echo program links no more of the system for it), so
// that workers started together do not all leave together; never more
// than the setting.
std::uint64_t share_of(std::uint64_t max_requests, std::uint32_t seed) {
  if (max_requests == 0) return 0;
  std::minstd_rand draw(seed);
  return max_requests - draw() % (max_requests / 10 + 1);
}
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

Worker::Worker(Figures* figures, std::uint32_t slot, int events, std::uint64_t max_requests, std::uint32_t seed,
               std::string status_path)
    : figures_(figures),
      slot_(slot),
      events_(events),
      limit_(share_of(max_requests, seed)),
      status_path_(std::move(status_path)) {}

void Worker::begin(std::string_view method, std::string_view script) {
  if (begin_request(*figures_, slot_, method, script, monotonic_ms()))
    platform::say_on_stderr("all " + std::to_string(figures_->workers.load()) +
        " workers are busy: requests wait for one (CGIECHO_WORKERS sets how many; said at most once a minute)");
}

void Worker::end() {
  ++served_;
  end_request(*figures_, slot_);
}

std::unique_ptr<Worker> Worker::from_environment(const PoolSettings& settings) {
  const platform::PoolMembership pool = platform::join_pool(sizeof(Figures), kMaxSlots);
  if (pool.slot < 0) return nullptr;
  return std::unique_ptr<Worker>(new Worker(static_cast<Figures*>(pool.shared), static_cast<std::uint32_t>(pool.slot),
                                            static_cast<int>(pool.notes), settings.max_requests,
                                            static_cast<std::uint32_t>(platform::current_process_id()) ^
                                                static_cast<std::uint32_t>(monotonic_ms()),
                                            settings.status_path));
}

Worker::~Worker() {
  if (leave()) figures_->slots[slot_].state.store(static_cast<std::uint32_t>(SlotState::leaving));
  platform::leave_pool({slot_, figures_, events_}, sizeof(Figures));
}

void Worker::ready() {
  Slot& s = figures_->slots[slot_];
  s.pid.store(static_cast<std::int32_t>(platform::current_process_id()));
  s.state.store(static_cast<std::uint32_t>(SlotState::idle));
  platform::tell_ready({slot_, figures_, events_});
}

std::string Worker::status_json() const { return pool::status_json(*figures_, monotonic_ms()); }

void Worker::serve(RequestChannel& channel, const std::function<void()>& handle, Worker* worker) {
  if (worker != nullptr) {
    const std::string script = channel.env("SCRIPT_NAME");
    worker->begin(channel.env("REQUEST_METHOD"), script);
    if (worker->is_status_page(script)) {
      channel.write("Content-Type: application/json\r\nCache-Control: no-store\r\n\r\n" + worker->status_json() + "\n");
      return;
    }
  }
  platform::set_channel(&channel);
  serve_once(handle);
  platform::set_channel(nullptr);
}

}  // namespace cgiecho::pool
