// Replaced global allocation functions for tests of what happens when
// memory runs out: each allocation is counted, live blocks are tracked, and
// the allocation whose count reaches `fail_at` fails (std::bad_alloc, or
// null from the nothrow forms). Linking alloc_fault.cpp puts them in the
// whole program. POSIX only (posix_memalign).
#pragma once

#include <cstddef>

namespace cgiecho::test {

struct AllocationCounts {
  std::size_t made = 0;     // allocations so far
  std::size_t live = 0;     // blocks not yet released
  std::size_t fail_at = 0;  // the value of `made` whose allocation fails; 0: none
};

AllocationCounts& allocations();

}  // namespace cgiecho::test
