#include <cgiecho/request/acquire.h>

#include <algorithm>
#include <utility>

#include <cgiecho/platform/platform.h>

#include "platform/narrow.h"
#include "request/environment.h"

namespace cgiecho {
namespace {

// Bytes that fit after those already here, before the room kept after them.
std::size_t free_room(const Room& room, const Margins& margins, std::size_t size) {
  const std::size_t used = margins.before + size + margins.after;
  return room.size() > used ? room.size() - used : 0;
}

// Room for what is still to come, but never more than kMaxAhead past the
// bytes already here: a client that announces 2 GB and sends three bytes
// costs 64 MiB of room, not 2 GB. Growing moves pages, not bytes, so a
// larger body grows in steps of kMaxAhead at no cost but a call. Where the
// system has less, smaller steps are tried, down to one read; failing that,
// the room stays as it was.
void make_room(Room& room, const Margins& margins, std::size_t size, std::size_t total) {
  for (std::size_t ahead = std::min(total - size, kMaxAhead);; ahead /= 2) {
    if (room.grow(margins.before + size + ahead + margins.after) || ahead <= kMaxRead) return;
  }
}

}  // namespace

RequestData read_body_data(Margins margins) {
  const std::int32_t announced = env_number("CONTENT_LENGTH");
  if (announced <= 0) return {};
  const auto total = static_cast<std::size_t>(announced);
  Room room;
  std::size_t size = 0;  // bytes at room.data() + margins.before
  while (size < total) {
    // Never more than is still missing: bytes past the body are not ours.
    const std::size_t step = std::min(kMaxRead, total - size);
    if (free_room(room, margins, size) < step) make_room(room, margins, size, total);
    const std::size_t want = std::min(step, free_room(room, margins, size));
    if (want == 0) break;  // out of memory: the body so far is the body
    const std::size_t got = platform::read_stdin(room.data() + margins.before + size, want);
    if (got == 0) break;
    size += got;
  }
  return RequestData(std::move(room), margins.before, size);
}

std::string read_body() { return std::string(read_body_data().view()); }

RequestData read_request_data(Margins margins) {
  const std::string method = env_text("REQUEST_METHOD");
  if (method == "GET" || method == "PUT" || method == "HEAD") return env_text("QUERY_STRING");
  if (method == "POST") return read_body_data(margins);
  return platform::command_tail();
}

std::string read_request() { return std::string(read_request_data().view()); }

RequestData& cgi_request_data() {
  static RequestData data;
  return data;
}

void clear_request_data() {
  RequestData released;  // goes with the memory: assigning would keep a string's capacity
  std::swap(cgi_request_data(), released);
}

std::int32_t buffer_request(Margins margins) {
  RequestData& data = cgi_request_data();
  data = read_request_data(margins);
  return platform::clamp_count<std::int32_t>(data.view().size());
}

}  // namespace cgiecho
