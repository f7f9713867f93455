// The response bytes, written out once for all tests as they must appear,
// independent of the constants the program builds them from.
#pragma once

#include <string>

namespace cgiecho::test {

inline std::string expected_page(const std::string& data) {
  return "Content-type: text/html\r\n\r\n"
         "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">\r\n"
         "<html><body>" +
         data + "\r\n</body></html>";
}

}  // namespace cgiecho::test
