#include "parser.hpp"

#include "scan.hpp"

namespace corvel {

namespace {

constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kLF = 0x0A;

constexpr bool is_blank(std::uint8_t b) noexcept { return b == 0x20 || b == 0x09; }
constexpr bool is_break(std::uint8_t b) noexcept { return b == kCR || b == kLF; }

std::uint64_t start_after_bom(std::string_view input) noexcept {
    return input.size() >= 3 && input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
}

constexpr bool splits_plainly(std::uint8_t delimiter, std::uint8_t quote) noexcept {
    return delimiter != quote && !is_break(delimiter) && !is_break(quote);
}

}  // namespace

ResilientParser::ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                                 bool repair_quotes) noexcept
    : input_(input),
      pos_(start_after_bom(input)),
      delimiter_(delimiter),
      quote_(quote_char),
      repair_(repair_quotes),
      plain_lines_(splits_plainly(delimiter, quote_char)),
      quoted_(delimiter, quote_char) {}

ResilientParser::ResilientParser(std::string_view window, bool last, const ParserPosition& at,
                                 std::uint8_t delimiter, std::uint8_t quote_char, bool repair_quotes) noexcept
    : input_(window),
      pos_(0),
      at_(at),
      delimiter_(delimiter),
      quote_(quote_char),
      repair_(repair_quotes),
      last_(last),
      plain_lines_(splits_plainly(delimiter, quote_char)),
      quoted_(delimiter, quote_char) {}

void ResilientParser::begin_row() noexcept {
    trace_ = RowTrace{};
    trace_.start = trace_.end = pos_;
    trace_.first_line = trace_.last_line = at_.line + at_.lone_crs;
    breaks_ = 0;
}

void ResilientParser::end_row(std::uint64_t end) noexcept {
    trace_.end = end;
    // A counted break that ends the row's own bytes (a quoted field left
    // open at the end of the input) ends its last line; no line follows
    // inside the row.
    const bool ends_in_break = breaks_ > 0 && end == input_.size() &&
                               is_break(static_cast<std::uint8_t>(input_[end - 1]));
    trace_.last_line = trace_.first_line + breaks_ - (ends_in_break ? 1 : 0);
}

bool ResilientParser::take_plain_line(std::string_view& line) noexcept {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    const std::uint64_t p = pos_;
    if (!plain_lines_ || p >= n) return false;
    std::size_t delimiters = 0;
    const std::uint64_t e = quoting_ ? scan::find_any_counting(d, n, p, delimiter_, delimiters, quote_, kCR, kLF)
                                     : scan::find_any_counting(d, n, p, delimiter_, delimiters, kCR, kLF);
    if (quoting_ && e < n && d[e] == quote_) return false;
    // Within a window, a line that reaches its end (or a CR that may have
    // its LF still to come) is not known to be whole.
    if (!last_ && (e >= n || (d[e] == kCR && e + 1 == n))) return false;
    trace_.start = p;
    trace_.end = e;
    trace_.first_line = trace_.last_line = at_.line + at_.lone_crs;
    trace_.quote_repaired = trace_.utf8_replaced = false;
    line = input_.substr(p, e - p);
    line_delimiters_ = delimiters;
    pos_ = e < n ? past_break(e) : e;
    return true;
}

std::uint64_t ResilientParser::take_clean_lines(std::uint64_t delimiters, std::uint64_t bound,
                                                std::uint8_t stop) noexcept {
    if (!plain_lines_) return 0;
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    const auto take = [&](auto... stops) {
        std::uint64_t p = pos_;
        std::uint64_t taken = 0;
        // A line that starts before `bound` is looked at whole.
        while (p < n && p < bound) {
            std::size_t counted = 0;
            const std::uint64_t e = scan::find_any_counting(d, n, p, delimiter_, counted, stops..., kCR, kLF);
            if (e >= n || d[e] != kLF || counted != delimiters) break;
            p = e + 1;
            ++taken;
        }
        pos_ = p;
        at_.line += taken;
        return taken;
    };
    return quoting_ && quote_ != stop ? take(quote_, stop) : take(stop);
}

