#include "detect.hpp"

#include "scan.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>
#include <utility>

namespace corvel {
namespace {

// ---- characters -----------------------------------------------------------

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_alpha(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
// A word character; bytes of non-ASCII characters count as letters.
bool is_word(char c) noexcept {
    return is_digit(c) || is_alpha(c) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
char lower(char c) noexcept { return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_line_end(char c) noexcept { return c == '\r' || c == '\n'; }
// Characters that split rows in some dialect: at a cell's edge or inside it
// they say a candidate split the row badly, or not at all.
bool is_delimiter_like(char c) noexcept { return c == ',' || c == ';' || c == '|' || c == ':' || c == '\t'; }

std::string_view strip(std::string_view s) noexcept {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool equals_lower(std::string_view s, std::string_view lowered) noexcept {
    if (s.size() != lowered.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (lower(s[i]) != lowered[i]) return false;
    return true;
}

bool starts_lower(std::string_view s, std::string_view lowered) noexcept {
    return s.size() >= lowered.size() && equals_lower(s.substr(0, lowered.size()), lowered);
}

template <class Pred>
std::size_t run_of(std::string_view s, std::size_t i, Pred pred) noexcept {
    while (i < s.size() && pred(s[i])) ++i;
    return i;
}

std::size_t digits(std::string_view s, std::size_t i) noexcept { return run_of(s, i, is_digit); }

bool all_digits(std::string_view s) noexcept { return !s.empty() && digits(s, 0) == s.size(); }

// Code points in UTF-8 text.
std::size_t chars(std::string_view s) noexcept {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// ---- cell types -------------------------------------------------------------

// A whole number or decimal, with an optional sign, digits grouped by
// thousands (1,234 / 1.234 / 1'234 / 1 234) and a decimal part after . or ,.
bool is_number(std::string_view t) noexcept {
    std::size_t i = 0;
    const std::size_t n = t.size();
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    if (i < n && t[i] == '.') return all_digits(t.substr(i + 1));
    const std::size_t r = digits(t, i);
    if (r == i) return false;
    const auto fraction_ends = [&](std::size_t j) {
        return j == n || ((t[j] == '.' || t[j] == ',') && all_digits(t.substr(j + 1)));
    };
    if (fraction_ends(r)) return true;
    if (r - i > 3) return false;
    // Groups of three; any group boundary may end the number or start its fraction.
    std::size_t j = r;
    while (j + 3 < n && (t[j] == ',' || t[j] == '.' || t[j] == '\'' || t[j] == ' ') && digits(t, j + 1) >= j + 4) {
        j += 4;
        if (fraction_ends(j)) return true;
    }
    return false;
}

constexpr std::string_view kCurrencySymbols[] = {"\xE2\x82\xAC", "$", "\xC2\xA3", "\xC2\xA5"};  // € $ £ ¥
constexpr std::string_view kCurrencyCodes[] = {"EUR", "USD", "GBP"};

std::string_view drop_one_space(std::string_view s, bool front) noexcept {
    if (!s.empty() && is_space(front ? s.front() : s.back())) front ? s.remove_prefix(1) : s.remove_suffix(1);
    return s;
}

bool is_money(std::string_view t) noexcept {
    for (const std::string_view sym : kCurrencySymbols) {
        if (t.starts_with(sym) && is_number(drop_one_space(t.substr(sym.size()), true))) return true;
        if (t.ends_with(sym) && is_number(drop_one_space(t.substr(0, t.size() - sym.size()), false))) return true;
    }
    for (const std::string_view code : kCurrencyCodes)
        if (t.ends_with(code) && is_number(drop_one_space(t.substr(0, t.size() - code.size()), false))) return true;
    return false;
}

bool is_percent(std::string_view t) noexcept {
    return t.ends_with('%') && is_number(drop_one_space(t.substr(0, t.size() - 1), false));
}

// A run of `pred` characters from i whose length is in [lo, hi]; its end, or npos.
template <class Pred>
std::size_t span_of(std::string_view s, std::size_t i, std::size_t lo, std::size_t hi, Pred pred) noexcept {
    if (i == std::string_view::npos) return i;
    const std::size_t j = run_of(s, i, pred);
    return j - i >= lo && j - i <= hi ? j : std::string_view::npos;
}

std::size_t one_of(std::string_view s, std::size_t i, std::string_view set) noexcept {
    if (i == std::string_view::npos || i >= s.size() || set.find(s[i]) == std::string_view::npos)
        return std::string_view::npos;
    return i + 1;
}

std::size_t maybe(std::string_view s, std::size_t i, char c) noexcept {
    return i != std::string_view::npos && i < s.size() && s[i] == c ? i + 1 : i;
}

constexpr std::size_t npos = std::string_view::npos;

bool is_date(std::string_view t) noexcept {
    const auto ends = [&](std::size_t i) { return i == t.size(); };
    // 2024-01-31, 2024/1/31
    if (ends(span_of(t, one_of(t, span_of(t, one_of(t, span_of(t, 0, 4, 4, is_digit), "-/."), 1, 2, is_digit), "-/."), 1, 2, is_digit)))
        return true;
    // 31.01.2024, 1/31/24
    if (ends(span_of(t, one_of(t, span_of(t, one_of(t, span_of(t, 0, 1, 2, is_digit), "-/."), 1, 2, is_digit), "-/."), 2, 4, is_digit)))
        return true;
    // 31 Jan 2024, 31 January. 24
    if (ends(span_of(t, one_of(t, maybe(t, span_of(t, one_of(t, span_of(t, 0, 1, 2, is_digit), " "), 3, 9, is_alpha), '.'), " "), 2, 4, is_digit)))
        return true;
    // Jan 31, 2024
    const std::size_t month = maybe(t, span_of(t, 0, 3, 9, is_alpha), '.');
    const std::size_t day = maybe(t, span_of(t, one_of(t, month, " "), 1, 2, is_digit), ',');
    return ends(span_of(t, one_of(t, day, " "), 4, 4, is_digit));
}

// h:mm, hh:mm:ss, hh:mm:ss.fff; its end, or npos.
std::size_t clock_time(std::string_view t, std::size_t i) noexcept {
    i = span_of(t, one_of(t, span_of(t, i, 1, 2, is_digit), ":"), 2, 2, is_digit);
    if (i == npos || i >= t.size() || t[i] != ':') return i;
    i = span_of(t, i + 1, 2, 2, is_digit);
    if (i == npos || i >= t.size() || t[i] != '.') return i;
    return span_of(t, i + 1, 1, 64, is_digit);
}

bool is_time(std::string_view t) noexcept {
    std::size_t i = clock_time(t, 0);
    if (i == npos || i == t.size()) return i == t.size();
    i = maybe(t, i, ' ');
    return i + 2 == t.size() && std::string_view("AaPp").find(t[i]) != npos && lower(t[i + 1]) == 'm';
}

bool is_datetime(std::string_view t) noexcept {
    std::size_t i = span_of(t, one_of(t, span_of(t, one_of(t, span_of(t, 0, 4, 4, is_digit), "-"), 1, 2, is_digit), "-"), 1, 2, is_digit);
    i = clock_time(t, one_of(t, i, "T "));
    if (i == npos || i == t.size()) return i == t.size();
    if (t[i] == 'Z') return i + 1 == t.size();
    i = span_of(t, one_of(t, i, "+-"), 2, 2, is_digit);
    return span_of(t, maybe(t, i, ':'), 2, 2, is_digit) == t.size();
}

// Word lists as views, not C strings that would be measured on every call.
constexpr std::string_view kBools[] = {"true", "false", "yes", "no", "y", "n", "t", "f"};
constexpr std::string_view kNas[] = {"na", "n/a", "null", "none", "-", "--", "nan"};
constexpr std::string_view kTotals[] = {"total", "totals", "subtotal", "sum",       "count", "end of",
                                        "row",   "rows",   "printed",  "generated", "page"};

bool is_bool(std::string_view t) noexcept {
    for (const std::string_view w : kBools)
        if (equals_lower(t, w)) return true;
    return false;
}

bool is_na(std::string_view t) noexcept {
    for (const std::string_view w : kNas)
        if (equals_lower(t, w)) return true;
    return false;
}

bool is_email(std::string_view t) noexcept {
    const std::size_t at = t.find('@');
    if (at == 0 || at == npos) return false;
    const auto local = [](char c) { return is_word(c) || c == '.' || c == '+' || c == '-'; };
    if (run_of(t, 0, local) != at) return false;
    std::size_t i = at + 1;
    std::size_t parts = 0;
    const auto label = [](char c) { return is_word(c) || c == '-'; };
    for (;;) {
        const std::size_t j = run_of(t, i, label);
        if (j == i) return false;
        ++parts;
        if (j == t.size()) return parts >= 2;
        if (t[j] != '.') return false;
        i = j + 1;
    }
}

bool is_url(std::string_view t) noexcept {
    std::size_t i = 0;
    if (starts_lower(t, "http://")) i = 7;
    else if (starts_lower(t, "https://")) i = 8;
    else if (starts_lower(t, "www.")) i = 4;
    else return false;
    return i < t.size() && std::none_of(t.begin() + static_cast<std::ptrdiff_t>(i), t.end(), is_space);
}

bool is_phone(std::string_view t) noexcept {
    if (t.starts_with('+')) t.remove_prefix(1);
    if (t.size() < 8 || !is_digit(t.front()) || !is_digit(t.back())) return false;
    return std::all_of(t.begin(), t.end(), [](char c) { return is_digit(c) || c == ' ' || c == '(' || c == ')' || c == '-'; });
}

// AB-123, X_0042, ISO-9001-X, 4F2-A9
bool is_code(std::string_view t) noexcept {
    std::size_t i = span_of(t, 0, 1, 4, is_upper);
    if (i != npos) {
        if (i < t.size() && (t[i] == '-' || t[i] == '_')) ++i;
        if (span_of(t, i, 2, t.size(), is_digit) == t.size()) return true;
    }
    const auto part = [](char c) { return is_upper(c) || is_digit(c); };
    const std::size_t head = run_of(t, 0, part);
    return head >= 2 && head + 1 < t.size() && t[head] == '-' &&
           run_of(t, head + 1, [&](char c) { return part(c) || c == '-'; }) == t.size();
}

// Number, date, time, ... or text; plausibility cares only whether a cell is typed.
bool is_typed(CellType t) noexcept { return t != CellType::Text; }

// How plausible a cell is as a value of the table that a candidate dialect
// made: 1 for a typed value or an empty cell, 0.7 for clean text, 0.5 for
// text with a quote at an edge, 0 for text that shows a bad split.
double plausibility(std::string_view cell, char delimiter) noexcept {
    if (cell.empty()) return 1.0;
    if (strip(cell).size() != cell.size()) return 0.0;
    if (is_typed(cell_type(cell))) return 1.0;
    if (is_delimiter_like(cell.front()) || is_delimiter_like(cell.back())) return 0.0;
    for (const char c : cell)
        if (c != delimiter && is_delimiter_like(c)) return 0.0;  // perhaps a row the candidate did not split
    if (cell.front() == '"' || cell.front() == '\'' || cell.back() == '"' || cell.back() == '\'') return 0.5;
    return 0.7;
}

// ---- tokenizer ----------------------------------------------------------------

using Row = std::vector<std::string>;  // no fields: a blank line

// Rows of a text in one dialect, never failing. A quote opens a quoted field
// only at the field's start; inside, it closes the field only when blanks and
// then a delimiter or a line end follow, and is neither doubled nor escaped;
// any other quote is kept as text. A field whose quote never closes is read
// as unquoted text.
class Tokenizer {
public:
    Tokenizer(std::string_view text, const DetectedDialect& d) : t_(text), d_(static_cast<char>(d.delimiter)), skip_(d.skip_initial_space) {
        if (d.quote) {
            q_ = static_cast<char>(*d.quote);
            e_ = d.escape ? static_cast<char>(*d.escape) : '\0';
            index_closers();
        }
    }

    bool done() const noexcept { return pos_ >= t_.size(); }

    // The next row into `row`; false at the end of the text.
    bool next(Row& row) {
        row.clear();
        if (done()) return false;
        if (is_line_end(t_[pos_])) {
            end_line();
            return true;
        }
        for (;;) {
            if (skip_) skip_blanks();
            row.push_back(field());
            if (pos_ < t_.size() && t_[pos_] == d_) {
                ++pos_;
                continue;
            }
            break;
        }
        end_line();
        return true;
    }

private:
    bool is_blank(char c) const noexcept { return (c == ' ' || c == '\t') && c != d_; }
    void skip_blanks() noexcept { pos_ = run_of(t_, pos_, [this](char c) { return is_blank(c); }); }

    void end_line() noexcept {
        if (pos_ >= t_.size()) return;
        pos_ += t_.compare(pos_, 2, "\r\n") == 0 ? 2 : 1;
    }

    // Whether the quote at j closes a field: blanks, then a delimiter, a line end or the end.
    bool closes_at(std::size_t j) const noexcept {
        const std::size_t after = run_of(t_, j + 1, [this](char c) { return is_blank(c); });
        return after >= t_.size() || is_line_end(t_[after]) || t_[after] == d_;
    }

    // closer_[i]: the first quote at or after i that closes a field whose
    // scan reaches it from a position i where no run of quotes (or, with an
    // escape, of escapes) is cut in two. A scan then never walks a text
    // twice, which keeps tokenizing linear whatever the quotes.
    void index_closers() {
        const std::size_t n = t_.size();
        closer_.assign(n + 1, kNone);
        std::uint32_t next = kNone;
        std::size_t i = n;
        while (i > 0) {
            --i;
            if (t_[i] == q_ && (i == 0 || t_[i - 1] != q_ || e_)) {
                if (e_) {
                    // Unescaped when an even run of escapes stands before it.
                    std::size_t k = i;
                    while (k > 0 && t_[k - 1] == e_) --k;
                    if ((i - k) % 2 == 0 && closes_at(i)) next = static_cast<std::uint32_t>(i);
                } else {
                    const std::size_t end = run_of(t_, i, [this](char c) { return c == q_; });
                    // Pairs are doubled quotes; the odd one out may close.
                    if ((end - i) % 2 == 1 && closes_at(end - 1)) next = static_cast<std::uint32_t>(end - 1);
                }
            }
            closer_[i] = next;
        }
        closer_[n] = kNone;
    }

    // The quote closing a field opened just before `from`, or kNone.
    std::uint32_t closer_after(std::size_t from) const noexcept {
        if (from >= t_.size()) return kNone;
        if (!e_ && t_[from] == q_) {
            // A run right after the opening quote is cut by it: read it here.
            const std::size_t end = run_of(t_, from, [this](char c) { return c == q_; });
            if ((end - from) % 2 == 1 && closes_at(end - 1)) return static_cast<std::uint32_t>(end - 1);
            return closer_[end];
        }
        return closer_[from];
    }

    std::string field() {
        const std::size_t n = t_.size();
        if (q_ && pos_ < n && t_[pos_] == q_) {
            const std::uint32_t close = closer_after(pos_ + 1);
            if (close != kNone) return quoted(pos_ + 1, close);
        }
        const std::size_t start = pos_;
        pos_ = scan::find_any(reinterpret_cast<const std::uint8_t*>(t_.data()), n, pos_, d_, '\r', '\n');
        return std::string(t_.substr(start, pos_ - start));
    }

    std::string quoted(std::size_t from, std::size_t close) {
        std::string value;
        value.reserve(close - from);
        for (std::size_t i = from; i < close; ++i) {
            if (e_ && t_[i] == e_ && i + 1 < close) {
                value.push_back(t_[++i]);
            } else if (!e_ && t_[i] == q_ && i + 1 < close && t_[i + 1] == q_) {
                value.push_back(q_);
                ++i;
            } else {
                value.push_back(t_[i]);
            }
        }
        pos_ = close + 1;
        skip_blanks();
        return value;
    }

    static constexpr std::uint32_t kNone = static_cast<std::uint32_t>(-1);
    std::string_view t_;
    char d_;
    bool skip_;
    char q_ = '\0';
    char e_ = '\0';
    std::size_t pos_ = 0;
    std::vector<std::uint32_t> closer_;  // positions; samples are below 4 GiB (kMaxSample)
};

template <class Cells>
std::size_t count_filled(const Cells& row) noexcept {
    return static_cast<std::size_t>(
        std::count_if(row.begin(), row.end(), [](const auto& c) { return !strip(std::string_view(c)).empty(); }));
}

// A row of no fields, or of one blank field.
bool is_blank_row(const Row& row) noexcept { return row.empty() || (row.size() == 1 && strip(row[0]).empty()); }

// ---- dialect --------------------------------------------------------------------

// How many fields open and close with `quote` at field boundaries. Only the
// quotes are visited: each scan stops at the first quote that is neither
// doubled, escaped nor closing, and the next starts after it, so the text is
// walked once.
std::size_t quote_evidence(std::string_view t, char d, char q) noexcept {
    std::size_t count = 0;
    const std::size_t n = t.size();
    const auto blank = [d](char c) { return (c == ' ' || c == '\t') && c != d; };
    std::size_t from = 0;  // what scans before took is not looked at again
    for (std::size_t j = t.find(q); j != npos; j = t.find(q, from)) {
        std::size_t b = j;
        while (b > from && blank(t[b - 1])) --b;
        // A field's start: the text's, a line's, or just after a delimiter.
        const bool opens = b == 0 || (b > from && (t[b - 1] == d || is_line_end(t[b - 1]))) ||
                           (b == from && is_line_end(t[b - 1]));
        if (!opens) {
            from = j + 1;
            continue;
        }
        std::size_t k = j + 1;
        for (; k < n; ++k) {
            if (t[k] == '\\') {
                ++k;
            } else if (t[k] == q) {
                if (k + 1 < n && t[k + 1] == q) {
                    ++k;
                    continue;
                }
                break;
            }
        }
        if (k >= n) break;
        const std::size_t after = run_of(t, k + 1, blank);
        if (after >= n || is_line_end(t[after]) || t[after] == d) {
            ++count;
            from = after;
        } else {
            from = k;  // a stray quote; it may open a field itself
        }
    }
    return count;
}

std::vector<Row> first_rows(std::string_view text, const DetectedDialect& d, std::size_t limit) {
    Tokenizer tok(text, d);
    std::vector<Row> rows;
    Row row;
    while (rows.size() < limit && tok.next(row)) {
        const std::size_t width = row.size();
        rows.push_back(std::move(row));
        // Rows are mostly as wide as the last: room for one spares growing each.
        row = Row();
        row.reserve(width);
    }
    return rows;
}

// Whether most fields after a row's first start with a blank: the delimiter
// is then followed by blanks (", ").
bool blanks_after(std::string_view text, DetectedDialect d) {
    d.skip_initial_space = false;
    std::size_t later = 0, blank = 0;
    for (const Row& row : first_rows(text, d, DETECT_SCORE_ROWS)) {
        for (std::size_t i = 1; i < row.size(); ++i) {
            if (row[i].empty()) continue;
            ++later;
            if (row[i][0] == ' ' || row[i][0] == '\t') ++blank;
        }
    }
    return later > 0 && 2 * blank > later;
}

// The start of `text` up to the end of its line `lines`: enough for the
// first rows that score a candidate, so that scoring costs the same on any
// sample.
std::string_view first_lines(std::string_view text, std::size_t lines) noexcept {
    std::size_t at = 0;
    for (std::size_t k = 0; k < lines; ++k) {
        const std::size_t nl = text.find_first_of("\r\n", at);
        if (nl == npos) return text;
        at = text.compare(nl, 2, "\r\n") == 0 ? nl + 2 : nl + 1;
    }
    return text.substr(0, at);
}

// `head` is where the candidates' rows are tokenized; quotes are counted in all of `text`.
std::vector<DetectedDialect> candidates(std::string_view text, std::string_view head) {
    std::vector<DetectedDialect> out;
    for (const std::uint8_t d : DETECT_DELIMITERS) {
        if (text.find(static_cast<char>(d)) == npos) continue;
        DetectedDialect c;
        c.delimiter = d;
        c.quote.reset();
        std::size_t best = 0;
        for (const std::uint8_t q : DETECT_QUOTES) {
            if (text.find(static_cast<char>(q)) == npos) continue;
            const std::size_t e = quote_evidence(text, static_cast<char>(d), static_cast<char>(q));
            if (e > best) {
                best = e;
                c.quote = q;
            }
        }
        if (c.quote) {
            const char escaped[] = {static_cast<char>(DETECT_ESCAPE), static_cast<char>(*c.quote)};
            if (text.find(std::string_view(escaped, 2)) != npos) c.escape = DETECT_ESCAPE;
        }
        c.skip_initial_space = d != ' ' && blanks_after(head, c);
        out.push_back(c);
    }
    return out;
}

// The most frequent width of two or more among `rows`, the wider on ties; 0 when none.
template <class Rows>
std::size_t dominant_width(const Rows& rows, std::size_t* count = nullptr) {
    std::vector<std::size_t> counts;
    for (const auto& row : rows) {
        const std::size_t w = row.size();
        if (w < 2) continue;
        if (counts.size() <= w) counts.resize(w + 1);
        ++counts[w];
    }
    std::size_t best = 0;
    for (std::size_t w = 2; w < counts.size(); ++w)
        if (counts[w] > 0 && counts[w] >= counts[best]) best = w;
    if (count) *count = best ? counts[best] : 0;
    return best;
}

// Consistency times plausibility of the rows a candidate made.
double score_rows(const std::vector<Row>& all, char delimiter) {
    std::vector<const Row*> rows;
    for (const Row& r : all)
        if (!is_blank_row(r)) rows.push_back(&r);
    std::vector<std::size_t> counts;
    std::size_t cells = 0;
    double plaus = 0.0;
    for (const Row* r : rows) {
        if (counts.size() <= r->size()) counts.resize(r->size() + 1);
        ++counts[r->size()];
        for (const std::string& c : *r) plaus += plausibility(c, delimiter);
        cells += r->size();
    }
    std::size_t best = 0;
    for (std::size_t w = 2; w < counts.size(); ++w)
        if (counts[w] > 0 && (best == 0 || counts[w] >= counts[best])) best = w;
    if (best == 0 || cells == 0) return 0.0;
    const double consistency = static_cast<double>(counts[best]) / static_cast<double>(rows.size());
    return consistency * plaus / static_cast<double>(cells);
}

// ---- table shape ------------------------------------------------------------------

using Block = std::vector<const Row*>;  // the non-blank rows of one table

// Splits rows (blank ones included) into tables: a blank gap followed by two
// rows of one new width starts a new one. A table's width is settled by its
// first 40 rows.
std::vector<Block> blocks(const std::vector<Row>& rows) {
    constexpr std::size_t kSettle = 40;
    std::vector<Block> out;
    Block cur;
    std::vector<std::size_t> counts;  // widths of cur's first rows
    std::size_t width = 0;
    bool gap = false;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const Row& f = rows[k];
        if (is_blank_row(f)) {
            gap = true;
            continue;
        }
        if (gap && !cur.empty() && width && f.size() != width && f.size() >= 2) {
            std::size_t m = k + 1;
            while (m < rows.size() && is_blank_row(rows[m])) ++m;
            if (m < rows.size() && rows[m].size() == f.size()) {
                out.push_back(std::move(cur));
                cur.clear();
                counts.clear();
                width = 0;
            }
        }
        gap = false;
        cur.push_back(&f);
        if (cur.size() <= kSettle && f.size() >= 2) {
            if (counts.size() <= f.size()) counts.resize(f.size() + 1);
            ++counts[f.size()];
            for (std::size_t w = 2; w < counts.size(); ++w)
                if (counts[w] > 0 && (width == 0 || counts[w] > counts[width] || (counts[w] == counts[width] && w > width)))
                    width = w;
        }
    }
    if (!cur.empty()) out.push_back(std::move(cur));
    return out;
}

struct Rowsv {  // rows of a block as seen through pointers
    const Block& b;
    std::size_t from, to;
    struct It {
        const Row* const* p;
        const Row& operator*() const { return **p; }
        It& operator++() { ++p; return *this; }
        bool operator!=(const It& o) const { return p != o.p; }
    };
    It begin() const { return {b.data() + from}; }
    It end() const { return {b.data() + to}; }
};

Rowsv rows_of(const Block& b, std::size_t from, std::size_t to) {
    to = std::min(to, b.size());
    return {b, std::min(from, to), to};
}

// The dominant type of each column among `body` (Text when no type holds 70%
// of its filled cells, or fewer than two are filled).
std::vector<CellType> column_types(Rowsv body, std::size_t width) {
    std::vector<CellType> out(width, CellType::Text);
    constexpr std::size_t kTypes = static_cast<std::size_t>(CellType::Text) + 1;
    for (std::size_t j = 0; j < width; ++j) {
        std::array<std::size_t, kTypes> counts{};
        std::array<std::size_t, kTypes> first{};  // order of first sight, for ties
        std::size_t n = 0, seen = 0;
        for (const Row& f : body) {
            if (j >= f.size() || strip(f[j]).empty()) continue;
            const auto t = static_cast<std::size_t>(cell_type(f[j]));
            if (counts[t]++ == 0) first[t] = seen++;
            ++n;
        }
        std::size_t best = kTypes;
        for (std::size_t t = 0; t < kTypes; ++t)
            if (counts[t] && (best == kTypes || counts[t] > counts[best] || (counts[t] == counts[best] && first[t] < first[best])))
                best = t;
        if (best == kTypes || n < 2) continue;
        const auto type = static_cast<CellType>(best);
        if (type != CellType::Text && 10 * counts[best] >= 7 * n) out[j] = type;
    }
    return out;
}

bool fits(std::string_view cell, CellType t) noexcept { return strip(cell).empty() || cell_type(cell) == t; }

// A first row of distinct, non-empty, short labels that never recur below
// and are no longer than the cells below.
bool labels_like(const Row& first, Rowsv body) {
    std::unordered_set<std::string_view> labels;
    std::size_t total = 0;
    for (const std::string& c : first) {
        const std::string_view s = strip(c);
        if (s.empty() || all_digits(s) || chars(s) > 40 || !labels.insert(s).second) return false;
        total += chars(s);
    }
    std::size_t body_chars = 0, body_cells = 0;
    for (const Row& f : body) {
        for (const std::string& c : f) {
            const std::string_view s = strip(c);
            if (labels.contains(s)) return false;
            if (s.empty()) continue;
            body_chars += chars(s);
            ++body_cells;
        }
    }
    const double mean = body_cells ? static_cast<double>(body_chars) / static_cast<double>(body_cells) : 0.0;
    return static_cast<double>(total) / static_cast<double>(first.size()) <= std::max(mean, 8.0) * 1.2;
}

// How many of the table's first rows are header rows: 3, 2 or 1 rows of the
// table's width, none empty, whose cells in the typed columns below are all
// text or empty (at least one filled); without typed columns, one row of
// labels.
std::size_t header_rows(const Block& table, std::size_t from, std::size_t width) {
    constexpr std::size_t kBody = 60;
    for (std::size_t n = DETECT_MAX_HEADER_ROWS; n >= 1; --n) {
        const Rowsv head = rows_of(table, from, from + n);
        const Rowsv body = rows_of(table, from + n, from + n + kBody);
        if (body.from == body.to || head.to - head.from != n) continue;
        bool shaped = true;
        for (const Row& f : head) shaped = shaped && f.size() == width && count_filled(f) > 0;
        if (!shaped) continue;
        if (n > 1) {
            // Several rows only when one of them is a full row of labels
            // (partly filled rows are groups or units).
            bool full = false;
            for (const Row& f : head) full = full || count_filled(f) == width;
            if (!full) continue;
        }
        const std::vector<CellType> types = column_types(body, width);
        bool typed = false, filled = false, fit = false;
        for (std::size_t j = 0; j < width; ++j) {
            if (types[j] == CellType::Text) continue;
            typed = true;
            for (const Row& f : head) {
                if (strip(f[j]).empty()) continue;
                filled = true;
                fit = fit || fits(f[j], types[j]);
            }
        }
        if (!typed) {
            if (n == 1 && labels_like(*table[from], body)) return 1;
            continue;
        }
        if (filled && !fit) return n;
    }
    return 0;
}

// Non-blank rows at the top of the block that are not the table.
std::size_t preamble_rows(const Block& block, std::size_t width) {
    std::size_t k = 0;
    while (k + 1 < block.size()) {
        const Row& f = *block[k];
        if (f.size() == width && (count_filled(f) > 1 || width == 1)) break;
        ++k;
    }
    return k;
}

template <class Cells>
bool totals_like(const Cells& row) noexcept;

template <class Cells>
bool footer_like(const Cells& f, std::size_t width, std::span<const CellType> types, char delimiter) noexcept;

std::vector<std::string_view> views(const Row& r) { return {r.begin(), r.end()}; }

// The most of a sample that is looked at: positions in it fit 32 bits.
constexpr std::size_t kMaxSample = std::size_t{1} << 31;

Detection detect_in(std::string_view text, bool complete) {
    if (text.size() > kMaxSample) {
        text = text.substr(0, kMaxSample);
        complete = false;
    }
    Detection out;
    double best = -1.0;
    // Quoted fields may span lines: twice the lines leaves room for them.
    const std::string_view head = first_lines(text, 2 * DETECT_SCORE_ROWS);
    for (const DetectedDialect& c : candidates(text, head)) {
        const double s = score_rows(first_rows(head, c, DETECT_SCORE_ROWS), static_cast<char>(c.delimiter));
        if (s > best + 1e-9) {
            best = s;
            out.dialect = c;
        }
    }
    out.confidence = std::max(best, 0.0);

    std::vector<Row> rows = first_rows(text, out.dialect, static_cast<std::size_t>(-1));
    // A cut last line is not a row.
    if (!complete && rows.size() > 1 && !text.empty() && !is_line_end(text.back())) rows.pop_back();
    const std::vector<Block> bl = blocks(rows);
    if (bl.empty()) return out;

    std::size_t main = bl.size();
    std::size_t width = 0;
    for (std::size_t i = 0; i < bl.size() && main == bl.size(); ++i) {
        std::size_t count = 0;
        const std::size_t w = dominant_width(rows_of(bl[i], 0, bl[i].size()), &count);
        if (w && count >= 2) {
            main = i;
            width = w;
        }
    }
    if (main == bl.size()) {
        main = 0;
        for (const Row* r : bl[0]) width = std::max(width, r->size());
    }
    std::size_t before = 0;
    for (std::size_t i = 0; i < main; ++i) before += bl[i].size();

    const Block& block = bl[main];
    const std::size_t pre = preamble_rows(block, width);
    out.width = width;
    out.preamble_rows = before + pre;
    out.header_rows = header_rows(block, pre, width);
    out.table_rows = before + block.size();
    out.tables = bl.size() - main;

    const std::size_t body = pre + out.header_rows;
    constexpr std::size_t kTypedRows = 200;
    out.column_types = column_types(rows_of(block, body, body + kTypedRows), width);
    // The table's end is known when the sample holds it: the input's end, or a later table.
    if (complete || main + 1 < bl.size()) {
        const std::size_t window = std::min(DETECT_FOOTER_WINDOW, block.size() - body);
        for (std::size_t k = 0; k < window && out.footer_rows < DETECT_MAX_FOOTER_ROWS; ++k) {
            const std::vector<std::string_view> f = views(*block[block.size() - 1 - k]);
            if (!footer_like(f, width, out.column_types, static_cast<char>(out.dialect.delimiter))) break;
            ++out.footer_rows;
        }
    }
    return out;
}

// ---- row predicates ------------------------------------------------------------------

template <class Cells>
std::string_view first_filled(const Cells& row) noexcept {
    for (const auto& c : row) {
        const std::string_view s = strip(std::string_view(c));
        if (!s.empty()) return s;
    }
    return {};
}

// A word at the start of `s`, ending at a non-letter (or the end).
bool opens_with_word(std::string_view s, std::string_view word) noexcept {
    return starts_lower(s, word) && (s.size() == word.size() || !is_alpha(s[word.size()]));
}

template <class Cells>
bool totals_like(const Cells& row) noexcept {
    std::string_view s = first_filled(row);
    if (opens_with_word(s, "grand")) s = strip(s.substr(5));
    for (const std::string_view w : kTotals)
        if (opens_with_word(s, w)) return true;
    // "Totals:", "TOTAL EUR" and the like open with "total" and go on.
    if (starts_lower(s, "total") || starts_lower(s, "subtotal")) return true;
    // "1200 rows"
    const std::size_t d = digits(s, 0);
    if (d > 0 && d < s.size() && is_space(s[d])) return opens_with_word(strip(s.substr(d)), "row") || opens_with_word(strip(s.substr(d)), "rows");
    return false;
}

template <class Cells>
bool unsplit(const Cells& row, char delimiter) noexcept {
    for (const auto& c : row)
        for (const char ch : std::string_view(c))
            if (ch != delimiter && is_delimiter_like(ch)) return true;
    return false;
}

// Whether at least half of the row's filled cells in typed columns fit their column.
template <class Cells>
bool fits_row(const Cells& f, std::span<const CellType> types) noexcept {
    std::size_t typed = 0, fit = 0;
    for (std::size_t j = 0; j < f.size() && j < types.size(); ++j) {
        if (types[j] == CellType::Text || strip(std::string_view(f[j])).empty()) continue;
        ++typed;
        if (fits(f[j], types[j])) ++fit;
    }
    return typed > 0 && 2 * fit >= typed;
}

template <class Cells>
bool footer_like(const Cells& f, std::size_t width, std::span<const CellType> types, char delimiter) noexcept {
    if (totals_like(f)) return true;
    return f.size() != width && count_filled(f) <= 2 && !fits_row(f, types) && !unsplit(f, delimiter);
}

}  // namespace

CellType cell_type(std::string_view cell) noexcept {
    const std::string_view s = strip(cell);
    if (s.empty()) return CellType::Empty;
    if (is_number(s) || is_money(s) || is_percent(s)) return CellType::Number;
    if (is_date(s)) return CellType::Date;
    if (is_time(s)) return CellType::Time;
    if (is_datetime(s)) return CellType::DateTime;
    if (is_bool(s)) return CellType::Bool;
    if (is_email(s)) return CellType::Email;
    if (is_url(s)) return CellType::Url;
    if (is_phone(s)) return CellType::Phone;
    if (is_code(s)) return CellType::Code;
    if (is_na(s)) return CellType::Na;
    return CellType::Text;
}

Result<Detection> detect(std::string_view sample, bool complete) noexcept {
    try {
        return detect_in(sample, complete);
    } catch (const std::bad_alloc&) {
        return SalvageError::out_of_memory();
    } catch (const std::length_error&) {
        return SalvageError::out_of_memory();
    }
}

std::size_t filled_cells(FieldSpan fields) noexcept { return count_filled(fields); }

bool looks_like_totals(FieldSpan fields) noexcept { return totals_like(fields); }

bool looks_like_header(FieldSpan fields) noexcept {
    if (fields.size() < 2) return false;
    try {
        std::unordered_set<std::string_view> seen;
        for (const std::string_view f : fields) {
            const std::string_view s = strip(f);
            if (s.empty() || chars(s) > 40 || cell_type(s) != CellType::Text || !seen.insert(s).second) return false;
        }
    } catch (const std::bad_alloc&) {
        return false;  // too wide to tell; a header is never that wide
    }
    return true;
}

bool looks_like_footer(FieldSpan fields, std::size_t width, std::span<const CellType> types,
                       std::uint8_t delimiter) noexcept {
    return footer_like(fields, width, types, static_cast<char>(delimiter));
}

bool starts_another_table(FieldSpan row, FieldSpan next, std::size_t width) noexcept {
    return row.size() >= 2 && row.size() != width && next.size() == row.size();
}

}  // namespace corvel
