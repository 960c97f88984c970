#include "salvager.hpp"

#include "decode.hpp"
#include "heuristics.hpp"
#include "parser.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace corvel {
namespace {

// In a range, bytes past its limit in the first window: enough for the row
// that crosses the limit, most often; a longer one widens the window.
constexpr std::uint64_t kRangeOvershoot = std::uint64_t{64} << 10;

// The width of a table without quoting, by the rule of the quoted one: the
// most frequent among the first non-blank lines, the first met on a tie;
// nullopt while `head` (not `last`) ends before those lines do.
std::optional<std::uint64_t> unquoted_width(std::string_view head, std::uint8_t delimiter, bool last) {
    head.remove_prefix(bom_bytes(head));
    ResilientParser parser(head, last, ParserPosition{}, delimiter, DEFAULT_QUOTE, false);
    parser.no_quotes();
    RowTable row;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;  // width, count, in order met
    for (std::uint64_t n = 0; n < INFER_ROW_LIMIT;) {
        const ResilientParser::Step step = parser.step(row);
        if (step == ResilientParser::Step::End) break;
        if (step == ResilientParser::Step::More) return std::nullopt;
        if (!is_blank_row(row, 0)) {
            ++n;
            const std::uint64_t w = row.width(0);
            auto it = std::find_if(seen.begin(), seen.end(), [&](const auto& p) { return p.first == w; });
            if (it == seen.end()) {
                seen.emplace_back(w, 1);
            } else {
                ++it->second;
            }
        }
        row.clear();
    }
    std::uint64_t best = 0, count = 0;
    for (const auto& [w, c] : seen) {
        if (c > count) {
            best = w;
            count = c;
        }
    }
    return best;
}

// The window up to its last line break. Within a stream, no row is taken
// that goes on past it, so only these bytes need to be valid UTF-8 for the
// window to be trusted: a chunk cut inside a character is not.
std::string_view through_last_break(std::string_view window) noexcept {
    const std::size_t at = window.find_last_of("\r\n");
    return window.substr(0, at == std::string_view::npos ? 0 : at + 1);
}

}  // namespace

Salvager::Salvager(const SalvageOptions& options, RowSink& sink, const Cancel& cancel,
                   std::uint64_t head_limit) noexcept
    : options_(options), sink_(sink), cancel_(cancel), head_limit_(head_limit) {}

Status Salvager::push(std::string_view bytes) noexcept {
    return guard_memory([&] { return push_bytes(bytes); });
}

Status Salvager::push_bytes(std::string_view bytes) {
    taken_ += bytes.size();
    if (!planned_) return push_head(bytes, false);
    if (!held_.empty()) {
        // Most often the held row is a line without quotes cut short: the
        // next line feed decides it, as long as no quote comes before. Then
        // only that much is copied, and the rest is parsed where it lies.
        const char quote = static_cast<char>(options_.quote_char);
        const std::size_t lf = bytes.find('\n');
        if (lf != std::string_view::npos && held_.find(quote) == std::string::npos &&
            bytes.substr(0, lf).find(quote) == std::string_view::npos) {
            held_.append(bytes.substr(0, lf + 1));
            auto used = parse(held_, false, nullptr);
            if (!used) return used.error();
            held_.erase(0, used.value());
            base_ += used.value();
            bytes.remove_prefix(lf + 1);
        }
    }
    if (held_.empty()) {
        // Parsed where it lies; only the bytes of an undecided row are kept.
        auto used = parse(bytes, false, nullptr);
        if (!used) return used.error();
        held_.assign(bytes.substr(used.value()));
        base_ += used.value();
        retry_at_ = 2 * held_.size();
        return Done{};
    }
    held_.append(bytes);
    // As with the head: an undecided row is parsed again once it has doubled.
    if (held_.size() < retry_at_) return Done{};
    auto used = parse(held_, false, nullptr);
    if (!used) return used.error();
    held_.erase(0, used.value());
    base_ += used.value();
    retry_at_ = 2 * held_.size();
    return Done{};
}

