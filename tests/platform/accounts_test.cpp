#include "platform/accounts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cgiecho::platform::Account;

// What the system's own lookup would find in files as they are written on
// real machines: comments, NIS lines, short or broken lines, a member list
// that only names the user as part of another name.
constexpr std::string_view kPasswd =
    "# a comment:x:1:1::/:/bin/sh\n"
    "root:x:0:0:root:/root:/bin/bash\n"
    "+nis:x:500:500:::\n"
    "short:x:600:600\n"
    "broken:x:6o1:601::/:/bin/sh\n"
    "www-data:x:33:33:www-data:/var/www:/usr/sbin/nologin\n"
    "42:x:1042:1042::/:/bin/sh\n"
    "big:x:4294967295:1::/:/bin/sh\n"
    "last:x:7000:7000::/home/last:/bin/sh";  // no final line end
constexpr std::string_view kGroup =
    "root:x:0:\n"
    "www-data:x:33:\n"
    "web:x:2000:www-data,ann\n"
    "logs:x:2001:ann,www-data\n"
    "www:x:2002:www-data-old,xwww-data\n"
    "web-again:x:2000:www-data\n"
    "-nis:x:2003:www-data\n"
    "odd::2004\n"
    "1234:x:2005:\n";

TEST(Accounts, UsersByNameThenByNumber) {
  const struct {
    std::string_view who;
    bool found;
    std::string name;
    unsigned uid, gid;
  } cases[] = {
      {"www-data", true, "www-data", 33, 33},
      {"33", true, "www-data", 33, 33},
      {"0", true, "root", 0, 0},
      {"42", true, "42", 1042, 1042},  // a name that looks like a number is a name first
      {"1042", true, "42", 1042, 1042},
      {"last", true, "last", 7000, 7000},
      {"short", false, "", 0, 0},
      {"broken", false, "", 0, 0},
      {"+nis", false, "", 0, 0},
      {"nis", false, "", 0, 0},
      {"big", false, "", 0, 0},  // (uid_t)-1 is "no change" to the system
      {"4294967295", false, "", 0, 0},
      {"www", false, "", 0, 0},
      {"", false, "", 0, 0},
      {"033x", false, "", 0, 0},
  };
  for (const auto& c : cases) {
    Account account;
    ASSERT_EQ(cgiecho::platform::find_account_in(kPasswd, c.who, account), c.found) << c.who;
    if (!c.found) continue;
    EXPECT_EQ(account.name, c.name) << c.who;
    EXPECT_EQ(account.uid, c.uid) << c.who;
    EXPECT_EQ(account.gid, c.gid) << c.who;
  }
}

TEST(Accounts, GroupsAndMemberships) {
  const struct {
    std::string_view name;
    bool found;
    unsigned gid;
  } groups[] = {{"web", true, 2000}, {"2001", true, 2001}, {"1234", true, 1234}, {"odd", true, 2004},
                {"nis", false, 0},   {"-nis", false, 0},   {"", false, 0},         {"nobody-here", false, 0}};
  for (const auto& g : groups) {
    unsigned gid = 0;
    ASSERT_EQ(cgiecho::platform::find_group_in(kGroup, g.name, gid), g.found) << g.name;
    if (g.found) {
      EXPECT_EQ(gid, g.gid) << g.name;
    }
  }
  EXPECT_EQ(cgiecho::platform::groups_of_in(kGroup, "www-data", 33), (std::vector<unsigned>{33, 2000, 2001}));
  EXPECT_EQ(cgiecho::platform::groups_of_in(kGroup, "ann", 2001), (std::vector<unsigned>{2001, 2000}));
  EXPECT_EQ(cgiecho::platform::groups_of_in(kGroup, "nobody", 65534), (std::vector<unsigned>{65534}));
}

}  // namespace
