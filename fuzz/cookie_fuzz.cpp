// The cookie parser against a plain reference written here: split on ";",
// cut at the first "=", trim spaces and tabs, skip pieces without "=" or
// with an empty name, take one pair of quotes off the value. The first
// byte of the input is the cookie limit. The rest, as a value a program
// sets, must come back whole through the header and the parser.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cgiecho/web/cookies.h>
#include <cgiecho/web/response.h>

#include "capture_seed.h"

namespace {

std::string trim(const std::string& s) {
  std::size_t from = 0;
  std::size_t to = s.size();
  while (from < to && (s[from] == ' ' || s[from] == '\t')) ++from;
  while (to > from && (s[to - 1] == ' ' || s[to - 1] == '\t')) --to;
  return s.substr(from, to - from);
}

std::vector<std::pair<std::string, std::string>> reference_parse(std::string_view header) {
  std::vector<std::pair<std::string, std::string>> out;
  std::vector<std::string> pieces(1);
  for (const char c : header) {
    if (c == ';') pieces.emplace_back();
    else pieces.back() += c;
  }
  for (const std::string& piece : pieces) {
    const std::size_t eq = piece.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = trim(piece.substr(0, eq));
    std::string value = trim(piece.substr(eq + 1));
    if (name.empty()) continue;
    if (value.size() >= 2 && value[0] == '"' && value[value.size() - 1] == '"') value = value.substr(1, value.size() - 2);
    out.emplace_back(name, value);
  }
  return out;
}

bool inside(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void check(std::uint64_t max_cookies, std::string_view header) {
  using cgiecho::web::errc;
  const auto want = reference_parse(header);
  const auto cookies = cgiecho::web::parse_cookies(header, max_cookies);
  if (want.size() > max_cookies) {
    if (cookies || cookies.error() != errc::too_many_cookies) std::abort();
    return;
  }
  if (!cookies || cookies->size() != want.size()) std::abort();
  for (std::size_t i = 0; i < want.size(); ++i) {
    const auto& c = (*cookies)[i];
    if (!inside(c.name, header) || !inside(c.value, header)) std::abort();
    if (c.name != want[i].first || c.value != want[i].second) std::abort();
  }
}

// cookie_encode gives cookie-octets only, so the parser neither trims nor
// unquotes it, and cookie_decode gives the bytes back.
void round_trip(std::string_view value) {
  const std::string encoded = cgiecho::web::cookie_encode(value);
  for (const char c : encoded) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || c == '"' || c == ',' || c == ';' || c == '\\') std::abort();
  }
  const std::string header = "n=" + encoded;
  const auto cookies = cgiecho::web::parse_cookies(header, 1);
  if (!cookies || cookies->size() != 1) std::abort();
  if ((*cookies)[0].name != "n" || (*cookies)[0].value != encoded) std::abort();
  if (cgiecho::web::cookie_decode((*cookies)[0].value) != value) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A recorded request: its Cookie header.
  cgiecho::capture::Capture seed;
  if (read_capture_seed(data, size, seed)) {
    check(UINT8_MAX, param_of(seed, "HTTP_COOKIE"));
    return 0;
  }
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  check(data[0], rest);
  round_trip(rest);
  return 0;
}
