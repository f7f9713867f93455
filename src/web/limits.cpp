#include <cgiecho/web/limits.h>

#include <cstddef>
#include <limits>

#include "text/decimal.h"
#include "text/variables.h"

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
  return text::find_variable(variables, name);
}

std::string_view variable_value(const Variables& variables, std::string_view name) noexcept {
  return text::value_of(variables, name);
}

bool parse_plain_decimal(std::string_view digits, std::uint64_t& out) noexcept {
  const text::Decimal number = text::parse_decimal(digits);
  switch (number.outcome) {
    case text::Decimal::Outcome::number:
      out = number.value;
      return true;
    case text::Decimal::Outcome::too_large:
      out = std::numeric_limits<std::uint64_t>::max();  // larger than any limit, so it never cuts
      return true;
    default:
      return false;
  }
}

result<Limits> limits_from(const Variables& request, const Variables& fallback, const Limits& defaults) noexcept {
  Limits limits = defaults;
  for (const auto& variable : kVariables) {
    const std::string* value = text::find_variable(request, variable.name);
    if (value == nullptr) value = text::find_variable(fallback, variable.name);
    if (value == nullptr) continue;
    if (!parse_plain_decimal(*value, limits.*variable.field)) {
      try {
        return fail(error(errc::invalid_limit, std::string(variable.name)));
      } catch (const std::bad_alloc&) {
        return fail(errc::invalid_limit);
      }
    }
  }
  return limits;
}

std::string_view limit_variable(std::uint64_t Limits::*limit) noexcept {
  for (const auto& variable : kVariables)
    if (variable.field == limit) return variable.name;
  return {};
}

}  // namespace cgiecho::web
