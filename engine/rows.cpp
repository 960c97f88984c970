#include "rows.hpp"

#include "scan.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>

namespace corvel {

namespace {

// Length of the UTF-8 sequence at s[i], or of its maximal invalid subpart.
// `ok` tells which of the two it is. A lead byte with its valid continuation
// bytes forms one maximal subpart; the first byte that breaks the sequence is
// not part of it and is judged afresh.
std::size_t utf8_step(const unsigned char* s, std::size_t n, std::size_t i, bool& ok) noexcept {
    const unsigned c = s[i];
    if (c < 0x80) {
        ok = true;
        return 1;
    }
    std::size_t need;
    unsigned lo = 0x80;
    unsigned hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0) lo = 0xA0;       // overlong
        else if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0) lo = 0x90;       // overlong
        else if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
        ok = false;
        return 1;
    }
    std::size_t j = i + 1;
    for (std::size_t k = 0; k < need; ++k, ++j) {
        if (j >= n || s[j] < lo || s[j] > hi) {
            ok = false;
            return j - i;
        }
        lo = 0x80;
        hi = 0xBF;
    }
    ok = true;
    return need + 1;
}

// Index of the first byte of the first invalid sequence at or after `i`, or n.
std::size_t first_invalid(const unsigned char* s, std::size_t n, std::size_t i) noexcept {
    while (i < n) {
        i = scan::first_non_ascii(s, n, i);
        if (i >= n) break;
        bool ok;
        const std::size_t len = utf8_step(s, n, i, ok);
        if (!ok) return i;
        i += len;
    }
    return n;
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";

template <class String>
std::size_t repair_in_place(String& bytes, std::size_t from) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    const std::size_t bad = first_invalid(s, n, from);
    if (bad == n) return std::string::npos;

    String tail;
    tail.reserve(n - bad + 8);
    std::size_t i = bad;
    while (i < n) {
        // Copy the valid run up to the next invalid sequence in one piece.
        const std::size_t next = first_invalid(s, n, i);
        tail.append(bytes, i, next - i);
        i = next;
        if (i >= n) break;
        bool ok;
        i += utf8_step(s, n, i, ok);
        tail.append(kReplacement, 3);
    }
    bytes.resize(bad);
    bytes += tail;
    return bad;
}


}  // namespace

namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

std::uint64_t physical_bytes() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return kUnlimited;
    const auto p = static_cast<std::uint64_t>(pages);
    const auto s = static_cast<std::uint64_t>(page);
    if (p > kUnlimited / s) return kUnlimited;
    return p * s;
}

// The number in a small file such as memory.max, or kUnlimited for "max",
// a missing file or anything else.
std::uint64_t limit_in_file(const std::string& path) noexcept {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kUnlimited;
    char buf[32];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return kUnlimited;
    buf[n] = '\0';
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(buf, &end, 10);
    if (end == buf || errno != 0) return kUnlimited;
    return v;
}

