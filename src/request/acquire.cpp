#include "request/acquire.h"

#include <algorithm>
#include <new>

#include "platform/narrow.h"
#include "platform/platform.h"
#include "request/environment.h"

namespace cgiecho {
namespace {

// Room for what is still to come, but never more than kMaxAhead past the
// bytes already here: a client that announces 2 GB and sends three bytes
// costs 64 MiB of room, not 2 GB. Bodies up to that size get all their room
// at once, so they are never copied while they grow. A larger body is
// copied into its whole room as soon as that is no more than kMaxAhead
// ahead (for 100 MiB, once 36 MiB are here: the fewer bytes a copy moves,
// the fewer pages are touched twice), or, when the room runs out first, in
// steps of kMaxAhead. A step that cannot be had is left to the string's own
// growth.
void make_room(std::string& body, std::size_t total, std::size_t spare) {
  const std::size_t whole = total + spare;
  if (body.capacity() >= whole) return;
  const bool full = body.capacity() - body.size() < kMaxRead;
  if (!full && body.size() + kMaxAhead < whole) return;
  const std::size_t want = std::min(whole, body.size() + kMaxAhead);
  try {
    body.reserve(want);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

std::string read_body(std::size_t spare) {
  const std::int32_t announced = env_number("CONTENT_LENGTH");
  std::string body;
  if (announced <= 0) return body;
  const auto total = static_cast<std::size_t>(announced);
  while (body.size() < total) {
    make_room(body, total, spare);
    // Never more than is still missing: bytes past the body are not ours.
    const std::size_t want = std::min(kMaxRead, total - body.size());
    const std::size_t had = body.size();
    body.resize(had + want);
    const std::size_t got = platform::read_stdin(body.data() + had, want);
    body.resize(had + got);
    if (got == 0) break;
  }
  return body;
}

std::string read_request(std::size_t spare) {
  const std::string method = env_text("REQUEST_METHOD");
  if (method == "GET" || method == "PUT" || method == "HEAD") return env_text("QUERY_STRING");
  if (method == "POST") return read_body(spare);
  return platform::command_tail();
}

std::string& cgi_request_data() {
  static std::string data;
  return data;
}

void clear_request_data() {
  std::string().swap(cgi_request_data());  // releases the memory, not just the length
}

std::int32_t buffer_request(std::size_t spare) {
  std::string& data = cgi_request_data();
  data = read_request(spare);
  return platform::clamp_count<std::int32_t>(data.size());
}

}  // namespace cgiecho
