/// @file
/// Named fields of form data: name=value pairs joined by "&".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cgiecho {

/// The number of pairs: one more than the number of "&", and 0 for no data.
std::size_t count_pairs(std::string_view form);

/// Calls visit(pair) for each raw pair from the left, empty pairs included.
template <class Visit>
void for_each_pair(std::string_view form, Visit&& visit) {
  if (form.empty()) return;
  std::size_t from = 0;
  for (;;) {
    const std::size_t amp = form.find('&', from);
    if (amp == std::string_view::npos) break;
    visit(form.substr(from, amp - from));
    from = amp + 1;
  }
  visit(form.substr(from));
}

/// The value of the first pair that begins with cgi_ucase(name) + "=" when
/// upper-cased itself: decoded, then "<" -> 0xAB, ">" -> 0xBB, 0x07 -> "&",
/// 0x08 -> "%" (the last two kept for existing callers). "" when no pair
/// matches. Names match the raw, still encoded
/// pair, so "+" in the data never matches a space in the name.
std::string field_value(std::string_view form, std::string_view name);

}  // namespace cgiecho
