#include "serve/pool_settings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using cgiecho::PoolSettingsRead;

PoolSettingsRead read(const std::map<std::string, std::string>& environment) {
  return cgiecho::read_pool_settings([&](std::string_view name) {
    const auto found = environment.find(std::string(name));
    return found == environment.end() ? std::string() : found->second;
  });
}

// Every value at and just past its limits, and what is no number at all:
// a bad one is an error that names the variable and the value, never a
// value taken in part, clamped or ignored.
TEST(PoolSettings, BadValuesNameTheVariable) {
  const struct {
    std::map<std::string, std::string> environment;
    std::string error;  // "" when good
  } cases[] = {
      {{{"CGIECHO_WORKERS", "1"}}, ""},
      {{{"CGIECHO_WORKERS", "1024"}}, ""},
      {{{"CGIECHO_WORKERS", "0001"}}, ""},
      {{{"CGIECHO_WORKERS", "0"}}, "CGIECHO_WORKERS=0: not a whole number from 1 to 1024"},
      {{{"CGIECHO_WORKERS", "1025"}}, "CGIECHO_WORKERS=1025: not a whole number from 1 to 1024"},
      {{{"CGIECHO_WORKERS", "99999"}}, "CGIECHO_WORKERS=99999: not a whole number from 1 to 1024"},
      {{{"CGIECHO_WORKERS", "many"}}, "CGIECHO_WORKERS=many: not a whole number from 1 to 1024"},
      {{{"CGIECHO_WORKERS", "4 "}}, "CGIECHO_WORKERS=4 : not a whole number from 1 to 1024"},
      {{{"CGIECHO_WORKERS", "+4"}}, "CGIECHO_WORKERS=+4: not a whole number from 1 to 1024"},
      {{{"CGIECHO_WORKERS", "99999999999999999999999"}},
       "CGIECHO_WORKERS=99999999999999999999999: not a whole number from 1 to 1024"},
      {{{"CGIECHO_WORKERS", "2"}, {"CGIECHO_REQUEST_TIMEOUT", "86400"}}, ""},
      {{{"CGIECHO_WORKERS", "2"}, {"CGIECHO_REQUEST_TIMEOUT", "-1"}},
       "CGIECHO_REQUEST_TIMEOUT=-1: not a whole number from 1 to 86400"},
      {{{"CGIECHO_WORKERS", "2"}, {"CGIECHO_REQUEST_TIMEOUT", "86401"}},
       "CGIECHO_REQUEST_TIMEOUT=86401: not a whole number from 1 to 86400"},
      {{{"CGIECHO_WORKERS", "2"}, {"CGIECHO_MAX_REQUESTS", "1000000000"}}, ""},
      {{{"CGIECHO_WORKERS", "2"}, {"CGIECHO_MAX_REQUESTS", "1000000001"}},
       "CGIECHO_MAX_REQUESTS=1000000001: not a whole number from 1 to 1000000000"},
      {{{"CGIECHO_STOP_TIMEOUT", "0"}}, ""},
      {{{"CGIECHO_STOP_TIMEOUT", "3601"}}, "CGIECHO_STOP_TIMEOUT=3601: not a whole number from 0 to 3600"},
      {{{"CGIECHO_WORKERS", "2"}, {"CGIECHO_RELOAD_TIMEOUT", "3600"}}, ""},
      {{{"CGIECHO_RELOAD_TIMEOUT", "60"}},
       "CGIECHO_RELOAD_TIMEOUT=60: needs a pool of workers: set CGIECHO_WORKERS too"},
      {{{"CGIECHO_BACKLOG", "0"}}, "CGIECHO_BACKLOG=0: not a whole number from 1 to 65535"},
      {{{"CGIECHO_LISTEN_MODE", "0777"}}, ""},
      {{{"CGIECHO_LISTEN_MODE", "600"}}, ""},
      {{{"CGIECHO_LISTEN_MODE", "0800"}}, "CGIECHO_LISTEN_MODE=0800: not an octal file mode from 0 to 0777"},
      {{{"CGIECHO_LISTEN_MODE", "1777"}}, "CGIECHO_LISTEN_MODE=1777: not an octal file mode from 0 to 0777"},
      {{{"CGIECHO_LISTEN_MODE", "00660"}}, "CGIECHO_LISTEN_MODE=00660: not an octal file mode from 0 to 0777"},
      {{{"CGIECHO_LISTEN_MODE", "rw"}}, "CGIECHO_LISTEN_MODE=rw: not an octal file mode from 0 to 0777"},
      {{{"CGIECHO_WORKERS", "2"}, {"CGIECHO_STATUS_PATH", "status"}},
       "CGIECHO_STATUS_PATH=status: not a path that begins with \"/\""},
      {{{"CGIECHO_GROUP", "www-data"}}, "CGIECHO_GROUP=www-data: needs CGIECHO_USER, the user the workers run as"},
      // What acts on workers is refused without them, not silently ignored.
      {{{"CGIECHO_REQUEST_TIMEOUT", "5"}},
       "CGIECHO_REQUEST_TIMEOUT=5: needs a pool of workers: set CGIECHO_WORKERS too"},
      {{{"CGIECHO_MAX_REQUESTS", "5"}}, "CGIECHO_MAX_REQUESTS=5: needs a pool of workers: set CGIECHO_WORKERS too"},
      {{{"CGIECHO_STATUS_PATH", "/status"}},
       "CGIECHO_STATUS_PATH=/status: needs a pool of workers: set CGIECHO_WORKERS too"},
      // Set to nothing is unset.
      {{{"CGIECHO_WORKERS", ""}, {"CGIECHO_BACKLOG", ""}}, ""},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& [name, value] : c.environment) shown += name + "=" + value + " ";
    SCOPED_TRACE(shown);
    EXPECT_EQ(read(c.environment).error, c.error);
  }
}

TEST(PoolSettings, ValuesAndDefaults) {
  const PoolSettingsRead none = read({});
  EXPECT_EQ(none.error, "");
  EXPECT_EQ(none.settings.workers, 0u);
  EXPECT_EQ(none.settings.stop_timeout, 30u);
  EXPECT_EQ(none.settings.backlog, 128u);
  EXPECT_EQ(none.settings.listen_mode, 0660u);
  EXPECT_EQ(none.settings.request_timeout, 0u);
  EXPECT_EQ(none.settings.max_requests, 0u);

  const PoolSettingsRead all = read({{"CGIECHO_WORKERS", "8"},
                                     {"CGIECHO_REQUEST_TIMEOUT", "30"},
                                     {"CGIECHO_MAX_REQUESTS", "1000"},
                                     {"CGIECHO_STOP_TIMEOUT", "0"},
                                     {"CGIECHO_BACKLOG", "4096"},
                                     {"CGIECHO_LISTEN_MODE", "0600"},
                                     {"CGIECHO_STATUS_PATH", "/pool-status"},
                                     {"CGIECHO_USER", "www-data"},
                                     {"CGIECHO_GROUP", "33"}});
  EXPECT_EQ(all.error, "");
  EXPECT_EQ(all.settings.workers, 8u);
  EXPECT_EQ(all.settings.request_timeout, 30u);
  EXPECT_EQ(all.settings.max_requests, 1000u);
  EXPECT_EQ(all.settings.stop_timeout, 0u);
  EXPECT_EQ(all.settings.backlog, 4096u);
  EXPECT_EQ(all.settings.listen_mode, 0600u);
  EXPECT_EQ(all.settings.status_path, "/pool-status");
  EXPECT_EQ(all.settings.user, "www-data");
  EXPECT_EQ(all.settings.group, "33");
}

}  // namespace
