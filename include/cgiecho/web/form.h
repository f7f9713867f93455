/// Forms by the WHATWG application/x-www-form-urlencoded rules, and the
/// fields of a form whatever its encoding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <cgiecho/web/errors.h>

namespace cgiecho::web {

/// One field, as views of its raw bytes into the text it came from (the
/// request's query or body: they live as long as the request, or as the
/// caller's text for parse_urlencoded). A url-encoded field is decoded when a
/// name or value is asked for; a multipart text part's are its bytes as sent.
struct Field {
  std::string_view raw_name;   ///< the name as sent
  std::string_view raw_value;  ///< the value as sent
  bool encoded = true;         ///< url-encoded (decoded when asked for), or a multipart part's bytes

  /// @{
  /// The decoded bytes. Out of memory: errc::out_of_memory.
  [[nodiscard]] result<std::string> name() const noexcept;
  [[nodiscard]] result<std::string> value() const noexcept;
  /// @}
  /// Whether the decoded name is exactly `name`, without allocating.
  bool name_is(std::string_view name) const noexcept;
};

/// @{
/// Percent-decoding with "+" as a space: "%" and two hex digits (either case)
/// is that byte, any other "%" stays as it is; no charset conversion. Never
/// longer than its input. form_decode_to writes to `out`, which has room
/// for raw.size() bytes, and gives the count written; form_decode gives a
/// new string, or errc::out_of_memory.
std::size_t form_decode_to(std::string_view raw, char* out) noexcept;
[[nodiscard]] result<std::string> form_decode(std::string_view raw) noexcept;
/// @}

/// Splits on "&" only (";" is data), skips empty pieces, splits each piece at
/// its first "=" (none: the value is empty) and gives the fields in order,
/// repeated names kept; they are views into `text`. More than `max_fields`
/// fields gives `too_many` (errc::too_many_fields for a body,
/// too_many_query_fields for a query); no memory for them,
/// errc::out_of_memory.
[[nodiscard]] result<std::vector<Field>> parse_urlencoded(std::string_view text, std::uint64_t max_fields,
                                                          errc too_many) noexcept;

/// The first field whose decoded name is `name`; null when there is none.
const Field* find_field(const std::vector<Field>& fields, std::string_view name) noexcept;

}  // namespace cgiecho::web
