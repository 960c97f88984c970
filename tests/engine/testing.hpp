// What the engine tests and the fuzz targets share: one way to spell options,
// the replacement character, and small restatements of the engine's output
// forms. Free of GoogleTest, so that the fuzz targets can include it too.
#pragma once

#include "decode.hpp"
#include "rescue.hpp"
#include "rows.hpp"
#include "salvage.hpp"
#include "target.hpp"

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvel_test {

// U+FFFD, which replaces every invalid UTF-8 sequence.
inline const std::string kFFFD = "\xEF\xBF\xBD";

// Everything but the delimiter and the width, named at the call site:
// opts(',', 3, {.quote = '\'', .fill = false}).
struct Tweaks {
    std::uint8_t quote = '"';
    bool fill = true;
    bool merge = true;
    bool repair = true;
};

// A nullopt delimiter is sniffed, a nullopt width inferred; 0 turns the width
// check off.
inline corvel::SalvageOptions opts(std::optional<std::uint8_t> delimiter, std::optional<std::uint64_t> expected,
                                   Tweaks t = {}) {
    corvel::SalvageOptions o;
    o.delimiter = delimiter;
    o.expected_columns = expected;
    o.quote_char = t.quote;
    o.fill_ragged_rows = t.fill;
    o.merge_overflow = t.merge;
    o.repair_quotes = t.repair;
    return o;
}

using Rows = std::vector<std::vector<std::string>>;

inline Rows rows_of(const corvel::RowTable& t) {
    Rows out;
    out.reserve(t.size());
    for (std::uint64_t r = 0; r < t.size(); ++r) out.push_back(t.row(r));
    return out;
}

// Reads back written rows, each ended by LF but perhaps the last: a field
// that starts with the quote is enclosed, its quotes doubled; any other field
// is as it stands. The delimiter may be LF itself.
// A table of `rows`, field by field: rows_of() the other way.
inline corvel::RowTable table_of(const Rows& rows) {
    corvel::RowTable t;
    for (const auto& row : rows) {
        for (const auto& f : row) {
            t.append(f.data(), f.size());
            t.finish_field();
        }
        t.finish_row();
    }
    return t;
}

inline Rows read_written(std::string_view text, char delimiter, char quote = '"') {
    Rows rows;
    std::vector<std::string> row(1);
    bool open = false;  // a row has begun since the last LF
    for (std::size_t i = 0; i < text.size(); ++i) {
        open = text[i] != '\n' || text[i] == delimiter;
        const bool field_start = i == 0 || text[i - 1] == delimiter || text[i - 1] == '\n';
        if (text[i] == delimiter) {
            row.emplace_back();
        } else if (text[i] == '\n') {
            rows.push_back(std::exchange(row, std::vector<std::string>(1)));
        } else if (text[i] == quote && field_start && row.back().empty()) {
            for (++i; i < text.size() && !(text[i] == quote && (i + 1 == text.size() || text[i + 1] != quote)); ++i) {
                row.back() += text[i];
                if (text[i] == quote) ++i;  // the second of a doubled pair
            }
        } else {
            row.back() += text[i];
        }
    }
    if (open) rows.push_back(std::move(row));
    return rows;
}

// `unit`, `times` times over.
inline std::string repeat(std::string_view unit, std::size_t times) {
    std::string s;
    s.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) s += unit;
    return s;
}

// The character U+00XX for byte XX, encoded as UTF-8: how a delimiter byte
// reads once it joins merged fields. Written apart from the engine's own.
inline std::string latin1_char(std::uint8_t b) {
    if (b < 0x80) return std::string(1, static_cast<char>(b));
    return {static_cast<char>(0xC0 | (b >> 6)), static_cast<char>(0x80 | (b & 0x3F))};
}

// Latin-1 as a legacy table: byte XX is U+00XX.
inline const corvel::LegacyTable& latin1() {
    static const corvel::LegacyTable table = [] {
        std::vector<std::string> entries;
        for (int b = 0x80; b < 0x100; ++b) entries.push_back(latin1_char(static_cast<std::uint8_t>(b)));
        const std::vector<std::string_view> views(entries.begin(), entries.end());
        return *corvel::LegacyTable::from_entries(views);
    }();
    return table;
}

// Gives `text` at most `step` bytes a read.
class StringSource final : public corvel::ByteSource {
public:
    StringSource(std::string text, std::size_t step) : text_(std::move(text)), step_(step) {}
    corvel::Result<std::size_t> read(char* buffer, std::size_t size) noexcept override {
        const std::size_t n = std::min({size, step_, text_.size() - at_});
        text_.copy(buffer, n, at_);
        at_ += n;
        return n;
    }

private:
    std::string text_;
    std::size_t step_;
    std::size_t at_ = 0;
};

// `text` read at any offset, at most `step` bytes a read.
class StringAt final : public corvel::RandomSource {
public:
    StringAt(std::string text, std::size_t step) : text_(std::move(text)), step_(step) {}
    corvel::Result<std::size_t> read_at(char* buffer, std::size_t size, std::uint64_t offset) noexcept override {
        if (offset >= text_.size()) return std::size_t{0};
        const std::size_t n = std::min({size, step_, text_.size() - static_cast<std::size_t>(offset)});
        text_.copy(buffer, n, static_cast<std::size_t>(offset));
        return n;
    }

private:
    std::string text_;
    std::size_t step_;
};

// Keeps what it is given, or fails every write with `fail_with` when it is
// not 0.
class StringSink final : public corvel::ByteSink {
public:
    explicit StringSink(int fail_with = 0) : fail_with_(fail_with) {}
    corvel::Status write(std::string_view bytes) noexcept override {
        if (fail_with_ != 0) return corvel::SalvageError::from_errno(fail_with_);
        text += bytes;
        return corvel::Done{};
    }
    std::string text;

private:
    int fail_with_;
};

// A fresh directory under /tmp, removed with everything in it when the owner
// goes. Test fixtures inherit it beside ::testing::Test.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/corvel-test-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    std::string read(const std::string& name) const {
        std::ifstream f(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    // The names in the directory, sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

protected:
    std::string dir_;
};

}  // namespace corvel_test