std::uint64_t ResilientParser::past_break(std::uint64_t p) noexcept {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    if (d[p] == kCR) ++p;
    if (p < n && d[p] == kLF) ++p;
    ++at_.line;
    return p;
}

bool ResilientParser::next_plain_line(PlainLine& out) {
    if (!trusted_utf8_) return false;
    if (!take_plain_line(out.text)) return take_quoted_line(out);
    count_fields(out);
    return true;
}

bool ResilientParser::next_unchecked_line(PlainLine& out) {
    if (!take_plain_line(out.text)) return false;
    count_fields(out);
    return true;
}

void ResilientParser::count_fields(PlainLine& out) const noexcept {
    out.fields = 1 + line_delimiters_;
    out.quoted = false;
}

void ResilientParser::trace_quoted_row(std::uint64_t end, const QuotedRows::Breaks& inner) noexcept {
    // Well-formed quotes need no repair, and the row's line breaks are
    // counted as in_quoted() counts them.
    begin_row();
    trace_.end = end;
    trace_.last_line = trace_.first_line + inner.lfs + inner.lone_crs;
    at_.line += inner.lfs;
    at_.lone_crs += inner.lone_crs;
    pos_ = end < input_.size() ? past_break(end) : end;
}

// A row whose quotes are well-formed is written from the input too, each
// field as the writer would write it.
bool ResilientParser::take_quoted_line(PlainLine& out) {
    if (!plain_lines_ || !quoting_ || skip_blanks_ || pos_ >= input_.size()) return false;
    QuotedRows::Breaks inner;
    const std::uint64_t e = quoted_.take_line(input_, pos_, last_, quoted_line_, out.fields, inner);
    if (e == QuotedRows::kNotTaken) return false;
    trace_quoted_row(e, inner);
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

// Many rows quote their fields, and quote them well: those are cut
// block-wise from bit masks, and the states take the rest.
bool ResilientParser::take_quoted_row(RowTable& out) {
    if (!plain_lines_ || !quoting_ || skip_blanks_ || !quoted_.worth_trying()) return false;
    QuotedRows::Breaks inner;
    bool replaced = false;
    const std::uint64_t e = quoted_.take(input_, pos_, last_, out, trusted_utf8_, inner, replaced);
    if (e == QuotedRows::kNotTaken) return false;
    trace_quoted_row(e, inner);
    trace_.utf8_replaced = replaced;
    return true;
}

void ResilientParser::finish_field(RowTable& out) {
    if (trusted_utf8_) {
        out.finish_valid_field();
    } else if (out.finish_field()) {
        trace_.utf8_replaced = true;
    }
}

ResilientParser::Step ResilientParser::step(RowTable& out) {
    const std::uint64_t n = input_.size();
    if (pos_ >= n) return last_ ? Step::End : Step::More;

    // A row-level fast path is tried at the row's start. Most rows are a
    // line without quotes: take the line whole and split it at its
    // delimiters, which is what the states below would do.
    if (std::string_view line; take_plain_line(line)) {
        if (out.append_split_row(line, delimiter_, trusted_utf8_)) trace_.utf8_replaced = true;
        return Step::Row;
    }
    if (take_quoted_row(out)) return Step::Row;

    const ParserPosition at_start = at_;
    begin_row();
    std::uint64_t p = pos_;
    State state = State::FieldStart;
    // Tests within each state run in a fixed order that matters when the
    // delimiter, the quote and the line-break bytes coincide.
    for (;;) {
        if (p >= n) {
            if (!last_) {
                state = State::More;
            } else {
                // The end of the input ends the row; a quoted field still
                // open is closed here.
                if (state == State::Quoted) trace_.quote_repaired = true;
                finish_field(out);
                out.finish_row();
                end_row(n);
                pos_ = n;
                return Step::Row;
            }
        } else {
            switch (state) {
            case State::FieldStart: state = at_field_start(p, out); break;
            case State::Unquoted: state = in_unquoted(p, out); break;
            case State::Quoted: state = in_quoted(p, out); break;
            case State::AfterQuote: state = after_quote(p, out); break;
            case State::Done:
            case State::More: break;
            }
        }
        if (state == State::Done) return Step::Row;
        if (state == State::More) {
            out.drop_open_row();
            at_ = at_start;
            return Step::More;
        }
    }
}

ResilientParser::State ResilientParser::end_at_break(std::uint64_t p, RowTable& out) {
    if (!last_ && input_[p] == static_cast<char>(kCR) && p + 1 == input_.size()) return State::More;
    finish_field(out);
    out.finish_row();
    end_row(p);
    pos_ = past_break(p);
    return State::Done;
}

ResilientParser::State ResilientParser::at_field_start(std::uint64_t& p, RowTable& out) {
    const auto b = static_cast<std::uint8_t>(input_[p]);
    if (b == ' ' && skip_blanks_ && b != delimiter_) {
        ++p;  // dropped
        return State::FieldStart;
    }
    if (b == quote_ && quoting_) {
        ++p;  // the quote is not part of the field
        return State::Quoted;
    }
    if (b == delimiter_) {
        finish_field(out);
        ++p;
        return State::FieldStart;
    }
    if (is_break(b)) return end_at_break(p, out);
    return State::Unquoted;  // b is copied by the Unquoted scan
}

std::uint64_t ResilientParser::take_escaped(std::uint64_t p, RowTable& out) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    out.append(input_[p]);
    if (d[p] == kLF) {
        ++at_.line;
        ++breaks_;
    } else if (d[p] == kCR) {
        if (p + 1 < n && d[p + 1] == kLF) {  // CR LF is one line break, kept whole
            out.append('\n');
            ++at_.line;
            ++breaks_;
            return p + 2;
        }
        ++at_.lone_crs;
        ++breaks_;
    }
    return p + 1;
}

