// Users and groups, as the system's /etc/passwd and /etc/group list them,
// and the files' formats, which those calls read with (accounts_posix.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cgiecho::platform {

/// POSIX: users and groups as /etc/passwd and /etc/group list them, read
/// by the program itself: the static programs carry no name service
/// (glibc's would need its shared libraries, of the very version the
/// program was linked with, at run time). A user or group kept elsewhere
/// (a directory service) is named by number.
struct Account {
  std::string name;  ///< the user's name
  unsigned uid = 0;  ///< the user's number
  unsigned gid = 0;  ///< the number of the user's own group
};
/// POSIX: the user whose name, or failing that whose number, is `who`;
/// false when /etc/passwd lists none.
bool find_account(std::string_view who, Account& out);
/// POSIX: `primary` and each group that /etc/group lists `user` in, once
/// each, `primary` first: what a process that becomes the user is given.
std::vector<unsigned> groups_of(std::string_view user, unsigned primary);
/// POSIX: the group ID that `name` (a group name, or a number) names; false
/// when no such group exists.
bool find_group(const std::string& name, unsigned& gid);

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
