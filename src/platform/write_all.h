/// @file
/// The loop behind write_stdout on every platform: the operating system may
/// take fewer bytes than it was given (a pipe, a signal), so the rest is
/// offered again until all is written or a write fails. Header-only so that
/// tests drive it with writers of their own.
#pragma once

#include <cstddef>
#include <string_view>

namespace cgiecho::platform {

/// write_some(data, count) returns how many bytes it took, at most count, or
/// a negative number when it failed. Taking none of a non-empty rest counts
/// as failing: a writer that keeps taking nothing would otherwise be asked
/// forever. An empty text is still one call, a write of zero bytes, as the
/// writers promise. Returns the bytes written.
template <class WriteSome>
std::size_t write_all(std::string_view bytes, WriteSome&& write_some) {
  std::size_t done = 0;
  do {
    const auto put = write_some(bytes.data() + done, bytes.size() - done);
    if (put <= 0) break;
    done += static_cast<std::size_t>(put);
  } while (done < bytes.size());
  return done;
}

}  // namespace cgiecho::platform
