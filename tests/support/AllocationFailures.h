// Allocation failures on demand: a test program that links AllocationFailures.cpp has its global
// operator new replaced by one that a test can make fail.
#pragma once

namespace testsupport {

// While it lives, one allocation through the global operator new on this thread fails: the one
// after |before| more have succeeded (the throwing forms throw std::bad_alloc, the non-throwing
// ones give null). The allocations after it succeed again.
class ScopedAllocationFailure {
 public:
  explicit ScopedAllocationFailure(long before);
  ~ScopedAllocationFailure();
  ScopedAllocationFailure(const ScopedAllocationFailure&) = delete;
  ScopedAllocationFailure& operator=(const ScopedAllocationFailure&) = delete;

  // Whether the failure has come.
  bool failed() const;
};

}  // namespace testsupport
