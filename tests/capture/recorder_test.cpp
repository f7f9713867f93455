#include "capture/recorder.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "echo/echo.h"
#include "platform/platform.h"
#include "request/acquire.h"
#include "support/expected_page.h"
#include "support/platform_fake.h"

namespace {

using cgiecho::capture::Variables;
using cgiecho::fake::process;

TEST(CaptureVariables, SettingsGoAndSecretsAreReplaced) {
  const std::string marker(cgiecho::capture::kSecretMarker);
  const Variables all = {{"REQUEST_METHOD", "GET"},
                         {"CGIECHO_CAPTURE_DIR", "/srv/captures"},
                         {"cgiecho_capture_max", "5"},
                         {"CGIECHO_CAPTURE", "kept: not a setting of capture"},
                         {"=C:", "C:\\srv"},
                         {"HTTP_COOKIE", "sid=1"},
                         {"Http_Authorization", "Basic x"},
                         {"HTTP_PROXY_AUTHORIZATION", "Bearer y"},
                         {"HTTP_COOKIE2", "kept"},
                         {"HTTP_X_API_KEY", "kept"},
                         {"", "empty name kept"}};
  const Variables masked = {{"REQUEST_METHOD", "GET"},
                            {"CGIECHO_CAPTURE", "kept: not a setting of capture"},
                            {"HTTP_COOKIE", marker},
                            {"Http_Authorization", marker},
                            {"HTTP_PROXY_AUTHORIZATION", marker},
                            {"HTTP_COOKIE2", "kept"},
                            {"HTTP_X_API_KEY", "kept"},
                            {"", "empty name kept"}};
  EXPECT_EQ(cgiecho::capture::kept_variables(all, false), masked);
  Variables kept = masked;
  kept[2].second = "sid=1";
  kept[3].second = "Basic x";
  kept[4].second = "Bearer y";
  EXPECT_EQ(cgiecho::capture::kept_variables(all, true), kept);
}

TEST(CaptureFileName, UtcTimeToTheMicrosecondThenProcessAndCount) {
  const struct {
    std::int64_t micros;
    std::uint64_t pid, sequence;
    std::string want;
  } cases[] = {
      {0, 1, 1, "19700101-000000.000000-1-1.capture"},
      {951868799999999, 42, 7, "20000229-235959.999999-42-7.capture"},  // a leap day of a 400-year leap year
      {4107542400000000, 4294967295, 18446744073709551615u, "21000301-000000.000000-4294967295-18446744073709551615.capture"},
      {1735689599123456, 7, 1, "20241231-235959.123456-7-1.capture"},
      {-5, 1, 1, "19700101-000000.000000-1-1.capture"},
  };
  for (const auto& c : cases) EXPECT_EQ(cgiecho::capture::capture_file_name(c.micros, c.pid, c.sequence), c.want);
  // Later times sort later, a day apart or a microsecond apart.
  std::string before = cgiecho::capture::capture_file_name(0, 99, 99);
  for (std::int64_t t = 1; t < std::int64_t{1} << 52; t = t * 3 + 1) {
    const std::string after = cgiecho::capture::capture_file_name(t, 1, 1);
    EXPECT_LT(before.substr(0, 22), after.substr(0, 22)) << t;
    before = after;
  }
}

TEST(CapturePlainDecimal, DigitsOnlyInSixtyFourBits) {
  const struct {
    std::string text;
    std::optional<std::uint64_t> want;
  } cases[] = {{"0", 0},          {"007", 7},      {"16777216", 16777216}, {"18446744073709551615", UINT64_MAX},
               {"18446744073709551616", {}}, {"", {}}, {" 1", {}}, {"1 ", {}}, {"+1", {}}, {"-1", {}}, {"1e3", {}}};
  for (const auto& c : cases) EXPECT_EQ(cgiecho::capture::plain_decimal(c.text), c.want) << c.text;
}

// The body read ahead reaches the program whole, in whatever pieces the
// input gives it, also when the capture cannot be written (no files in the
// scripted system) and when it keeps less than the program gets.
TEST(CaptureRecording, TheProgramReadsTheBodyItWouldHaveRead) {
  const struct {
    std::string name;
    std::string length;  // CONTENT_LENGTH
    std::vector<std::string> pieces;
    std::string max_body;  // CGIECHO_CAPTURE_MAX_BODY, "" for unset
    std::string shown;
  } cases[] = {
      {"whole", "10", {"ab<d", "efgh", "ij"}, "", "ab&lt;defghij"},
      {"kept in part", "10", {"ab<d", "efgh", "ij"}, "4", "ab&lt;defghij"},
      {"nothing kept", "10", {"abcdefghij"}, "0", "abcdefghij"},
      {"short of its length", "10", {"ab", "c"}, "", "abc"},
      {"past its length", "3", {"abcdef"}, "", "abc"},
      {"a length the request readers take", " 5", {"abcdefg"}, "", "abcde"},
      {"no length", "", {"abc"}, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cgiecho::fake::reset();
    process().environment = {{"REQUEST_METHOD", "POST"}, {"CGIECHO_CAPTURE_DIR", "/captures"}};
    if (!c.length.empty()) process().environment["CONTENT_LENGTH"] = c.length;
    if (!c.max_body.empty()) process().environment["CGIECHO_CAPTURE_MAX_BODY"] = c.max_body;
    process().stdin_pieces = c.pieces;
    {
      cgiecho::capture::Recording recording;
      recording.begin(true);
      EXPECT_NE(cgiecho::platform::channel(), nullptr);
      cgiecho::echo_request();
    }
    EXPECT_EQ(cgiecho::platform::channel(), nullptr) << "the request is served as before once the recording ends";
    EXPECT_EQ(process().written(), cgiecho::test::expected_page(c.shown));
  }
}

TEST(CaptureRecording, OffUnlessTheFolderIsSet) {
  const struct {
    std::string name;
    std::map<std::string, std::string> settings;
  } cases[] = {
      {"unset", {}},
      {"empty", {{"CGIECHO_CAPTURE_DIR", ""}}},
      {"a limit that is no number", {{"CGIECHO_CAPTURE_DIR", "/c"}, {"CGIECHO_CAPTURE_MAX", "1k"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cgiecho::fake::reset();
    process().environment = c.settings;
    process().environment["REQUEST_METHOD"] = "POST";
    process().environment["CONTENT_LENGTH"] = "3";
    process().stdin_pieces = {"abc"};
    cgiecho::capture::Recording recording;
    recording.begin(true);
    EXPECT_EQ(cgiecho::platform::channel(), nullptr);
    EXPECT_TRUE(process().read_requests.empty()) << "nothing read ahead";
    recording.finish();
  }
}

}  // namespace
