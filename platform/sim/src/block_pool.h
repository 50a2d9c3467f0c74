// Reused heap blocks for the I/O requests of one device tree. Every DeviceIoControl, ReadFile and WriteFile
// makes a request, and most are gone again before the next call, so the tree keeps the blocks of finished
// requests and hands them to the next ones instead of going to the heap each time.
//
// - The pool keeps blocks of one size only (the first size asked for: the request together with its
//   shared_ptr control block); other sizes, and blocks beyond kKept, go straight to and from the heap.
// - Kept blocks are reused oldest first, so a block stays unused for as long as possible; under
//   AddressSanitizer a kept block is poisoned, so touching a request after its last reference went still
//   reports.
// - Requests are made and dropped on any thread (a machine on the real clock runs several at once, and a
//   reference may be dropped with or without the machine lock), so the pool has a lock of its own.
// - Blocks come from malloc, not operator new: they are the machine's bookkeeping, and tests that count a
//   program's own operator new calls must not see them (whether a call finds a kept block or makes one
//   depends on how many requests are still pending).
// - Every PoolAllocator shares ownership of its pool, so a request a device still holds after its machine
//   is gone gives its block back safely; the kept blocks are freed when the last owner goes.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_BLOCK_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_BLOCK_POOL_ASAN 1
#endif
#endif
#ifdef SIM_BLOCK_POOL_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace sim {

class BlockPool {
public:
    static constexpr std::size_t kKept = 64;

    BlockPool() = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool() {
        for (; count_ > 0; --count_, first_ = (first_ + 1) % kKept) {
            Unpoison(kept_[first_], size_);
            std::free(kept_[first_]);
        }
    }

    void* Take(std::size_t bytes) {
        {
            std::lock_guard lock(mutex_);
            if (size_ == 0) size_ = bytes;
            if (bytes == size_ && count_ > 0) {
                void* block = kept_[first_];
                first_ = (first_ + 1) % kKept;
                --count_;
                Unpoison(block, bytes);
                return block;
            }
        }
        if (void* block = std::malloc(bytes)) return block;
        throw std::bad_alloc();
    }

    void Give(void* block, std::size_t bytes) noexcept {
        {
            std::lock_guard lock(mutex_);
            if (bytes == size_ && count_ < kKept) {
                // Poisoned before another thread can take it.
                Poison(block, bytes);
                kept_[(first_ + count_) % kKept] = block;
                ++count_;
                return;
            }
        }
        std::free(block);
    }

    std::size_t KeptCount() {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    static void Poison([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) {
#ifdef SIM_BLOCK_POOL_ASAN
        ASAN_POISON_MEMORY_REGION(block, bytes);
#endif
    }
    static void Unpoison([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) {
#ifdef SIM_BLOCK_POOL_ASAN
        ASAN_UNPOISON_MEMORY_REGION(block, bytes);
#endif
    }

    std::mutex mutex_;
    std::size_t size_ = 0;  // the block size kept; 0 until the first Take
    void* kept_[kKept] = {};
    std::size_t first_ = 0;  // the oldest kept block
    std::size_t count_ = 0;
};

// For std::allocate_shared: the object and its control block in one block of the pool.
template <class T>
class PoolAllocator {
public:
    using value_type = T;

    explicit PoolAllocator(std::shared_ptr<BlockPool> pool) : pool_(std::move(pool)) {}
    template <class U>
    PoolAllocator(const PoolAllocator<U>& other) : pool_(other.pool_) {}

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= alignof(std::max_align_t), "malloc's alignment is all the pool gives");
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(pool_->Take(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { pool_->Give(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const PoolAllocator<U>& other) const {
        return pool_ == other.pool_;
    }

private:
    template <class>
    friend class PoolAllocator;
    std::shared_ptr<BlockPool> pool_;
};

}  // namespace sim
