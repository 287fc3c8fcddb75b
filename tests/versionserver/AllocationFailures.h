// Allocation failures on demand for the version server tests: this folder's test programs replace
// the global operator new (AllocationFailures.cpp) with one that a test can make fail.
#pragma once

namespace quillet_test {

// While it lives, the allocations through the global operator new on this thread succeed |allowed|
// more times and then fail (the throwing forms throw std::bad_alloc, the non-throwing ones give
// null).
class ScopedAllocationLimit {
 public:
  explicit ScopedAllocationLimit(long allowed);
  ~ScopedAllocationLimit();
  ScopedAllocationLimit(const ScopedAllocationLimit&) = delete;
  ScopedAllocationLimit& operator=(const ScopedAllocationLimit&) = delete;

  // Whether an allocation has failed since the object was made.
  bool failed() const;
};

}  // namespace quillet_test
