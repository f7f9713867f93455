#include "request/acquire.h"

#include <algorithm>
#include <new>

#include "output/page.h"
#include "platform/platform.h"
#include "request/environment.h"
#include "request/state.h"

namespace cgiecho {
namespace {

// Room for an announced body up front, so a large body is not copied while
// it grows, plus the page frame, so the echo program can frame it in place.
// Only address space: pages are touched as bytes arrive. A length that
// cannot be reserved is simply grown into.
void reserve_for(std::string& body, std::size_t announced) {
  try {
    body.reserve(announced + kPageFrameSize);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

std::string read_body() {
  const std::int32_t announced = env_number("CONTENT_LENGTH");
  std::string body;
  if (announced <= 0) return body;
  const auto total = static_cast<std::size_t>(announced);
  reserve_for(body, total);
  while (body.size() < total) {
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

std::string read_request() {
  const std::string method = env_text("REQUEST_METHOD");
  if (method == "GET" || method == "PUT" || method == "HEAD") return env_text("QUERY_STRING");
  if (method == "POST") return read_body();
  return platform::command_tail();
}

std::int32_t buffer_request() {
  std::string& data = cgi_request_data();
  data = read_request();
  return static_cast<std::int32_t>(std::min<std::size_t>(data.size(), INT32_MAX));
}

}  // namespace cgiecho
