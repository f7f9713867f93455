// Who the workers (or a responder of one process) become on POSIX.
#include <cerrno>

#include <cgiecho/platform/platform.h>

#include "platform/accounts.h"
#include "platform/diagnostics.h"
#include "platform/workers.h"
#include "serve/pool.h"
#include "serve/responder.h"
#include "text/decimal.h"

namespace cgiecho::pool {
namespace {

[[noreturn]] void refuse(std::string_view variable, std::string_view value, std::string_view why) {
  platform::end_with_message(
      "FastCGI responder: " + std::string(variable) + "=" + std::string(value) + ": " + std::string(why), 2);
}

}  // namespace

Identity checked_identity(const PoolSettings& settings) {
  Identity who;
  if (settings.user.empty()) return who;
  platform::Account account;
  const text::Decimal number = text::parse_decimal(settings.user);
  if (platform::find_account(settings.user, account)) {
    who.name = account.name;
    who.uid = account.uid;
    who.gid = account.gid;
  } else if (number.outcome == text::Decimal::Outcome::number && number.value < 0xFFFFFFFFu) {
    // A user number that /etc/passwd does not list (a directory service
    // keeps it) has no group of its own there: CGIECHO_GROUP names it.
    if (settings.group.empty())
      refuse("CGIECHO_USER", settings.user, "not in /etc/passwd: name its group in CGIECHO_GROUP too");
    who.name = settings.user;
    who.uid = static_cast<unsigned>(number.value);
  } else {
    refuse("CGIECHO_USER", settings.user, "no such user in /etc/passwd");
  }
  if (!settings.group.empty() && !platform::find_group(settings.group, who.gid))
    refuse("CGIECHO_GROUP", settings.group, "no such group");
  unsigned uid = 0, gid = 0;
  platform::effective_ids(uid, gid);
  if (uid != 0) {
    if (who.uid != uid || who.gid != gid)
      refuse("CGIECHO_USER", settings.user, "only a responder started as root can become another user");
    return who;
  }
  who.change = true;
  who.groups = platform::groups_of(who.name, who.gid);
  return who;
}

void become(const Identity& who) {
  if (!who.change) return;
  if (!platform::become_user(who))
    give_up("cannot become CGIECHO_USER=" + who.name, errno);
}

}  // namespace cgiecho::pool
