// The module's heap: every allocation of the module goes through these, so
// that tests can make the Nth allocation fail and see the largest block.
#pragma once

#include <cstddef>
#include <cstdint>

// Plain and zero-filled allocation; null on failure (or on an injected
// failure). Release with obk_free, which accepts null.
void* obk_alloc(std::size_t size);
void* obk_alloc_zeroed(std::size_t size);
void obk_free(void* block);

// Resizes a block from obk_alloc, keeping its content up to the smaller
// size. Null on failure, and the block is then left as it was.
void* obk_realloc(void* block, std::size_t size);

// The deleter of owners of module blocks (std::unique_ptr<T, ModuleFree>).
struct ModuleFree {
    void operator()(void* block) const { obk_free(block); }
};

// Test hook: the allocation `count` calls from now fails (1 = the next one),
// and every one after it succeeds again; 0 switches injection off. Only the
// static library that tests link can reach it: the module exports nothing
// but its record.
void obk_fail_allocation_after(int64_t count);

// Test hook: the size of the largest block asked for since the last call
// (0 when none was), counting from 0 again.
std::size_t obk_take_largest_allocation();
