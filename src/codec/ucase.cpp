#include "codec/ucase.h"

namespace cgiecho {

std::string cgi_ucase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = kUpper(c);
  return out;
}

}  // namespace cgiecho
