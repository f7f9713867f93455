#include "support/platform_fake.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "echo/echo.h"

namespace cgiecho::fake {

std::string Process::written() const {
  std::string all;
  for (const auto& w : writes) all += w;
  return all;
}

Process& process() {
  static Process p;
  return p;
}

void reset() {
  process() = Process{};
  reset_process_state();
}

}  // namespace cgiecho::fake

namespace cgiecho::platform {

using fake::process;

std::string env(std::string_view name) {
  name = name.substr(0, name.find('\0'));
  const auto it = process().environment.find(std::string(name));
  return it == process().environment.end() ? std::string() : it->second;
}

Variables environment() {
  Variables all;
  for (const auto& [name, value] : process().environment) all.emplace_back(name, value);
  return all;
}

Variables process_environment() { return environment(); }

std::string command_tail() { return process().command_tail; }

std::size_t read_stdin(char* buffer, std::size_t count) {
  auto& p = process();
  p.read_requests.push_back(count);
  if (p.stdin_pieces.empty()) return 0;
  std::size_t& taken = p.stdin_taken;
  const std::string& piece = p.stdin_pieces.front();
  const std::size_t got = std::min(count, piece.size() - taken);
  std::memcpy(buffer, piece.data() + taken, got);
  taken += got;
  if (taken == piece.size()) {
    p.stdin_pieces.erase(p.stdin_pieces.begin());
    taken = 0;
  }
  return got;
}

void write_stdout(std::string_view bytes) { process().writes.emplace_back(bytes); }

bool start_process() { return true; }
void end_process(int code) { std::exit(code); }

// From operator new, so that a test that makes allocations fail reaches the
// room too. Fresh room up to 64 KiB is filled with a pattern, so that bytes
// read from it before they are written show up; larger room is left as it
// comes, so that a fuzz input that announces 2 GB stays cheap.
char* take_room(std::size_t size) {
  auto& p = process();
  p.room_sizes.push_back(size);
  if (size > p.room_limit) return nullptr;
  auto* room = static_cast<char*>(::operator new(size, std::nothrow));
  if (room != nullptr) std::memset(room, 0xA5, std::min<std::size_t>(size, 64 << 10));
  return room;
}

char* grow_room(char* room, std::size_t size, std::size_t new_size) {
  char* grown = take_room(new_size);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, room, std::min(size, new_size));
  ::operator delete(room);
  return grown;
}

void give_back_room(char* room, std::size_t) { ::operator delete(room); }

}  // namespace cgiecho::platform
