// Linux stand-ins for the OLE string and array calls, so that a caller's
// code reads the same on both platforms. Layout as on Windows: a 32-bit byte
// length just before the data, a zero byte just after it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cgiecho.h"

namespace {

constexpr std::int32_t kOk = 0;
constexpr std::int32_t kInvalidArg = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t kBadIndex = static_cast<std::int32_t>(0x8002000Bu);
constexpr std::int32_t kArrayLocked = static_cast<std::int32_t>(0x8002000Du);
constexpr std::uint16_t kFeatureBstr = 0x0100;
constexpr std::uint16_t kFeatureVector = 0x2000;

char* block_of(cgi_str s) { return s - sizeof(std::uint32_t); }

}  // namespace

extern "C" cgi_str SysAllocStringByteLen(const char* data, std::uint32_t len) {
  // Two zero bytes after the data, as Windows leaves a zero wide character.
  char* block = static_cast<char*>(std::malloc(sizeof(std::uint32_t) + std::size_t{len} + 2));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &len, sizeof len);
  char* text = block + sizeof len;
  if (data != nullptr) {
    std::memcpy(text, data, len);
  } else {
    std::memset(text, 0, len);
  }
  text[len] = '\0';
  text[std::size_t{len} + 1] = '\0';
  return text;
}

extern "C" void SysFreeString(cgi_str s) {
  if (s != nullptr) std::free(block_of(s));
}

extern "C" std::uint32_t SysStringByteLen(cgi_str s) {
  if (s == nullptr) return 0;
  std::uint32_t len;
  std::memcpy(&len, block_of(s), sizeof len);
  return len;
}

extern "C" SAFEARRAY* SafeArrayCreateVector(std::uint16_t vt, std::int32_t lower_bound, std::uint32_t count) {
  if (vt != VT_BSTR) return nullptr;
  auto* array = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
  if (array == nullptr) return nullptr;
  // calloc: every element starts as the null handle, the empty text
  array->pvData = std::calloc(count == 0 ? 1 : count, sizeof(cgi_str));
  if (array->pvData == nullptr) {
    std::free(array);
    return nullptr;
  }
  array->cDims = 1;
  array->fFeatures = kFeatureBstr | kFeatureVector;
  array->cbElements = sizeof(cgi_str);
  array->rgsabound[0].cElements = count;
  array->rgsabound[0].lLbound = lower_bound;
  return array;
}

extern "C" std::int32_t SafeArrayDestroy(SAFEARRAY* array) {
  if (array == nullptr) return kOk;
  if (array->cLocks > 0) return kArrayLocked;
  auto* items = static_cast<cgi_str*>(array->pvData);
  if (items != nullptr && (array->fFeatures & kFeatureBstr) != 0) {
    for (std::uint32_t i = 0; i < array->rgsabound[0].cElements; ++i) SysFreeString(items[i]);
  }
  std::free(array->pvData);
  std::free(array);
  return kOk;
}

extern "C" std::int32_t SafeArrayGetLBound(SAFEARRAY* array, std::uint32_t dim, std::int32_t* lower) {
  if (array == nullptr || lower == nullptr) return kInvalidArg;
  if (dim != 1) return kBadIndex;
  *lower = array->rgsabound[0].lLbound;
  return kOk;
}

extern "C" std::int32_t SafeArrayGetUBound(SAFEARRAY* array, std::uint32_t dim, std::int32_t* upper) {
  if (array == nullptr || upper == nullptr) return kInvalidArg;
  if (dim != 1) return kBadIndex;
  const auto& bound = array->rgsabound[0];
  *upper = static_cast<std::int32_t>(static_cast<std::int64_t>(bound.lLbound) + bound.cElements - 1);
  return kOk;
}
