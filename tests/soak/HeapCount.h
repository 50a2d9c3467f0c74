// Heap bytes in use by the whole test process (every program on the simulated machine, the machine and
// the test): the malloc family is replaced in this program to count them (operator new allocates
// through it); under a sanitizer its allocator's own count is read instead.
#pragma once

#include <cstdint>

namespace soak {

std::int64_t LiveHeapBytes();

}  // namespace soak
