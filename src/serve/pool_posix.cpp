// What the pool needs on POSIX beyond its master (pool_master.cpp): who
// the workers become, and a worker's side of the pool (the marker, the
// shared figures, the note that it serves), through platform/workers.h.
#include <cerrno>

#include <cgiecho/platform/platform.h>

#include "platform/listener.h"
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

std::int64_t monotonic_ms() { return platform::monotonic_ms(); }

Identity checked_identity(const PoolSettings& settings) {
  Identity who;
  if (settings.user.empty()) return who;
  platform::Account account;
  const text::Decimal number = text::parse_decimal(settings.user);
  if (platform::find_account(settings.user, account)) {
    who.user = account.name;
    who.uid = account.uid;
    who.gid = account.gid;
  } else if (number.outcome == text::Decimal::Outcome::number && number.value < 0xFFFFFFFFu) {
    // A user number that /etc/passwd does not list (a directory service
    // keeps it) has no group of its own there: CGIECHO_GROUP names it.
    if (settings.group.empty())
      refuse("CGIECHO_USER", settings.user, "not in /etc/passwd: name its group in CGIECHO_GROUP too");
    who.user = settings.user;
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
  who.groups = platform::groups_of(who.user, who.gid);
  return who;
}

void become(const Identity& who) {
  if (!who.change) return;
  if (!platform::become_user({who.change, who.uid, who.gid, who.groups}))
    give_up("cannot become CGIECHO_USER=" + who.user, errno);
}

std::unique_ptr<Worker> Worker::from_environment(const PoolSettings& settings) {
  const platform::PoolMembership pool = platform::join_pool(sizeof(Figures), kMaxSlots);
  if (pool.slot < 0) return nullptr;
  return std::unique_ptr<Worker>(new Worker(static_cast<Figures*>(pool.shared), static_cast<std::uint32_t>(pool.slot),
                                            static_cast<int>(pool.notes), settings.max_requests,
                                            static_cast<std::uint32_t>(platform::current_process_id()) ^
                                                static_cast<std::uint32_t>(monotonic_ms()),
                                            settings.status_path));
}

Worker::~Worker() {
  if (leave()) figures_->slots[slot_].state.store(static_cast<std::uint32_t>(SlotState::leaving));
  platform::leave_pool({slot_, figures_, events_}, sizeof(Figures));
}

void Worker::ready() {
  Slot& s = figures_->slots[slot_];
  s.pid.store(static_cast<std::int32_t>(platform::current_process_id()));
  s.state.store(static_cast<std::uint32_t>(SlotState::idle));
  platform::tell_ready({slot_, figures_, events_});
}

}  // namespace cgiecho::pool
