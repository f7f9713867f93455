// The account files' formats, for find_account, groups_of and find_group
// (listener.h), which read the system's /etc/passwd and /etc/group with
// them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/listener.h"

namespace cgiecho::platform {

// The entry of `passwd` (a file in /etc/passwd's format) whose name, or
// failing that whose number, is `who`; false when none is.
bool find_account_in(std::string_view passwd, std::string_view who, Account& out);
// The number of the group of `group` (/etc/group's format) named `name`,
// or the number `name` itself spells; false when it is neither.
bool find_group_in(std::string_view group, std::string_view name, unsigned& gid);
// `primary` and every group of `group` that lists `user` as a member, each
// once, `primary` first: what a process that becomes the user is given.
std::vector<unsigned> groups_of_in(std::string_view group, std::string_view user, unsigned primary);

}  // namespace cgiecho::platform
