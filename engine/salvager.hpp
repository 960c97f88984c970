// The resumable salvager: takes an input in chunks of any size, decides the
// delimiter and the width as the whole-text heuristics would, and hands each
// row to a sink as soon as its fate is decided.
//
// A row may be cut anywhere between chunks (inside a CR LF, a UTF-8
// character, or between a quote and its double): the bytes of an undecided
// row are kept and parsed again once more have come, so the rows, their
// sources and the counts are the same however the input is cut. Until the
// delimiter and the width are decided, the start of the input (the head) is
// held; after that, memory holds the chunk and the longest row.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "file_io.hpp"
#include "parser.hpp"
#include "pipeline.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvel {

// The delimiter and the expected width of a run.
struct Plan {
    std::uint8_t delimiter = ',';
    std::uint64_t expected = 0;
};

// The plan for a whole input: given by the options, or guessed from it.
Result<Plan> plan_for(std::string_view text, const SalvageOptions& options) noexcept;

class Salvager {
public:
    // A head past this size without a decision goes to a spool file, which
    // is mapped back to decide and is then parsed.
    static constexpr std::uint64_t kHeadLimit = std::uint64_t{64} << 20;

    // `sink` receives the rows; `cancel` is polled about every kCancelStep
    // bytes parsed.
    Salvager(const SalvageOptions& options, RowSink& sink, const Cancel& cancel = {},
             std::uint64_t head_limit = kHeadLimit) noexcept;

    // The next bytes of the input. Rows they decide go to the sink.
    Status push(std::string_view bytes) noexcept;
    // The end of the input: the rows still held go to the sink. Returns the
    // counts of the run.
    Result<SalvageStats> finish() noexcept;

    // push() of a whole input and finish(), without copying it. Pages of
    // `owned` (which holds `text`) are given back as they are parsed.
    Result<SalvageStats> run(std::string_view text, FileBytes* owned = nullptr) noexcept;
    // The same with the plan already made for `text`.
    Result<SalvageStats> run(std::string_view text, const Plan& plan, FileBytes* owned = nullptr) noexcept;

    // Bytes taken so far.
    std::uint64_t bytes_in() const noexcept { return taken_; }

    // One byte range of an input held whole in `text`, with the plan made
    // for the whole: the rows that start at or after `start`, which is taken
    // for a row start with no quote open, and before `limit`. Lines are
    // counted from 1 at `start`. Rows go to the sink as in a run.
    Status begin_range(std::string_view text, const Plan& plan, std::uint64_t start, std::uint64_t limit) noexcept;
    // Parses on in the range, polling `cancel`. True once all its rows are
    // in the sink; false before a row that would take the parse past `cap`
    // (it can go on later from that row, with a higher cap).
    Result<bool> advance_range(std::uint64_t cap, const Cancel& cancel) noexcept;
    // Where the range's parse stands: the next row's start, with the line
    // counter there (from the range's start), and the range's counts.
    std::uint64_t next_row() const noexcept { return base_; }
    const ParserPosition& position() const noexcept { return at_; }
    const SalvageStats& stats() const noexcept { return stats_; }

private:
    Status push_bytes(std::string_view bytes);
    // Takes the bytes as part of the head; makes the plan when it can, and
    // then parses the head.
    Status push_head(std::string_view bytes, bool last);
    Status try_plan(std::string_view head, bool last);
    // Parses the head once the plan is made; keeps what it leaves undecided.
    Status parse_head(std::string_view head, bool last, FileBytes* owned);
    Status set_plan(std::uint8_t delimiter, std::uint64_t expected);
    // Parses the rows of `window`, which starts at input offset base_ at a
    // row's start, and returns how many of its bytes they took.
    Result<std::uint64_t> parse(std::string_view window, bool last, FileBytes* owned);
    // One parsed row, the last of the sink's table: its fate, its count,
    // its delivery.
    Status settle(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes);
    // The last row of `rows` read again as the options ask: with the legacy
    // table when it is not UTF-8, without initial blanks.
    void reread(RowTable& rows, RowSource& source);
    RowSource source_of(const ParserPosition& after, std::uint64_t first_line, std::uint64_t last_line,
                        std::uint64_t start, std::uint64_t end) const noexcept;

    SalvageOptions options_;
    RowSink& sink_;
    Cancel cancel_;
    SalvageStats stats_;
    bool planned_ = false;
    std::uint8_t delimiter_ = ',';
    std::uint64_t expected_ = 0;
    std::string joiner_;         // the delimiter as UTF-8, for merging
    std::uint64_t head_limit_;
    std::string held_;           // the head before the plan, undecided bytes after
    std::optional<Spool> spool_; // the head, when it outgrew head_limit_
    std::uint64_t retry_at_ = 0; // held_ is parsed again once it is this long
    std::uint64_t base_ = 0;     // input offset of held_[0] (after the plan)
    std::uint64_t taken_ = 0;
    std::uint64_t polled_ = 0;
    ParserPosition at_;
    // In a range: no row starting at or past limit_ is parsed; the window
    // of text_ parsed reaches window_end_.
    std::string_view text_;
    std::uint64_t limit_ = UINT64_MAX;
    std::uint64_t window_end_ = 0;
    // Bytes parsed between two polls of cancel_: less in a range, where
    // other threads wait on a stop.
    std::uint64_t poll_step_ = kCancelStep;
    std::string decoded_;  // a row read with the legacy table
    std::string decoded_run_;  // clean lines read with it, not yet handed over
    static constexpr std::size_t kDecodedRun = 1 << 18;
    RowTable scratch_;
};

}  // namespace corvel
