// Byte searches that the hot loops share, 16 bytes at a time with SSE2 (the
// x86-64 baseline) and byte by byte elsewhere. Compare-equal only: the SSE4.2
// string instructions would stop at NUL bytes, which are ordinary data here.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvel::scan {

// Index of the first byte at or after `i` equal to a, b or c, or n.
inline std::size_t find_any3(const std::uint8_t* d, std::size_t n, std::size_t i, std::uint8_t a,
                             std::uint8_t b, std::uint8_t c) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                         _mm_cmpeq_epi8(x, vc));
        if (const int m = _mm_movemask_epi8(hit)) return i + static_cast<std::size_t>(__builtin_ctz(m));
    }
#endif
    for (; i < n; ++i) {
        if (d[i] == a || d[i] == b || d[i] == c) return i;
    }
    return n;
}

// Index of the first byte at or after `i` equal to any of a, b, c, e, or n.
inline std::size_t find_any4(const std::uint8_t* d, std::size_t n, std::size_t i, std::uint8_t a,
                             std::uint8_t b, std::uint8_t c, std::uint8_t e) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    const __m128i ve = _mm_set1_epi8(static_cast<char>(e));
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                         _mm_or_si128(_mm_cmpeq_epi8(x, vc), _mm_cmpeq_epi8(x, ve)));
        if (const int m = _mm_movemask_epi8(hit)) return i + static_cast<std::size_t>(__builtin_ctz(m));
    }
#endif
    for (; i < n; ++i) {
        if (d[i] == a || d[i] == b || d[i] == c || d[i] == e) return i;
    }
    return n;
}

// Calls f(index) for every byte of [0, n) equal to `b`, in order.
template <class F>
inline void for_each_byte(const std::uint8_t* d, std::size_t n, std::uint8_t b, F&& f) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vb)));
        while (m) {
            f(i + static_cast<std::size_t>(__builtin_ctz(m)));
            m &= m - 1;
        }
    }
#endif
    for (; i < n; ++i) {
        if (d[i] == b) f(i);
    }
}

// Number of bytes of [0, n) equal to a, b or c.
inline std::size_t count_any3(const std::uint8_t* d, std::size_t n, std::uint8_t a, std::uint8_t b,
                              std::uint8_t c) noexcept {
    std::size_t count = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    // Each lane counts its hits (a hit is -1, so subtract); lanes are summed
    // before any of them can reach 256. Baseline x86-64 has no popcount.
    while (i + 16 <= n) {
        __m128i lanes = _mm_setzero_si128();
        for (int k = 0; k < 255 && i + 16 <= n; ++k, i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
            const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                             _mm_cmpeq_epi8(x, vc));
            lanes = _mm_sub_epi8(lanes, hit);
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    for (; i < n; ++i) count += (d[i] == a || d[i] == b || d[i] == c) ? 1 : 0;
    return count;
}

// Number of bytes of [from, to) equal to b; all of [0, to) may be read.
// Short spans (a line) are counted block-wise too: the last block is read
// ending at `to` and its lanes before the span are masked off.
inline std::size_t count_byte(const std::uint8_t* d, std::size_t from, std::size_t to,
                              std::uint8_t b) noexcept {
    std::size_t count = 0;
    std::size_t i = from;
#if defined(__SSE2__)
    static constexpr std::uint8_t kTailMask[32] = {0,    0,    0,    0,    0,    0,    0,    0,
                                                   0,    0,    0,    0,    0,    0,    0,    0,
                                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    while (i + 16 <= to) {
        __m128i lanes = _mm_setzero_si128();
        for (int k = 0; k < 255 && i + 16 <= to; ++k, i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(x, vb));
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
    if (i < to && to >= 16) {
        // The block [to - 16, to), of which only the last to - i lanes count.
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + to - 16));
        const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTailMask + (to - i)));
        const __m128i hits = _mm_and_si128(_mm_cmpeq_epi8(x, vb), keep);
        const __m128i sums = _mm_sad_epu8(_mm_sub_epi8(_mm_setzero_si128(), hits), _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
        i = to;
    }
#endif
    for (; i < to; ++i) count += d[i] == b ? 1 : 0;
    return count;
}

// Index of the first byte of 0x80 or above at or after `i`, or n.
inline std::size_t first_non_ascii(const std::uint8_t* d, std::size_t n, std::size_t i) noexcept {
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        if (const int m = _mm_movemask_epi8(x)) return i + static_cast<std::size_t>(__builtin_ctz(m));
    }
#endif
    for (; i < n; ++i) {
        if (d[i] >= 0x80) return i;
    }
    return n;
}

}  // namespace corvel::scan
