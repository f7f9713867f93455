#include "replay/replay.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

TEST(ReplayArguments, FileThenDashesThenTheProgram) {
  const struct {
    std::vector<std::string> args;
    bool ok;
    bool compare;
    std::string file;
    std::vector<std::string> command;
    std::string error;  // a part of it
  } cases[] = {
      {{"f", "--", "p"}, true, false, "f", {"p"}, ""},
      {{"--compare", "f", "--", "p", "-x", "--", "--compare"}, true, true, "f", {"p", "-x", "--", "--compare"}, ""},
      {{"-", "--", "p"}, true, false, "-", {"p"}, ""},
      {{}, false, false, "", {}, "no capture file"},
      {{"--", "p"}, false, false, "", {}, "no capture file"},
      {{"--compare"}, false, false, "", {}, "no capture file"},
      {{"f"}, false, false, "", {}, "\"--\""},
      {{"f", "p"}, false, false, "", {}, "\"--\""},
      {{"f", "--"}, false, false, "", {}, "no program"},
      {{"--verbose", "f", "--", "p"}, false, false, "", {}, "unknown option --verbose"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    cgiecho::replay::Options o;
    std::string error;
    ASSERT_EQ(cgiecho::replay::parse_arguments(c.args, o, error), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(o.compare, c.compare);
      EXPECT_EQ(o.file, c.file);
      EXPECT_EQ(o.command, c.command);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

TEST(ReplayCompare, NamesTheFirstDifferingByte) {
  const std::string long_page = "Content-type: text/html\r\n\r\n" + std::string(100, 'a') + "<b>";
  std::string changed = long_page;
  changed[120] = '\0';
  const struct {
    std::string captured;
    bool cut;
    std::string replayed;
    bool same;
    std::vector<std::string> report;  // parts of it
  } cases[] = {
      {"abc", false, "abc", true, {"same: 3 bytes"}},
      {"", false, "", true, {"same: 0 bytes"}},
      {"abc", false, "abd", false, {"differs at byte 2", "holds 3 bytes", "wrote 3 bytes", "0x63 \"c\"", "0x64 \"d\""}},
      {"abc", false, "ab", false, {"differs at byte 2", "replayed: nothing (it ends there)"}},
      {"ab", false, "abc", false, {"differs at byte 2", "captured: nothing (it ends there)"}},
      {"\r\n", false, "\r\0"s, false, {"byte 1", "0x0a \"\\n\"", "0x00 \"\\x00\"", "in \\r\\x00"}},
      {long_page, false, changed, false, {"differs at byte 120", "...aaaa", "in ...", "\\x00"}},
      {"abc", true, "abcdef", true, {"its first 3 bytes", "wrote 6 bytes"}},
      {"abc", true, "abc", true, {"its first 3 bytes"}},
      {"abc", true, "ab", false, {"differs at byte 2", "(cut there)"}},
      {"abc", true, "abXdef", false, {"differs at byte 2", "wrote 6 bytes"}},
      {"a", false, "b", false, {"holds 1 byte,", "wrote 1 byte\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.captured) + " / " + testing::PrintToString(c.replayed));
    const auto result = cgiecho::replay::compare_answers(c.captured, c.cut, c.replayed);
    EXPECT_EQ(result.same, c.same);
    for (const auto& part : c.report) EXPECT_NE(result.report.find(part), std::string::npos) << result.report;
  }
}

}  // namespace
