// The module's heap: every allocation of the module goes through these, so
// that tests can make the Nth allocation fail.
#pragma once

#include <cstddef>
#include <cstdint>

// Plain and zero-filled allocation; null on failure (or on an injected
// failure). Release with obk_free, which accepts null.
void* obk_alloc(std::size_t size);
void* obk_alloc_zeroed(std::size_t size);
void obk_free(void* block);

// The deleter of owners of module blocks (std::unique_ptr<T, ModuleFree>).
struct ModuleFree {
    void operator()(void* block) const { obk_free(block); }
};

// Test hook: the allocation `count` calls from now fails (1 = the next one),
// and every one after it succeeds again; 0 switches injection off. Only the
// static library that tests link can reach it: the module exports nothing
// but its record.
void obk_fail_allocation_after(int64_t count);
