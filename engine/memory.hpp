// An allocator for the few large buffers a run fills: row text and offsets.
//
// Blocks of 1 MiB or more are mapped directly and asked for huge pages,
// which makes first touch of fresh memory several times cheaper than with
// 4 KiB pages; smaller blocks come from the ordinary heap.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <memory>
#include <new>

namespace corvel {

template <class T>
struct BigAllocator {
    using value_type = T;
    static constexpr std::size_t kMapBytes = 1 << 20;

    BigAllocator() noexcept = default;
    template <class U>
    BigAllocator(const BigAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapBytes) return std::allocator<T>().allocate(n);
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapBytes) {
            std::allocator<T>().deallocate(p, n);
        } else {
            ::munmap(p, bytes);
        }
    }

    template <class U>
    bool operator==(const BigAllocator<U>&) const noexcept { return true; }
};

}  // namespace corvel
