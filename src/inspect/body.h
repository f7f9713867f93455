// The request body from standard input, in large pieces, hashed as it is
// read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include <cgiecho/web/errors.h>

#include "inspect/sha256.h"
#include "web/reading.h"

namespace cgiecho::inspect {

class BodyReader {
 public:
  // Bytes a piece holds at most: large enough that a call per piece costs
  // nothing beside the bytes, small enough that the ring of pieces between
  // the two threads (4 of them) stays in a core's L2 cache while each is
  // read, hashed and handed on. With 256 KiB pieces the 1 MiB ring left
  // L2, the kernel's copy from the pipe into it took most of the
  // inspector's system time, and large uploads ran slower.
  static constexpr std::size_t kPiece = std::size_t{64} << 10;

  // What receives the pieces, in order; the view lives during the call.
  // Anything but errc::ok stops the reading.
  using Sink = std::function<web::errc(std::string_view piece)>;

  // At most `length` bytes: the announced length.
  explicit BodyReader(std::uint64_t length) noexcept : input_(length) {}

  // Reads the body to its announced length or the end of the input,
  // whichever comes first, hashing each piece as it is read and then
  // handing it to `sink`. Returns the sink's first error, or errc::ok. With
  // `second_thread` the sink runs on a thread of its own while the next
  // pieces are read and hashed here, so that a sink that hashes the bytes
  // again (a multipart form's files) costs no time of its own; where no
  // thread can be started it runs here; a sink that may run there must not
  // throw. Out of memory: std::bad_alloc.
  web::errc read(bool second_thread, const Sink& sink);

  std::uint64_t size() const noexcept { return input_.size(); }  // bytes read
  // errc::ok when every announced byte arrived, else read_failed or
  // body_truncated (see web::BodyInput).
  web::errc end_error() const noexcept { return input_.end_error(); }
  // The reader underneath, to read off a refused body.
  web::BodyInput& input() noexcept { return input_; }
  // The digest of the bytes read (see Sha256::finish).
  bool finish(char* hex) noexcept { return hash_.finish(hex); }

 private:
  // Fills `room` (up to its size and the bytes still announced) through
  // the web layer's reader, hashing what came; the bytes read.
  std::size_t fill(char* room, std::size_t size);
  web::errc read_here(const Sink& sink);

  web::BodyInput input_;
  Sha256 hash_;
};

}  // namespace cgiecho::inspect
