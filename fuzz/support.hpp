// Shared by the fuzz targets: a failing check that libFuzzer records as a
// crash, a UTF-8 validator written independently of the engine's, and the
// input header every target reads its settings from. What they share with the
// engine tests (options, the reference tokenizer) is in tests/engine.
#pragma once

#include "testing.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel_fuzz {

using namespace corvel_test;

[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "\n*** fuzz check failed at %s:%d: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond)                                                      \
    do {                                                                      \
        if (!(cond)) ::corvel_fuzz::fail(__FILE__, __LINE__, #cond);          \
    } while (0)

// Strict UTF-8: no overlongs, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned c = p[i];
        std::uint32_t cp;
        std::size_t len;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        const std::uint32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

inline std::string join(const std::vector<std::string>& parts, std::string_view sep) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) out.append(sep);
        out.append(parts[i]);
    }
    return out;
}

// Settings bytes at the front of an input. Missing bytes read as zero, so
// every input is usable and the rest is the text.
class Header {
public:
    Header(const std::uint8_t* data, std::size_t size, std::size_t count)
        : data_(data), have_(size < count ? size : count), count_(count) {
        text_ = std::string_view(reinterpret_cast<const char*>(data) + have_, size - have_);
    }
    std::uint8_t byte(std::size_t i) const { return i < have_ ? data_[i] : 0; }
    std::string_view text() const { return text_; }
    std::size_t count() const { return count_; }

private:
    const std::uint8_t* data_;
    std::size_t have_;
    std::size_t count_;
    std::string_view text_;
};

// The salvage options of the targets whose header starts [flags] [delimiter]
// [quote] [width]:
//   flags bit 0: delimiter given (else sniffed)
//         bit 1: fill ragged rows      bit 2: merge overflow
//         bit 3: repair quotes         bit 4: width given (else inferred)
//   width: expected columns, taken modulo 9 (0 turns the width check off)
inline corvel::SalvageOptions salvage_options(const Header& h) {
    const std::uint8_t flags = h.byte(0);
    return opts(flags & 1 ? std::optional<std::uint8_t>(h.byte(1)) : std::nullopt,
                flags & 16 ? std::optional<std::uint64_t>(h.byte(3) % 9) : std::nullopt,
                {.quote = h.byte(2), .fill = (flags & 2) != 0, .merge = (flags & 4) != 0, .repair = (flags & 8) != 0});
}

}  // namespace corvel_fuzz
