#include "export/handle.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "platform/narrow.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <oleauto.h>
#endif

#ifndef _WIN32
// Linux has no OLE: these stand-ins take the names, arguments and layout of
// the oleaut32 calls, so a caller's code reads the same on both platforms.
// A handle is a 32-bit byte length just before the data and a zero byte just
// after it; an array is a one-dimensional SAFEARRAY of handles.
namespace {

constexpr std::int32_t kOk = 0;
constexpr std::int32_t kInvalidArg = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t kBadIndex = static_cast<std::int32_t>(0x8002000Bu);
constexpr std::int32_t kArrayLocked = static_cast<std::int32_t>(0x8002000Du);
constexpr std::uint16_t kFeatureBstr = 0x0100;
constexpr std::uint16_t kFeatureVector = 0x2000;

char* block_of(cgi_str s) { return s - sizeof(std::uint32_t); }

// Every block comes from operator new, so a test that replaces it sees (and
// can fail) each allocation the library makes, these included.
void* get_block(std::size_t size) { return ::operator new(size, std::nothrow); }
void put_block(void* block) { ::operator delete(block); }

// Two zero bytes after the data, as Windows leaves a zero wide character.
cgi_str new_block(std::uint32_t len) {
  char* block = static_cast<char*>(get_block(sizeof(std::uint32_t) + std::size_t{len} + 2));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &len, sizeof len);
  char* text = block + sizeof len;
  text[len] = '\0';
  text[std::size_t{len} + 1] = '\0';
  return text;
}

}  // namespace

extern "C" cgi_str SysAllocStringByteLen(const char* data, std::uint32_t len) {
  cgi_str text = new_block(len);
  if (text == nullptr) return nullptr;
  if (data != nullptr) {
    std::memcpy(text, data, len);
  } else {
    std::memset(text, 0, len);
  }
  return text;
}

extern "C" void SysFreeString(cgi_str s) {
  if (s != nullptr) put_block(block_of(s));
}

extern "C" std::uint32_t SysStringByteLen(cgi_str s) {
  if (s == nullptr) return 0;
  std::uint32_t len;
  std::memcpy(&len, block_of(s), sizeof len);
  return len;
}

extern "C" SAFEARRAY* SafeArrayCreateVector(std::uint16_t vt, std::int32_t lower_bound, std::uint32_t count) {
  if (vt != VT_BSTR) return nullptr;
  auto* array = static_cast<SAFEARRAY*>(get_block(sizeof(SAFEARRAY)));
  if (array == nullptr) return nullptr;
  std::memset(array, 0, sizeof(SAFEARRAY));
  const std::size_t slots = count == 0 ? 1 : std::size_t{count};
  array->pvData = get_block(slots * sizeof(cgi_str));
  if (array->pvData == nullptr) {
    put_block(array);
    return nullptr;
  }
  // Every element starts as the null handle, the empty text.
  std::memset(array->pvData, 0, slots * sizeof(cgi_str));
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
  put_block(array->pvData);
  put_block(array);
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
#endif  // !_WIN32

namespace cgiecho::exports {
namespace {

// The Sys* and SafeArray* calls below are oleaut32's on Windows and, on
// Linux, the stand-ins above, which take the same names, arguments and
// layout: the code is written once for both.
cgi_str allocate(const char* data, std::uint32_t length) { return SysAllocStringByteLen(data, length); }

// Bytes the caller fills at once: oleaut32 leaves them as they are when no
// data is given; the public stand-in zeroes them, which this skips.
cgi_str allocate_unfilled(std::uint32_t length) {
#ifdef _WIN32
  return SysAllocStringByteLen(nullptr, length);
#else
  return new_block(length);
#endif
}

bool fits_handle(std::uint64_t length) { return length > 0 && platform::fits_count<std::uint32_t>(length); }

}  // namespace

std::string_view view_of(cgi_str handle) {
  if (handle == nullptr) return {};
  return {reinterpret_cast<const char*>(handle), SysStringByteLen(handle)};
}

std::string_view view_of(const cgi_str* ref) { return ref ? view_of(*ref) : std::string_view(); }

cgi_str to_handle(std::string_view bytes) {
  if (!fits_handle(bytes.size())) return nullptr;
  return allocate(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

cgi_str new_handle(std::uint64_t length) {
  if (!fits_handle(length)) return nullptr;
  return allocate_unfilled(static_cast<std::uint32_t>(length));
}

char* bytes_of(cgi_str handle) { return reinterpret_cast<char*>(handle); }

void release(cgi_str handle) { SysFreeString(handle); }

void replace(cgi_str* ref, cgi_str with) {
  if (ref == nullptr) {
    release(with);
    return;
  }
  release(*ref);
  *ref = with;
}

bool release_array(struct tagSAFEARRAY** array) {
  // Destroying a null array succeeds; a locked one is refused (negative).
  if (SafeArrayDestroy(*array) < 0) return false;
  *array = nullptr;
  return true;
}

SAFEARRAY* array_of_handles(const std::vector<std::string_view>& views) {
  if (!platform::fits_count<std::int32_t>(views.size())) return nullptr;  // past the upper bound a caller reads
  SAFEARRAY* made = SafeArrayCreateVector(VT_BSTR, 1, static_cast<std::uint32_t>(views.size()));
  if (made == nullptr) return nullptr;
  auto* slots = static_cast<cgi_str*>(made->pvData);
  for (std::size_t i = 0; i < views.size(); ++i) {
    slots[i] = to_handle(views[i]);
    if (slots[i] == nullptr && !views[i].empty()) {
      SafeArrayDestroy(made);
      return nullptr;
    }
  }
  return made;
}

}  // namespace cgiecho::exports
