// What the pool's processes say and read the same way on every system.
#include "platform/workers.h"

#include <algorithm>
#include <cstring>

#include <cgiecho/platform/platform.h>

#include "platform/diagnostics.h"
#include "text/ascii.h"
#include "text/decimal.h"

namespace cgiecho::platform {

std::vector<std::uint64_t> read_pool_marker(std::size_t count, std::uint32_t slots, std::uint64_t limit) {
  const std::string text = process_env(kPoolMarker);
  if (text.empty()) return {};
  std::vector<std::uint64_t> numbers;
  std::string_view rest(text);
  bool whole = true;
  while (whole && numbers.size() < count) {
    const std::size_t comma = std::min(rest.find(','), rest.size());
    const text::Decimal number = text::parse_decimal(rest.substr(0, comma));
    rest.remove_prefix(std::min(comma + 1, rest.size()));
    whole = number.outcome == text::Decimal::Outcome::number && number.value <= (numbers.empty() ? slots - 1 : limit);
    numbers.push_back(number.value);
  }
  if (!whole || !rest.empty()) give_up(std::string("not a worker's marker: ") + kPoolMarker + "=" + text);
  return numbers;
}

}  // namespace cgiecho::platform
