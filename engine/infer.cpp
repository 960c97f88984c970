#include "infer.hpp"

#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

namespace corvel::infer {

namespace {

enum Candidate : std::uint8_t {
    kBool = 1,
    kInt64 = 2,
    kFloat64 = 4,
    kDate32 = 8,
    kTimestamp = 16,
};

// Every integer up to this magnitude is exactly a double.
constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;
constexpr std::int64_t kMicrosPerDay = 86'400'000'000;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_lower(std::string_view cell, std::string_view word) noexcept {
    if (cell.size() != word.size()) return false;
    for (std::size_t i = 0; i < cell.size(); ++i) {
        if (lower(cell[i]) != word[i]) return false;
    }
    return true;
}

// The value of `n` digits at `p`, which the caller has checked are digits.
int digits_value(const char* p, int n) noexcept {
    int v = 0;
    for (int i = 0; i < n; ++i) v = v * 10 + (p[i] - '0');
    return v;
}

bool leap(unsigned y) noexcept { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

unsigned days_in_month(unsigned y, unsigned m) noexcept {
    static constexpr unsigned char kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar from
// the year 1 on, counted in years that start in March.
std::int32_t days_from_civil(unsigned y, unsigned m, unsigned d) noexcept {
    y -= m <= 2;
    const unsigned era = y / 400;
    const unsigned yoe = y - era * 400;
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int32_t>(era * 146097 + doe) - 719468;
}

// "YYYY-MM-DD" at the start of `s` (which has at least 10 bytes).
bool date_prefix(std::string_view s, std::int32_t& out) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto digit = [p](int i) { return static_cast<unsigned>(p[i]) - '0'; };
    const unsigned y0 = digit(0), y1 = digit(1), y2 = digit(2), y3 = digit(3);
    const unsigned m0 = digit(5), m1 = digit(6), d0 = digit(8), d1 = digit(9);
    // Unsigned, so that a byte below '0' is no digit either.
    if (y0 > 9 || y1 > 9 || y2 > 9 || y3 > 9 || m0 > 9 || m1 > 9 || d0 > 9 || d1 > 9 || p[4] != '-' || p[7] != '-')
        return false;
    const unsigned y = ((y0 * 10 + y1) * 10 + y2) * 10 + y3, m = m0 * 10 + m1, d = d0 * 10 + d1;
    if (y == 0 || m - 1 > 11 || d - 1 >= days_in_month(y, m)) return false;
    out = days_from_civil(y, m, d);
    return true;
}

// Two digits at `p` no greater than `max`.
bool two_digits(const char* p, int max, int& out) noexcept {
    if (!is_digit(p[0]) || !is_digit(p[1])) return false;
    out = digits_value(p, 2);
    return out <= max;
}

// What follows a timestamp's time: nothing, 'Z', or "+hh:mm" / "-hh:mm".
// Sets the offset east of UTC in microseconds.
bool zone(std::string_view s, bool& zoned, std::int64_t& offset) noexcept {
    zoned = !s.empty();
    offset = 0;
    if (s.empty()) return true;
    if (s.size() == 1) return s[0] == 'Z' || s[0] == 'z';
    int h = 0, m = 0;
    if (s.size() != 6 || (s[0] != '+' && s[0] != '-') || s[3] != ':') return false;
    if (!two_digits(s.data() + 1, 23, h) || !two_digits(s.data() + 4, 59, m)) return false;
    offset = (std::int64_t{h} * 60 + m) * 60'000'000;
    if (s[0] == '-') offset = -offset;
    return true;
}

}  // namespace

const char* format_of(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::String: return nullptr;
        case ColumnType::Bool: return "b";
        case ColumnType::Int64: return "l";
        case ColumnType::Float64: return "g";
        case ColumnType::Date32: return "tdD";
        case ColumnType::Timestamp: return "tsu:";
        case ColumnType::TimestampUtc: return "tsu:UTC";
    }
    return nullptr;
}

bool parse_bool(std::string_view cell, bool& out) noexcept {
    if (equals_lower(cell, "true")) {
        out = true;
        return true;
    }
    if (equals_lower(cell, "false")) {
        out = false;
        return true;
    }
    return false;
}

bool parse_int64(std::string_view cell, std::int64_t& out) noexcept {
    std::string_view digits = cell;
    const bool negative = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '+' || negative)) digits.remove_prefix(1);
    // 19 digits hold every value to 10^19 - 1, past the range; more never fit.
    if (digits.empty() || digits.size() > 19 || (digits[0] == '0' && digits.size() > 1)) return false;
    std::uint64_t v = 0;
    for (const char c : digits) {
        if (!is_digit(c)) return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    const std::uint64_t limit = std::uint64_t{std::numeric_limits<std::int64_t>::max()} + (negative ? 1 : 0);
    if (v > limit) return false;
    out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    return true;
}

