#include "inspect/body.h"

#include <algorithm>
#include <system_error>

#include "platform/platform.h"

namespace cgiecho::inspect {

BodyStream::BodyStream(std::uint64_t length, bool second_thread)
    : length_(length),
      // A small body needs no more room than itself.
      slot_size_(static_cast<std::size_t>(std::min<std::uint64_t>(length, kPiece))) {
  const std::size_t slots = second_thread ? kSlots : 1;
  slots_.reset(new char[slot_size_ * slots]);  // not zeroed: every byte is read before it is used
  if (!second_thread) return;
  try {
    hasher_ = std::thread([this] { hash_pieces(); });
  } catch (const std::system_error&) {
    // No thread: the hash is made on this one, one slot used.
  }
}

BodyStream::~BodyStream() {
  if (!hasher_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  hasher_.join();
}

std::string_view BodyStream::next() {
  const bool threaded = hasher_.joinable();
  const std::uint64_t piece = published_;
  const std::size_t slot = threaded ? static_cast<std::size_t>(piece % kSlots) : 0;
  if (threaded && piece >= kSlots) {
    // The slot's last piece must be hashed before it is overwritten.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return hashed_ + kSlots > piece; });
  }
  char* const room = slots_.get() + slot * slot_size_;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(slot_size_, length_ - read_));
  std::size_t got = 0;
  while (got < want) {
    const std::size_t n = platform::read_stdin(room + got, want - got);
    if (n == 0) break;  // the end of the input, or a failed read
    got += n;
  }
  read_ += got;
  const std::string_view bytes(room, got);
  if (got == 0) return bytes;
  if (!threaded) {
    hash_.update(bytes);
    return bytes;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    filled_[slot] = got;
    ++published_;
  }
  changed_.notify_all();
  return bytes;
}

void BodyStream::hash_pieces() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return published_ > hashed_ || ending_; });
    if (published_ == hashed_) return;  // ending, and every piece hashed
    const std::size_t slot = static_cast<std::size_t>(hashed_ % kSlots);
    const std::string_view bytes(slots_.get() + slot * slot_size_, filled_[slot]);
    lock.unlock();
    hash_.update(bytes);
    lock.lock();
    ++hashed_;
    changed_.notify_all();
  }
}

bool BodyStream::finish(char* hex) noexcept {
  if (hasher_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
    }
    changed_.notify_all();
    hasher_.join();  // it hashes what was published, then ends
  }
  return hash_.finish(hex);
}

void read_off(std::uint64_t remaining, std::uint64_t bound) noexcept {
  char sink[16384];
  std::uint64_t left = std::min(remaining, bound);
  while (left > 0) {
    const std::size_t n = platform::read_stdin(sink, static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof sink)));
    if (n == 0) return;
    left -= n;
  }
}

}  // namespace cgiecho::inspect
