#include "web/form_collector.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "support/platform_fake.h"
#include "support/web_fields.h"

namespace cgiecho::web {
// Failures name the error, not its number.
static void PrintTo(errc e, std::ostream* os) { *os << code_name(e); }
}  // namespace cgiecho::web

namespace {

using namespace std::string_literals;
using cgiecho::web::errc;
using cgiecho::web::FormCollector;
using cgiecho::web::Limits;
using cgiecho::test::code_of;
namespace web = cgiecho::web;
namespace fake = cgiecho::fake;

const std::string kB = "b0undary";

std::string part(const std::string& params, const std::string& data, const std::string& more = "") {
  return "--" + kB + "\r\nContent-Disposition: form-data; " + params + "\r\n" + more + "\r\n" + data + "\r\n";
}
const std::string kClose = "--" + kB + "--\r\n";

struct Collected {
  std::unique_ptr<FormCollector> collector;
  errc error = errc::ok;
};

// The body through a parser into a collector: whole (the collector told
// the body is stable) or cut into pieces, each a copy that dies at once.
Collected collect(const std::string& body, const Limits& limits, const std::vector<std::size_t>& cuts, bool whole) {
  Collected r;
  r.collector = std::make_unique<FormCollector>(limits, whole ? std::string_view(body) : std::string_view());
  web::MultipartParser parser(kB, limits, *r.collector);
  if (whole) {
    r.error = parser.feed(body);
  } else {
    std::size_t at = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(body.size());
    for (std::size_t end : ends) {
      const std::string piece = body.substr(at, end - at);
      if (r.error == errc::ok) r.error = parser.feed(piece);
      at = end;
    }
  }
  if (r.error == errc::ok) r.error = parser.finish();
  return r;
}

// Every byte of an upload, through read() in odd-sized steps.
std::string read_all(const web::UploadedFile& f) {
  std::string out;
  char buf[7];
  for (;;) {
    const auto got = f.read(out.size(), buf, sizeof buf);
    if (!got) return "read failed";
    if (*got == 0) return out;
    out.append(buf, *got);
  }
}

struct Want {
  std::vector<std::pair<std::string, std::string>> fields;
  struct File {
    std::string name, filename;
    bool has_type;
    std::string type, data;
    bool in_memory;
  };
  std::vector<File> files;
};

void expect_collected(const FormCollector& c, const Want& want) {
  ASSERT_EQ(c.fields().size(), want.fields.size());
  for (std::size_t i = 0; i < want.fields.size(); ++i) {
    EXPECT_EQ(c.fields()[i].raw_name, want.fields[i].first);
    EXPECT_EQ(c.fields()[i].raw_value, want.fields[i].second);
    EXPECT_FALSE(c.fields()[i].encoded);
  }
  ASSERT_EQ(c.files().size(), want.files.size());
  for (std::size_t i = 0; i < want.files.size(); ++i) {
    const auto& f = c.files()[i];
    const auto& w = want.files[i];
    SCOPED_TRACE("file " + std::to_string(i));
    EXPECT_EQ(f.name(), w.name);
    EXPECT_EQ(f.filename(), w.filename);
    EXPECT_EQ(f.has_content_type(), w.has_type);
    EXPECT_EQ(f.content_type(), w.type);
    EXPECT_EQ(f.size(), w.data.size());
    EXPECT_EQ(f.in_memory(), w.in_memory);
    EXPECT_EQ(f.data(), w.in_memory ? w.data : "");
    EXPECT_EQ(read_all(f), w.data);
  }
}

class FormCollectorTest : public testing::Test {
 protected:
  void SetUp() override { fake::reset_temp_files(); }
  void TearDown() override { EXPECT_TRUE(fake::temp_files().open.empty()) << "a temp file outlived its collector"; }
};

TEST_F(FormCollectorTest, TextPartsBecomeFieldsAndFilePartsUploads) {
  const std::string big(100, 'B');
  const std::string body = part("name=\"a\0b\""s, "v\r\n1") + part("name=f; filename=\"../x.txt\"", "tiny",
                                                                     "Content-Type: text/plain\r\n") +
                           part("name=a", "") + part("name=g; filename=\"\"", big) + part("name=\"\"", "\0"s) + kClose;
  // How much file data stays in memory, over every file of the request:
  // exactly both files, one less (the second goes to a temp file), none.
  for (const std::uint64_t memory : {std::uint64_t{104}, std::uint64_t{103}, std::uint64_t{0}}) {
    SCOPED_TRACE(memory);
    Limits limits;
    limits.memory = memory;
    const Want want{{{"a\0b"s, "v\r\n1"}, {"a", ""}, {"", "\0"s}},
                    {{"f", "../x.txt", true, "text/plain", "tiny", memory >= 4},
                     {"g", "", false, "", big, memory >= 104}}};
    for (std::size_t cut = 0; cut <= body.size(); ++cut) {
      SCOPED_TRACE(cut);
      const Collected r = collect(body, limits, {cut}, false);
      ASSERT_EQ(r.error, errc::ok);
      expect_collected(*r.collector, want);
      if (testing::Test::HasFailure()) return;
    }
    const Collected bytewise = collect(body, limits, [&] {
      std::vector<std::size_t> all;
      for (std::size_t i = 1; i < body.size(); ++i) all.push_back(i);
      return all;
    }(), false);
    ASSERT_EQ(bytewise.error, errc::ok);
    expect_collected(*bytewise.collector, want);
  }
}

TEST_F(FormCollectorTest, AStableBodyIsKeptWhereItLies) {
  // Read whole, a body is the collector's memory already: no copy of a
  // name, a value or a file, and no temp file however large the file is.
  const std::string data(5000, 'x');
  const std::string body = part("name=t", "value") + part("name=f; filename=a", data) + kClose;
  Limits limits;
  limits.memory = 10;
  const Collected r = collect(body, limits, {}, true);
  ASSERT_EQ(r.error, errc::ok);
  const auto inside = [&](std::string_view v) {
    return v.data() >= body.data() && v.data() + v.size() <= body.data() + body.size();
  };
  ASSERT_EQ(r.collector->fields().size(), 1u);
  EXPECT_TRUE(inside(r.collector->fields()[0].raw_name));
  EXPECT_TRUE(inside(r.collector->fields()[0].raw_value));
  ASSERT_EQ(r.collector->files().size(), 1u);
  EXPECT_TRUE(r.collector->files()[0].in_memory());
  EXPECT_TRUE(inside(r.collector->files()[0].data()));
  EXPECT_EQ(r.collector->files()[0].data(), data);
  EXPECT_EQ(fake::temp_files().created, 0u);
}

TEST_F(FormCollectorTest, TempFileFailuresStopTheRequest) {
  const std::string body = part("name=f; filename=a", std::string(300, 'z')) + kClose;
  Limits limits;
  limits.memory = 100;
  const struct {
    const char* what;
    std::function<void()> arrange;
  } cases[] = {
      {"no temp file", [] { fake::temp_files().refuse_create = true; }},
      {"disk full at once", [] { fake::temp_files().write_budget = 0; }},
      {"disk full midway", [] { fake::temp_files().write_budget = 150; }},
      {"disk full at the last byte", [] { fake::temp_files().write_budget = 299; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::vector<std::size_t>& cuts : {std::vector<std::size_t>{}, {60, 200, 250}}) {
      fake::reset_temp_files();
      c.arrange();
      EXPECT_EQ(collect(body, limits, cuts, false).error, errc::temp_file_failed);
    }
  }
  fake::reset_temp_files();
  fake::temp_files().write_budget = 300;
  EXPECT_EQ(collect(body, limits, {60, 200}, false).error, errc::ok);
}

TEST_F(FormCollectorTest, KeepNeverReplacesAFileAndSaysWhy) {
  const std::string body = part("name=m; filename=a", "in memory") + part("name=d; filename=b", "on disk, this one") +
                           kClose;
  Limits limits;
  limits.memory = 10;
  const Collected r = collect(body, limits, {30}, false);
  ASSERT_EQ(r.error, errc::ok);
  const auto& files = r.collector->files();
  ASSERT_EQ(files.size(), 2u);
  ASSERT_TRUE(files[0].in_memory());
  ASSERT_FALSE(files[1].in_memory());
  auto& t = fake::temp_files();
  t.kept["taken"] = "someone's";
  const struct {
    std::size_t file;
    std::string path;
    errc want;
  } cases[] = {
      {0, "kept/m", errc::ok},       {1, "kept/d", errc::ok},      {0, "taken", errc::keep_failed},
      {1, "taken", errc::keep_failed}, {1, "kept/m", errc::keep_failed}, {0, "", errc::keep_failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(code_of(files[c.file].keep(c.path)), c.want);
  }
  EXPECT_EQ(t.kept["kept/m"], "in memory");
  EXPECT_EQ(t.kept["kept/d"], "on disk, this one");
  EXPECT_EQ(t.kept["taken"], "someone's");
  EXPECT_EQ(t.kept_by_link, 1u);
  EXPECT_EQ(read_all(files[1]), "on disk, this one");  // still readable after keeping
  EXPECT_EQ(code_of(web::UploadedFile().keep("x")), errc::keep_failed);

  // keep_in, and the system's reason handed on, from memory and from disk.
  t.folders.insert("up");
  const struct {
    std::string folder, name;
    int want;  // the fake system's errno, 0 for kept
  } in_folder[] = {
      {"up", "f", 0}, {"up", "f", EEXIST}, {"up", "..", EINVAL}, {"up", "a/b", EINVAL}, {"up", "", EINVAL},
      {"none", "f", ENOENT},
  };
  for (const std::size_t i : {std::size_t{0}, std::size_t{1}}) {
    for (const auto& c : in_folder) {
      SCOPED_TRACE(std::to_string(i) + " " + c.folder + " " + c.name);
      // Each file keeps its own "f0" or "f1"; refused names stay as they are.
      const std::string name = c.name == "f" ? c.name + std::to_string(i) : c.name;
      const auto kept = files[i].keep_in(c.folder, name);
      EXPECT_EQ(code_of(kept), c.want ? errc::keep_failed : errc::ok);
      EXPECT_EQ(kept ? 0 : kept.error().system().value(), c.want);
    }
  }
  EXPECT_EQ(t.kept["up/f0"], "in memory");
  EXPECT_EQ(t.kept["up/f1"], "on disk, this one");
  const auto taken = files[0].keep("up/f0");
  ASSERT_EQ(code_of(taken), errc::keep_failed);
  EXPECT_EQ(taken.error().system(), std::error_code(EEXIST, std::system_category()));
  const auto nothing = web::UploadedFile().keep_in("up", "x");
  ASSERT_EQ(code_of(nothing), errc::keep_failed);
  EXPECT_EQ(nothing.error().system(), std::make_error_code(std::errc::bad_file_descriptor));
}

TEST_F(FormCollectorTest, EveryTempFileClosesWithItsCollector) {
  std::string body;
  for (int i = 0; i < 20; ++i) body += part("name=f; filename=x", std::string(50, static_cast<char>('a' + i)));
  body += kClose;
  Limits limits;
  limits.memory = 49;
  {
    const Collected r = collect(body, limits, {777}, false);
    ASSERT_EQ(r.error, errc::ok);
    EXPECT_EQ(fake::temp_files().open.size(), 20u);
  }
  EXPECT_TRUE(fake::temp_files().open.empty());
  // A body cut off midway: what was made is closed with the collector.
  {
    const Collected r = collect(body.substr(0, body.size() / 2), limits, {100}, false);
    EXPECT_EQ(r.error, errc::malformed_multipart);
  }
  EXPECT_TRUE(fake::temp_files().open.empty());
}

}  // namespace
