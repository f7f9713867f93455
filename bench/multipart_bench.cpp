// The multipart scanner over one 64 MiB file part held in memory, beside
// memchr over the same bytes (the floor for any scan), in one run; the
// ratios are printed at the end.
//
// Two kinds of file: random bytes (every value but NUL, so that memchr for
// NUL reads all of them), where a CR comes every 255 bytes on average, and
// text with CRLF line ends every 64 bytes or so (a CSV export, say), where
// each line end is a possible delimiter to look at.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "web/multipart.h"

namespace {

namespace web = cgiecho::web;

constexpr std::size_t kFileSize = std::size_t{64} << 20;
const std::string kBoundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW";

std::string random_file() {
  std::mt19937_64 rng(20240521);
  std::string s(kFileSize, '\0');
  for (char& c : s) c = static_cast<char>(1 + rng() % 255);
  return s;
}

std::string text_file() {
  std::mt19937_64 rng(7);
  std::string s;
  s.reserve(kFileSize + 128);
  while (s.size() < kFileSize) {
    const std::size_t line = 20 + rng() % 90;
    for (std::size_t i = 0; i < line; ++i) s += "abcdefghij,0123456789 -"[rng() % 23];
    s += "\r\n";
  }
  s.resize(kFileSize);
  return s;
}

std::string body_around(const std::string& file) {
  return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"big.bin\"\r\n" +
         "Content-Type: application/octet-stream\r\n\r\n" + file + "\r\n--" + kBoundary + "--\r\n";
}

const std::string& body(int kind) {
  static const std::string random_body = body_around(random_file());
  static const std::string text_body = body_around(text_file());
  return kind == 0 ? random_body : text_body;
}

void set_bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kFileSize));
}

// The floor: one memchr over the file's bytes for NUL, which neither file
// holds.
void BM_Memchr(benchmark::State& state) {
  const std::string& b = body(static_cast<int>(state.range(0)));
  const std::size_t at = b.find("\r\n\r\n") + 4;
  for (auto _ : state) benchmark::DoNotOptimize(std::memchr(b.data() + at, 0, kFileSize));
  set_bytes(state);
}

// parse_multipart: the whole body, the part handed out as one view.
void BM_ParseMultipart(benchmark::State& state) {
  const std::string& b = body(static_cast<int>(state.range(0)));
  std::vector<web::Part> parts;
  for (auto _ : state) {
    parts.clear();
    if (web::parse_multipart(b, kBoundary, {}, parts) != web::errc::ok || parts.size() != 1 ||
        parts[0].data.size() != kFileSize)
      state.SkipWithError("wrong parse");
  }
  set_bytes(state);
}

// The parser fed 64 KiB pieces, as a body read from standard input comes.
void BM_StreamPieces(benchmark::State& state) {
  struct Count final : web::PartHandler {
    std::uint64_t bytes = 0;
    web::errc part_begin(const web::PartHead&) noexcept override { return web::errc::ok; }
    web::errc part_data(std::string_view d) noexcept override {
      bytes += d.size();
      return web::errc::ok;
    }
    web::errc part_end() noexcept override { return web::errc::ok; }
  };
  const std::string& b = body(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Count count;
    web::MultipartParser parser(kBoundary, {}, count);
    for (std::size_t at = 0; at < b.size(); at += 65536) (void)parser.feed(std::string_view(b).substr(at, 65536));
    if (parser.finish() != web::errc::ok || count.bytes != kFileSize) state.SkipWithError("wrong parse");
  }
  set_bytes(state);
}

// Prints the table as usual, then each scanner's speed over memchr's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) speed_[run.benchmark_name()] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* kind : {"0", "1"}) {
      const double floor = speed("BM_Memchr/" + std::string(kind));
      if (floor <= 0) continue;
      std::printf("%s file:", kind[0] == '0' ? "random" : "text");
      for (const char* name : {"BM_ParseMultipart", "BM_StreamPieces"})
        std::printf("  %s / memchr = %.2f", name, speed(std::string(name) + "/" + kind) / floor);
      std::printf("\n");
    }
  }

 private:
  // The median of repetitions where there are any, else the one run.
  double speed(const std::string& name) {
    const auto median = speed_.find(name + "_median");
    return median != speed_.end() ? median->second : speed_[name];
  }

  std::map<std::string, double> speed_;
};

}  // namespace

BENCHMARK(BM_Memchr)->Arg(0)->Arg(1);
BENCHMARK(BM_ParseMultipart)->Arg(0)->Arg(1);
BENCHMARK(BM_StreamPieces)->Arg(0)->Arg(1);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