Status Salvager::push_head(std::string_view bytes, bool last) {
    if (spool_) {
        if (Status s = spool_->append(bytes); !s) return s;
    } else {
        held_.append(bytes);
        if (held_.size() > head_limit_) {
            auto spool = Spool::create();
            if (!spool) return spool.error();
            spool_.emplace(std::move(spool).value());
            if (Status s = spool_->append(held_); !s) return s;
            held_ = std::string();
        }
    }
    // A try costs a parse of the whole head: it is made again only once the
    // head has doubled, which keeps the sum of tries linear.
    const std::uint64_t size = spool_ ? spool_->size() : held_.size();
    if (!last && (size < 3 || size < retry_at_)) return Done{};
    if (!spool_) {
        if (Status s = try_plan(held_, last); !s) return s;
        if (!planned_) {
            retry_at_ = 2 * size;
            return Done{};
        }
        const std::string head = std::exchange(held_, std::string());
        return parse_head(head, last, nullptr);
    }
    auto mapped = spool_->map();
    if (!mapped) return mapped.error();
    FileBytes& head = mapped.value();
    if (Status s = try_plan(head.view(), last); !s) return s;
    if (!planned_) {
        retry_at_ = 2 * size;
        return Done{};
    }
    if (Status s = parse_head(head.view(), last, &head); !s) return s;
    spool_.reset();
    return Done{};
}

Status Salvager::parse_head(std::string_view head, bool last, FileBytes* owned) {
    const std::uint64_t bom = bom_bytes(head);
    base_ = bom;
    auto used = parse(head.substr(bom), last, owned);
    if (!used) return used.error();
    held_.assign(head.substr(bom + used.value()));
    base_ += used.value();
    retry_at_ = 2 * held_.size();
    return Done{};
}

Status Salvager::try_plan(std::string_view head, bool last) {
    if (head.empty()) return set_plan(',', 0);  // nothing to guess from, nothing to parse
    std::uint8_t delimiter;
    if (options_.delimiter) {
        delimiter = *options_.delimiter;
    } else {
        auto sniffed = sniff_delimiter_prefix(head, last);
        if (!sniffed) return sniffed.error();
        if (!sniffed.value()) return Done{};
        delimiter = *sniffed.value();
    }
    if (options_.expected_columns) return set_plan(delimiter, *options_.expected_columns);
    if (!options_.quoting) {
        const std::optional<std::uint64_t> width = unquoted_width(head, delimiter, last);
        return width ? set_plan(delimiter, *width) : Done{};
    }
    auto inferred = infer_column_count_prefix(head, delimiter, last);
    if (!inferred) return inferred.error();
    if (!inferred.value()) return Done{};
    return set_plan(delimiter, *inferred.value());
}

Status Salvager::set_plan(std::uint8_t delimiter, std::uint64_t expected) {
    planned_ = true;
    delimiter_ = delimiter;
    expected_ = expected;
    joiner_ = byte_as_utf8(delimiter);
    return sink_.begin(delimiter, expected);
}

Result<SalvageStats> Salvager::finish() noexcept {
    return guard_memory([&]() -> Result<SalvageStats> {
        if (!planned_) {
            if (Status s = push_head({}, true); !s) return s.error();
        } else {
            const std::string rest = std::exchange(held_, std::string());
            auto used = parse(rest, true, nullptr);
            if (!used) return used.error();
        }
        stats_.inferred_columns = expected_;
        stats_.detected_delimiter = delimiter_;
        return stats_;
    });
}

Result<Plan> plan_for(std::string_view text, const SalvageOptions& options) noexcept {
    Plan plan;
    if (text.empty()) return plan;  // nothing to guess from, nothing to parse
    if (options.delimiter) {
        plan.delimiter = *options.delimiter;
    } else {
        auto sniffed = sniff_delimiter(text);
        if (!sniffed) return sniffed.error();
        plan.delimiter = sniffed.value();
    }
    if (options.expected_columns) {
        plan.expected = *options.expected_columns;
    } else if (!options.quoting) {
        auto width = guard_memory([&]() -> Result<std::uint64_t> { return *unquoted_width(text, plan.delimiter, true); });
        if (!width) return width.error();
        plan.expected = width.value();
    } else {
        auto inferred = infer_column_count(text, plan.delimiter);
        if (!inferred) return inferred.error();
        plan.expected = inferred.value();
    }
    return plan;
}

Result<SalvageStats> Salvager::run(std::string_view text, FileBytes* owned) noexcept {
    auto plan = plan_for(text, options_);
    if (!plan) return plan.error();
    return run(text, plan.value(), owned);
}

