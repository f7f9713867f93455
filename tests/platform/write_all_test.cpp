#include "platform/write_all.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// A writer as the operating system may behave: takes at most `step` bytes a
// call, and fails (-1) or takes nothing (0) once `fail_after` bytes are in.
struct Writer {
  std::size_t step;
  std::size_t fail_after;
  long failure;
  std::string taken;
  std::vector<std::size_t> asked;
  long operator()(const char* data, std::size_t count) {
    asked.push_back(count);
    if (taken.size() >= fail_after) return failure;
    const std::size_t n = std::min({count, step, fail_after - taken.size()});
    taken.append(data, n);
    return static_cast<long>(n);
  }
};

TEST(WriteAll, OffersTheRestUntilAllIsWrittenOrAWriteFails) {
  const std::string text = "0123456789a\0c"s;
  const std::size_t all = text.size();
  const struct {
    std::string text;
    Writer writer;
    std::size_t want_written;
    std::vector<std::size_t> want_asked;
  } cases[] = {
      {text, {100, 100, -1, {}, {}}, all, {all}},
      {text, {5, 100, -1, {}, {}}, all, {13, 8, 3}},
      {text, {1, 100, -1, {}, {}}, all, {13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
      {text, {4, 6, -1, {}, {}}, 6, {13, 9, 7}},  // fails midway: what went out stays out
      {text, {4, 6, 0, {}, {}}, 6, {13, 9, 7}},   // takes nothing: no endless asking
      {text, {4, 0, -1, {}, {}}, 0, {13}},
      {"", {4, 100, -1, {}, {}}, 0, {0}},  // an empty text is still one write of zero bytes
  };
  for (auto c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.want_asked));
    EXPECT_EQ(cgiecho::platform::write_all(c.text, c.writer), c.want_written);
    EXPECT_EQ(c.writer.taken, c.text.substr(0, c.want_written));
    EXPECT_EQ(c.writer.asked, c.want_asked);
  }
}

}  // namespace