ResilientParser::State ResilientParser::in_unquoted_escaped(std::uint64_t& p, RowTable& out) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    for (;;) {
        const std::uint64_t e = scan::find_any(d, n, p, delimiter_, kCR, kLF, escape_);
        out.append(input_.data() + p, e - p);
        p = e;
        if (p >= n) return State::Unquoted;
        if (d[p] != escape_) break;
        // An escape as the window's last byte (or before a CR that may have
        // its LF still to come) waits for more; at the input's end it is text.
        if (p + 1 >= n || (!last_ && d[p + 1] == kCR && p + 2 == n)) {
            if (!last_) {
                p = n;
                return State::Unquoted;
            }
            out.append(input_[p]);
            p = n;
            return State::Unquoted;
        }
        p = take_escaped(p + 1, out);
    }
    if (d[p] != delimiter_) return end_at_break(p, out);
    finish_field(out);
    ++p;
    return State::FieldStart;
}

ResilientParser::State ResilientParser::in_unquoted(std::uint64_t& p, RowTable& out) {
    if (escaping_) return in_unquoted_escaped(p, out);
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    const std::uint64_t e = scan::find_any(d, n, p, delimiter_, kCR, kLF);
    out.append(input_.data() + p, e - p);
    p = e;
    if (p >= n) return State::Unquoted;
    if (d[p] != delimiter_) return end_at_break(p, out);
    finish_field(out);
    ++p;
    return State::FieldStart;
}

