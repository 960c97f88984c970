#include "parser.hpp"

#include "scan.hpp"

namespace corvel {

namespace {

constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kLF = 0x0A;

constexpr bool is_blank(std::uint8_t b) noexcept { return b == 0x20 || b == 0x09; }

std::uint64_t start_after_bom(std::string_view input) noexcept {
    return input.size() >= 3 && input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
}

}  // namespace

ResilientParser::ResilientParser(std::string_view input, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes) noexcept
    : input_(input),
      pos_(start_after_bom(input)),
      delimiter_(delimiter),
      quote_(quote_char),
      repair_(repair_quotes),
      plain_lines_(delimiter != quote_char && delimiter != kCR && delimiter != kLF &&
                   quote_char != kCR && quote_char != kLF),
      quoted_(delimiter, quote_char) {}

bool ResilientParser::take_plain_line(std::string_view& line) noexcept {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    std::uint64_t p = pos_;
    if (!plain_lines_ || p >= n) return false;
    const std::uint64_t e = scan::find_any3(d, n, p, quote_, kCR, kLF);
    if (e < n && d[e] == quote_) return false;
    line = input_.substr(p, e - p);
    pos_ = e < n ? past_break(e) : e;
    return true;
}

std::uint64_t ResilientParser::past_break(std::uint64_t p) noexcept {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    if (d[p] == kCR) ++p;
    if (p < n && d[p] == kLF) ++p;
    ++line_;
    return p;
}

bool ResilientParser::next_plain_line(PlainLine& out) {
    if (!trusted_utf8_) return false;
    if (!take_plain_line(out.text)) return take_quoted_line(out);
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::size_t from = static_cast<std::size_t>(out.text.data() - input_.data());
    out.fields = 1 + scan::count_byte(d, from, from + out.text.size(), delimiter_);
    out.quoted = false;
    return true;
}

// A row whose quotes are well-formed is written from the input too, each
// field as the writer would write it.
bool ResilientParser::take_quoted_line(PlainLine& out) {
    const std::uint64_t n = input_.size();
    if (!plain_lines_ || pos_ >= n) return false;
    const std::uint64_t e = quoted_.take_line(input_, pos_, quoted_line_, out.fields, line_);
    if (e == QuotedRows::kNotTaken) return false;
    pos_ = e < n ? past_break(e) : e;
    out.text = quoted_line_;
    out.quoted = true;
    return true;
}

void ResilientParser::append_line(const PlainLine& line, RowTable& out) {
    if (line.quoted) {
        quoted_.append_last(input_, out);
    } else {
        out.append_split_row(line.text, delimiter_, true);
    }
}

bool ResilientParser::next_row(RowTable& out) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    std::uint64_t p = pos_;
    if (p >= n) return false;

    const auto finish_field = [&] {
        if (trusted_utf8_) {
            out.finish_valid_field();
        } else {
            out.finish_field();
        }
    };
    const auto end_at_break = [&] {
        finish_field();
        out.finish_row();
        pos_ = past_break(p);
        return true;
    };

    // Most rows are a line without quotes: take the line whole and split it
    // at its delimiters, which is what the state machine below would do.
    if (std::string_view line; take_plain_line(line)) {
        out.append_split_row(line, delimiter_, trusted_utf8_);
        return true;
    }
    // Many rows quote their fields, and quote them well: those are cut
    // block-wise from bit masks, and the state machine below takes the rest.
    if (plain_lines_ && quoted_.worth_trying()) {
        if (const std::uint64_t e = quoted_.take(input_, p, out, trusted_utf8_, line_);
            e != QuotedRows::kNotTaken) {
            pos_ = e < n ? past_break(e) : e;
            return true;
        }
    }

