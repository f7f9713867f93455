// One table of field lookups, held against the core and, byte for byte,
// against the exported CGI_VAR of each platform.
#pragma once

#include <string>

namespace cgiecho::test {

struct FieldCase {
  std::string form, name, want;
};

inline const FieldCase kFieldCases[] = {
    {"a=1&b=x%3Cy", "b", "x\xABy"}, {"a=1&b=x%3Cy", "B", "x\xABy"}, {"a=1&b=x%3Cy", "c", ""},
    {"name=Joe+Smith&name=Ann", "name", "Joe Smith"}, {"a=&a=2", "a", ""}, {"ab=1&a=2", "a", "2"},
    {"a&b=&=5", "a", ""}, {"a&b=&=5", "b", ""}, {"a&b=&=5", "", "5"}, {"x=1=2", "x", "1=2"},
    {"a=b=z", "a=b", "z"}, {"q=%3E%07%08%26", "q", "\xBB&%&"}, {"q=<>\x07\x08", "q", "\xAB\xBB&%"},
    {"first+name=Jo", "first+name", "Jo"}, {"first+name=Jo", "first name", ""}, {"k%3cx=1", "K%3Cx", "1"},
    {" a=1", "a", ""}, {" a=1", " a", "1"}, {"a=1&b=2", "a&b", ""}, {"\x8E=1", "\x84", "1"},
    {"\xC4=1", "\xE4", ""}, {"", "a", ""}, {"", "", ""}, {"A=1", "a", "1"}, {"a=1", "A", "1"},
    {std::string("n\0x=1", 5), std::string("N\0X", 3), "1"}, {"v=a%00b", "v", std::string("a\0b", 3)},
    {"x=1&", "x", "1"}, {"&x=2", "x", "2"}, {"a", "a", ""}, {"a=", "a", ""}, {"a=%", "a", "%"},
};

}  // namespace cgiecho::test
