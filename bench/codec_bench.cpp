// URL encoding and decoding as a caller of the library sees them, and the
// decoder's paths against each other.
//
// Inputs: form-like text (letters and digits with about 15% spaces and
// punctuation) and random bytes; decoding takes the encodings of those.
// Throughput counts the bytes given to the routine (for decoding, the
// encoded bytes).
//
// Export_*: CGI_URLENCODE and CGI_DECODE on handles from the shared library,
// 16 MiB in one call and 64 KiB per call, beside a plain byte-at-a-time loop
// that returns a std::string and libcurl's escape/unescape, in the same run.
// CGI_DECODE takes its argument, so the caller must make a copy for every
// call: those copies are made with the timer paused, a batch of them at a
// time (one per pause for the 16 MiB inputs), and the call decodes the copy
// made last first, while it is still in the cache.
//
// Path_*: the decoder's scalar and vector paths on 1 KiB, 64 KiB and 16 MiB
// per call, in place in a buffer refilled by memcpy before each call (the
// Copy row is that memcpy alone, to subtract); and the one encoder.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdint>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cgiecho.h"

#include <cgiecho/codec/url_codec.h>

#include "codec/url_codec_paths.h"

namespace {

constexpr std::size_t kBig = std::size_t{16} << 20;
constexpr std::size_t kCall = std::size_t{64} << 10;
constexpr std::size_t kSmall = std::size_t{1} << 10;
// curl_easy_escape refuses outputs past its own length limit, so it gets
// long inputs in pieces of this size.
constexpr std::size_t kCurlPiece = std::size_t{1} << 20;

enum kind { form = 0, random = 1, mixed = 2 };
const char* const kKindName[] = {"form", "random", "mixed"};

// 16 MiB of each kind; shorter inputs are its beginning. "mixed" (half the
// bytes escaped) sits between the other two, for the decoder's density rule.
const std::string& input(int k) {
  static const std::array<std::string, 3> inputs = [] {
    static constexpr char kAlnum[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static constexpr char kOther[] = "      =&.,-_@!?/:'";  // spaces are the common case
    std::mt19937 rng(1);
    std::string f(kBig, '\0'), r(kBig, '\0'), m(kBig, '\0');
    for (char& c : f) {
      const auto x = rng();
      c = x % 100 < 15 ? kOther[(x >> 8) % (sizeof kOther - 1)] : kAlnum[(x >> 8) % (sizeof kAlnum - 1)];
    }
    for (char& c : r) c = static_cast<char>(rng());
    for (char& c : m) {
      const auto x = rng();
      c = x % 2 ? static_cast<char>(0x80 | (x >> 8)) : kAlnum[(x >> 8) % (sizeof kAlnum - 1)];
    }
    return std::array<std::string, 3>{f, r, m};
  }();
  return inputs[k];
}

// The encoding of the first `size` input bytes.
const std::string& encoded(int k, std::size_t size) {
  static std::string cache[3][3];
  const int s = size == kBig ? 0 : size == kCall ? 1 : 2;
  std::string& e = cache[k][s];
  if (e.empty()) e = cgiecho::url_encode(std::string_view(input(k)).substr(0, size));
  return e;
}

// The obvious implementation, one byte and one branch at a time.
std::string plain_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
      out += c;
    } else if (b == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

int plain_hex(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string plain_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t n = text.size();
  std::size_t r = 0;
  while (r < n) {
    const auto b = static_cast<unsigned char>(text[r++]);
    if (b == '+') {
      out += ' ';
    } else if (b != '%') {
      out += static_cast<char>(b);
    } else if (r == n) {
      out += '%';
    } else {
      int value = 0;
      const int hi = plain_hex(static_cast<unsigned char>(text[r]));
      if (hi >= 0) {
        value = hi;
        const int lo = r + 1 < n ? plain_hex(static_cast<unsigned char>(text[r + 1])) : -1;
        if (lo >= 0) value = hi * 16 + lo;
      }
      r += r + 1 < n ? 2 : 1;
      out += static_cast<char>(value);
    }
  }
  return out;
}

CURL* curl() {
  static CURL* const handle = curl_easy_init();
  return handle;
}

std::string curl_encode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += kCurlPiece) {
    const std::string_view piece = text.substr(i, kCurlPiece);
    char* enc = curl_easy_escape(curl(), piece.data(), static_cast<int>(piece.size()));
    out += enc;
    curl_free(enc);
  }
  return out;
}

std::string curl_decode(std::string_view text) {
  int len = 0;
  char* dec = curl_easy_unescape(curl(), text.data(), static_cast<int>(text.size()), &len);
  std::string out(dec, static_cast<std::size_t>(len));
  curl_free(dec);
  return out;
}