Result<SalvageStats> Salvager::run(std::string_view text, const Plan& plan, FileBytes* owned) noexcept {
    return guard_memory([&]() -> Result<SalvageStats> {
        taken_ = text.size();
        if (Status s = set_plan(plan.delimiter, plan.expected); !s) return s.error();
        base_ = bom_bytes(text);
        auto used = parse(text.substr(base_), true, owned);
        if (!used) return used.error();
        stats_.inferred_columns = expected_;
        stats_.detected_delimiter = delimiter_;
        return stats_;
    });
}

Status Salvager::begin_range(std::string_view text, const Plan& plan, std::uint64_t start,
                              std::uint64_t limit) noexcept {
    return guard_memory([&]() -> Status {
        text_ = text;
        taken_ = text.size();
        limit_ = limit;
        base_ = start;
        polled_ = start;
        poll_step_ = std::uint64_t{1} << 20;
        at_ = ParserPosition{};
        const std::uint64_t n = text.size();
        window_end_ = limit >= n - std::min(n, kRangeOvershoot) ? n : limit + kRangeOvershoot;
        return set_plan(plan.delimiter, plan.expected);
    });
}

Result<bool> Salvager::advance_range(std::uint64_t cap, const Cancel& cancel) noexcept {
    return guard_memory([&]() -> Result<bool> {
        cancel_ = cancel;
        const std::uint64_t n = text_.size();
        for (;;) {
            if (base_ >= limit_) return true;
            auto used = parse(text_.substr(base_, window_end_ - base_), window_end_ == n, nullptr);
            if (!used) return used.error();
            base_ += used.value();
            if (base_ >= limit_ || window_end_ == n) return true;
            // A row runs past the window: widen it, twice as far each time,
            // so that parsing it again stays linear in its length.
            const std::uint64_t wider = std::min(n, base_ + 2 * std::max(window_end_ - base_, kRangeOvershoot));
            if (wider > cap) return false;
            window_end_ = wider;
        }
    });
}

RowSource Salvager::source_of(const ParserPosition& after, std::uint64_t first_line, std::uint64_t last_line,
                              std::uint64_t start, std::uint64_t end) const noexcept {
    RowSource s;
    s.first_line = first_line;
    s.last_line = last_line;
    s.line_after = after.line;
    s.offset = base_ + start;
    s.length = end - start;
    return s;
}

void Salvager::reread(RowTable& rows, RowSource& source) {
    if (source.utf8_replaced && options_.legacy) {
        // Delimiters, quotes and line breaks are ASCII and read the same in
        // the legacy table, so the row keeps its shape.
        rows.pop_row();
        decoded_.clear();
        options_.legacy->decode(source.bytes, decoded_);
        ResilientParser again(decoded_, true, ParserPosition{}, delimiter_, options_.quote_char, options_.repair_quotes);
        if (!options_.quoting) again.no_quotes();
        if (options_.escape) again.escape_with(*options_.escape);
        if (options_.skip_initial_space) again.skip_initial_blanks();
        again.trust_utf8();
        (void)again.step(rows);
        source.utf8_replaced = false;
        source.legacy_decoded = true;
        ++stats_.legacy_decoded;
    }
    if (options_.skip_initial_space) {
        const std::uint64_t r = rows.size() - 1;
        scratch_.clear();
        for (std::uint64_t f = 0; f < rows.width(r); ++f) {
            std::string_view field = rows.field(r, f);
            while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
            scratch_.append(field.data(), field.size());
            scratch_.finish_valid_field();
        }
        scratch_.finish_row();
        rows.pop_row();
        rows.append_row_from(scratch_, 0);
    }
}

// Inlined into parse(), where it runs once a row.
[[gnu::always_inline]] inline Status Salvager::settle(RowTable& rows, Fate fate, const RowSource& source,
                                                      std::string_view bytes) {
    if (fate == Fate::TooWide) return too_wide_error(expected_);
    count_fate(stats_, fate);
    if (!is_accepted(fate)) return sink_.reject(rows, fate, source, bytes);
    if (fate == Fate::Padded) {
        if (!rows.pad_last_row(expected_)) return too_wide_error(expected_);
    } else if (fate == Fate::Merged) {
        rows.merge_last_row(expected_, joiner_);
    }
    return sink_.accept(rows, fate, source);
}

