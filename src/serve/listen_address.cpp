#include "serve/listen_address.h"

#include "text/ascii.h"
#include "text/decimal.h"

namespace cgiecho {

std::optional<ListenAddress> parse_listen_address(std::string_view text) {
  constexpr std::string_view kPipe = "\\\\.\\pipe\\";
  if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
  ListenAddress a;
  if (text.size() > kPipe.size() && text::starts_with_ignoring_case(text, kPipe)) {
    a.kind = ListenAddress::Kind::pipe;
    return a;
  }
  if (text.find('/') != std::string_view::npos) {
    a.kind = ListenAddress::Kind::path;
    return a;
  }
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  // Five digits at most, leading zeros counted: "099999" is no port.
  if (port.size() > 5) return std::nullopt;
  const text::Decimal number = text::parse_decimal(port);
  if (number.outcome != text::Decimal::Outcome::number || number.value < 1 || number.value > 65535)
    return std::nullopt;
  a.host = std::string(host);
  a.port = static_cast<int>(number.value);
  return a;
}

}  // namespace cgiecho
