#include "support/platform_fake.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "serve/serve.h"
#include "platform/narrow.h"
#include "platform/platform.h"

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
  reset_request_state();
  platform::set_channel(nullptr);
}

}  // namespace cgiecho::fake

namespace cgiecho::platform {

using fake::process;

namespace {

std::string own_env(std::string_view name) {
  name = variable_name(name);
  if (name.empty()) return {};
  const auto it = process().environment.find(std::string(name));
  return it == process().environment.end() ? std::string() : it->second;
}

std::size_t own_read(char* buffer, std::size_t count) {
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

Channel* g_channel = nullptr;

}  // namespace

// A channel serves the request while it is set, as on the real systems.
void set_channel(Channel* channel) { g_channel = channel; }
Channel* channel() { return g_channel; }

std::string env(std::string_view name) { return g_channel != nullptr ? g_channel->env(name) : own_env(name); }

Variables environment() { return g_channel != nullptr ? g_channel->environment() : process_environment(); }

Variables process_environment() {
  Variables all;
  for (const auto& [name, value] : process().environment) all.emplace_back(name, value);
  return all;
}

std::string command_tail() { return process().command_tail; }

std::size_t read_stdin(char* buffer, std::size_t count) {
  return g_channel != nullptr ? g_channel->read(buffer, count) : own_read(buffer, count);
}

void write_stdout(std::string_view bytes) {
  if (g_channel != nullptr) return g_channel->write(bytes);
  process().writes.emplace_back(bytes);
}

void write_stderr(std::string_view) {}

// No files in the scripted system: a capture is never written, and says so.
Created create_private_file(const std::string&, std::intptr_t&, std::string& error) {
  error = "no files here";
  return Created::failed;
}
bool write_file(std::intptr_t, std::string_view, std::string& error) {
  error = "no files here";
  return false;
}
void close_file(std::intptr_t) {}
void remove_file(const std::string&) {}
bool count_files(const std::string&, std::string_view, std::uint64_t, std::uint64_t& count, std::string& error) {
  count = 0;
  error = "no files here";
  return false;
}
bool file_time(const std::string&, std::int64_t&) { return false; }
std::int64_t unix_time_microseconds() { return 0; }
std::uint64_t process_id() { return 1; }

bool start_process() { return true; }
void end_process(int code) { std::exit(code); }

}  // namespace cgiecho::platform
