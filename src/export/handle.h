// The only code that knows string handles and handle arrays: views of them
// for the core, and new handles from the core's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "cgiecho.h"

namespace cgiecho::exports {

// The bytes of a handle, by their counted length; the null handle is empty.
std::string_view view_of(cgi_str handle);
// By reference: a null address reads as the empty text too.
std::string_view view_of(const cgi_str* ref);

// A new handle holding the bytes; null for the empty text, and null when
// memory is short or the text is too long for a 32-bit length.
cgi_str to_handle(std::string_view bytes);

// A new handle of `length` bytes for the caller to fill (bytes_of), so a
// result whose length is known up front is written once, in place. Null as
// for to_handle. The length is counted in 64 bits on every system, so that
// one past 32 bits is refused rather than wrapped into a small block.
cgi_str new_handle(std::uint64_t length);
char* bytes_of(cgi_str handle);

void release(cgi_str handle);

// Replaces the caller's handle, releasing what it held. With a null address
// there is nowhere to put `with`, so it is released.
void replace(cgi_str* ref, cgi_str with);

// A handle the routine owns, a by-value argument or a result in the making:
// released on every way out of the routine unless handed over. Its bytes
// are the routine's own to rewrite.
class owned_handle {
 public:
  explicit owned_handle(cgi_str handle) : handle_(handle) {}
  owned_handle(const owned_handle&) = delete;
  owned_handle& operator=(const owned_handle&) = delete;
  ~owned_handle() { release(handle_); }
  cgi_str hand_over() {
    const cgi_str handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  std::string_view view() const { return view_of(handle_); }
  char* data() const { return bytes_of(handle_); }
  std::size_t size() const { return view().size(); }

 private:
  cgi_str handle_;
};

// Destroys the caller's array with its strings and leaves *array null.
// False for one its owner has locked: that cannot be destroyed, and is
// left as it is, still the caller's.
bool release_array(struct tagSAFEARRAY** array);

// A new vector of handles, one per view, lower bound 1 (no elements for no
// views); null when memory runs out, with nothing half-made kept.
struct tagSAFEARRAY* array_of_handles(const std::vector<std::string_view>& views);

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
