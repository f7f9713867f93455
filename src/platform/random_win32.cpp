// Random bytes on Windows, in a file of their own: a program that never
// asks for them links no BCrypt import, so the echo program and the DLL
// load no more system DLLs than before.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <bcrypt.h>

#include <cgiecho/platform/platform.h>

namespace cgiecho::platform {

bool random_bytes(char* out, std::size_t count) noexcept {
  while (count > 0) {
    const ULONG ask = count > 0x40000000u ? 0x40000000u : static_cast<ULONG>(count);
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(out), ask, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
      return false;
    out += ask;
    count -= ask;
  }
  return true;
}

}  // namespace cgiecho::platform