Result<std::uint64_t> Salvager::parse(std::string_view window, bool last, FileBytes* owned) {
    ResilientParser parser(window, last, at_, delimiter_, options_.quote_char, options_.repair_quotes);
    if (!options_.quoting) parser.no_quotes();
    if (options_.escape) parser.escape_with(*options_.escape);
    if (options_.skip_initial_space) parser.skip_initial_blanks();
    // One pass over the window spares checking every field on its own.
    const bool trusted = delimiter_ < 0x80 && (!options_.quoting || options_.quote_char < 0x80) &&
                         is_valid_utf8(last ? window : through_last_break(window));
    if (trusted) parser.trust_utf8();
    RowTable& rows = sink_.table();
    // A plain line is written as it stands: not when its fields change.
    const bool lines = sink_.takes_lines() && !options_.skip_initial_space;
    const bool rereads = options_.skip_initial_space || options_.legacy;
    const bool legacy_lines = options_.legacy && delimiter_ < 0x80;
    // Clean plain lines ended by LF are handed over in runs, as they stand
    // in window[run.offset - base_, run_to); or, with a legacy table, clean
    // lines decoded one after another into decoded_run_.
    RowSink::LinesSource run;
    std::uint64_t run_to = 0;
    decoded_run_.clear();
    const auto flush_run = [&]() -> Status {
        if (run.count == 0) return Done{};
        run.bytes = window.substr(run.offset - base_, run_to - (run.offset - base_));
        Status s = sink_.accept_run(decoded_run_.empty() ? run.bytes : decoded_run_, run);
        decoded_run_.clear();
        run.count = 0;
        return s;
    };
    // Starts a run with the line just taken, unless it goes on the run held.
    const auto extend_run = [&](const RowTrace& t, bool decoded) -> Status {
        if (run.count == 0 || run_to != t.start || decoded_run_.empty() == decoded) {
            if (Status s = flush_run(); !s) return s;
            run.first_line = t.first_line;
            run.offset = base_ + t.start;
        }
        ++run.count;
        run_to = parser.pos();
        return Done{};
    };

    // Without quoting: where the writer's quote is next met in the window,
    // at or after the last line asked about. One pass for all lines.
    constexpr char kQuote = static_cast<char>(DEFAULT_QUOTE);
    std::size_t next_quote = options_.quoting ? std::string_view::npos : window.find(kQuote);
    const auto holds_quote = [&](const RowTrace& t) {
        if (next_quote < t.start) next_quote = window.find(kQuote, t.start);
        return next_quote < t.end;
    };

    // Most lines are clean plain lines that go on the run: in a window known
    // to be UTF-8 they are taken in one go, up to the next poll or the
    // range's limit, without a trace or a fate of their own. A line with the
    // writer's quote is not one of them (see holds_quote below).
    const std::uint8_t run_stop = options_.quoting ? options_.quote_char : DEFAULT_QUOTE;
    const bool clean_runs = lines && trusted && expected_ > 0 && delimiter_ != run_stop;
    // In a window that is not all UTF-8, the same lines are taken in one go
    // too, and each goes on a decoded run: as it stands when it is UTF-8,
    // through the legacy table when it is not.
    const bool legacy_runs = lines && !trusted && legacy_lines && expected_ > 0 && delimiter_ != run_stop;

    for (;;) {
        const std::uint64_t at = base_ + parser.pos();
        if (at - polled_ >= poll_step_) {
            if (Status s = flush_run(); !s) return s.error();
            polled_ = at;
            if (cancel_.requested()) return SalvageError::cancelled();
            // Every row so far has been handed over: the parser never reads
            // behind its position.
            if (owned) owned->discard_before(at);
        }
        if (at >= limit_) {
            if (Status s = flush_run(); !s) return s.error();
            break;
        }
        if (clean_runs || legacy_runs) {
            const std::uint64_t from = parser.pos();
            const ParserPosition before = parser.position();
            const std::uint64_t bound = std::min(limit_, polled_ + poll_step_) - base_;
            if (const std::uint64_t n = parser.take_clean_lines(expected_ - 1, bound, run_stop); n != 0) {
                stats_.total_rows += n;
                stats_.salvaged_rows += n;
                // They go on the run held when it is of their kind (decoded
                // in a legacy window) and they follow it.
                if (run.count != 0 && (run_to != from || decoded_run_.empty() == legacy_runs)) {
                    if (Status s = flush_run(); !s) return s.error();
                }
                if (run.count == 0) {
                    run.first_line = before.line + before.lone_crs;
                    run.offset = base_ + from;
                }
                run.count += n;
                run_to = parser.pos();
                if (legacy_runs) {
                    stats_.legacy_decoded += options_.legacy->decode_lines(window.substr(from, run_to - from), decoded_run_);
                    if (decoded_run_.size() >= kDecodedRun) {
                        if (Status s = flush_run(); !s) return s.error();
                    }
                }
                continue;
            }
        }
        PlainLine plain;
        // In a window that is not all UTF-8, a line without quotes is still
        // taken whole when a legacy table can read it: the table keeps every
        // ASCII byte, so its fields stay where they are.
        if (lines && (trusted ? parser.next_plain_line(plain) : legacy_lines && parser.next_unchecked_line(plain))) {
            // A plain line that is accepted as it stands, or padded, never
            // needs to be cut into fields.
            const bool decode = !trusted && !is_valid_utf8(plain.text);
            const Fate fate = fate_of(plain.fields, expected_, options_);
            const RowTrace& t = parser.trace();
            // Without quoting, a line may hold the writer's quote, which the
            // writer would enclose: such a line goes out as a row.
            const bool as_row = !options_.quoting && holds_quote(t);
            const bool clean_lf = fate == Fate::Clean && !plain.quoted && !as_row && parser.pos() == t.end + 1 &&
                                  window[t.end] == '\n';
            if (decode) {
                ++stats_.legacy_decoded;
                if (clean_lf) {
                    count_fate(stats_, fate);
                    if (Status s = extend_run(t, true); !s) return s.error();
                    options_.legacy->decode(plain.text, decoded_run_);
                    decoded_run_.push_back('\n');
                    if (decoded_run_.size() >= kDecodedRun) {
                        if (Status s = flush_run(); !s) return s.error();
                    }
                    continue;
                }
                decoded_.clear();
                options_.legacy->decode(plain.text, decoded_);
                plain.text = decoded_;
            }
            if (clean_lf && !decode) {
                count_fate(stats_, fate);
                if (!decoded_run_.empty() && run_to == t.start) {
                    // A UTF-8 line joins the run the legacy table is reading,
                    // as it stands, rather than ending it.
                    ++run.count;
                    run_to = parser.pos();
                    decoded_run_.append(plain.text).push_back('\n');
                    if (decoded_run_.size() >= kDecodedRun) {
                        if (Status s = flush_run(); !s) return s.error();
                    }
                    continue;
                }
                if (Status s = extend_run(t, false); !s) return s.error();
                continue;
            }
            if (Status s = flush_run(); !s) return s.error();
            RowSource source = source_of(parser.position(), t.first_line, t.last_line, t.start, t.end);
            source.bytes = window.substr(t.start, t.end - t.start);
            source.legacy_decoded = decode;
            if ((fate == Fate::Clean || fate == Fate::Padded) && !as_row) {
                count_fate(stats_, fate);
                const std::uint64_t padding = fate == Fate::Clean ? 0 : expected_ - plain.fields;
                if (Status s = sink_.accept_line(plain.text, padding, fate, source); !s) return s.error();
                continue;
            }
            if (fate == Fate::TooWide) return too_wide_error(expected_);
            if (decode) {
                rows.append_split_row(plain.text, delimiter_, true);
            } else {
                parser.append_line(plain, rows);
            }
            if (Status s = settle(rows, fate, source, window.substr(t.start, t.end - t.start)); !s) return s.error();
            continue;
        }
        if (Status s = flush_run(); !s) return s.error();
        const ResilientParser::Step step = parser.step(rows);
        if (step != ResilientParser::Step::Row) break;
        const RowTrace& t = parser.trace();
        RowSource source = source_of(parser.position(), t.first_line, t.last_line, t.start, t.end);
        source.quote_repaired = t.quote_repaired;
        source.utf8_replaced = t.utf8_replaced;
        source.bytes = window.substr(t.start, t.end - t.start);
        if (rereads) reread(rows, source);
        const Fate fate = fate_of(rows.width(rows.size() - 1), expected_, options_);
        if (Status s = settle(rows, fate, source, window.substr(t.start, t.end - t.start)); !s) return s.error();
    }
    at_ = parser.position();
    return parser.pos();
}

}  // namespace corvel
