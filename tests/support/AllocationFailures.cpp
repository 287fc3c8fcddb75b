#include "tests/support/AllocationFailures.h"

#include <cstdlib>
#include <new>

namespace {
thread_local long t_allocationsBeforeFailure = -1;  // -1: none fails
thread_local bool t_allocationFailed = false;
}  // namespace

// libstdc++'s other forms of operator new, the non-throwing ones included, come through this one.
void* operator new(std::size_t size) {
  if (t_allocationsBeforeFailure == 0) {
    t_allocationsBeforeFailure = -1;
    t_allocationFailed = true;
    throw std::bad_alloc();
  }
  if (t_allocationsBeforeFailure > 0) --t_allocationsBeforeFailure;
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}

namespace testsupport {

ScopedAllocationFailure::ScopedAllocationFailure(long before) {
  t_allocationFailed = false;
  t_allocationsBeforeFailure = before;
}

ScopedAllocationFailure::~ScopedAllocationFailure() { t_allocationsBeforeFailure = -1; }

bool ScopedAllocationFailure::failed() const { return t_allocationFailed; }

}  // namespace testsupport
