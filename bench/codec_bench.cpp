// URL encoding and decoding of 16 MiB inputs: form-like text (letters and
// digits with about 15% spaces and punctuation) and random bytes; decoding
// takes the encodings of those. Side by side: url_encode/url_decode as they
// dispatch, each of our paths forced, a plain byte-at-a-time loop with the
// same results, and libcurl's escape/unescape as a well-known reference.
// Throughput counts input bytes.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdint>
#include <random>
#include <string>

#include "codec/url_codec.h"
#include "codec/url_codec_paths.h"

namespace {

constexpr std::size_t kInputSize = 16 << 20;
// curl_easy_escape refuses outputs past its own length limit, so it gets
// the input in pieces of this size.
constexpr std::size_t kCurlPiece = 1 << 20;

const std::string& form_text() {
  static const std::string s = [] {
    static constexpr char kAlnum[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static constexpr char kOther[] = "      =&.,-_@!?/:'";  // spaces are the common case
    std::mt19937 rng(1);
    std::string t(kInputSize, '\0');
    for (char& c : t) {
      const auto r = rng();
      c = r % 100 < 15 ? kOther[(r >> 8) % (sizeof kOther - 1)] : kAlnum[(r >> 8) % (sizeof kAlnum - 1)];
    }
    return t;
  }();
  return s;
}

const std::string& random_bytes() {
  static const std::string s = [] {
    std::mt19937 rng(2);
    std::string t(kInputSize, '\0');
    for (char& c : t) c = static_cast<char>(rng());
    return t;
  }();
  return s;
}

const std::string& input(int kind) { return kind == 0 ? form_text() : random_bytes(); }

const std::string& encoded_input(int kind) {
  static const std::string form = cgiecho::url_encode(form_text());
  static const std::string random = cgiecho::url_encode(random_bytes());
  return kind == 0 ? form : random;
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

std::string curl_encode(std::string_view text) {
  static CURL* const curl = curl_easy_init();
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += kCurlPiece) {
    const std::string_view piece = text.substr(i, kCurlPiece);
    char* enc = curl_easy_escape(curl, piece.data(), static_cast<int>(piece.size()));
    out += enc;
    curl_free(enc);
  }
  return out;
}

std::string curl_decode(std::string_view text) {
  static CURL* const curl = curl_easy_init();
  int len = 0;
  char* dec = curl_easy_unescape(curl, text.data(), static_cast<int>(text.size()), &len);
  std::string out(dec, static_cast<std::size_t>(len));
  curl_free(dec);
  return out;
}

template <std::string (*Fn)(std::string_view)>
void run(benchmark::State& state, const std::string& in) {
  state.SetLabel(state.range(0) == 0 ? "form" : "random");
  for (auto _ : state) benchmark::DoNotOptimize(Fn(in));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(in.size()));
}

template <std::string (*Fn)(std::string_view)>
void BM_Encode(benchmark::State& state) {
  run<Fn>(state, input(static_cast<int>(state.range(0))));
}

template <std::string (*Fn)(std::string_view)>
void BM_Decode(benchmark::State& state) {
  run<Fn>(state, encoded_input(static_cast<int>(state.range(0))));
}

// Forced paths the CPU lacks are skipped rather than run.
template <std::string (*Fn)(std::string_view)>
void BM_EncodeAvx2(benchmark::State& state) {
  if (!cgiecho::detail::url_path_available(cgiecho::detail::url_path::avx2)) return state.SkipWithError("no AVX2");
  BM_Encode<Fn>(state);
}

template <std::string (*Fn)(std::string_view)>
void BM_DecodeAvx2(benchmark::State& state) {
  if (!cgiecho::detail::url_path_available(cgiecho::detail::url_path::avx2)) return state.SkipWithError("no AVX2");
  BM_Decode<Fn>(state);
}

// Argument 0 is form-like text, 1 random bytes.
#define CODEC_BENCH(name, fn) BENCHMARK_TEMPLATE(name, fn)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)

CODEC_BENCH(BM_Encode, cgiecho::url_encode);
CODEC_BENCH(BM_Encode, cgiecho::detail::url_encode_scalar);
CODEC_BENCH(BM_Encode, cgiecho::detail::url_encode_sse2);
CODEC_BENCH(BM_EncodeAvx2, cgiecho::detail::url_encode_avx2);
CODEC_BENCH(BM_Encode, plain_encode);
CODEC_BENCH(BM_Encode, curl_encode);

CODEC_BENCH(BM_Decode, cgiecho::url_decode);
CODEC_BENCH(BM_Decode, cgiecho::detail::url_decode_scalar);
CODEC_BENCH(BM_Decode, cgiecho::detail::url_decode_sse2);
CODEC_BENCH(BM_DecodeAvx2, cgiecho::detail::url_decode_avx2);
CODEC_BENCH(BM_Decode, plain_decode);
CODEC_BENCH(BM_Decode, curl_decode);

}  // namespace

BENCHMARK_MAIN();
