// Counts the heap allocations (every form of operator new) made by the calling thread while a
// CountAllocations object lives on it; the test binary's operator new is replaced for this.
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
