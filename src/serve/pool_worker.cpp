// What a worker of either system's pool does with its slot, and the helpers
// both masters use: the parts of pool.h that make no system call of their
// own.
#include <algorithm>

#include <cgiecho/platform/platform.h>

#include "serve/pool.h"
#include "text/decimal.h"

namespace cgiecho::pool {

void say(std::string_view what) {
  std::string line = "cgiecho: ";
  line += what;
  line += '\n';
  platform::write_stderr(line);
}

bool take_number(std::string_view& text, std::uint64_t limit, std::uint64_t& out) {
  const std::size_t comma = std::min(text.find(','), text.size());
  const text::Decimal number = text::parse_decimal(text.substr(0, comma));
  text.remove_prefix(std::min(comma + 1, text.size()));
  out = number.value;
  return number.outcome == text::Decimal::Outcome::number && number.value <= limit;
}

Worker::Worker(Figures* figures, std::uint32_t slot, int events, std::uint64_t limit, std::string status_path)
    : figures_(figures), slot_(slot), events_(events), limit_(limit), status_path_(std::move(status_path)) {}

void Worker::begin(std::string_view method, std::string_view script) {
  if (begin_request(*figures_, slot_, method, script, monotonic_ms()))
    say("all " + std::to_string(figures_->workers.load()) +
        " workers are busy: requests wait for one (CGIECHO_WORKERS sets how many; said at most once a minute)");
}

void Worker::end() {
  ++served_;
  end_request(*figures_, slot_);
}

std::string Worker::status_json() const { return pool::status_json(*figures_, monotonic_ms()); }

}  // namespace cgiecho::pool
