#include "inspect/headers.h"

#include <algorithm>

#include "text/ascii.h"

namespace cgiecho::inspect {
namespace {

constexpr std::string_view kPrefix = "HTTP_";

}  // namespace

std::string header_name(std::string_view variable_suffix) {
  std::string name(variable_suffix);
  bool word_start = true;
  for (char& c : name) {
    if (c == '_') {
      c = '-';
      word_start = true;
    } else {
      c = word_start ? text::to_upper(c) : text::to_lower(c);
      word_start = false;
    }
  }
  return name;
}

std::vector<Header> request_headers(const platform::Variables& variables) {
  std::vector<Header> headers;
  for (const auto& [name, value] : variables) {
    const std::string_view n(name);
    if (n.substr(0, kPrefix.size()) == kPrefix) {
      if (n == "HTTP_CONTENT_TYPE" || n == "HTTP_CONTENT_LENGTH") continue;
      headers.emplace_back(header_name(n.substr(kPrefix.size())), value);
    } else if (!value.empty() && n == "CONTENT_TYPE") {
      headers.emplace_back("Content-Type", value);
    } else if (!value.empty() && n == "CONTENT_LENGTH") {
      headers.emplace_back("Content-Length", value);
    }
  }
  // std::string compares as unsigned bytes (char_traits<char> is memcmp).
  std::stable_sort(headers.begin(), headers.end(),
                   [](const Header& a, const Header& b) { return a.first < b.first; });
  return headers;
}

}  // namespace cgiecho::inspect
