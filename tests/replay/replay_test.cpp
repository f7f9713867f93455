#include "replay/replay.h"

#include "capture/recorder.h"

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
    bool keep_loader;
    std::string file;
    std::vector<std::string> command;
    std::string error;  // a part of it
  } cases[] = {
      {{"f", "--", "p"}, true, false, false, "f", {"p"}, ""},
      {{"--compare", "f", "--", "p", "-x", "--", "--compare"}, true, true, false, "f", {"p", "-x", "--", "--compare"}, ""},
      {{"-", "--", "p"}, true, false, false, "-", {"p"}, ""},
      {{"--keep-loader-variables", "--compare", "f", "--", "p"}, true, true, true, "f", {"p"}, ""},
      {{"f", "--", "p", "--keep-loader-variables"}, true, false, false, "f", {"p", "--keep-loader-variables"}, ""},
      {{}, false, false, false, "", {}, "no capture file"},
      {{"--", "p"}, false, false, false, "", {}, "no capture file"},
      {{"--compare"}, false, false, false, "", {}, "no capture file"},
      {{"f"}, false, false, false, "", {}, "\"--\""},
      {{"f", "p"}, false, false, false, "", {}, "\"--\""},
      {{"f", "--"}, false, false, false, "", {}, "no program"},
      {{"--verbose", "f", "--", "p"}, false, false, false, "", {}, "unknown option --verbose"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    cgiecho::replay::Options o;
    std::string error;
    ASSERT_EQ(cgiecho::replay::parse_arguments(c.args, o, error), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(o.compare, c.compare);
      EXPECT_EQ(o.keep_loader_variables, c.keep_loader);
      EXPECT_EQ(o.file, c.file);
      EXPECT_EQ(o.command, c.command);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

TEST(ReplayCompare, NamesTheFirstDifferingByte) {
  const std::string m(cgiecho::capture::kSecretMarker);
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
      // A removed value matches any bytes in its place, none included.
      {"sid=" + m + ";", false, "sid=s3cr3t;", true, {"same: 11 bytes", "1 value the capture removed"}},
      {"sid=" + m + ";", false, "sid=;", true, {"same: 5 bytes"}},
      {m, false, "anything", true, {"same: 8 bytes"}},
      {"a" + m + "b" + m + "c", false, "axxbyybzzc", true, {"2 values the capture removed"}},
      {"a" + m + "bc", false, "axbxbc", true, {"same: 6 bytes"}},
      {"sid=" + m + ";", false, "sid=s3cr3t", false, {"differs at byte 32", "(there at byte 9)"}},
      {"x" + m + ";", false, "y;", false, {"differs at byte 0"}},
      {"a" + m + "b" + m + "c", false, "axxcyyb", false, {"differs at byte"}},
      {"ab" + m + "cd", true, "abXXcdef", true, {"its first", "1 value"}},
      {"ab" + m + "cd", true, "abXXc", false, {"(cut there)"}},
      {m.substr(0, 10), false, m.substr(0, 10), true, {"same: 10 bytes"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.captured) + " / " + testing::PrintToString(c.replayed));
    const auto result = cgiecho::replay::compare_answers(c.captured, c.cut, c.replayed);
    EXPECT_EQ(result.same, c.same);
    for (const auto& part : c.report) EXPECT_NE(result.report.find(part), std::string::npos) << result.report;
  }
}

// Variables that would have the program load or run code a capture names
// are taken out, the rest kept in order.
TEST(ReplayLoaderVariables, TakenOutByName) {
  const struct {
    std::string name;
    bool loader;
  } cases[] = {
      {"LD_PRELOAD", true},       {"LD_LIBRARY_PATH", true}, {"LD_", true},          {"ld_audit", true},
      {"DYLD_INSERT_LIBRARIES", true}, {"BASH_ENV", true},   {"ENV", true},          {"BASH_FUNC_f%%", true},
      {"PERL5OPT", true},         {"PERL5LIB", true},        {"PYTHONPATH", true},   {"PYTHONHOME", true},
      {"PYTHONSTARTUP", true},    {"RUBYOPT", true},         {"RUBYLIB", true},      {"NODE_OPTIONS", true},
      {"GCONV_PATH", true},       {"OLD_PATH", false},       {"HTTP_LD_PRELOAD", false}, {"ENVIRONMENT", false},
      {"PATH", false},            {"QUERY_STRING", false},   {"BASH_FUNC", false},   {"PYTHONIOENCODING", false},
      {"", false},
      // Interpreters' start-up hooks: a module path, options, code run first.
      {"PERLLIB", true},          {"PERL5DB", true},         {"shellopts", true},    {"BASHOPTS", true},
      {"PS4", true},              {"PS4X", false},           {"PS1", false},         {"HTTP_PS4", false},
      {"PHPRC", true},            {"PHP_INI_SCAN_DIR", true}, {"JAVA_TOOL_OPTIONS", true}, {"_JAVA_OPTIONS", true},
      {"JDK_JAVA_OPTIONS", true}, {"JAVA_HOME", false},      {"TCLLIBPATH", true},   {"LUA_INIT", true},
      {"LUA_INIT_5_4", true},     {"lua_path_5_3", true},    {"LUA_CPATH", true},    {"LUA", false},
  };
  cgiecho::replay::Variables all;
  cgiecho::replay::Variables kept;
  std::vector<std::string> taken;
  for (const auto& c : cases) {
    EXPECT_EQ(cgiecho::replay::is_loader_variable(c.name), c.loader) << c.name;
    all.emplace_back(c.name, "v");
    if (c.loader) {
      taken.push_back(c.name);
    } else {
      kept.emplace_back(c.name, "v");
    }
  }
  EXPECT_EQ(cgiecho::replay::remove_loader_variables(all), taken);
  EXPECT_EQ(all, kept);
  // Their names on one line, each byte outside printable ASCII escaped once.
  const std::string line =
      cgiecho::replay::stderr_line(cgiecho::replay::left_out_note({"LD_PRELOAD", "BASH_ENV", "A\nB\xC2\x9B\\"}));
  EXPECT_NE(line.find("LD_PRELOAD BASH_ENV A\\x0aB\\xc2\\x9b\\x5c\n"), std::string::npos) << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
  EXPECT_EQ(cgiecho::replay::stderr_line("f\xE2\x80\xA8: not a whole capture file: ", "offset 3: \\x00"),
            "cgiecho-replay: f\\xe2\\x80\\xa8: not a whole capture file: offset 3: \\x00\n");
}

}  // namespace
