#include "scan.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace corvel::scan {
namespace {

// The vector paths against plain loops, on every length and offset around
// the 16-byte blocks and across the 255-block counting batches.
TEST(Scan, AgreesWithByteLoops) {
    std::mt19937 rng(7);
    const std::uint8_t alphabet[] = {'a', ',', '"', '\n', '\r', 0x00, 0x80, 0xC3, 0xFF};
    for (const std::size_t n : {0u, 1u, 15u, 16u, 17u, 33u, 100u, 4095u, 4096u, 4097u, 9000u}) {
        std::vector<std::uint8_t> d(n);
        for (auto& b : d) b = alphabet[rng() % std::size(alphabet)];
        for (std::size_t from = 0; from < std::min<std::size_t>(n, 40); from += 3) {
            std::size_t any3 = from, any4 = from, high = from;
            while (any3 < n && d[any3] != ',' && d[any3] != '"' && d[any3] != '\n') ++any3;
            while (any4 < n && d[any4] != ',' && d[any4] != '"' && d[any4] != '\n' && d[any4] != '\r') ++any4;
            while (high < n && d[high] < 0x80) ++high;
            EXPECT_EQ(find_any(d.data(), n, from, ',', '"', '\n'), any3) << n << " " << from;
            EXPECT_EQ(find_any(d.data(), n, from, ',', '"', '\n', '\r'), any4) << n << " " << from;
            EXPECT_EQ(first_non_ascii(d.data(), n, from), high) << n << " " << from;
        }
        std::vector<std::size_t> want, got;
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (d[i] == 0x00) want.push_back(i);
            if (d[i] == '\r' || d[i] == '\n' || d[i] == 0xFF) ++count;
        }
        for_each_byte(d.data(), n, 0x00, [&](std::size_t i) { got.push_back(i); });
        EXPECT_EQ(got, want) << n;
        EXPECT_EQ(count_any(d.data(), n, '\r', '\n', 0xFF), count) << n;
        for (std::size_t from = 0; from <= n; from += 1 + from / 3) {
            for (std::size_t to = from; to <= n; to += 1 + (to - from) / 2) {
                std::size_t commas = 0;
                for (std::size_t i = from; i < to; ++i) commas += d[i] == ',' ? 1 : 0;
                ASSERT_EQ(count_byte(d.data(), from, to, ','), commas) << n << " " << from << " " << to;
            }
        }
    }
}

// A line's end and its delimiters in one pass, against a plain loop, on
// lines long enough to cross the 255-block counting batches.
TEST(Scan, CountsDelimitersUpToTheLineEnd) {
    std::mt19937 rng(11);
    for (const std::size_t n : {0u, 5u, 16u, 31u, 4080u, 4096u, 4111u, 9000u}) {
        for (const unsigned sparse : {1u, 40u, 5000u}) {
            std::vector<std::uint8_t> d(n);
            for (auto& b : d) b = rng() % sparse == 0 ? "\"\n\r"[rng() % 3] : (rng() % 3 ? 'a' : ',');
            for (std::size_t from = 0; from <= n; from += 1 + from / 2) {
                std::size_t end = from, commas = 0;
                for (; end < n && d[end] != '"' && d[end] != '\n' && d[end] != '\r'; ++end) commas += d[end] == ',';
                std::size_t counted = 99;
                ASSERT_EQ(find_any_counting(d.data(), n, from, ',', counted, '"', '\r', '\n'), end) << n << " " << from;
                ASSERT_EQ(counted, commas) << n << " " << from;
            }
        }
    }
}

// ASCII text is tested 64 bytes at once: one high byte, planted at each
// place around and across those blocks (or nowhere), is found from every
// start before it.
TEST(Scan, FindsALoneHighByteInAsciiText) {
    for (const std::size_t n : {63u, 64u, 65u, 127u, 128u, 129u, 200u}) {
        for (std::size_t high = 0; high <= n; ++high) {
            std::vector<std::uint8_t> d(n, 'a');
            if (high < n) d[high] = 0x80;
            for (const std::size_t from : {0u, 1u, 15u, 63u, 64u, 65u}) {
                if (from > n) continue;
                const std::size_t want = high >= from ? high : n;
                ASSERT_EQ(first_non_ascii(d.data(), n, from), want) << n << " " << high << " " << from;
            }
        }
    }
}

}  // namespace
}  // namespace corvel::scan
