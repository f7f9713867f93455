#include "support/platform_fake.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "request/state.h"

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

std::string command_tail() { return process().command_tail; }

std::size_t read_stdin(char* buffer, std::size_t count) {
  auto& p = process();
  p.read_requests.push_back(count);
  if (p.stdin_pieces.empty()) return 0;
  std::string& piece = p.stdin_pieces.front();
  const std::size_t got = std::min(count, piece.size());
  std::memcpy(buffer, piece.data(), got);
  piece.erase(0, got);
  if (piece.empty()) p.stdin_pieces.erase(p.stdin_pieces.begin());
  return got;
}

void write_stdout(std::string_view bytes) { process().writes.emplace_back(bytes); }

// Handles as the Linux layout has them: length, bytes, zero byte.
void* alloc_handle(const char* data, std::uint32_t length) {
  char* block = static_cast<char*>(std::malloc(4 + std::size_t{length} + 1));
  if (!block) return nullptr;
  std::memcpy(block, &length, 4);
  if (data) std::memcpy(block + 4, data, length);
  block[4 + length] = '\0';
  return block + 4;
}
void free_handle(void* handle) {
  if (handle) std::free(static_cast<char*>(handle) - 4);
}
std::uint32_t handle_length(const void* handle) {
  std::uint32_t length;
  std::memcpy(&length, static_cast<const char*>(handle) - 4, 4);
  return length;
}

void* new_handle_array(std::uint32_t) { return nullptr; }
void** handle_array_slots(void*) { return nullptr; }
void destroy_handle_array(void*) {}

bool start_process() { return true; }
void end_process(int code) { std::exit(code); }

}  // namespace cgiecho::platform
