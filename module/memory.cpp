#include "module/memory.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<int64_t> allocations_until_failure{0};
std::atomic<std::size_t> largest_allocation{0};

// True when this allocation is the one chosen to fail.
bool injected_failure() {
    int64_t remaining = allocations_until_failure.load(std::memory_order_relaxed);
    while (remaining > 0) {
        if (allocations_until_failure.compare_exchange_weak(remaining, remaining - 1,
                                                            std::memory_order_relaxed)) {
            return remaining == 1;
        }
    }
    return false;
}

// Counts the request and tells whether it may go on.
bool admitted(std::size_t size) {
    std::size_t largest = largest_allocation.load(std::memory_order_relaxed);
    while (size > largest &&
           !largest_allocation.compare_exchange_weak(largest, size, std::memory_order_relaxed)) {
    }
    return !injected_failure();
}

}  // namespace

void* obk_alloc(std::size_t size) {
    if (!admitted(size)) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* obk_alloc_zeroed(std::size_t size) {
    if (!admitted(size)) return nullptr;
    return std::calloc(1, size == 0 ? 1 : size);
}

void* obk_realloc(void* block, std::size_t size) {
    if (!admitted(size)) return nullptr;
    return std::realloc(block, size == 0 ? 1 : size);
}

void obk_free(void* block) { std::free(block); }

void obk_fail_allocation_after(int64_t count) {
    allocations_until_failure.store(count > 0 ? count : 0, std::memory_order_relaxed);
}

std::size_t obk_take_largest_allocation() { return largest_allocation.exchange(0, std::memory_order_relaxed); }
