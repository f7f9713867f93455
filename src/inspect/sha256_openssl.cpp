// libcrypto's SHA-256 routines, the low-level ones: they use the CPU's SHA
// instructions where it has them, and a statically linked program takes
// only them, without the EVP provider machinery. OpenSSL 3 marks them
// deprecated in favour of EVP; they remain part of its API.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <new>

#include "inspect/sha256.h"

namespace cgiecho::inspect {
namespace {

SHA256_CTX& context(unsigned char* state) { return *std::launder(reinterpret_cast<SHA256_CTX*>(state)); }

}  // namespace

Sha256::Sha256() noexcept {
  static_assert(sizeof(SHA256_CTX) <= sizeof state_ && alignof(SHA256_CTX) <= 16);
  new (state_) SHA256_CTX;
  failed_ = SHA256_Init(&context(state_)) != 1;
}

Sha256::~Sha256() = default;  // SHA256_CTX is plain data

void Sha256::update(std::string_view bytes) noexcept {
  if (!failed_ && !bytes.empty()) failed_ = SHA256_Update(&context(state_), bytes.data(), bytes.size()) != 1;
}

bool Sha256::finish(char* hex) noexcept {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  if (failed_ || SHA256_Final(digest, &context(state_)) != 1) return false;
  failed_ = true;  // spent
  to_hex(digest, sizeof digest, hex);
  return true;
}

}  // namespace cgiecho::inspect
