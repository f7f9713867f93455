// Uploads against the real system: temp files in a private temp folder,
// which must hold nothing of ours once an upload is over, whether it ended
// well, was cut off by the client or was killed.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <cgiecho/platform/platform.h>

#include "support/test_process.h"
#include "web/form_collector.h"
#include "web/multipart.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;
namespace web = cgiecho::web;
namespace platform = cgiecho::platform;
using web::errc;

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path own_folder() {
#ifdef _WIN32
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return fs::path(path).parent_path();
#else
  return fs::read_symlink("/proc/self/exe").parent_path();
#endif
}

// A temp folder of the test's own, set as the process's temp folder while
// the test runs (children inherit it), and removed after.
class PrivateTemp : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("cgiecho-upload-test-" + std::to_string(rd()));
    dir_ = root_ / "tmp";
    kept_ = root_ / "kept";
    fs::create_directories(dir_);
    fs::create_directories(kept_);
    for (const char* name : kTempVariables) {
      const char* old = std::getenv(name);
      saved_.emplace_back(old != nullptr, old != nullptr ? old : "");
      cgiecho::test::set_env(name, dir_.string());
    }
  }
  void TearDown() override {
    for (std::size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i].first) cgiecho::test::set_env(kTempVariables[i], saved_[i].second);
      else cgiecho::test::unset_env(kTempVariables[i]);
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
#ifdef _WIN32
  static constexpr const char* kTempVariables[] = {"TMP", "TEMP"};
#else
  static constexpr const char* kTempVariables[] = {"TMPDIR"};
#endif
  fs::path root_, dir_, kept_;
  std::vector<std::pair<bool, std::string>> saved_;
};

// The system's errors for a kept file: the name taken, a folder that is not
// there or not a folder, and a name refused before the system is asked.
#ifdef _WIN32
constexpr int kExists = ERROR_FILE_EXISTS;
constexpr int kNoFolder = ERROR_PATH_NOT_FOUND;  // a folder on the way is missing
constexpr int kNoEntry = ERROR_FILE_NOT_FOUND;   // the folder itself is
constexpr int kNotFolder = ERROR_DIRECTORY;
constexpr int kBadName = ERROR_INVALID_NAME;
#else
constexpr int kExists = EEXIST;
constexpr int kNoFolder = ENOENT;
constexpr int kNoEntry = ENOENT;
constexpr int kNotFolder = ENOTDIR;
constexpr int kBadName = EINVAL;
#endif

// A kept file is its owner's alone: mode 0600 on Linux; on Windows, read
// back from the file, a protected DACL of one ACE that allows the process's
// user and passes nothing on. Wine keeps no DACL: it turns the one given
// into Unix mode bits and reads those back as ACEs for the owner, for
// SYSTEM (on every file) and for Everyone where others may read, so there
// every ACE must be the owner's or SYSTEM's, and Everyone's never.
void expect_private(const fs::path& file) {
  SCOPED_TRACE(file.string());
#ifdef _WIN32
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(file.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  HANDLE token = nullptr;
  alignas(TOKEN_USER) unsigned char user[256];
  DWORD size = 0;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof user, &size));
  CloseHandle(token);
  PSID me = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  alignas(SID) unsigned char system_bytes[SECURITY_MAX_SID_SIZE];
  DWORD system_size = sizeof system_bytes;
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system_bytes, &system_size));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  ASSERT_NE(dacl, nullptr) << "no DACL: everyone may open it";
  if (!wine) {
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the folder's entries would be inherited";
    EXPECT_EQ(dacl->AceCount, 1u);
  }
  int mine = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &ace));
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags & (INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), 0);
    const bool owner = EqualSid(sid, me) != 0;
    mine += owner ? 1 : 0;
    EXPECT_TRUE(owner || (wine && EqualSid(sid, system_bytes))) << "ACE " << i << " lets someone else in";
  }
  EXPECT_EQ(mine, 1);
  LocalFree(descriptor);
#else
  EXPECT_EQ(fs::symlink_status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
#endif
}

