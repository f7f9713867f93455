// One multipart part as plain values, for comparing what the parser hands
// out (whole or in pieces) with what a test or a reference expects.
#pragma once

#include <string>

namespace cgiecho::test {

struct Rec {
  std::string name;
  bool is_file = false;
  std::string filename;
  bool has_type = false;
  std::string type;
  std::string data;
  bool operator==(const Rec& o) const {
    return name == o.name && is_file == o.is_file && filename == o.filename && has_type == o.has_type &&
           type == o.type && data == o.data;
  }
};

}  // namespace cgiecho::test
