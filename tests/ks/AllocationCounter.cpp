#include "tests/ks/AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {

struct Log {
    bool active = false;
    int count = 0;
    std::size_t sizes[64] = {};
};
thread_local Log t_log;

void* Allocate(std::size_t n) {
    if (t_log.active) {
        if (t_log.count < 64) t_log.sizes[t_log.count] = n;
        ++t_log.count;
    }
    return std::malloc(n ? n : 1);
}

}  // namespace

namespace kstest {
CountAllocations::CountAllocations() { t_log = Log{true, 0, {}}; }
CountAllocations::~CountAllocations() { t_log.active = false; }
int CountAllocations::Count() const { return t_log.count; }
std::size_t CountAllocations::Size(int i) const { return i >= 0 && i < 64 ? t_log.sizes[i] : 0; }
}  // namespace kstest

void* operator new(std::size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = Allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
