// Url-encoded forms of 10,000 fields: the web layer's parser (fields stay
// views, decoded when asked for) beside a plain loop that splits the text
// and decodes every name and value into strings of its own, which is what
// a program without the layer writes. Also the parser with every name and
// value then decoded, and a lookup by name. The ratios are printed at the
// end of the run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <cgiecho/web/form.h>

namespace {

using cgiecho::web::errc;
using cgiecho::web::Field;

constexpr int kFields = 10'000;

// Names like a form's (some with an escaped byte), values of words, "+"
// and escapes: about 40 bytes a field.
const std::string& form_text() {
  static const std::string text = [] {
    std::string s;
    for (int i = 0; i < kFields; ++i) {
      if (i) s += '&';
      s += (i % 10 == 0 ? "item%5B" + std::to_string(i) + "%5D" : "field" + std::to_string(i)) + "=";
      s += i % 3 == 0 ? "Ann+Lee%2C+42" : i % 3 == 1 ? "plain-value-here" : "caf%C3%A9+%26+more";
    }
    return s;
  }();
  return text;
}

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string plain_decode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> plain_parse(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t from = 0;
  while (from <= text.size()) {
    std::size_t amp = text.find('&', from);
    if (amp == std::string::npos) amp = text.size();
    const std::string piece = text.substr(from, amp - from);
    from = amp + 1;
    if (piece.empty()) continue;
    const std::size_t eq = piece.find('=');
    if (eq == std::string::npos) fields.emplace_back(plain_decode(piece), "");
    else fields.emplace_back(plain_decode(piece.substr(0, eq)), plain_decode(piece.substr(eq + 1)));
  }
  return fields;
}

void BM_PlainSplitAndDecode(benchmark::State& state) {
  const std::string& text = form_text();
  for (auto _ : state) {
    auto fields = plain_parse(text);
    benchmark::DoNotOptimize(fields.data());
  }
  state.SetItemsProcessed(state.iterations() * kFields);
}

void BM_ParseUrlencoded(benchmark::State& state) {
  const std::string& text = form_text();
  for (auto _ : state) {
    auto fields = cgiecho::web::parse_urlencoded(text, kFields, errc::too_many_fields);
    if (!fields) {
      state.SkipWithError("parse failed");
      break;
    }
    benchmark::DoNotOptimize(fields->data());
  }
  state.SetItemsProcessed(state.iterations() * kFields);
}

void BM_ParseThenDecodeEvery(benchmark::State& state) {
  const std::string& text = form_text();
  for (auto _ : state) {
    auto fields = cgiecho::web::parse_urlencoded(text, kFields, errc::too_many_fields);
    if (!fields) {
      state.SkipWithError("parse failed");
      break;
    }
    for (const Field& f : *fields) {
      auto name = f.name();
      auto value = f.value();
      benchmark::DoNotOptimize(name->data());
      benchmark::DoNotOptimize(value->data());
    }
  }
  state.SetItemsProcessed(state.iterations() * kFields);
}

// The last field's name, so every name is compared: decoded on the fly
// against a plain loop's decoded strings.
void BM_FindLastField(benchmark::State& state) {
  const std::vector<Field> fields =
      cgiecho::web::parse_urlencoded(form_text(), kFields, errc::too_many_fields).value_or(std::vector<Field>{});
  const std::string last = "field" + std::to_string(kFields - 1);
  for (auto _ : state) benchmark::DoNotOptimize(cgiecho::web::find_field(fields, last));
  state.SetItemsProcessed(state.iterations() * kFields);
}

void BM_PlainFindLastField(benchmark::State& state) {
  const auto fields = plain_parse(form_text());
  const std::string last = "field" + std::to_string(kFields - 1);
  for (auto _ : state) {
    const std::pair<std::string, std::string>* found = nullptr;
    for (const auto& f : fields)
      if (f.first == last) {
        found = &f;
        break;
      }
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * kFields);
}

// Prints the table as usual and keeps each benchmark's CPU time per
// iteration (the median when there are repetitions), for the ratios after
// it.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const std::string& name = r.run_name.function_name;
      if (r.run_type == Run::RT_Aggregate) {
        if (r.aggregate_name == "median") {
          times[name] = r.GetAdjustedCPUTime();
          medians[name] = true;
        }
      } else if (!medians[name]) {
        times[name] = r.GetAdjustedCPUTime();
      }
    }
  }
  std::map<std::string, double> times;
  std::map<std::string, bool> medians;
};

}  // namespace

BENCHMARK(BM_PlainSplitAndDecode);
BENCHMARK(BM_ParseUrlencoded);
BENCHMARK(BM_ParseThenDecodeEvery);
BENCHMARK(BM_FindLastField);
BENCHMARK(BM_PlainFindLastField);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto ratio = [&](const char* slow, const char* fast) {
    const auto s = reporter.times.find(slow);
    const auto f = reporter.times.find(fast);
    if (s != reporter.times.end() && f != reporter.times.end() && f->second > 0)
      std::printf("%-24s / %-26s %6.2fx\n", slow, fast, s->second / f->second);
  };
  std::printf("\n%d url-encoded fields, CPU time ratios (higher: ours faster):\n", kFields);
  ratio("BM_PlainSplitAndDecode", "BM_ParseUrlencoded");
  ratio("BM_PlainSplitAndDecode", "BM_ParseThenDecodeEvery");
  ratio("BM_PlainFindLastField", "BM_FindLastField");
  benchmark::Shutdown();
}
