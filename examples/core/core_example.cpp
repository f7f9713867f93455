// The core API: std::string_view in, std::string out, no handles to free.
#include <iostream>
#include <string>

#include "codec/form_fields.h"
#include "codec/url_codec.h"

int main() {
  const std::string form =
      "name=" + cgiecho::url_encode("Ann Lee") + "&note=" + cgiecho::url_encode("1 < 2 & 3");
  std::cout << form << '\n';                                // name=Ann+Lee&note=1+%3C+2+%26+3
  std::cout << cgiecho::url_decode("1+%3C+2") << '\n';      // 1 < 2
  std::cout << cgiecho::field_value(form, "NAME") << '\n';  // Ann Lee: names ignore case
  // A field's "<" and ">" come back as the bytes 0xAB and 0xBB, so a value
  // never carries markup into a page.
  std::cout << (cgiecho::field_value(form, "note") == "1 \xAB 2 & 3" ? "no markup" : "markup")
            << '\n';
  std::cout << '[' << cgiecho::field_value(form, "other") << "]\n";  // [] when absent
}
