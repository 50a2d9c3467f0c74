#include "tests/soak/HeapCount.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

#include <cstddef>

// The sanitizer runtime's count of the bytes its allocator has handed out and not taken back.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();

namespace soak {
std::int64_t LiveHeapBytes() { return static_cast<std::int64_t>(__sanitizer_get_current_allocated_bytes()); }
}  // namespace soak

#else

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

// glibc's own allocator under its exported internal names; this program's malloc family counts the
// usable size of every block it hands out and takes back (glibc documents replacing these functions).
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<std::int64_t> g_liveBytes{0};

void* Counted(void* block) {
    if (block) g_liveBytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(block)), std::memory_order_relaxed);
    return block;
}

void Uncount(void* block) {
    if (block) g_liveBytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(block)), std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) { return Counted(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) { return Counted(__libc_calloc(count, size)); }
void free(void* block) {
    Uncount(block);
    __libc_free(block);
}
void* realloc(void* block, std::size_t size) {
    const std::int64_t before = block ? static_cast<std::int64_t>(malloc_usable_size(block)) : 0;
    void* moved = __libc_realloc(block, size);
    if (moved || size == 0) g_liveBytes.fetch_sub(before, std::memory_order_relaxed);  // freed or moved
    return Counted(moved);
}
void* memalign(std::size_t alignment, std::size_t size) { return Counted(__libc_memalign(alignment, size)); }
void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* block = memalign(alignment, size);
    if (!block) return ENOMEM;
    *out = block;
    return 0;
}
void* valloc(std::size_t size) { return memalign(4096, size); }
void* pvalloc(std::size_t size) { return memalign(4096, (size + 4095) & ~std::size_t{4095}); }

}  // extern "C"

namespace soak {
std::int64_t LiveHeapBytes() { return g_liveBytes.load(std::memory_order_relaxed); }
}  // namespace soak

#endif
