// The test program's own operator new: plain malloc, except that it throws
// std::bad_alloc on a thread that holds a test::AllocationsThrow, so that a
// test can make the host's callbacks fail for real.
#include <cstdlib>
#include <new>

#include "test_support.h"

namespace {
thread_local int throwing_scopes = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (throwing_scopes > 0) throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace test {

AllocationsThrow::AllocationsThrow() { ++throwing_scopes; }
AllocationsThrow::~AllocationsThrow() { --throwing_scopes; }

}  // namespace test
