#include "text/decimal.h"

#include <limits>

namespace cgiecho::text {

Decimal parse_decimal(std::string_view text) noexcept {
  if (text.empty()) return {};
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  bool too_large = false;
  for (const char c : text) {
    if (c < '0' || c > '9') return {};
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) too_large = true;
    value = value * 10 + digit;  // unsigned: wraps harmlessly once too_large is set
  }
  if (too_large) return {Decimal::Outcome::too_large, 0};
  return {Decimal::Outcome::number, value};
}

bool is_url_port(std::string_view port) noexcept {
  if (port.empty()) return true;
  const Decimal number = parse_decimal(port);
  return number.outcome == Decimal::Outcome::number && number.value <= 65535;
}

}  // namespace cgiecho::text