cgi_str handle_of(std::string_view bytes) {
  return SysAllocStringByteLen(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

void finish(benchmark::State& state, int k, std::size_t bytes) {
  state.SetLabel(kKindName[k]);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

// Arguments: input kind, input size.
int kind_of(const benchmark::State& state) { return static_cast<int>(state.range(0)); }
std::size_t size_of(const benchmark::State& state) { return static_cast<std::size_t>(state.range(1)); }

void Export_Encode(benchmark::State& state) {
  const std::string_view in = std::string_view(input(kind_of(state))).substr(0, size_of(state));
  cgi_str arg = handle_of(in);
  for (auto _ : state) {
    cgi_str out = CGI_URLENCODE(&arg);
    benchmark::DoNotOptimize(out);
    SysFreeString(out);
  }
  SysFreeString(arg);
  finish(state, kind_of(state), in.size());
}

void Export_Decode(benchmark::State& state) {
  const std::string& in = encoded(kind_of(state), size_of(state));
  const std::size_t batch = in.size() > kCall * 4 ? 1 : 8;
  std::vector<cgi_str> copies;
  for (auto _ : state) {
    if (copies.empty()) {
      state.PauseTiming();
      for (std::size_t i = 0; i < batch; ++i) copies.push_back(handle_of(in));
      state.ResumeTiming();
    }
    cgi_str out = CGI_DECODE(copies.back());
    copies.pop_back();
    benchmark::DoNotOptimize(out);
    SysFreeString(out);
  }
  for (cgi_str c : copies) SysFreeString(c);
  finish(state, kind_of(state), in.size());
}

template <std::string (*Fn)(std::string_view)>
void Encode(benchmark::State& state) {
  const std::string_view in = std::string_view(input(kind_of(state))).substr(0, size_of(state));
  for (auto _ : state) benchmark::DoNotOptimize(Fn(in));
  finish(state, kind_of(state), in.size());
}

template <std::string (*Fn)(std::string_view)>
void Decode(benchmark::State& state) {
  const std::string& in = encoded(kind_of(state), size_of(state));
  for (auto _ : state) benchmark::DoNotOptimize(Fn(in));
  finish(state, kind_of(state), in.size());
}

void export_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"kind", "size"})->Unit(benchmark::kMicrosecond);
  for (const std::size_t size : {kBig, kCall})
    for (const int k : {form, random}) b->Args({k, static_cast<std::int64_t>(size)});
}

BENCHMARK(Export_Encode)->Apply(export_args);
BENCHMARK_TEMPLATE(Encode, plain_encode)->Apply(export_args);
BENCHMARK_TEMPLATE(Encode, curl_encode)->Apply(export_args);
BENCHMARK(Export_Decode)->Apply(export_args);
BENCHMARK_TEMPLATE(Decode, plain_decode)->Apply(export_args);
BENCHMARK_TEMPLATE(Decode, curl_decode)->Apply(export_args);

// Arguments: input kind, input size, and path (3: the refilling memcpy alone).
void Path_Decode(benchmark::State& state) {
  using cgiecho::detail::url_path;
  const auto path = static_cast<url_path>(state.range(2));
  const bool copy_only = state.range(2) == 3;
  if (!copy_only && !cgiecho::detail::url_path_available(path)) return state.SkipWithError("path not available");
  const std::string& in = encoded(kind_of(state), size_of(state));
  std::string buf(in.size(), '\0');
  for (auto _ : state) {
    std::memcpy(buf.data(), in.data(), in.size());
    if (!copy_only) benchmark::DoNotOptimize(cgiecho::detail::url_decode_in_place(path, buf.data(), buf.size()));
    benchmark::ClobberMemory();
  }
  finish(state, kind_of(state), in.size());
  state.SetLabel(std::string(kKindName[kind_of(state)]) + " " +
                 (copy_only ? "copy" : cgiecho::detail::url_path_name(path)));
}

// The encoder's one path, into a buffer of the counted size; path 1 counts only.
void Path_Encode(benchmark::State& state) {
  const std::string_view in = std::string_view(input(kind_of(state))).substr(0, size_of(state));
  const bool count_only = state.range(2) == 1;
  std::string buf(cgiecho::url_encoded_size(in), '\0');
  for (auto _ : state) {
    const std::size_t n = cgiecho::url_encoded_size(in);
    benchmark::DoNotOptimize(n);
    if (!count_only) cgiecho::url_encode_to(in, buf.data());
    benchmark::ClobberMemory();
  }
  finish(state, kind_of(state), in.size());
  state.SetLabel(std::string(kKindName[kind_of(state)]) + (count_only ? " count" : " count+encode"));
}

void path_args(benchmark::internal::Benchmark* b, int paths) {
  b->ArgNames({"kind", "size", "path"})->Unit(benchmark::kMicrosecond);
  for (const std::size_t size : {kSmall, kCall, kBig})
    for (const int k : {form, random, mixed})
      for (int p = 0; p < paths; ++p) b->Args({k, static_cast<std::int64_t>(size), p});
}

BENCHMARK(Path_Decode)->Apply([](benchmark::internal::Benchmark* b) { path_args(b, 4); });
BENCHMARK(Path_Encode)->Apply([](benchmark::internal::Benchmark* b) { path_args(b, 2); });

}  // namespace

BENCHMARK_MAIN();