bool parse_float64(std::string_view cell, double& out) noexcept {
    const char* p = cell.data();
    const char* const end = p + cell.size();
    const bool negative = p != end && *p == '-';
    if (p != end && (*p == '+' || negative)) ++p;
    if (p != end && !is_digit(*p) && *p != '.') {
        const std::string_view word(p, static_cast<std::size_t>(end - p));
        if (equals_lower(word, "inf") || equals_lower(word, "infinity")) {
            out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
            return true;
        }
        if (!equals_lower(word, "nan")) return false;
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    // One scan checks the form and gathers the digits; from_chars would
    // also take "nan(...)" and the like, and says nothing of leading zeros.
    // The mantissa wraps past 19 digits, but is only used for 16 or fewer.
    std::uint64_t m = 0;
    const char* const whole = p;
    while (p != end && is_digit(*p)) m = m * 10 + static_cast<std::uint64_t>(*p++ - '0');
    const std::size_t whole_digits = static_cast<std::size_t>(p - whole);
    if (whole_digits > 1 && *whole == '0') return false;
    const bool point = p != end && *p == '.';
    std::size_t fraction_digits = 0;
    if (point) {
        const char* const fraction = ++p;
        while (p != end && is_digit(*p)) m = m * 10 + static_cast<std::uint64_t>(*p++ - '0');
        fraction_digits = static_cast<std::size_t>(p - fraction);
    }
    if (whole_digits + fraction_digits == 0) return false;
    const bool exponent = p != end && (*p == 'e' || *p == 'E');
    if (exponent) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        const char* const digits = p;
        while (p != end && is_digit(*p)) ++p;
        if (p == digits) return false;
    }
    if (p != end) return false;
    // Written as an integer: only where a double holds it exactly.
    if (!point && !exponent && (whole_digits > 16 || m > static_cast<std::uint64_t>(kExactInDouble))) return false;
    if (!exponent && whole_digits + fraction_digits <= 15) {
        // The mantissa and the power of ten are exact doubles, so their
        // quotient, rounded once, is the nearest double to the cell: what
        // from_chars gives, at a fraction of the cost.
        static constexpr double kPowers[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        const double v = static_cast<double>(m) / kPowers[fraction_digits];
        out = negative ? -v : v;
        return true;
    }
    // from_chars takes '-' but not '+'.
    const char* first = cell[0] == '+' ? cell.data() + 1 : cell.data();
    double v = 0;
    const auto [stop, ec] = std::from_chars(first, end, v);
    if (ec != std::errc() || stop != end) return false;
    out = v;
    return true;
}

bool parse_date32(std::string_view cell, std::int32_t& out) noexcept {
    return cell.size() == 10 && date_prefix(cell, out);
}

bool parse_timestamp(std::string_view cell, std::int64_t& out, bool& zoned) noexcept {
    std::int32_t days = 0;
    const std::size_t n = cell.size();
    if (n < 16 || !date_prefix(cell, days)) return false;
    const char* p = cell.data();
    if (p[10] != 'T' && p[10] != 't' && p[10] != ' ') return false;
    int h = 0, m = 0, s = 0;
    if (!two_digits(p + 11, 23, h) || p[13] != ':' || !two_digits(p + 14, 59, m)) return false;
    std::size_t at = 16;
    std::int64_t micros = 0;
    if (at < n && p[at] == ':') {
        if (n < 19 || !two_digits(p + 17, 59, s)) return false;
        at = 19;
        if (at < n && p[at] == '.') {
            const std::size_t first = ++at;
            // A seventh digit stops the scan, and the cell is refused below.
            while (at < n && at - first < 7 && is_digit(p[at])) micros = micros * 10 + (p[at++] - '0');
            const std::size_t digits = at - first;
            if (digits < 1 || digits > 6) return false;
            for (std::size_t k = digits; k < 6; ++k) micros *= 10;
        }
    }
    std::int64_t offset = 0;
    if (!zone(cell.substr(at), zoned, offset)) return false;
    out = days * kMicrosPerDay + ((std::int64_t{h} * 60 + m) * 60 + s) * 1'000'000 + micros - offset;
    return true;
}

void TypeGuess::add(std::string_view cell) noexcept {
    if (cell.empty() || candidates_ == 0) return;
    seen_ = true;
    bool b = false;
    if ((candidates_ & kBool) && !parse_bool(cell, b)) candidates_ &= ~kBool;
    std::int64_t i = 0;
    if (candidates_ & kInt64) {
        if (parse_int64(cell, i)) {
            // Nothing else an integer can be; a double holds it if small enough.
            const bool exact = i <= kExactInDouble && i >= -kExactInDouble;
            candidates_ &= static_cast<std::uint8_t>(kInt64 | (exact ? kFloat64 : 0));
            return;
        }
        candidates_ &= ~kInt64;
    }
    double f = 0;
    if ((candidates_ & kFloat64) && !parse_float64(cell, f)) candidates_ &= ~kFloat64;
    std::int32_t d = 0;
    const bool date = (candidates_ & (kDate32 | kTimestamp)) && parse_date32(cell, d);
    if (!date) candidates_ &= ~kDate32;
    if (candidates_ & kTimestamp) {
        bool zoned = false;
        std::int64_t t = 0;
        if (date || parse_timestamp(cell, t, zoned)) {
            (zoned ? zoned_ : naive_) = true;
            if (zoned_ && naive_) candidates_ &= ~kTimestamp;
        } else {
            candidates_ &= ~kTimestamp;
        }
    }
}

ColumnType TypeGuess::type() const noexcept {
    if (!seen_) return ColumnType::String;
    if (candidates_ & kBool) return ColumnType::Bool;
    if (candidates_ & kInt64) return ColumnType::Int64;
    if (candidates_ & kFloat64) return ColumnType::Float64;
    if (candidates_ & kDate32) return ColumnType::Date32;
    if (candidates_ & kTimestamp) return zoned_ ? ColumnType::TimestampUtc : ColumnType::Timestamp;
    return ColumnType::String;
}

std::vector<ColumnType> infer_types(std::span<const arrow::RowBatch> batches, std::uint64_t width) {
    std::vector<TypeGuess> guesses(width);
    // The columns still open; a settled one is dropped from the walk.
    std::vector<std::uint64_t> open(width);
    for (std::uint64_t c = 0; c < width; ++c) open[c] = c;
    for (const arrow::RowBatch& batch : batches) {
        if (!batch.table) continue;
        for (std::uint64_t r = batch.begin; r < batch.end && !open.empty(); ++r) {
            std::size_t kept = 0;
            for (const std::uint64_t c : open) {
                guesses[c].add(batch.table->field(r, c));
                if (!guesses[c].settled()) open[kept++] = c;
            }
            open.resize(kept);
        }
    }
    std::vector<ColumnType> types(width);
    for (std::uint64_t c = 0; c < width; ++c) types[c] = guesses[c].type();
    return types;
}

std::uint64_t value_bytes(ColumnType type, std::uint64_t rows) noexcept {
    switch (type) {
        case ColumnType::String: return 0;
        case ColumnType::Bool: return bitmap_bytes(rows);
        case ColumnType::Date32: return rows * 4;
        case ColumnType::Int64:
        case ColumnType::Float64:
        case ColumnType::Timestamp:
        case ColumnType::TimestampUtc: return rows * 8;
    }
    return 0;
}

namespace {

// Fills the slots and the validity bits, with `put(cell, i)` writing a
// non-empty cell's value into slot i, or saying it does not parse.
template <class Put>
Converted convert(const arrow::RowBatch& batch, std::uint64_t column, std::uint8_t* validity, Put put) noexcept {
    Converted result;
    for (std::uint64_t i = 0, rows = batch.end - batch.begin; i < rows; ++i) {
        const std::string_view cell = batch.table->field(batch.begin + i, column);
        if (cell.empty()) {
            ++result.nulls;
            continue;
        }
        if (!put(cell, i)) return Converted{false, 0, batch.begin + i};
        validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    }
    return result;
}

}  // namespace

Converted convert_column(const arrow::RowBatch& batch, std::uint64_t column, ColumnType type, void* values,
                         std::uint8_t* validity) noexcept {
    const std::uint64_t rows = batch.end - batch.begin;
    // A null's slot is zero too, so that no consumer reads garbage.
    std::memset(validity, 0, bitmap_bytes(rows));
    std::memset(values, 0, value_bytes(type, rows));
    switch (type) {
        case ColumnType::Bool:
            return convert(batch, column, validity, [&](std::string_view cell, std::uint64_t i) {
                bool b = false;
                if (!parse_bool(cell, b)) return false;
                if (b) static_cast<std::uint8_t*>(values)[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
                return true;
            });
        case ColumnType::Int64:
            return convert(batch, column, validity, [&](std::string_view cell, std::uint64_t i) {
                return parse_int64(cell, static_cast<std::int64_t*>(values)[i]);
            });
        case ColumnType::Float64:
            return convert(batch, column, validity, [&](std::string_view cell, std::uint64_t i) {
                return parse_float64(cell, static_cast<double*>(values)[i]);
            });
        case ColumnType::Date32:
            return convert(batch, column, validity, [&](std::string_view cell, std::uint64_t i) {
                return parse_date32(cell, static_cast<std::int32_t*>(values)[i]);
            });
        case ColumnType::Timestamp:
            return convert(batch, column, validity, [&](std::string_view cell, std::uint64_t i) {
                std::int64_t& out = static_cast<std::int64_t*>(values)[i];
                std::int32_t days = 0;
                bool zoned = false;
                if (parse_date32(cell, days)) {
                    out = days * kMicrosPerDay;
                    return true;
                }
                return parse_timestamp(cell, out, zoned) && !zoned;
            });
        case ColumnType::TimestampUtc:
            return convert(batch, column, validity, [&](std::string_view cell, std::uint64_t i) {
                bool zoned = false;
                return parse_timestamp(cell, static_cast<std::int64_t*>(values)[i], zoned) && zoned;
            });
        case ColumnType::String: break;
    }
    return Converted{false, 0, batch.begin};
}

}  // namespace corvel::infer
