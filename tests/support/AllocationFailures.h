// Allocation failures on demand: a test program that links AllocationFailures.cpp has its global
// operator new replaced by one that a test can make fail.
#pragma once

namespace testsupport {

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

}  // namespace testsupport
