#include "tests/support/AllocationFailures.h"

#include <cstdlib>
#include <new>

namespace {
thread_local long t_allocationsLeft = -1;  // -1: none fails
thread_local bool t_allocationFailed = false;
}  // namespace

// libstdc++'s other forms of operator new, the non-throwing ones included, come through this one.
void* operator new(std::size_t size) {
  if (t_allocationsLeft == 0) {
    t_allocationFailed = true;
    throw std::bad_alloc();
  }
  if (t_allocationsLeft > 0) --t_allocationsLeft;
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}

namespace testsupport {

ScopedAllocationLimit::ScopedAllocationLimit(long allowed) {
  t_allocationFailed = false;
  t_allocationsLeft = allowed;
}

ScopedAllocationLimit::~ScopedAllocationLimit() { t_allocationsLeft = -1; }

bool ScopedAllocationLimit::failed() const { return t_allocationFailed; }

}  // namespace testsupport
