#include "export/handle.h"

#include <cstdint>
#include <limits>

#include "platform/platform.h"

namespace cgiecho::exports {

std::string_view view_of(cgi_str handle) {
  if (handle == nullptr) return {};
  return {reinterpret_cast<const char*>(handle), platform::handle_length(handle)};
}

std::string_view view_of(const cgi_str* ref) { return ref ? view_of(*ref) : std::string_view(); }

cgi_str to_handle(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return nullptr;
  return static_cast<cgi_str>(platform::alloc_handle(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
}

void replace(cgi_str* ref, cgi_str with) {
  if (ref == nullptr) {
    platform::free_handle(with);
    return;
  }
  platform::free_handle(*ref);
  *ref = with;
}

owned_handle::~owned_handle() { platform::free_handle(handle_); }

}  // namespace cgiecho::exports
