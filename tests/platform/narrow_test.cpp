#include "platform/narrow.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

using namespace std::string_literals;
using cgiecho::platform::clamp_count;
using cgiecho::platform::fits_count;

// The counts are pretended, never allocated, so the 32-bit build checks
// sizes that no buffer of its own could hold.
TEST(Narrow, CountsPastTheNarrowerTypeAreCutOrRefused) {
  constexpr std::uint64_t k4G = std::uint64_t{1} << 32;
  const struct {
    const char* what;
    bool ok;
  } cases[] = {
      {"the longest handle", fits_count<std::uint32_t>(k4G - 1)},
      {"one byte past it", !fits_count<std::uint32_t>(k4G)},
      {"1.5e9 bytes URL-encoded", !fits_count<std::uint32_t>(3 * std::uint64_t{1'500'000'000})},
      {"every bit set", !fits_count<std::uint32_t>(UINT64_MAX)},
      {"a pair count past an array's upper bound", !fits_count<std::int32_t>(std::uint64_t{INT32_MAX} + 1)},
      {"a read of 5e9 bytes to an int", clamp_count<int>(std::uint64_t{5'000'000'000}) == INT_MAX},
      {"a read of 4 GiB to a DWORD", clamp_count<std::uint32_t>(k4G) == UINT32_MAX},
      {"a write kept below the sign bit", clamp_count<std::uint32_t>(std::uint64_t{0x80000000}, 0x7FFFFFFFu) == 0x7FFFFFFFu},
      {"a length that fits stays", clamp_count<std::int32_t>(std::size_t{7}) == 7},
      {"the largest std::size_t to an int32", clamp_count<std::int32_t>(SIZE_MAX) == INT32_MAX},
  };
  for (const auto& c : cases) EXPECT_TRUE(c.ok) << c.what;
}

TEST(Narrow, VariableNameStopsAtNulAndRefusesEquals) {
  const struct {
    std::string requested, name;
  } cases[] = {
      {"QUERY_STRING", "QUERY_STRING"},
      {"QUERY_STRING\0=x"s, "QUERY_STRING"},  // the NUL ends the name first
      {"QUERY_STRING=x", ""},                 // would match "QUERY_STRING=x..." by its first bytes
      {"=C:", ""},
      {"A=", ""},
      {"\0A"s, ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.requested));
    EXPECT_EQ(cgiecho::platform::variable_name(c.requested), c.name);
  }
}

}  // namespace