// The tightest memory.max of this process's cgroup (v2) and its ancestors;
// the cgroup v1 memory controller's limit where that is what is mounted.
std::uint64_t cgroup_bytes() {
    std::uint64_t limit = limit_in_file("/sys/fs/cgroup/memory/memory.limit_in_bytes");
    const int fd = ::open("/proc/self/cgroup", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return limit;
    std::string text(4096, '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    if (n <= 0) return limit;
    text.resize(static_cast<std::size_t>(n));
    // The unified hierarchy's line is "0::<path>".
    const std::size_t at = text.starts_with("0::") ? 0 : text.find("\n0::");
    if (at == std::string::npos) return limit;
    const std::size_t from = text.find("::", at) + 2;
    std::string dir = text.substr(from, text.find('\n', from) - from);
    for (;;) {
        limit = std::min(limit, limit_in_file("/sys/fs/cgroup" + dir + "/memory.max"));
        const std::size_t slash = dir.rfind('/');
        if (slash == std::string::npos || dir.size() <= 1) break;
        dir.resize(slash == 0 ? 1 : slash);
    }
    return limit;
}

std::uint64_t address_space_bytes() noexcept {
    struct rlimit rl;
    if (::getrlimit(RLIMIT_AS, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return kUnlimited;
    return static_cast<std::uint64_t>(rl.rlim_cur);
}

}  // namespace

std::uint64_t available_memory() noexcept {
    // Read once per process: the cost is a few small files, and the figure
    // is a bound for refusing hopeless requests, not an exact budget.
    static const std::uint64_t bytes = [] {
        std::uint64_t b = std::min(physical_bytes(), address_space_bytes());
        try {
            b = std::min(b, cgroup_bytes());
        } catch (...) {
        }
        return b;
    }();
    return bytes;
}

bool is_valid_utf8(std::string_view s) noexcept {
    const auto* d = reinterpret_cast<const unsigned char*>(s.data());
    return first_invalid(d, s.size(), 0) == s.size();
}

bool is_ascii(std::string_view s) noexcept {
    return scan::first_non_ascii(reinterpret_cast<const unsigned char*>(s.data()), s.size(), 0) == s.size();
}

std::size_t repair_utf8(std::string& bytes, std::size_t from) { return repair_in_place(bytes, from); }

std::size_t repair_utf8(std::basic_string<char, std::char_traits<char>, BigAllocator<char>>& bytes,
                        std::size_t from) {
    return repair_in_place(bytes, from);
}

bool is_unicode_whitespace(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        bool ok;
        const std::size_t len = utf8_step(p, n, i, ok);
        if (!ok) return false;
        std::uint32_t cp;
        switch (len) {
        case 1: cp = p[i]; break;
        case 2: cp = (p[i] & 0x1Fu) << 6 | (p[i + 1] & 0x3Fu); break;
        case 3: cp = (p[i] & 0x0Fu) << 12 | (p[i + 1] & 0x3Fu) << 6 | (p[i + 2] & 0x3Fu); break;
        default: return false;  // nothing above U+FFFF is whitespace
        }
        const bool ws = (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
                        cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
                        cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
        if (!ws) return false;
        i += len;
    }
    return true;
}

std::string byte_as_utf8(std::uint8_t b) {
    if (b < 0x80) return std::string(1, static_cast<char>(b));
    std::string out(2, '\0');
    out[0] = static_cast<char>(0xC0 | (b >> 6));
    out[1] = static_cast<char>(0x80 | (b & 0x3F));
    return out;
}

std::uint64_t RowTable::text_bytes(std::uint64_t r) const noexcept {
    const RowSpan& span = rows_[r];
    return field_start(span.first + span.count) - field_start(span.first);
}

std::vector<std::string> RowTable::row(std::uint64_t r) const {
    std::vector<std::string> out;
    out.reserve(width(r));
    for (std::uint64_t f = 0; f < width(r); ++f) out.emplace_back(field(r, f));
    return out;
}

void RowTable::reserve(std::uint64_t text_bytes, std::uint64_t fields, std::uint64_t rows) {
    text_.reserve(text_bytes);
    ends_.reserve(fields);
    rows_.reserve(rows);
}

void RowTable::release() noexcept {
    Text().swap(text_);
    decltype(ends_)().swap(ends_);
    decltype(rows_)().swap(rows_);
    row_start_ = 0;
}

void RowTable::clear() noexcept {
    text_.clear();
    ends_.clear();
    rows_.clear();
    row_start_ = 0;
}

void RowTable::pop_row() noexcept {
    const RowSpan span = rows_.back();
    rows_.pop_back();
    ends_.resize(span.first);
    text_.resize(field_begin());
    row_start_ = span.first;
}

namespace {

// Calls f(i) for every byte of a line's [0, n) equal to `b`, in order. A
// line of 16 bytes or more reads its last bytes as the block that ends it,
// with the lanes already seen shifted out, rather than one by one.
template <class F>
[[gnu::always_inline]] inline void for_each_in_line(const std::uint8_t* d, std::size_t n, std::uint8_t b, F&& f) {
#if defined(__SSE2__)
    if (n >= 16) {
        const __m128i want = _mm_set1_epi8(static_cast<char>(b));
        const auto hits = [&](std::size_t at) {
            return static_cast<unsigned>(_mm_movemask_epi8(
                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at)), want)));
        };
        std::size_t i = 0;
        for (; i + 16 <= n; i += 16) {
            for (unsigned m = hits(i); m; m &= m - 1) f(i + static_cast<std::size_t>(__builtin_ctz(m)));
        }
        if (i < n) {
            // Lane k of the last block is byte n - 16 + k; those from i on are the last n - i.
            for (unsigned m = hits(n - 16) >> (16 - (n - i)); m; m &= m - 1)
                f(i + static_cast<std::size_t>(__builtin_ctz(m)));
        }
        return;
    }
#endif
    scan::for_each_byte(d, n, b, f);
}

// Inlined always: the row loops call it once per row.
template <class V>
[[gnu::always_inline]] inline void reserve_more(V& v, std::uint64_t extra) {
    const std::uint64_t need = v.size() + extra;
    if (need > v.capacity()) v.reserve(std::max<std::uint64_t>(need, 2 * v.capacity()));
}

}  // namespace

void RowTable::make_room(std::uint64_t fields) {
    reserve_more(ends_, fields);
    reserve_more(rows_, 1);
}

void RowTable::append_row_from(const RowTable& other, std::uint64_t r) {
    const RowSpan span = other.rows_[r];  // a copy: `other` may be this table
    const std::uint64_t src_begin = other.field_start(span.first);
    const std::uint64_t len = other.text_bytes(r);
    const std::uint64_t dst_begin = text_.size();
    // Reserve geometrically before touching anything, so that nothing below
    // can throw once text has been appended. An exact reserve here would
    // reallocate on every call and make quarantining every row quadratic.
    reserve_more(ends_, span.count);
    reserve_more(rows_, 1);
    text_.append(other.text_, src_begin, len);
    for (std::uint64_t f = 0; f < span.count; ++f)
        ends_.push_back(other.ends_[span.first + f] - src_begin + dst_begin);
    rows_.push_back(RowSpan{row_start_, span.count});
    row_start_ = ends_.size();
}

