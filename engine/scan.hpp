// Byte searches that the hot loops share, 16 bytes at a time with SSE2 (the
// x86-64 baseline) and byte by byte elsewhere. Compare-equal only: the SSE4.2
// string instructions would stop at NUL bytes, which are ordinary data here.
// Each search takes the bytes it looks for as a list: find_any(d, n, i, ',',
// '\n') stops at a comma or a line feed.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvel::scan {

#if defined(__SSE2__)
namespace detail {

inline __m128i load(const std::uint8_t* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The needles, each repeated over a vector's 16 lanes once, before a loop.
template <std::size_t N>
struct Needles {
    __m128i v[N];

    template <class... Bytes>
    explicit Needles(Bytes... bytes) noexcept : v{_mm_set1_epi8(static_cast<char>(bytes))...} {}

    // 0xFF in each lane of x that equals one of the needles.
    __m128i hits(__m128i x) const noexcept {
        __m128i h = _mm_cmpeq_epi8(x, v[0]);
        for (std::size_t k = 1; k < N; ++k) h = _mm_or_si128(h, _mm_cmpeq_epi8(x, v[k]));
        return h;
    }
};

template <class... Bytes>
Needles(Bytes...) -> Needles<sizeof...(Bytes)>;

// The sum of the 16 byte lanes of `lanes`.
inline std::size_t lane_sum(__m128i lanes) noexcept {
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
           static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}

// Counts the bytes of [i, to) in whole blocks that equal a needle, moving i
// to the first byte left over. Each lane counts its hits (a hit is -1, so
// subtract); lanes are summed before any of them can reach 256. Baseline
// x86-64 has no popcount.
template <class... Bytes>
inline std::size_t count_blocks(const std::uint8_t* d, std::size_t& i, std::size_t to, Bytes... needles) noexcept {
    const Needles want(needles...);
    std::size_t count = 0;
    while (i + 16 <= to) {
        __m128i lanes = _mm_setzero_si128();
        for (int k = 0; k < 255 && i + 16 <= to; ++k, i += 16) lanes = _mm_sub_epi8(lanes, want.hits(load(d + i)));
        count += lane_sum(lanes);
    }
    return count;
}

}  // namespace detail
#endif

template <class... Needles>
inline bool is_any(std::uint8_t b, Needles... needles) noexcept {
    return (... || (b == static_cast<std::uint8_t>(needles)));
}

// Index of the first byte at or after `i` equal to a needle, or n.
template <class... Needles>
inline std::size_t find_any(const std::uint8_t* d, std::size_t n, std::size_t i, Needles... needles) noexcept {
#if defined(__SSE2__)
    const detail::Needles want(needles...);
    for (; i + 16 <= n; i += 16) {
        if (const int m = _mm_movemask_epi8(want.hits(detail::load(d + i)))) {
            return i + static_cast<std::size_t>(__builtin_ctz(m));
        }
    }
#endif
    for (; i < n; ++i) {
        if (is_any(d[i], needles...)) return i;
    }
    return n;
}

// find_any() that also sets `counted` to the number of bytes equal to `b`
// between `i` and the byte found, in the same pass: a line's end and its
// delimiters at once. `b` is not one of the needles.
template <class... Needles>
inline std::size_t find_any_counting(const std::uint8_t* d, std::size_t n, std::size_t i, std::uint8_t b,
                                     std::size_t& counted, Needles... needles) noexcept {
    std::size_t count = 0;
#if defined(__SSE2__)
    const detail::Needles want(needles...);
    const detail::Needles one(b);
    while (i + 16 <= n) {
        __m128i lanes = _mm_setzero_si128();
        for (int k = 0; k < 255 && i + 16 <= n; ++k, i += 16) {
            const __m128i x = detail::load(d + i);
            const __m128i hit = one.hits(x);
            if (const int m = _mm_movemask_epi8(want.hits(x))) {
                const int at = __builtin_ctz(static_cast<unsigned>(m));
                unsigned before = static_cast<unsigned>(_mm_movemask_epi8(hit)) & ((1u << at) - 1);
                for (; before != 0; before &= before - 1) ++count;
                counted = count + detail::lane_sum(lanes);
                return i + static_cast<std::size_t>(at);
            }
            lanes = _mm_sub_epi8(lanes, hit);
        }
        count += detail::lane_sum(lanes);
    }
#endif
    for (; i < n && !is_any(d[i], needles...); ++i) count += d[i] == b ? 1 : 0;
    counted = count;
    return i;
}

// Calls f(index) for every byte of [0, n) equal to `b`, in order.
template <class F>
inline void for_each_byte(const std::uint8_t* d, std::size_t n, std::uint8_t b, F&& f) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const detail::Needles want(b);
    for (; i + 16 <= n; i += 16) {
        unsigned m = static_cast<unsigned>(_mm_movemask_epi8(want.hits(detail::load(d + i))));
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

// Number of bytes of [0, n) equal to a needle.
template <class... Needles>
inline std::size_t count_any(const std::uint8_t* d, std::size_t n, Needles... needles) noexcept {
    std::size_t count = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    count = detail::count_blocks(d, i, n, needles...);
#endif
    for (; i < n; ++i) count += is_any(d[i], needles...) ? 1 : 0;
    return count;
}

// Number of bytes of [from, to) equal to b; all of [0, to) may be read.
// Short spans (a line) are counted block-wise too: the last block is read
// ending at `to` and its lanes before the span are masked off.
inline std::size_t count_byte(const std::uint8_t* d, std::size_t from, std::size_t to, std::uint8_t b) noexcept {
    std::size_t count = 0;
    std::size_t i = from;
#if defined(__SSE2__)
    static constexpr std::uint8_t kTailMask[32] = {0,    0,    0,    0,    0,    0,    0,    0,
                                                   0,    0,    0,    0,    0,    0,    0,    0,
                                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    count = detail::count_blocks(d, i, to, b);
    if (i < to && to >= 16) {
        // The block [to - 16, to), of which only the last to - i lanes count.
        const __m128i keep = detail::load(kTailMask + (to - i));
        const __m128i hit = _mm_and_si128(detail::Needles(b).hits(detail::load(d + to - 16)), keep);
        count += detail::lane_sum(_mm_sub_epi8(_mm_setzero_si128(), hit));
        i = to;
    }
#endif
    for (; i < to; ++i) count += d[i] == b ? 1 : 0;
    return count;
}

// Index of the first byte of 0x80 or above at or after `i`, or n.
inline std::size_t first_non_ascii(const std::uint8_t* d, std::size_t n, std::size_t i) noexcept {
#if defined(__SSE2__)
    // Past 64 bytes of ASCII, text most often stays ASCII for long
    // stretches: 64 bytes are then tested at once, and the block that holds
    // a high byte is searched 16 bytes at a time. Accented text, whose next
    // high byte is near, is searched 16 bytes at a time from the start.
    for (const std::size_t near = i + 64; i + 16 <= n && i < near; i += 16) {
        if (const int m = _mm_movemask_epi8(detail::load(d + i))) return i + static_cast<std::size_t>(__builtin_ctz(m));
    }
    for (; i + 64 <= n; i += 64) {
        const __m128i low = _mm_or_si128(detail::load(d + i), detail::load(d + i + 16));
        const __m128i high = _mm_or_si128(detail::load(d + i + 32), detail::load(d + i + 48));
        if (_mm_movemask_epi8(_mm_or_si128(low, high)) != 0) break;
    }
    for (; i + 16 <= n; i += 16) {
        if (const int m = _mm_movemask_epi8(detail::load(d + i))) return i + static_cast<std::size_t>(__builtin_ctz(m));
    }
#endif
    for (; i < n; ++i) {
        if (d[i] >= 0x80) return i;
    }
    return n;
}

}  // namespace corvel::scan
