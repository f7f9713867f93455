// The only code that knows string handles: views of them for the core, and
// new handles from the core's strings.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "cgiecho.h"

namespace cgiecho::exports {

// The bytes of a handle, by their counted length; the null handle is empty.
std::string_view view_of(cgi_str handle);
// By reference: a null address reads as the empty text too.
std::string_view view_of(const cgi_str* ref);

// A new handle holding the bytes; null for the empty text, and null when
// memory is short or the text is too long for a 32-bit length.
cgi_str to_handle(std::string_view bytes);

// Replaces the caller's handle, releasing what it held.
void replace(cgi_str* ref, cgi_str with);

// A by-value argument: released on every way out of the routine.
class owned_handle {
 public:
  explicit owned_handle(cgi_str handle) : handle_(handle) {}
  owned_handle(const owned_handle&) = delete;
  owned_handle& operator=(const owned_handle&) = delete;
  ~owned_handle();
  std::string_view view() const { return view_of(handle_); }

 private:
  cgi_str handle_;
};

// Runs an exported routine's body; no exception crosses into C. A failure
// (memory, as the core throws nothing else) degrades to the empty result.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  try {
    return body();
  } catch (...) {
    if constexpr (!std::is_void_v<Result>) return Result{};
  }
}

}  // namespace cgiecho::exports
