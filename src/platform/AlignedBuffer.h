// Blocks handed between threads (frame and sample copies, stream packets,
// logo planes) are 16-byte aligned for vector loads and come from the C
// allocator, so they are released with free.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

namespace qva {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <typename T>
using AlignedBuffer = std::unique_ptr<T[], FreeDeleter>;

// A 16-byte aligned block of count elements, or null when it cannot be had.
template <typename T>
AlignedBuffer<T> allocateAligned(size_t count) {
    void* block = nullptr;
    if (posix_memalign(&block, 16, count * sizeof(T) > 0 ? count * sizeof(T) : 16) != 0) return {};
    return AlignedBuffer<T>(static_cast<T*>(block));
}

// An aligned copy of size bytes, or null when it cannot be had.
template <typename T>
AlignedBuffer<T> alignedCopy(const void* source, size_t count) {
    AlignedBuffer<T> copy = allocateAligned<T>(count);
    if (copy && count > 0) std::memcpy(copy.get(), source, count * sizeof(T));
    return copy;
}

}  // namespace qva
