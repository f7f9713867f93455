// Helpers for the web layer's tests: fields as decoded name and value pairs,
// whether a view lies inside the text it came from, and a result's code.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cgiecho/web/errors.h>
#include <cgiecho/web/form.h>

namespace cgiecho::test {

using Pairs = std::vector<std::pair<std::string, std::string>>;

inline Pairs decoded(const std::vector<web::Field>& fields) {
  Pairs out;
  for (const web::Field& f : fields) {
    const web::result<std::string> name = f.name(), value = f.value();
    EXPECT_TRUE(name && value);
    out.emplace_back(name.value_or(""), value.value_or(""));
  }
  return out;
}

// errc::ok for a value, else the error's code: one column of a table.
template <class T>
web::errc code_of(const web::result<T>& r) {
  return r ? web::errc::ok : r.error().code();
}

inline bool inside(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

}  // namespace cgiecho::test
