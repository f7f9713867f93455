#include "inspect/body.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>


namespace cgiecho::inspect {
namespace {

using web::errc;

// The pieces in flight between the reader and the sink's thread: a ring of
// slots, so that the reader fills one while the sink still works on those
// before it.
struct Ring {
  static constexpr std::size_t kSlots = 4;
  std::unique_ptr<char[]> room{new char[kSlots * BodyReader::kPiece]};  // not zeroed: read before used
  std::size_t filled[kSlots] = {};
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t published = 0;  // pieces handed to the sink's thread
  std::uint64_t taken = 0;      // pieces it is done with
  bool ending = false;          // no more pieces come
  errc error = errc::ok;        // the sink's, which stops both sides

  char* slot(std::uint64_t piece) { return room.get() + (piece % kSlots) * BodyReader::kPiece; }

  void sink_loop(const BodyReader::Sink& sink) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return published > taken || ending; });
      if (published == taken) return;  // ending, and every piece taken
      const std::string_view piece(slot(taken), filled[taken % kSlots]);
      lock.unlock();
      const errc e = sink(piece);
      lock.lock();
      ++taken;
      if (e != errc::ok) error = e;
      changed.notify_all();
      if (e != errc::ok) return;
    }
  }
};

}  // namespace

std::size_t BodyReader::fill(char* room, std::size_t size) {
  const std::size_t got = input_.fill(room, size);
  hash_.update(std::string_view(room, got));
  return got;
}

errc BodyReader::read_here(const Sink& sink) {
  // A small body needs no more room than itself.
  const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(input_.length(), kPiece));
  const std::unique_ptr<char[]> room(new char[size]);
  for (std::size_t got; (got = fill(room.get(), size)) > 0;)
    if (const errc e = sink(std::string_view(room.get(), got)); e != errc::ok) return e;
  return errc::ok;
}

errc BodyReader::read(bool second_thread, const Sink& sink) {
  if (!second_thread || input_.length() <= kPiece) return read_here(sink);
  Ring ring;
  std::thread worker;
  try {
    worker = std::thread([&] { ring.sink_loop(sink); });
  } catch (const std::system_error&) {
    return read_here(sink);
  }
  for (std::uint64_t piece = 0;; ++piece) {
    {
      // The slot's last piece must be taken before it is overwritten.
      std::unique_lock<std::mutex> lock(ring.mutex);
      ring.changed.wait(lock, [&] { return ring.taken + Ring::kSlots > piece || ring.error != errc::ok; });
      if (ring.error != errc::ok) break;
    }
    const std::size_t got = fill(ring.slot(piece), kPiece);
    if (got == 0) break;
    {
      std::lock_guard<std::mutex> lock(ring.mutex);
      ring.filled[piece % Ring::kSlots] = got;
      ++ring.published;
    }
    ring.changed.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(ring.mutex);
    ring.ending = true;
  }
  ring.changed.notify_all();
  worker.join();  // it takes what was published, unless it stopped at an error
  return ring.error;
}

}  // namespace cgiecho::inspect
