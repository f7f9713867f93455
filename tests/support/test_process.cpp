#include "support/test_process.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace cgiecho::test {

#ifdef _WIN32
namespace {
HANDLE g_saved_out = nullptr;
HANDLE g_capture = nullptr;

HANDLE temp_file() {
  char dir[MAX_PATH], path[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  GetTempFileNameA(dir, "cge", 0, path);
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("no temporary file");
  return h;
}
}  // namespace

void set_env(const std::string& name, const std::string& value) {
  SetEnvironmentVariableA(name.c_str(), value.c_str());
}
void unset_env(const std::string& name) { SetEnvironmentVariableA(name.c_str(), nullptr); }

void feed_stdin(const std::string& bytes) {
  HANDLE h = temp_file();
  DWORD put = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  HANDLE old = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, h);
  (void)old;  // belongs to the test runner's parent
}

void begin_capture() {
  g_saved_out = GetStdHandle(STD_OUTPUT_HANDLE);
  g_capture = temp_file();
  SetStdHandle(STD_OUTPUT_HANDLE, g_capture);
}

std::string end_capture() {
  SetStdHandle(STD_OUTPUT_HANDLE, g_saved_out);
  std::string out;
  SetFilePointer(g_capture, 0, nullptr, FILE_BEGIN);
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(g_capture, chunk, sizeof chunk, &got, nullptr) && got > 0) out.append(chunk, got);
  CloseHandle(g_capture);
  return out;
}
#else
namespace {
int g_saved_out = -1;
std::FILE* g_capture = nullptr;
}  // namespace

void set_env(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }
void unset_env(const std::string& name) { unsetenv(name.c_str()); }

void feed_stdin(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  if (!f) throw std::runtime_error("no temporary file");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fflush(f);
  std::rewind(f);
  dup2(fileno(f), STDIN_FILENO);
  std::fclose(f);
}

void begin_capture() {
  std::fflush(stdout);
  g_saved_out = dup(STDOUT_FILENO);
  g_capture = std::tmpfile();
  dup2(fileno(g_capture), STDOUT_FILENO);
}

std::string end_capture() {
  dup2(g_saved_out, STDOUT_FILENO);
  close(g_saved_out);
  std::string out;
  std::rewind(g_capture);
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, g_capture)) > 0) out.append(chunk, got);
  std::fclose(g_capture);
  return out;
}
#endif

}  // namespace cgiecho::test
