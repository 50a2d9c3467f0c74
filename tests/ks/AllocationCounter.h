// Counts the heap allocations (every form of operator new) made by the calling thread while a
// CountAllocations object lives on it; the test binary's operator new is replaced for this. The
// simulated machine's I/O request blocks come from malloc through its own pool and are not counted, so a
// count does not depend on how many requests happen to be pending.
#pragma once
#include <cstddef>

namespace kstest {

class CountAllocations {
public:
    CountAllocations();
    ~CountAllocations();
    int Count() const;
    // The size of the i-th allocation counted (0 past the first 64).
    std::size_t Size(int i) const;
};

}  // namespace kstest