// Descriptors of this process that lead into `dir` (Linux): an O_TMPFILE
// file shows there as "dir/#inode (deleted)". Elsewhere, none are known.
std::size_t open_files_in(const fs::path& dir, const std::string& pid = "self") {
#ifdef _WIN32
  (void)dir;
  (void)pid;
  return 0;
#else
  std::size_t n = 0;
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + pid + "/fd", ec)) {
    const fs::path target = fs::read_symlink(fd.path(), ec);
    if (!ec && target.string().rfind(dir.string() + "/", 0) == 0) ++n;
  }
  return n;
#endif
}

TEST_F(PrivateTemp, TempFileIsPrivateReadableAndKeptWithoutReplacing) {
  platform::TempFile file;
  ASSERT_TRUE(file.create());
#ifndef _WIN32
  EXPECT_TRUE(entries(dir_).empty()) << "a temp file with a name";
  EXPECT_EQ(open_files_in(dir_), 1u);
#else
  EXPECT_EQ(entries(dir_).size(), 1u);
#endif
  const std::string data = "first\0second"s + std::string(200000, 'x') + "end";
  ASSERT_TRUE(file.write(data.substr(0, 6)));
  ASSERT_TRUE(file.write(data.substr(6)));
  ASSERT_TRUE(file.write(""));
  EXPECT_EQ(file.size(), data.size());
  const struct {
    std::size_t offset;
    std::size_t count;
  } reads[] = {{0, 5}, {3, 100}, {0, data.size() + 10}, {data.size() - 3, 10}, {data.size(), 1}, {data.size() + 5, 1}};
  for (const auto& r : reads) {
    SCOPED_TRACE(r.offset);
    std::string buf(r.count, '?');
    std::size_t got = 99;
    ASSERT_TRUE(file.read_at(r.offset, buf.data(), r.count, got));
    EXPECT_EQ(buf.substr(0, got), data.substr(std::min<std::size_t>(r.offset, data.size()), r.count));
  }

  const fs::path taken = kept_ / "taken";
  std::ofstream(taken) << "someone's";
  const struct {
    std::string path;
    int want;  // the system's error, 0 for kept
  } keeps[] = {
      {(kept_ / "upload.bin").string(), 0},
      {taken.string(), kExists},
      {(kept_ / "upload.bin").string(), kExists},
      {(kept_ / "no such folder" / "x").string(), kNoFolder},
      {(kept_ / "nul\0name").string() + "\0x"s, kBadName},
      {"", kBadName},
  };
  for (const auto& k : keeps) {
    SCOPED_TRACE(testing::PrintToString(k.path));
    EXPECT_EQ(file.keep_as(k.path).code, k.want);
  }
  EXPECT_EQ(contents(kept_ / "upload.bin"), data);
  EXPECT_EQ(contents(taken), "someone's");
  EXPECT_FALSE(fs::exists(kept_ / "nul"));
#ifndef _WIN32
  // Linked, not copied: the kept file is the temp file under a name, and
  // private like it.
  ASSERT_TRUE(file.write("+more"));
  EXPECT_EQ(contents(kept_ / "upload.bin"), data + "+more");
  EXPECT_EQ(fs::status(kept_ / "upload.bin").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  file.close();
  EXPECT_TRUE(entries(dir_).empty());
  EXPECT_EQ(open_files_in(dir_), 0u);
  EXPECT_EQ(entries(kept_).size(), 2u);

  EXPECT_EQ(platform::write_new_file((kept_ / "new").string(), "bytes\0"s).code, 0);
  EXPECT_EQ(platform::write_new_file((kept_ / "new").string(), "other").code, kExists);
  EXPECT_EQ(platform::write_new_file(taken.string(), "other").code, kExists);
  EXPECT_EQ(contents(kept_ / "new"), "bytes\0"s);
  EXPECT_EQ(contents(taken), "someone's");
  expect_private(kept_ / "upload.bin");
  expect_private(kept_ / "new");
}

// keep_in and write_new_file_in: one plain name made inside the folder as
// it was opened; nothing there is replaced, no link there is followed, and
// a failure is the system's reason.
TEST_F(PrivateTemp, KeptInAFolderByAPlainNameOnly) {
  platform::TempFile file;
  ASSERT_TRUE(file.create());
  const std::string data = "in\0folder"s + std::string(70000, 'f');
  ASSERT_TRUE(file.write(data));
  const fs::path taken = kept_ / "taken";
  std::ofstream(taken) << "someone's";
  const fs::path a_file = taken;
  const std::string folder = kept_.string();
#ifndef _WIN32
  // A link at the name, to a file and to nowhere: neither is followed.
  const fs::path target = root_ / "target";
  std::ofstream(target) << "target";
  fs::create_symlink(target, kept_ / "link");
  fs::create_symlink(root_ / "nowhere", kept_ / "dangling");
  // A folder named by a link is opened as given.
  fs::create_directory_symlink(kept_, root_ / "folder-link");
#endif
  const struct {
    std::string folder, name;
    int want;
  } rows[] = {
      {folder, "kept.bin", 0},
      {folder, "kept.bin", kExists},
      {folder, "\xC3\xA9t\xC3\xA9 NUL", 0},  // UTF-8, wide on Windows; no device there
      {folder, "taken", kExists},
      {folder, "", kBadName},
      {folder, ".", kBadName},
      {folder, "..", kBadName},
      {folder, "a/b", kBadName},
      {folder, "../escape", kBadName},
      {folder, "a\\b", kBadName},
      {folder, "nul\0name"s, kBadName},
      {folder, "/abs", kBadName},
#ifdef _WIN32
      {folder, "taken:stream", kBadName},
      {folder, "not UTF-8 \xFF", kBadName},
#else
      {folder, "link", kExists},
      {folder, "dangling", kExists},
      {(root_ / "folder-link").string(), "via-link", 0},
      {"/proc", "x", ENOENT},
#endif
      {(kept_ / "none").string(), "x", kNoEntry},
      {a_file.string(), "x", kNotFolder},
      {folder + "\0x"s, "x", kBadName},
      {"", "x", kBadName},
  };
  for (const bool from_memory : {false, true}) {
    for (const auto& r : rows) {
      SCOPED_TRACE(testing::PrintToString(r.folder) + " " + testing::PrintToString(r.name) +
                   (from_memory ? " from memory" : " from a temp file"));
      const std::string name = from_memory && r.want == 0 ? "mem-" + r.name : r.name;
      const platform::FileResult got =
          from_memory ? platform::write_new_file_in(r.folder, name, data) : file.keep_in(r.folder, name);
      EXPECT_EQ(got.code, r.want);
      if (r.want == 0) {
        EXPECT_EQ(contents(fs::path(r.folder) / fs::u8path(name)), data);
        expect_private(fs::path(r.folder) / fs::u8path(name));
      }
    }
  }
  EXPECT_EQ(contents(taken), "someone's");
#ifndef _WIN32
  EXPECT_EQ(contents(target), "target");
  EXPECT_FALSE(fs::exists(root_ / "nowhere"));
  EXPECT_TRUE(fs::is_symlink(kept_ / "link"));
#endif
  EXPECT_FALSE(fs::exists(root_ / "escape"));
  EXPECT_FALSE(fs::exists(root_ / "abs"));
}

// What a program that keeps uploads reads back: whole files (missing told
// apart from unreadable), folders, and ids from the system's random source.
TEST_F(PrivateTemp, FilesReadBackFoldersAndRandomBytes) {
  const std::string data = "record\0line\n"s + std::string(40000, 'r');
  const fs::path file = kept_ / "record";
  ASSERT_TRUE(platform::write_new_file(file.string(), data).ok());
  const struct {
    std::string path;
    std::uint64_t max;
    platform::FileRead want;
  } reads[] = {
      {file.string(), data.size(), platform::FileRead::ok},
      {file.string(), data.size() - 1, platform::FileRead::failed},
      {(kept_ / "none").string(), 100, platform::FileRead::missing},
      {(kept_ / "none" / "x").string(), 100, platform::FileRead::missing},
      {kept_.string(), 100, platform::FileRead::failed},
      {file.string() + "\0x"s, 100, platform::FileRead::failed},
      {"", 100, platform::FileRead::failed},
  };
  for (const auto& r : reads) {
    SCOPED_TRACE(testing::PrintToString(r.path) + " max " + std::to_string(r.max));
    std::string out = "before";
    EXPECT_EQ(platform::read_file(r.path, r.max, out), r.want);
    EXPECT_EQ(out, r.want == platform::FileRead::ok ? data : "before");
  }

  const struct {
    std::string path;
    bool want;
  } folders[] = {{kept_.string(), true}, {file.string(), false}, {(kept_ / "none").string(), false},
                 {kept_.string() + "\0"s, false}, {"", false}};
  for (const auto& f : folders) {
    SCOPED_TRACE(testing::PrintToString(f.path));
    EXPECT_EQ(platform::is_folder(f.path), f.want);
  }

  std::string a(32, '\0'), b(32, '\0');
  ASSERT_TRUE(platform::random_bytes(a.data(), a.size()));
  ASSERT_TRUE(platform::random_bytes(b.data(), b.size()));
  EXPECT_NE(a, b);
  EXPECT_NE(a, std::string(32, '\0'));
  EXPECT_TRUE(platform::random_bytes(nullptr, 0));
}

// A body of text fields and files of assorted sizes, boundary "drv".
std::string upload_body(std::mt19937& rng, std::size_t files, std::size_t most) {
  std::string body = "--drv\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n";
  for (std::size_t i = 0; i < files; ++i) {
    std::string data(rng() % most, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    body += "--drv\r\nContent-Disposition: form-data; name=\"f\"; filename=\"f" + std::to_string(i) +
            "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n";
  }
  return body + "--drv--\r\n";
}

// A running upload_driver, its standard input and output piped to the test.
class Driver {
 public:
  explicit Driver(std::uint64_t memory) {
    const fs::path program = own_folder() / "upload_driver";
#ifdef _WIN32
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE child_in = nullptr, child_out = nullptr;
    if (!CreatePipe(&child_in, &in_, &inherit, 0) || !CreatePipe(&out_, &child_out, &inherit, 0)) return;
    SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = child_in;
    si.hStdOutput = child_out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring line = L"\"" + program.wstring() + L".exe\" " + std::to_wstring(memory);
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
      process_ = pi.hProcess;
      CloseHandle(pi.hThread);
    }
    CloseHandle(child_in);
    CloseHandle(child_out);
#else
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    const std::string path = program.string();
    const std::string arg = std::to_string(memory);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::execl(path.c_str(), path.c_str(), arg.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
#endif
  }
  ~Driver() {
    close_input();
    kill();
#ifdef _WIN32
    if (out_) CloseHandle(out_);
    if (process_) CloseHandle(process_);
#else
    if (out_ >= 0) ::close(out_);
#endif
  }
  bool started() const {
#ifdef _WIN32
    return process_ != nullptr;
#else
    return pid_ > 0;
#endif
  }
#ifndef _WIN32
  std::string pid() const { return std::to_string(pid_); }
#endif

  bool write(std::string_view bytes) {
#ifdef _WIN32
    while (!bytes.empty()) {
      DWORD put = 0;
      if (!WriteFile(in_, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr)) return false;
      bytes.remove_prefix(put);
    }
#else
    while (!bytes.empty()) {
      const ssize_t put = ::write(in_, bytes.data(), bytes.size());
      if (put <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(put));
    }
#endif
    return true;
  }
  void close_input() {
#ifdef _WIN32
    if (in_) CloseHandle(in_);
    in_ = nullptr;
#else
    if (in_ >= 0) ::close(in_);
    in_ = -1;
#endif
  }
  // The next line of output, "" at its end.
  std::string line() {
    std::string l;
    char c;
    for (;;) {
#ifdef _WIN32
      DWORD got = 0;
      if (!ReadFile(out_, &c, 1, &got, nullptr) || got == 0) return l;
#else
      if (::read(out_, &c, 1) != 1) return l;
#endif
      if (c == '\n') return l;
      l += c;
    }
  }
  // Killed at once, as the system kills a process: no code of its own runs.
  void kill() {
#ifdef _WIN32
    if (process_ && !killed_) {
      TerminateProcess(process_, 9);
      WaitForSingleObject(process_, INFINITE);
    }
#else
    if (pid_ > 0 && !killed_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
#endif
    killed_ = true;
  }

 private:
#ifdef _WIN32
  HANDLE in_ = nullptr, out_ = nullptr, process_ = nullptr;
#else
  int in_ = -1, out_ = -1;
  pid_t pid_ = -1;
#endif
  bool killed_ = false;
};

bool eventually_empty(const fs::path& dir) {
  // A killed process's handles close as the system tears it down.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!entries(dir).empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST_F(PrivateTemp, AThousandUploadsLeaveNothingBehind) {
  constexpr int kUploads = 1000;
  constexpr int kKilled = 25;
  constexpr std::size_t kMemory = 4096;
  std::mt19937 rng(1000);
  web::Limits limits;
  limits.memory = kMemory;
  int complete = 0, cut = 0, on_disk = 0;
  for (int i = 0; i < kUploads - kKilled; ++i) {
    SCOPED_TRACE(i);
    const std::string body = upload_body(rng, 1 + rng() % 4, 3 * kMemory);
    // One upload in four is cut off by the client somewhere.
    const bool cut_off = i % 4 == 3;
    const std::size_t end = cut_off ? rng() % body.size() : body.size();
    {
      web::FormCollector collector(limits, {});
      web::MultipartParser parser("drv", limits, collector);
      errc e = errc::ok;
      for (std::size_t at = 0; at < end && e == errc::ok;) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 9000, end - at);
        e = parser.feed(std::string_view(body).substr(at, n));
        at += n;
      }
      if (e == errc::ok) e = parser.finish();
      if (cut_off) {
        EXPECT_EQ(e, errc::malformed_multipart);
        ++cut;
        continue;
      }
      ASSERT_EQ(e, errc::ok);
      ++complete;
      for (const auto& f : collector.files()) on_disk += f.in_memory() ? 0 : 1;
      // Now and then a program keeps an upload.
      if (i % 50 == 0) {
        EXPECT_TRUE(collector.files()[0].keep((kept_ / std::to_string(i)).string()));
      }
    }
    if (i % 100 == 0) {
      EXPECT_TRUE(entries(dir_).empty());
    }
  }
  EXPECT_GT(on_disk, 100);  // the temp files were really made
  EXPECT_TRUE(entries(dir_).empty());
  EXPECT_EQ(open_files_in(dir_), 0u);
  EXPECT_EQ(entries(kept_).size(), static_cast<std::size_t>((kUploads - kKilled + 49) / 50));

  for (int k = 0; k < kKilled; ++k) {
    SCOPED_TRACE("killed " + std::to_string(k));
    // Past the first file part's in-memory share: by then it is in a file.
    const std::string head = "--drv\r\nContent-Disposition: form-data; name=\"f\"; filename=\"big\"\r\n\r\n" +
                             std::string(kMemory + 1 + rng() % 5000, 'k');
    Driver driver(limits.memory);
    ASSERT_TRUE(driver.started());
    ASSERT_TRUE(driver.write(head));
    for (std::string l = driver.line(); l != "fed " + std::to_string(head.size()); l = driver.line()) {
      ASSERT_EQ(l.rfind("fed ", 0), 0u) << l;
    }
#ifdef _WIN32
    EXPECT_EQ(entries(dir_).size(), 1u);  // the upload's file, until the process is gone
#else
    EXPECT_TRUE(entries(dir_).empty());
    EXPECT_EQ(open_files_in(dir_, driver.pid()), 1u);
#endif
    driver.kill();
    EXPECT_TRUE(eventually_empty(dir_));
  }
  EXPECT_TRUE(entries(dir_).empty());
}

TEST_F(PrivateTemp, ADriverCutOffByItsClientEndsCleanly) {
  Driver driver(100);
  ASSERT_TRUE(driver.started());
  ASSERT_TRUE(driver.write("--drv\r\nContent-Disposition: form-data; name=f; filename=x\r\n\r\n" + std::string(500, 'c')));
  driver.close_input();
  std::string last;
  for (std::string l = driver.line(); !l.empty(); l = driver.line()) last = l;
  EXPECT_EQ(last, "end malformed_multipart 0");
  EXPECT_TRUE(eventually_empty(dir_));
}

}  // namespace
