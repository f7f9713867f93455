#include "support/platform_fake.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <cgiecho/serve/serve.h>
#include <cgiecho/platform/platform.h>

#include "platform/narrow.h"

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
  // Swapped, not assigned: a string assigned an empty one keeps its room,
  // which a test that counts allocations would see as a leak.
  Process fresh;
  std::swap(process(), fresh);
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
std::string process_env(std::string_view name) { return own_env(name); }

std::string command_tail() { return process().command_tail; }

Read read_input(char* buffer, std::size_t count) {
  if (g_channel != nullptr) return g_channel->read(buffer, count);
  const std::size_t got = own_read(buffer, count);
  return {got, got == 0 && process().stdin_fails};
}

std::size_t read_stdin(char* buffer, std::size_t count) { return read_input(buffer, count).size; }

bool write_output(std::string_view bytes) {
  if (g_channel != nullptr) return g_channel->write(bytes);
  if (process().stdout_fails) return false;
  process().writes.emplace_back(bytes);
  return true;
}

void write_stdout(std::string_view bytes) { (void)write_output(bytes); }

void write_stderr(std::string_view bytes) { process().errors.append(bytes); }
std::string program_name() { return process().program_name; }
bool stderr_is_answer() { return process().stderr_is_answer; }

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

// ---- Temp files for uploads ------------------------------------------------
namespace cgiecho::fake {

TempFiles& temp_files() {
  static TempFiles t;
  return t;
}

void reset_temp_files() { temp_files() = TempFiles{}; }

}  // namespace cgiecho::fake

namespace cgiecho::platform {

using fake::temp_files;

bool TempFile::create() noexcept {
  close();
  auto& t = temp_files();
  if (t.refuse_create) return false;
  handle_ = t.next++;
  t.open[handle_];
  ++t.created;
  return true;
}

bool TempFile::write(std::string_view bytes) noexcept {
  auto& t = temp_files();
  const auto it = t.open.find(handle_);
  if (it == t.open.end()) return false;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), t.write_budget));
  it->second.append(bytes.substr(0, n));
  t.write_budget -= n;
  size_ += n;
  return n == bytes.size();
}

bool TempFile::read_at(std::uint64_t offset, char* buffer, std::size_t count, std::size_t& got) const noexcept {
  got = 0;
  const auto& t = temp_files();
  const auto it = t.open.find(handle_);
  if (it == t.open.end()) return false;
  if (offset >= it->second.size()) return true;
  got = std::min<std::size_t>(count, it->second.size() - static_cast<std::size_t>(offset));
  std::memcpy(buffer, it->second.data() + offset, got);
  return true;
}

namespace {

// Where keep_in and write_new_file_in put a file: "folder/name", once the
// name is plain and the folder one of `folders`; else the refusal.
FileResult fake_path_in(std::string_view folder, std::string_view name, std::string& path) {
  if (!plain_file_name(name)) return {EINVAL};
  if (temp_files().folders.count(std::string(folder)) == 0) return {ENOENT};
  path = std::string(folder) + "/" + std::string(name);
  return {};
}

FileResult fake_keep(const std::string& path, std::string_view bytes) {
  auto& t = temp_files();
  if (path.empty()) return {ENOENT};
  if (t.kept.count(path) != 0) return {EEXIST};
  t.kept[path] = std::string(bytes);
  return {};
}

}  // namespace

FileResult TempFile::keep_at(std::intptr_t, const std::string& path) const {
  const auto it = temp_files().open.find(handle_);
  if (it == temp_files().open.end()) return {EBADF};
  const FileResult kept = fake_keep(path, it->second);
  if (kept.ok()) ++temp_files().kept_by_link;
  return kept;
}

FileResult TempFile::keep_as(std::string_view path) const noexcept { return keep_at(kNone, std::string(path)); }

FileResult TempFile::keep_in(std::string_view folder, std::string_view name) const noexcept {
  std::string path;
  const FileResult where = fake_path_in(folder, name, path);
  return where.ok() ? keep_at(kNone, path) : where;
}

void TempFile::close() noexcept {
  if (handle_ != kNone) temp_files().open.erase(handle_);
  handle_ = kNone;
  size_ = 0;
  linkable_ = false;
}

FileResult write_new_file(std::string_view path, std::string_view bytes) noexcept {
  return fake_keep(std::string(path), bytes);
}

FileResult write_new_file_in(std::string_view folder, std::string_view name, std::string_view bytes) noexcept {
  std::string path;
  const FileResult where = fake_path_in(folder, name, path);
  return where.ok() ? fake_keep(path, bytes) : where;
}

}  // namespace cgiecho::platform

// ---- Files a program keeps, and random ids -----------------------------------
namespace cgiecho::platform {

// A counting pattern: ids differ from call to call, the same in every run.
bool random_bytes(char* out, std::size_t count) noexcept {
  static unsigned char next = 0;
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>(next++);
  return true;
}

bool is_folder(std::string_view path) noexcept { return temp_files().folders.count(std::string(path)) != 0; }

FileRead read_file(std::string_view path, std::uint64_t max, std::string& out) noexcept {
  const auto& t = temp_files();
  const auto it = t.kept.find(std::string(path));
  if (it == t.kept.end()) return FileRead::missing;
  if (it->second.size() > max) return FileRead::failed;
  out = it->second;
  return FileRead::ok;
}

}  // namespace cgiecho::platform
