// Salvaging one input held in memory in byte ranges, on several threads, with
// the very rows, fates, counts and sources of a salvage of the whole.
//
// The input is cut every `range_bytes`; a row belongs to the range in which
// it starts. Where a range's first row starts depends on the quote state at
// its cut, which only the previous range can tell. So each range is parsed
// speculatively from the first row start after its cut as if no quote were
// open there, and its rows are checked when the previous range is done: that
// range stops at the first row that starts at or past the cut, and if that
// is not where the speculative parse began, the range is parsed again from
// there. Line numbers are counted from 1 in each range and put right when
// the range is handed on, from the lines of the ranges before it.
//
// Each range's rows go to a sink of its own; finished ranges are handed on
// one at a time, in input order. At most a few ranges are parsed or waiting
// at once, so memory holds a few ranges' outputs, whatever the input size.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "parser.hpp"
#include "pipeline.hpp"
#include "salvager.hpp"
#include "writer.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace corvel {

struct SplitOptions {
    std::uint64_t range_bytes = std::uint64_t{16} << 20;
    unsigned threads = 1;    // 0: one per core
    unsigned in_flight = 0;  // ranges taken but not yet handed on, at most; 0: twice the threads
};

// Where a range's rows start in the lines of the whole input: the line
// counter of the parser there. Sources given to a range's sink count lines
// from 1 at the range's start; absolute() puts them right.
struct LineBase {
    std::uint64_t line = 1;
    std::uint64_t lone_crs = 0;

    RowSource absolute(RowSource s) const noexcept {
        s.first_line += line - 1 + lone_crs;
        s.last_line += line - 1 + lone_crs;
        s.line_after += line - 1;
        return s;
    }
    // The base of the range that follows one that started here and ended
    // with the parser at `end` (counted from the range's start).
    LineBase after(const ParserPosition& end) const noexcept {
        return {line + end.line - 1, lone_crs + end.lone_crs};
    }
};

// The caller's side of a split run: a sink per range, and the ranges handed
// back in order.
class RangeOutputs {
public:
    virtual ~RangeOutputs() = default;
    // A new sink for one range. Called on any of the run's threads, several
    // at once. Its begin() is called by the run.
    virtual Result<std::unique_ptr<RowSink>> open() = 0;
    // A range's sink once all its rows are in it, in input order, one call
    // at a time. Its sources' lines are to be put right with `base`.
    virtual Status hand_on(RowSink& sink, const LineBase& base) = 0;
};

struct SplitStats {
    SalvageStats stats;
    std::uint64_t ranges = 0;
    std::uint64_t reruns = 0;      // ranges whose speculative start was wrong
    std::uint64_t rerun_bytes = 0; // input parsed again for them
    // Ranges recorded again, their start right but the recorder's state
    // there not as guessed (see rescue_parallel()).
    std::uint64_t rerecorded = 0;
    double serial_seconds = 0;     // CPU time spent handing ranges on, which no other thread can do
};

// How many threads work a run of `ranges` ranges, and how many ranges may
// be taken and not yet handed on at once.
struct Crew {
    unsigned threads = 1;
    unsigned in_flight = 1;
};
Crew crew_for(const SplitOptions& split, std::uint64_t ranges) noexcept;

// Runs `work(false)` on crew.threads - 1 threads of their own and
// `work(true)` on the calling one, and returns when all have returned.
// Fewer threads will do when the system has no more to give.
template <class Work>
void run_crew(const Crew& crew, Work&& work) noexcept {
    std::vector<std::jthread> helpers;
    try {
        helpers.reserve(crew.threads - 1);
        for (unsigned i = 1; i < crew.threads; ++i) helpers.emplace_back([&work] { work(false); });
    } catch (const std::exception&) {
    }
    work(true);
}  // the helpers are joined here

// Salvages `text` by the plan (see plan_for()) in ranges. `cancel` is polled
// on the calling thread only (a front end's hook may need to run there); the
// other threads stop when it asks, or when any range fails. The first error
// is returned; ranges already handed on stay handed on.
Result<SplitStats> salvage_split(std::string_view text, const Plan& plan, const SalvageOptions& options,
                                 RangeOutputs& outputs, const SplitOptions& split = {},
                                 const Cancel& cancel = {}) noexcept;

// Where the range cut at `cut` starts when no quote is open at the cut: just
// past the first line break that ends at or after it (the input's start,
// after any byte-order mark, for cut 0; the input's end when no break
// follows). No break is looked for at or past `bound`, which is returned
// when none comes before it: a range has no row start past its end.
std::uint64_t speculative_start(std::string_view text, std::uint64_t cut,
                                std::uint64_t bound = UINT64_MAX) noexcept;

// A range's rows in memory as the clean writer and the quarantine writer
// would write them; the rejected rows keep their line counts until hand-on.
class RangeBuffer final : public RowSink {
public:
    // `room` is an empty string whose capacity is to be used again.
    RangeBuffer(std::uint8_t quote, bool keep_rejected, std::string room = {}) noexcept
        : quote_(quote), keep_rejected_(keep_rejected), clean_(std::move(room)) {}

    RowTable& table() noexcept override { return row_; }
    bool takes_lines() const noexcept override { return true; }
    Status begin(std::uint8_t delimiter, std::uint64_t expected) override;
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override;
    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override;
    Status accept_lines(std::string_view lines) override;
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override;

    const std::string& clean() const noexcept { return clean_; }
    // The clean bytes' buffer, emptied, for another range.
    std::string take_room() noexcept {
        clean_.clear();
        return std::move(clean_);
    }
    const Quarantine& rejected() const noexcept { return rejected_; }

private:
    std::uint8_t quote_;
    bool keep_rejected_;
    char delimiter_ = ',';
    std::optional<CleanFormat> format_;
    std::string clean_;
    Quarantine rejected_;
    RowTable row_;
};

// RangeBuffers handed on to the clean file and, when there is one, the
// quarantine file (its header is the caller's to write).
class RangeFiles final : public RangeOutputs {
public:
    RangeFiles(BufferedOutput& clean, BufferedOutput* quarantine, const Plan& plan,
               std::uint8_t quote) noexcept
        : clean_(clean), quarantine_(quarantine), plan_(plan), quote_(quote) {}

    Result<std::unique_ptr<RowSink>> open() override;
    Status hand_on(RowSink& sink, const LineBase& base) override;

private:
    BufferedOutput& clean_;
    BufferedOutput* quarantine_;
    Plan plan_;
    std::uint8_t quote_;
    std::string joiner_;
    // Buffers of ranges handed on, for the next ranges: memory touched once
    // is much cheaper to fill than fresh memory.
    std::mutex spare_mutex_;
    std::vector<std::string> spare_;
};

}  // namespace corvel
