#include "serve/pool_status.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace cgiecho::pool;

std::unique_ptr<Figures> pool_of(std::uint32_t workers) {
  auto figures = std::make_unique<Figures>();
  figures->workers.store(workers);
  figures->slots_used.store(workers);
  for (std::uint32_t i = 0; i < workers; ++i) {
    figures->slots[i].pid.store(static_cast<std::int32_t>(100 + i));
    figures->slots[i].state.store(static_cast<std::uint32_t>(SlotState::idle));
  }
  return figures;
}

// A request's method and script reach the page and the log as one safe
// line: bytes that could end the JSON string or the log line are shown as
// \xHH, and a script too long for its slot is cut visibly, never silently.
TEST(PoolStatus, RequestTextIsShownSafely) {
  using namespace std::string_literals;
  const struct {
    std::string method, script, shown_method, shown_script;
  } cases[] = {
      {"GET", "/app", "GET", "/app"},
      {"POST", "/a\"b\\c", "POST", "/a\\x22b\\x5Cc"},
      {"GET", "/x\n/y\r\0z"s, "GET", "/x\\x0A/y\\x0D"},  // a NUL ends the text, as in an environment
      {"G\x1b[1mET", "/\xff", "G\\x1B[1mET", "/\\xFF"},
      {"GET", std::string(300, 's'), "GET", std::string(224, 's') + "..."},
      {std::string(30, 'M'), "/", std::string(20, 'M') + "...", "/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.script));
    auto figures = pool_of(2);
    begin_request(*figures, 0, c.method, c.script, 5000);
    const SlotText text = read_text(figures->slots[0]);
    EXPECT_EQ(text.method, c.shown_method);
    EXPECT_EQ(text.script, c.shown_script);
  }
}

TEST(PoolStatus, PageCountsTheWholePool) {
  auto figures = pool_of(3);
  figures->start_time.store(1700000000);
  begin_request(*figures, 1, "POST", "/up\"load", 1000);
  end_request(*figures, 1);
  begin_request(*figures, 2, "GET", "/slow", 1000);
  figures->slots[0].state.store(static_cast<std::uint32_t>(SlotState::starting));  // not serving yet: not shown
  EXPECT_EQ(status_json(*figures, 3500),
            "{\"start_time\":1700000000,\"workers\":2,\"busy\":1,\"idle\":1,\"max_busy\":1,\"all_busy_count\":0,"
            "\"accepted\":2,\"answered\":1,\"crashed\":0,\"timed_out\":0,\"recycled\":0,\"reloads\":0,"
            "\"processes\":[{\"pid\":101,\"requests\":1,\"state\":\"idle\"},"
            "{\"pid\":102,\"requests\":0,\"state\":\"busy\",\"method\":\"GET\",\"script\":\"/slow\",\"seconds\":2}]}");
}

// Every worker busy is counted each time, and said at most once a minute.
TEST(PoolStatus, AllBusyIsCountedAndSaidOnceAMinute) {
  auto figures = pool_of(2);
  const struct {
    std::uint32_t slot;
    std::int64_t now_ms;
    bool say;
  } steps[] = {{0, 1000, false}, {1, 2000, true}, {1, 3000, false}, {1, 61999, false}, {1, 62000, true}};
  for (const auto& s : steps) {
    SCOPED_TRACE(s.now_ms);
    EXPECT_EQ(begin_request(*figures, s.slot, "GET", "/", s.now_ms), s.say);
    if (s.slot == 1) end_request(*figures, 1);
  }
  EXPECT_EQ(figures->all_busy_count.load(), 4u);
  EXPECT_EQ(figures->max_busy.load(), 2u);
}

// Workers that keep ending the same way get one line a second; the rest are
// counted, never dropped, and another way of ending is not held back.
TEST(EndLines, OneLineASecondForEachWayOfEnding) {
  const std::string exit1 = "exited with status 1", segv = "ended by signal 11 (SIGSEGV)";
  const std::string two = "2 more workers ended the same way: exited with status 1 (one such line a second is logged)";
  const struct {
    std::int64_t now;
    std::string how, line;  // no `how`: the counts due at `now`
    std::vector<std::string> want;
  } steps[] = {
      {0, exit1, "a", {"a"}}, {10, exit1, "b", {}},  {20, segv, "s", {"s"}}, {30, exit1, "c", {}},
      {999, "", "", {}},      {1000, "", "", {two}}, {1500, exit1, "d", {}},
      {2000, "", "", {"d"}},  // one held back: its own line
      {3000, exit1, "e", {"e"}}, {3001, exit1, "f", {}},
  };
  EndLines lines;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.now);
    EXPECT_EQ(s.how.empty() ? lines.due(s.now, false) : lines.pass(s.how, s.line, s.now), s.want);
  }
  EXPECT_EQ(lines.wait_ms(3001, 1000), 999);
  EXPECT_EQ(lines.due(3001, true), std::vector<std::string>{"f"});  // the master's last word, before it ends
}

}  // namespace
