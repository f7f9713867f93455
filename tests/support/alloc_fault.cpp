#include "support/alloc_fault.h"

#include <cstdlib>
#include <new>

namespace cgiecho::test {
namespace {

// Zero-initialised before any code runs, so allocations made during static
// initialisation are counted too.
AllocationCounts g_counts;

void* take(std::size_t size, std::size_t align) noexcept {
  if (++g_counts.made == g_counts.fail_at) return nullptr;
  if (size == 0) size = 1;
  void* block = nullptr;
  if (align <= alignof(std::max_align_t)) {
    block = std::malloc(size);
  } else if (posix_memalign(&block, align, size) != 0) {
    block = nullptr;
  }
  if (block != nullptr) ++g_counts.live;
  return block;
}
void* take_or_throw(std::size_t size, std::size_t align) {
  void* block = take(size, align);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void give(void* block) noexcept {
  if (block == nullptr) return;
  --g_counts.live;
  std::free(block);
}

}  // namespace

AllocationCounts& allocations() { return g_counts; }

}  // namespace cgiecho::test

using cgiecho::test::give;
using cgiecho::test::take;
using cgiecho::test::take_or_throw;

void* operator new(std::size_t n) { return take_or_throw(n, 0); }
void* operator new[](std::size_t n) { return take_or_throw(n, 0); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return take(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return take(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return take_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return take_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return take(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return take(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { give(p); }
void operator delete[](void* p) noexcept { give(p); }
void operator delete(void* p, std::size_t) noexcept { give(p); }
void operator delete[](void* p, std::size_t) noexcept { give(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { give(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { give(p); }
void operator delete(void* p, std::align_val_t) noexcept { give(p); }
void operator delete[](void* p, std::align_val_t) noexcept { give(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { give(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { give(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { give(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { give(p); }
