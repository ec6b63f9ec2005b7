#pragma once

#include <cstdint>

namespace qortest {

// Heap allocations (operator new in any form) made by the calling thread since it started.
uint64_t ThreadAllocationCount();

// Counts the calling thread's allocations from construction on.
class AllocationScope {
 public:
  AllocationScope() : start_(ThreadAllocationCount()) {}
  uint64_t Count() const { return ThreadAllocationCount() - start_; }

 private:
  uint64_t start_;
};

}  // namespace qortest
