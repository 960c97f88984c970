// Memory for the few large buffers a run fills: the input, row text and
// offsets, and the one way to fill a string in place.
//
// Large blocks are mapped directly and asked for huge pages, which makes
// first touch of fresh memory several times cheaper than with 4 KiB pages.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <memory>
#include <new>

namespace corvel {

inline constexpr std::size_t kHugePageBytes = 2 << 20;

// Fresh zeroed pages, or nullptr; `bytes` need not be a multiple of a page.
inline void* map_pages(std::size_t bytes) noexcept {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (bytes >= kHugePageBytes) ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
    return p;
}

// Grows or shrinks pages from map_pages() without copying them, or nullptr
// (the old pages then stay as they were).
inline void* remap_pages(void* p, std::size_t old_bytes, std::size_t new_bytes) noexcept {
    void* q = ::mremap(p, old_bytes, new_bytes, MREMAP_MAYMOVE);
    if (q == MAP_FAILED) return nullptr;
    if (new_bytes >= kHugePageBytes) ::madvise(q, new_bytes, MADV_HUGEPAGE);
    return q;
}

// Appends `n` bytes to `s`, written in place by write(char* at). The size
// is passed on, not taken from the callback's argument, which some library
// versions fill with the grown capacity instead.
template <class String, class Write>
void append_in_place(String& s, std::size_t n, Write&& write) {
    const std::size_t at = s.size();
    const std::size_t size = at + n;
    s.resize_and_overwrite(size, [&](char* p, std::size_t) noexcept {
        write(p + at);
        return size;
    });
}

// An allocator that maps blocks of 1 MiB or more directly (see map_pages);
// smaller blocks come from the ordinary heap.
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
        void* p = map_pages(bytes);
        if (!p) throw std::bad_alloc();
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
