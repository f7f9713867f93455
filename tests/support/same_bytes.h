// Compares long byte strings: a mismatch names the lengths and the first
// differing offset, with the bytes around it, instead of printing megabytes.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace cgiecho::test {

inline testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want) return testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  auto around = [at](const std::string& s) { return testing::PrintToString(s.substr(at < 20 ? 0 : at - 20, 60)); };
  return testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                     << "; first difference at " << at << "\n  got:  " << around(got)
                                     << "\n  want: " << around(want);
}

}  // namespace cgiecho::test
