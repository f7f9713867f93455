// String handles in the tests of the exported routines: made from bytes,
// read by their counted length (never up to a NUL) and released. Include it
// after cgiecho.h (and, on Windows, <oleauto.h>, which declares the Sys*
// functions).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cgiecho.h"

namespace cgiecho::test {

// A new handle holding the bytes; the caller owns it.
inline cgi_str make(const std::string& bytes) {
  return SysAllocStringByteLen(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// The handle's bytes, valid while the handle lives; the null handle is empty.
inline std::string_view view(cgi_str h) {
  return h ? std::string_view(reinterpret_cast<const char*>(h), SysStringByteLen(h)) : std::string_view();
}

inline std::string text(cgi_str h) { return std::string(view(h)); }

// A result read and released.
inline std::string take(cgi_str h) {
  std::string bytes = text(h);
  SysFreeString(h);
  return bytes;
}

}  // namespace cgiecho::test
