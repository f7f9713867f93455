/// @file
/// What goes to an interface narrower than our own: a count to a call that
/// takes an int, a DWORD or a 32-bit length, a name to an environment. One
/// rule for each, so that no count wraps on the way and no name matches a
/// variable it does not name. Header-only: every layer uses it, and tests
/// hand it counts no buffer could hold.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

namespace cgiecho::platform {

/// For a call that takes part of a count and is offered the rest again (a
/// read, a write): the count, or `most` (by default the most `To` holds)
/// when it is larger.
template <class To, class From>
constexpr To clamp_count(From count, To most = std::numeric_limits<To>::max()) noexcept {
  static_assert(std::is_integral_v<To> && std::is_unsigned_v<From>, "a count is never negative");
  return static_cast<std::uint64_t>(count) > static_cast<std::uint64_t>(most) ? most : static_cast<To>(count);
}

/// For a size that is taken whole or not at all (a string handle's length):
/// whether `To` holds it. Sizes come in as 64 bits, so that a sum that would
/// wrap a 32-bit std::size_t is still seen for what it is.
template <class To>
constexpr bool fits_count(std::uint64_t count) noexcept {
  static_assert(std::is_integral_v<To>);
  return count <= static_cast<std::uint64_t>(std::numeric_limits<To>::max());
}

/// The name of an environment variable or a FastCGI parameter as a lookup
/// takes it: up to its first NUL, as the operating system sees names. A name
/// with "=" names nothing (empty): no variable can be called so, and a
/// lookup that compares the first bytes of "NAME=value" entries would match
/// the entry that begins with it.
constexpr std::string_view variable_name(std::string_view requested) noexcept {
  const std::string_view name = requested.substr(0, requested.find('\0'));
  return name.find('=') == std::string_view::npos ? name : std::string_view();
}

}  // namespace cgiecho::platform
