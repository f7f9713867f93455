#include "platform/command_tail.h"

#include <gtest/gtest.h>

#include <string>

TEST(CommandTail, DropsTheNameAndTheBlanksAfterIt) {
  const struct {
    std::string line, tail;
  } cases[] = {
      {"cgiecho.exe  x=1 y", "x=1 y"},
      {"cgiecho.exe", ""},
      {"cgiecho.exe   ", ""},
      {"", ""},
      {"\"C:\\Program Files\\cgiecho.exe\" a<b", "a<b"},
      {"\"C:\\x.exe\"a", "a"},                   // the name ends right after the closing quote
      {"\"C:\\x.exe\"", ""},
      {"\"unclosed name a b", ""},               // no closing quote: no tail, no overrun
      {"\"", ""},
      {"prog\ta", "\ta"},                         // a tab ends the name but is not skipped
      {"prog \t a", "\t a"},
      {" x=1", "x=1"},                            // a leading blank is no part of a name
      {"\x01x y", "y"},                           // the first byte belongs to the name
      {"pr\xE9g a", "a"},                         // bytes above 0x7F are part of the name
      {"prog a  b \"c\" ", "a  b \"c\" "},        // inner and trailing blanks and quotes stay
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.line));
    EXPECT_EQ(cgiecho::command_tail_of(c.line), c.tail);
  }
}
