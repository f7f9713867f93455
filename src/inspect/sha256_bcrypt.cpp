// SHA-256 from Windows' own BCrypt (bcrypt.dll, in every Windows since
// Vista). It is the one system hash API, and it needs <windows.h>, so this
// file includes it outside src/platform: the hash is the inspector's alone.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "inspect/sha256.h"

namespace cgiecho::inspect {
namespace {

constexpr ULONG kDigestSize = 32;

// Opened once and kept for the life of the process: every request's
// digests come from it, and opening a provider costs far more than a hash.
BCRYPT_ALG_HANDLE algorithm() noexcept {
  static const BCRYPT_ALG_HANDLE handle = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) h = nullptr;
    return h;
  }();
  return handle;
}

BCRYPT_HASH_HANDLE handle_in(const unsigned char* state) noexcept {
  BCRYPT_HASH_HANDLE h;
  std::memcpy(&h, state, sizeof h);
  return h;
}

}  // namespace

Sha256::Sha256() noexcept {
  static_assert(sizeof(BCRYPT_HASH_HANDLE) <= sizeof state_);
  BCRYPT_HASH_HANDLE h = nullptr;
  // No object buffer: BCrypt keeps the hash state itself (Windows 7 on).
  const BCRYPT_ALG_HANDLE alg = algorithm();
  failed_ = alg == nullptr || !BCRYPT_SUCCESS(BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0));
  if (failed_) h = nullptr;
  std::memcpy(state_, &h, sizeof h);
}

Sha256::~Sha256() {
  if (BCRYPT_HASH_HANDLE h = handle_in(state_)) BCryptDestroyHash(h);
}

void Sha256::update(std::string_view bytes) noexcept {
  // BCryptHashData takes a ULONG count; larger pieces go in slices.
  constexpr std::size_t kSlice = 1u << 30;
  while (!failed_ && !bytes.empty()) {
    const std::size_t n = bytes.size() < kSlice ? bytes.size() : kSlice;
    auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));  // BCrypt only reads it
    failed_ = !BCRYPT_SUCCESS(BCryptHashData(handle_in(state_), data, static_cast<ULONG>(n), 0));
    bytes.remove_prefix(n);
  }
}

bool Sha256::finish(char* hex) noexcept {
  unsigned char digest[kDigestSize];
  if (failed_ || !BCRYPT_SUCCESS(BCryptFinishHash(handle_in(state_), digest, kDigestSize, 0))) return false;
  failed_ = true;  // spent
  to_hex(digest, sizeof digest, hex);
  return true;
}

}  // namespace cgiecho::inspect
