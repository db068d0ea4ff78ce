// Rendered frames as the host hands them to filters: W x H float buffers
// (depth, red, green, blue, alpha), rows from the top.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <span>
#include <vector>

#include "module/host_interface.h"

namespace host {

// Storage of a frame's buffers: zero-filled by calloc, which takes fresh
// pages from the system already zeroed, and not filled again on resize. A
// new buffer thus costs no pass over its memory, and the pages of rows never
// touched are never taken.
template <typename T>
struct ZeroedAllocator {
    using value_type = T;
    ZeroedAllocator() = default;
    template <typename U>
    ZeroedAllocator(const ZeroedAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        void* memory = std::calloc(n, sizeof(T));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t) noexcept { std::free(memory); }
    // Elements made without a value keep the zeros of calloc.
    template <typename U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
    template <typename U>
    bool operator==(const ZeroedAllocator<U>&) const noexcept {
        return true;
    }
};

// The render buffers of one frame, each W x H 32-bit floats, row 0 first.
class Frame {
public:
    static constexpr std::array<int32_t, 5> ALL_BUFFERS = {BUF_DEPTH, BUF_RED, BUF_GREEN, BUF_BLUE, BUF_ALPHA};
    static constexpr std::array<int32_t, 4> COLOUR_BUFFERS = {BUF_RED, BUF_GREEN, BUF_BLUE, BUF_ALPHA};

    // A frame holding `buffers`, zero-filled. Throws HostError for a
    // negative size, a buffer number that a frame does not hold, or a size
    // that cannot be allocated.
    Frame(int32_t width, int32_t height, int32_t number = 0,
          std::span<const int32_t> buffers = ALL_BUFFERS);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    int32_t number() const { return number_; }
    void set_number(int32_t number) { number_ = number; }

    bool has(int32_t buffer) const;
    // Adds a zero-filled buffer (keeps one already held) or drops one.
    void add(int32_t buffer);
    void remove(int32_t buffer);

    // The whole buffer, row after row. Throws HostError when it is not held.
    std::span<float> samples(int32_t buffer);
    std::span<const float> samples(int32_t buffer) const;

    // One row of a buffer; null when the buffer is not held or the row lies
    // outside the frame.
    float* line(int32_t buffer, int32_t row);
    const float* line(int32_t buffer, int32_t row) const;

    // Each buffer number a frame can hold has a slot; -1 for any other.
    static int slot(int32_t buffer);

private:
    int32_t width_;
    int32_t height_;
    int32_t number_;
    std::size_t line_length_;
    std::array<std::vector<float, ZeroedAllocator<float>>, ALL_BUFFERS.size()> buffers_;
    std::array<bool, ALL_BUFFERS.size()> held_{};
};

}  // namespace host
