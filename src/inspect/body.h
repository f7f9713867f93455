// The request body from standard input, in large pieces, hashed as it is
// read.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "inspect/sha256.h"

namespace cgiecho::inspect {

class BodyStream {
 public:
  // Bytes a piece holds at most: large enough that a call per piece costs
  // nothing beside the bytes, small enough to stay in the cache while it
  // is hashed and parsed.
  static constexpr std::size_t kPiece = std::size_t{256} << 10;

  // Reads at most `length` bytes. With `second_thread`, the body is hashed
  // on a thread of its own, beside the caller's work on the same pieces
  // (a multipart form, whose files are hashed too); without it, or when no
  // thread can be started, on this one. Out of memory: std::bad_alloc.
  BodyStream(std::uint64_t length, bool second_thread);
  ~BodyStream();
  BodyStream(const BodyStream&) = delete;
  BodyStream& operator=(const BodyStream&) = delete;

  // The next piece of the body: as many bytes as fit in a piece, fewer only
  // at the announced length or at the end of the input; empty after both.
  // The view lives until the next call.
  std::string_view next();
  // Bytes read so far.
  std::uint64_t size() const noexcept { return read_; }
  // Whether every announced byte arrived.
  bool complete() const noexcept { return read_ == length_; }
  // The digest of the bytes read (see Sha256::finish); no more pieces after it.
  bool finish(char* hex) noexcept;

 private:
  void hash_pieces() noexcept;  // the second thread's loop

  // A ring of pieces: the reader fills one while the hasher still works
  // on the ones before it.
  static constexpr std::size_t kSlots = 4;
  std::uint64_t length_;
  std::uint64_t read_ = 0;
  std::size_t slot_size_;
  std::unique_ptr<char[]> slots_;
  std::size_t filled_[kSlots] = {};
  Sha256 hash_;

  std::thread hasher_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t published_ = 0;  // pieces handed to the hasher
  std::uint64_t hashed_ = 0;     // pieces it is done with
  bool ending_ = false;
};

// Reads and drops up to `bound` of the `remaining` body bytes. Some servers
// pass an answer on only once the program has taken the body they are
// writing to it; a bound keeps a refused body from being read whole.
void read_off(std::uint64_t remaining, std::uint64_t bound) noexcept;

}  // namespace cgiecho::inspect
