// The url-encoded form parser against a plain reference written here: split
// on "&", skip empty pieces, cut at the first "=", decode each side byte by
// byte; and the same text as a request's query and form, read back through
// the accessors. The first byte of the input is the field limit.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cgiecho/web/form.h>
#include <cgiecho/web/request.h>

#include "capture_seed.h"

namespace {

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string reference_decode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> reference_parse(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string piece;
  const auto flush = [&] {
    if (piece.empty()) return;
    const std::size_t eq = piece.find('=');
    if (eq == std::string::npos) out.emplace_back(reference_decode(piece), "");
    else out.emplace_back(reference_decode(piece.substr(0, eq)), reference_decode(piece.substr(eq + 1)));
    piece.clear();
  };
  for (const char c : text) {
    if (c == '&') flush();
    else piece += c;
  }
  flush();
  return out;
}

bool inside(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void check(std::uint64_t max_fields, std::string_view text) {
  using cgiecho::web::errc;
  const auto want = reference_parse(text);
  const auto parsed = cgiecho::web::parse_urlencoded(text, max_fields, errc::too_many_query_fields);
  if (want.size() > max_fields) {
    if (parsed || parsed.error() != errc::too_many_query_fields) std::abort();
    return;
  }
  if (!parsed || parsed->size() != want.size()) std::abort();
  const std::vector<cgiecho::web::Field>& fields = *parsed;

  for (std::size_t i = 0; i < want.size(); ++i) {
    const auto& f = fields[i];
    if (!f.encoded || !inside(f.raw_name, text) || !inside(f.raw_value, text)) std::abort();
    const auto name = f.name(), value = f.value();
    if (!name || !value || *name != want[i].first || *value != want[i].second) std::abort();
    if (!f.name_is(*name) || f.name_is(*name + 'x') || (!name->empty() && f.name_is(name->substr(1)))) std::abort();
    // The first field of that name, as the reference finds it.
    std::size_t first = 0;
    while (want[first].first != *name) ++first;
    if (cgiecho::web::find_field(fields, *name) != &fields[first]) std::abort();
  }
  // Decoding the whole text never lengthens it and agrees with the reference.
  if (cgiecho::web::form_decode(text) != reference_decode(text)) std::abort();

  // As a request's query and its url-encoded body: every name's values,
  // the first and all in the order sent, whatever bytes they hold; a name
  // never sent gives nothing.
  cgiecho::web::Limits limits;
  limits.max_fields = max_fields;
  const auto r = cgiecho::web::Request::from_parts(
      {{"QUERY_STRING", std::string(text)}, {"CONTENT_TYPE", "application/x-www-form-urlencoded"}}, std::string(text),
      limits);
  if (!r) std::abort();
  const std::string absent = "\x01never sent";
  bool absent_sent = false;
  for (const auto& field : want) {
    const std::string& field_name = field.first;
    absent_sent = absent_sent || field_name == absent;
    std::vector<std::string> all;
    for (const auto& w : want)
      if (w.first == field_name) all.push_back(w.second);
    if (r->args(field_name) != all || r->fields(field_name) != all) std::abort();
    if (r->arg(field_name) != all.front() || r->field(field_name) != all.front()) std::abort();
  }
  if (!absent_sent && (r->arg(absent) || !r->fields(absent).empty())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A recorded request: its query string and its body.
  cgiecho::capture::Capture seed;
  if (read_capture_seed(data, size, seed)) {
    check(UINT8_MAX, param_of(seed, "QUERY_STRING"));
    if (seed.body) check(UINT8_MAX, seed.body->bytes);
    return 0;
  }
  if (size == 0) return 0;
  check(data[0], std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
