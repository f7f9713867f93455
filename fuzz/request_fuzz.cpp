// The number reader and the command-line tail on any bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/command_tail.h"
#include "request/number.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  (void)cgiecho::cgi_val(in);
  const std::string_view tail = cgiecho::command_tail_of(in);
  if (tail.size() > in.size() || (!tail.empty() && tail.data() + tail.size() != in.data() + in.size())) std::abort();
  return 0;
}
