// Capture files as seeds: an input that is a whole capture file stands for
// the request it holds, so the requests recorded from real browsers and
// servers (tests/captures/) seed the targets that take a request, whatever
// their own input format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <cgiecho/capture/capture_file.h>

// The first value of a variable the capture holds; "" when it holds none.
inline std::string_view param_of(const cgiecho::capture::Capture& c, std::string_view name) {
  for (const auto& [n, v] : c.params)
    if (n == name) return v;
  return {};
}

inline bool read_capture_seed(const std::uint8_t* data, std::size_t size, cgiecho::capture::Capture& out) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  if (in.substr(0, cgiecho::capture::kFirstLine.size()) != cgiecho::capture::kFirstLine) return false;
  cgiecho::capture::ReadError error;
  return cgiecho::capture::read_capture(in, out, error);
}