bool RowTable::finish_field() {
    // Most fields are short and ASCII: settle those here before paying for
    // the decoder, which then starts at the first byte that needs it.
    const auto* s = reinterpret_cast<const unsigned char*>(text_.data());
    const std::size_t i = scan::first_non_ascii(s, text_.size(), field_begin());
    const bool replaced = i != text_.size() && repair_utf8(text_, i) != std::string::npos;
    ends_.push_back(text_.size());
    return replaced;
}

void RowTable::drop_open_row() noexcept {
    text_.resize(field_start(row_start_));
    ends_.resize(row_start_);
}

bool RowTable::append_split_row(std::string_view line, std::uint8_t delimiter, bool valid_utf8) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(line.data());
    if (!valid_utf8) {
        bool replaced = false;
        std::size_t from = 0;
        scan::for_each_byte(d, line.size(), delimiter, [&](std::size_t i) {
            text_.append(line.substr(from, i - from));
            replaced |= finish_field();
            from = i + 1;
        });
        text_.append(line.substr(from));
        replaced |= finish_field();
        finish_row();
        return replaced;
    }
    // Room first, so that nothing can throw while the text is written: the
    // text with 16 bytes to spare, and every field's end.
    const std::size_t n = line.size();
    const std::size_t fields = scan::count_byte(d, 0, n, delimiter) + 1;
    make_room(fields);
    const std::size_t first = ends_.size();
    ends_.resize(first + fields);
    std::uint64_t* e = ends_.data() + first;
    const std::uint64_t base = text_.size();
    text_.resize_and_overwrite(base + n + 16, [&](char* p, std::size_t) noexcept {
        char* const start = p + base;
        char* w = start;
        std::size_t from = 0;
        // A field of up to 16 bytes is copied as one 16-byte block, far
        // cheaper than an exact copy of a few bytes; the next field writes
        // over what it spilled. Not for the line's last bytes, which may end
        // its buffer.
        const auto put = [&](std::size_t to) __attribute__((always_inline)) {
            const std::size_t length = to - from;
            if (length <= 16 && from + 16 <= n) {
                std::memcpy(w, d + from, 16);
            } else {
                std::memcpy(w, d + from, length);
            }
            w += length;
            *e++ = base + static_cast<std::uint64_t>(w - start);
        };
        for_each_in_line(d, n, delimiter, [&](std::size_t i) __attribute__((always_inline)) {
            put(i);
            from = i + 1;
        });
        put(n);
        return base + static_cast<std::size_t>(w - start);
    });
    finish_row();
    return false;
}

void RowTable::finish_row() {
    rows_.push_back(RowSpan{row_start_, ends_.size() - row_start_});
    row_start_ = ends_.size();
}

// Refuse up front: a failed attempt at a huge vector may take the machine
// into swap or be granted lazily and killed later. The budget is for the
// whole slot table, not one row alone, since every padded row adds to it;
// half of physical memory leaves room for the copy a reallocation makes.
std::uint64_t RowTable::max_slots() noexcept { return available_memory() / (2 * kFieldSlotBytes); }

bool RowTable::padding_fits(std::uint64_t extra) noexcept { return extra <= max_slots(); }

bool RowTable::pad_last_row(std::uint64_t width) {
    RowSpan& span = rows_.back();
    if (width <= span.count) return true;
    const std::uint64_t extra = width - span.count;
    const std::uint64_t budget = max_slots();
    if (extra > budget || ends_.size() > budget - extra) return false;
    ends_.resize(ends_.size() + extra, field_begin());
    span.count = width;
    row_start_ = ends_.size();
    return true;
}

void RowTable::merge_last_row(std::uint64_t keep, std::string_view separator) {
    RowSpan& span = rows_.back();
    const std::uint64_t first = span.first + keep - 1;  // the field that absorbs the rest
    const std::uint64_t last = span.first + span.count - 1;
    const std::uint64_t joins = last - first;
    const std::uint64_t sep = separator.size();
    const std::uint64_t old_end = ends_[last];
    const std::uint64_t new_end = old_end + joins * sep;

    // Separators are the only new bytes: grow once, then shift each field
    // right by the separators in front of it, last field first, so nothing is
    // overwritten before it has moved.
    text_.resize(new_end);
    char* t = text_.data();
    for (std::uint64_t f = last; f > first; --f) {
        const std::uint64_t begin = ends_[f - 1];
        const std::uint64_t shift = (f - first) * sep;
        std::memmove(t + begin + shift, t + begin, ends_[f] - begin);
        std::memcpy(t + begin + shift - sep, separator.data(), sep);
    }
    ends_.resize(first + 1);
    ends_[first] = new_end;
    span.count = keep;
    row_start_ = ends_.size();
}

std::uint64_t RowTable::allocated_bytes() const noexcept {
    return text_.capacity() + ends_.capacity() * sizeof(std::uint64_t) +
           rows_.capacity() * sizeof(RowSpan);
}

}  // namespace corvel