ResilientParser::State ResilientParser::in_quoted(std::uint64_t& p, RowTable& out) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    // Bytes from `run` on are field text not yet copied: line breaks and
    // stray quotes stay in the run, so a field is copied in as few pieces as
    // it has doubled quotes.
    std::uint64_t run = p;
    State next = State::Quoted;
    for (;;) {
        const std::uint64_t e = escaping_ ? scan::find_any(d, n, p, quote_, kLF, kCR, escape_)
                                          : scan::find_any(d, n, p, quote_, kLF, kCR);
        if (e >= n) {
            p = n;
            break;
        }
        if (escaping_ && d[e] == escape_) {
            if (e + 1 >= n || (!last_ && d[e + 1] == kCR && e + 2 == n)) {
                if (!last_) {
                    next = State::More;
                    break;
                }
                p = n;  // the input's last byte: text
                break;
            }
            out.append(input_.data() + run, e - run);
            p = run = take_escaped(e + 1, out);
            continue;
        }
        if (d[e] != quote_) {
            if (d[e] == kLF) {  // kept, and counted
                ++at_.line;
                ++breaks_;
            } else if (e + 1 == n && !last_) {  // a CR whose LF may be still to come
                next = State::More;
                break;
            } else if (e + 1 == n || d[e + 1] != kLF) {  // kept; a line break the counter leaves out
                ++at_.lone_crs;
                ++breaks_;
            }
            p = e + 1;
        } else if (e + 1 == n) {
            if (!last_) {
                next = State::More;
                break;
            }
            p = e;
            next = State::AfterQuote;
            break;
        } else if (d[e + 1] == quote_ && !escaping_) {
            out.append(input_.data() + run, e + 1 - run);  // one of the two quotes
            p = run = e + 2;
        } else {
            bool undecided = false;
            const bool stray = repair_ && quote_is_stray(e, undecided);
            if (undecided) {
                next = State::More;
                break;
            }
            if (!stray) {
                p = e;
                next = State::AfterQuote;
                break;
            }
            trace_.quote_repaired = true;
            p = e + 1;
        }
    }
    if (next == State::More) return next;
    out.append(input_.data() + run, p - run);
    if (next == State::AfterQuote) ++p;  // past the closing quote
    return next;
}

ResilientParser::State ResilientParser::after_quote(std::uint64_t& p, RowTable& out) {
    const auto b = static_cast<std::uint8_t>(input_[p]);
    if (b == delimiter_) {
        finish_field(out);
        ++p;
        return State::FieldStart;
    }
    if (is_blank(b)) {
        ++p;  // dropped
        return State::AfterQuote;
    }
    if (is_break(b)) return end_at_break(p, out);
    trace_.quote_repaired = true;  // text after the closing quote joins the field
    return State::Unquoted;
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
// grows, so each byte is looked at a bounded number of times. Within a
// window, a line that runs to its end is undecided and nothing is cached.
bool ResilientParser::quote_is_stray(std::uint64_t p, bool& undecided) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::uint64_t n = input_.size();
    const std::uint64_t from = p + 1;

    // The common case first: text right after the quote, on a stretch of
    // line already examined.
    if (const std::uint8_t c = d[from];
        !is_blank(c) && c != delimiter_ && !is_break(c) && from >= scan_from_ && from < scan_end_) {
        return last_closer_ > from;
    }

    std::uint64_t k;
    if (from >= skip_from_ && from <= skip_to_) {
        k = skip_to_;
    } else {
        k = from;
        while (k < n && is_blank(d[k]) && d[k] != delimiter_) ++k;
        if (k == n && !last_) {
            undecided = true;
            return false;
        }
        skip_from_ = from;
        skip_to_ = k;
    }
    if (k == n || d[k] == delimiter_ || is_break(d[k])) return false;

    // Quotes in [from, k) are blanks followed by non-terminal text, so they
    // cannot close; counting them as candidates changes nothing.
    if (from < scan_from_ || from >= scan_end_) {
        const std::uint64_t eol = scan::find_any(d, n, k, kCR, kLF);
        if (eol == n && !last_) {
            undecided = true;
            return false;
        }
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
