// Form field lookup over 1 MiB of form data (10,000 pairs), the wanted
// field last, so every lookup scans the whole string. Beside it: memchr
// over the same bytes (the floor for any scan), and a lookup written the
// obvious way with the standard library (split into strings, upper-case a
// copy of each name), which is what the single pass avoids.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cgiecho.h"

#include <cgiecho/codec/form_fields.h>
#include <cgiecho/codec/url_codec.h>

#include "codec/ucase.h"

namespace {

const std::string& form_data() {
  static const std::string data = [] {
    std::string s;
    for (int i = 0; i < 10000; ++i) {
      if (i) s += '&';
      s += "field" + std::to_string(i) + "=";
      const std::size_t value_len = 1048576 / 10000 - 12;
      for (std::size_t k = 0; k < value_len; ++k) s += "abcdefgh+%2C0123"[(k + i) % 16];
    }
    return s;
  }();
  return data;
}

void BM_FieldValueLast(benchmark::State& state) {
  const std::string& form = form_data();
  for (auto _ : state) benchmark::DoNotOptimize(cgiecho::field_value(form, "field9999"));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * form.size()));
}

void BM_CgiVarExportLast(benchmark::State& state) {
  const std::string& form = form_data();
  cgi_str handle = SysAllocStringByteLen(form.data(), static_cast<uint32_t>(form.size()));
  for (auto _ : state) {
    cgi_str value = CGI_VAR(&handle, SysAllocStringByteLen("field9999", 9));
    benchmark::DoNotOptimize(value);
    SysFreeString(value);
  }
  SysFreeString(handle);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * form.size()));
}

void BM_MemchrScan(benchmark::State& state) {
  const std::string& form = form_data();
  for (auto _ : state) {
    std::size_t pairs = 0;
    const char* p = form.data();
    const char* end = p + form.size();
    while ((p = static_cast<const char*>(std::memchr(p, '&', static_cast<std::size_t>(end - p)))) != nullptr) {
      ++pairs;
      ++p;
    }
    benchmark::DoNotOptimize(pairs);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * form.size()));
}

std::string naive_lookup(const std::string& form, const std::string& name) {
  std::vector<std::string> pairs;
  std::string pair;
  for (char c : form) {
    if (c == '&') {
      pairs.push_back(pair);
      pair.clear();
    } else {
      pair += c;
    }
  }
  pairs.push_back(pair);
  const std::string key = cgiecho::cgi_ucase(name) + "=";
  for (const auto& p : pairs) {
    if (cgiecho::cgi_ucase(p.substr(0, key.size())) == key) return cgiecho::url_decode(p.substr(key.size()));
  }
  return {};
}

void BM_NaiveStdLookupLast(benchmark::State& state) {
  const std::string& form = form_data();
  for (auto _ : state) benchmark::DoNotOptimize(naive_lookup(form, "field9999"));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * form.size()));
}

}  // namespace

BENCHMARK(BM_FieldValueLast);
BENCHMARK(BM_CgiVarExportLast);
BENCHMARK(BM_MemchrScan);
BENCHMARK(BM_NaiveStdLookupLast);
BENCHMARK_MAIN();
