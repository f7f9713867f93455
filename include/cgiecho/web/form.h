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
  /// The decoded bytes. Out of memory: errc::out_of_memory, `out` unchanged.
  errc name(std::string& out) const noexcept;
  errc value(std::string& out) const noexcept;
  /// @}
  /// Whether the decoded name is exactly `name`, without allocating.
  bool name_is(std::string_view name) const noexcept;
};

/// @{
/// Percent-decoding with "+" as a space: "%" and two hex digits (either case)
/// is that byte, any other "%" stays as it is; no charset conversion. Never
/// longer than its input.
std::size_t form_decode_to(std::string_view raw, char* out) noexcept;
errc form_decode(std::string_view raw, std::string& out) noexcept;
/// @}

/// Splits on "&" only (";" is data), skips empty pieces, splits each piece at
/// its first "=" (none: the value is empty) and appends the fields to `out`
/// in order, repeated names kept. More than `max_fields` fields gives
/// `too_many` (errc::too_many_fields for a body, too_many_query_fields for a
/// query) and leaves `out` as it was; so does running out of memory.
errc parse_urlencoded(std::string_view text, std::uint64_t max_fields, errc too_many,
                      std::vector<Field>& out) noexcept;

/// The first field whose decoded name is `name`; null when there is none.
const Field* find_field(const std::vector<Field>& fields, std::string_view name) noexcept;

}  // namespace cgiecho::web
