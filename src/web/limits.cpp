#include "web/limits.h"

#include <cstddef>
#include <limits>

namespace cgiecho::web {
namespace {

struct LimitVariable {
  std::string_view name;
  std::uint64_t Limits::*field;
};

constexpr LimitVariable kVariables[] = {
    {"CGIECHO_MAX_BODY", &Limits::max_body},
    {"CGIECHO_MAX_FORM", &Limits::max_form},
    {"CGIECHO_MAX_FIELDS", &Limits::max_fields},
    {"CGIECHO_MAX_PARTS", &Limits::max_parts},
    {"CGIECHO_MAX_FILES", &Limits::max_files},
    {"CGIECHO_MAX_FILE", &Limits::max_file},
    {"CGIECHO_MAX_PART_HEADER", &Limits::max_part_header},
    {"CGIECHO_MAX_COOKIES", &Limits::max_cookies},
    {"CGIECHO_MEMORY", &Limits::memory},
    {"CGIECHO_READ_OFF", &Limits::read_off},
};

}  // namespace

const std::string* find_variable(const Variables& variables, std::string_view name) noexcept {
  for (const auto& [n, v] : variables)
    if (n == name) return &v;
  return nullptr;
}

std::string_view variable_value(const Variables& variables, std::string_view name) noexcept {
  const std::string* v = find_variable(variables, name);
  return v != nullptr ? std::string_view(*v) : std::string_view();
}

bool parse_plain_decimal(std::string_view text, std::uint64_t& out) noexcept {
  if (text.empty()) return false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    // Past 64 bits the value stays at the largest, but every later byte is
    // still checked: "99999999999999999999x" is not a number.
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  out = value;
  return true;
}

errc limits_from(const Variables& request, const Variables& fallback, const Limits& defaults, Limits& out,
                 std::string_view& bad_variable) noexcept {
  Limits result = defaults;
  for (const auto& variable : kVariables) {
    const std::string* text = find_variable(request, variable.name);
    if (text == nullptr) text = find_variable(fallback, variable.name);
    if (text == nullptr) continue;
    if (!parse_plain_decimal(*text, result.*variable.field)) {
      bad_variable = variable.name;
      return errc::invalid_limit;
    }
  }
  out = result;
  return errc::ok;
}

std::string_view limit_variable(std::uint64_t Limits::*limit) noexcept {
  for (const auto& variable : kVariables)
    if (variable.field == limit) return variable.name;
  return {};
}

}  // namespace cgiecho::web
