// SHA-256 from the system's well-kept implementation: libcrypto on Linux
// (sha256_openssl.cpp), BCrypt on Windows (sha256_bcrypt.cpp). CMake picks
// the file.
#pragma once

#include <cstddef>
#include <string_view>

#include "text/hex.h"

namespace cgiecho::inspect {

class Sha256 {
 public:
  static constexpr std::size_t kHexSize = 64;

  Sha256() noexcept;  // a new digest, of no bytes yet
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes) noexcept;
  // The digest of every byte given, as kHexSize lower-case hex digits; the
  // object is spent after it. False when the system could not hash (never
  // with libcrypto; BCrypt may lack memory), and then `hex` is untouched.
  bool finish(char* hex) noexcept;

 private:
  // Room for the library's own state: libcrypto's context lives here,
  // BCrypt's handle too. Each implementation checks that it fits.
  alignas(16) unsigned char state_[128];
  bool failed_ = false;
};

// The bytes of a digest as lower-case hex, two digits a byte.
inline void to_hex(const unsigned char* digest, std::size_t size, char* hex) noexcept {
  for (std::size_t i = 0; i < size; ++i) {
    hex[2 * i] = text::kHexLower[digest[i] >> 4];
    hex[2 * i + 1] = text::kHexLower[digest[i] & 0x0F];
  }
}

}  // namespace cgiecho::inspect