    enum class State { FieldStart, Unquoted, Quoted, AfterQuote };
    State state = State::FieldStart;
    // Tests within each state run in a fixed order that matters when the
    // delimiter, the quote and the line-break bytes coincide.
    for (;;) {
        if (p >= n) {
            finish_field();
            out.finish_row();
            pos_ = p;
            return true;
        }
        const std::uint8_t b = d[p];
        switch (state) {
        case State::FieldStart:
            if (b == quote_) {
                ++p;
                state = State::Quoted;
            } else if (b == delimiter_) {
                finish_field();
                ++p;
            } else if (b == kCR || b == kLF) {
                return end_at_break();
            } else {
                state = State::Unquoted;  // b is copied by the Unquoted scan
            }
            break;

        case State::Unquoted: {
            const std::uint64_t e = scan::find_any3(d, n, p, delimiter_, kCR, kLF);
            out.append(input_.data() + p, e - p);
            p = e;
            if (p >= n) break;
            if (d[p] != delimiter_) return end_at_break();
            finish_field();
            ++p;
            state = State::FieldStart;
            break;
        }

        case State::Quoted: {
            // Bytes from `run` on are field text not yet copied: line feeds
            // and stray quotes stay in the run, so a field is copied in as
            // few pieces as it has doubled quotes.
            std::uint64_t run = p;
            for (;;) {
                const std::uint64_t e = scan::find_any3(d, n, p, quote_, kLF, kLF);
                if (e >= n) {
                    p = n;
                    break;
                }
                if (d[e] != quote_) {  // LF inside quotes: kept, and counted
                    ++line_;
                    p = e + 1;
                } else if (e + 1 == n) {
                    p = e;
                    state = State::AfterQuote;
                    break;
                } else if (d[e + 1] == quote_) {
                    out.append(input_.data() + run, e + 1 - run);  // one of the two quotes
                    p = run = e + 2;
                } else if (repair_ && quote_is_stray(e)) {
                    p = e + 1;
                } else {
                    p = e;
                    state = State::AfterQuote;
                    break;
                }
            }
            out.append(input_.data() + run, p - run);
            if (state == State::AfterQuote) ++p;  // past the closing quote
            break;
        }

        case State::AfterQuote:
            if (b == delimiter_) {
                finish_field();
                ++p;
                state = State::FieldStart;
            } else if (is_blank(b)) {
                ++p;
            } else if (b == kCR || b == kLF) {
                return end_at_break();
            } else {
                state = State::Unquoted;
            }
            break;
        }
    }
}

// The quote at p is stray when what follows it (after blanks) is ordinary
// text and a later quote on the same physical line could close the field,
// i.e. stands before a delimiter, a line break or the end (blanks between).
// Blank skipping stops at the delimiter, so a tab-delimited quoted field
// closes at the tab.
//
// Judging each quote by scanning to the end of its line is quadratic on long
// lines full of quotes. Instead: the blank run after p and the last
// closing-capable quote of [p+1, end of line) are cached; both stay valid for
// every later quote whose successor lies in the cached range, and p only
// grows, so each byte is looked at a bounded number of times.
bool ResilientParser::quote_is_stray(std::uint64_t p) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    const std::uint64_t from = p + 1;

    // The common case first: text right after the quote, on a stretch of
    // line already examined.
    if (const std::uint8_t c = d[from]; !is_blank(c) && c != delimiter_ && c != kCR && c != kLF &&
                                        from >= scan_from_ && from < scan_end_) {
        return last_closer_ > from;
    }

    std::uint64_t k;
    if (from >= skip_from_ && from <= skip_to_) {
        k = skip_to_;
    } else {
        k = from;
        while (k < n && is_blank(d[k]) && d[k] != delimiter_) ++k;
        skip_from_ = from;
        skip_to_ = k;
    }
    if (k == n || d[k] == delimiter_ || d[k] == kCR || d[k] == kLF) return false;

    // Quotes in [from, k) are blanks followed by non-terminal text, so they
    // cannot close; counting them as candidates changes nothing.
    if (from < scan_from_ || from >= scan_end_) {
        const std::uint64_t eol = scan::find_any3(d, n, k, kCR, kLF, kLF);
        // Walk back from the line end tracking t = "skipping blanks from i+1
        // reaches a delimiter, a line break or the end"; the first quote met
        // with t set is the last closer.
        last_closer_ = 0;
        bool t = true;
        for (std::uint64_t i = eol; i > from;) {
            --i;
            const std::uint8_t c = d[i];
            if (c == quote_ && t) {
                last_closer_ = i + 1;
                break;
            }
            if (c == delimiter_) t = true;
            else if (!is_blank(c)) t = false;
        }
        scan_from_ = from;
        scan_end_ = eol;
    }
    return last_closer_ > from;
}

}  // namespace corvel
