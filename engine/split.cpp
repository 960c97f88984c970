#include "split.hpp"

#include "heuristics.hpp"
#include "memory.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace corvel {
namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
// How often a caller that waits for other threads polls its hook.
constexpr auto kWaitPoll = std::chrono::milliseconds(50);

// How a range's parse learns that the run is to stop.
struct StopCheck {
    std::atomic<bool>* stop;
    const Cancel* cancel;  // only on the caller's thread

    bool requested() const noexcept {
        if (stop->load(std::memory_order_relaxed)) return true;
        if (cancel != nullptr && cancel->requested()) {
            stop->store(true, std::memory_order_relaxed);
            return true;
        }
        return false;
    }
    // As a salvager polls it.
    Cancel hook() const noexcept {
        return {[](void* self) noexcept { return static_cast<const StopCheck*>(self)->requested(); },
                const_cast<StopCheck*>(this)};
    }
};

// One range, parsed from `start` into `sink`: wholly, or up to a row that
// ran too far for a start that was only a guess.
struct Parsed {
    std::uint64_t start = 0;
    std::unique_ptr<RowSink> sink;
    std::unique_ptr<Salvager> parse;
    bool whole = false;
};

void add_counts(SalvageStats& into, const SalvageStats& s) noexcept {
    into.total_rows += s.total_rows;
    into.salvaged_rows += s.salvaged_rows;
    into.repaired_rows += s.repaired_rows;
    into.quarantined_rows += s.quarantined_rows;
    into.legacy_decoded += s.legacy_decoded;
}

// The ranges of one run and the threads that work them. A thread takes the
// next range, parses it from its speculative start, and leaves it in its
// slot; whichever thread finds the next range to hand on ready becomes the
// one that hands on, checks each range's start and re-parses it if need be,
// until it meets a range not yet parsed.
class SplitRun {
public:
    SplitRun(std::string_view text, const Plan& plan, const SalvageOptions& options, RangeOutputs& outputs,
             std::uint64_t range_bytes, unsigned in_flight, const Cancel& cancel)
        : text_(text), plan_(plan), options_(options), outputs_(outputs), range_bytes_(range_bytes),
          ranges_(std::max<std::uint64_t>(1, (text.size() + range_bytes - 1) / range_bytes)),
          in_flight_(in_flight), cancel_(cancel), slots_(in_flight), next_start_(bom_bytes(text)) {}

    std::uint64_t ranges() const noexcept { return ranges_; }

    // The loop of every thread; the caller's thread polls `cancel` and
    // stays until every range is handed on or the run has failed.
    void work(bool caller) noexcept {
        const StopCheck check{&stop_, caller ? &cancel_ : nullptr};
        for (;;) {
            std::uint64_t k = 0;
            {
                std::unique_lock lock(mutex_);
                for (;;) {
                    if (failed() || handed_ == ranges_) return;
                    if (taken_ < ranges_ && taken_ < handed_ + in_flight_) break;
                    if (!caller) {
                        if (taken_ == ranges_) return;
                        changed_.wait(lock);
                        continue;
                    }
                    changed_.wait_for(lock, kWaitPoll);
                    if (cancel_.requested()) return fail(lock, SalvageError::cancelled());
                }
                k = taken_++;
            }
            // Inside a row longer than a range, a break is not looked for
            // further than the range's end: scanning the row's rest from
            // every cut in it would cost its length squared over a range.
            auto parsed = parse_range(k, speculative_start(text_, cut(k), limit(k)), k != 0, check);
            std::unique_lock lock(mutex_);
            if (!parsed) return fail(lock, parsed.error());
            Slot& slot = slots_[k % in_flight_];
            slot.parsed = std::move(parsed).value();
            slot.ready = true;
            if (handing_on_) continue;
            handing_on_ = true;
            hand_on_ready(lock, check);
            handing_on_ = false;
        }
    }

    Result<SplitStats> result() {
        if (error_) return *error_;
        split_.stats.inferred_columns = plan_.expected;
        split_.stats.detected_delimiter = plan_.delimiter;
        split_.ranges = ranges_;
        return split_;
    }

private:
    struct Slot {
        bool ready = false;
        Parsed parsed;
    };

    bool failed() const noexcept { return error_.has_value(); }

    void fail(std::unique_lock<std::mutex>&, SalvageError error) noexcept {
        if (!error_) error_.emplace(std::move(error));
        stop_.store(true);
        changed_.notify_all();
    }

    std::uint64_t cut(std::uint64_t k) const noexcept { return k * range_bytes_; }
    std::uint64_t limit(std::uint64_t k) const noexcept { return k + 1 == ranges_ ? kNoLimit : cut(k + 1); }

    // A speculative parse gives up on a row that runs a range's length past
    // the range's end: from a wrong start, a quote taken as opening may
    // never close, and no range is to cost more than a few ranges' work.
    Result<Parsed> parse_range(std::uint64_t k, std::uint64_t start, bool speculative,
                               const StopCheck& check) noexcept {
        return guard_memory([&]() -> Result<Parsed> {
            auto sink = outputs_.open();
            if (!sink) return sink.error();
            Parsed p{start, std::move(sink).value(), nullptr, false};
            p.parse = std::make_unique<Salvager>(options_, *p.sink);
            if (Status s = p.parse->begin_range(text_, plan_, start, limit(k)); !s) return s.error();
            const std::uint64_t cap = speculative && limit(k) != kNoLimit ? limit(k) + range_bytes_ : kNoLimit;
            auto whole = p.parse->advance_range(cap, check.hook());
            if (!whole) return whole.error();
            p.whole = whole.value();
            return p;
        });
    }

    // Hands on ranges in order while the next one is ready. Called with the
    // lock held, by one thread at a time; unlocks around the work.
    void hand_on_ready(std::unique_lock<std::mutex>& lock, const StopCheck& check) noexcept {
        while (!failed() && handed_ < ranges_ && slots_[handed_ % in_flight_].ready) {
            Slot& slot = slots_[handed_ % in_flight_];
            Parsed parsed = std::move(slot.parsed);
            slot.ready = false;
            const std::uint64_t k = handed_;
            lock.unlock();
            Status s = check_and_hand_on(k, std::move(parsed), check);
            lock.lock();
            if (!s) return fail(lock, s.error());
            ++handed_;
            changed_.notify_all();
        }
    }

    Status check_and_hand_on(std::uint64_t k, Parsed parsed, const StopCheck& check) noexcept {
        if (parsed.start != next_start_) {
            // The speculative start was wrong: a quote was open at the cut,
            // or a row crossed the whole range (and then the range has no
            // row, which costs nothing to find again).
            const bool empty = parsed.start >= limit(k) && next_start_ >= limit(k);
            parsed = Parsed{};
            auto again = parse_range(k, next_start_, false, check);
            if (!again) return again.error();
            parsed = std::move(again).value();
            if (!empty) ++split_.reruns;
            split_.rerun_bytes += parsed.parse->next_row() - parsed.start;
        } else if (!parsed.whole) {
            // The start was right after all: the long row is the range's.
            auto whole = parsed.parse->advance_range(kNoLimit, check.hook());
            if (!whole) return whole.error();
        }
        if (Status s = guard_memory([&] { return outputs_.hand_on(*parsed.sink, base_); }); !s) return s;
        add_counts(split_.stats, parsed.parse->stats());
        next_start_ = parsed.parse->next_row();
        base_ = base_.after(parsed.parse->position());
        return Done{};
    }

    std::string_view text_;
    Plan plan_;
    const SalvageOptions& options_;
    RangeOutputs& outputs_;
    std::uint64_t range_bytes_;
    std::uint64_t ranges_;
    std::uint64_t in_flight_;
    const Cancel& cancel_;
    std::atomic<bool> stop_{false};

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;  // range k waits in slot k % in_flight_
    std::uint64_t taken_ = 0;
    std::uint64_t handed_ = 0;
    bool handing_on_ = false;
    std::optional<SalvageError> error_;

    // Kept by the thread that hands on.
    std::uint64_t next_start_ = 0;  // where the next range truly starts
    LineBase base_;
    SplitStats split_;
};

}  // namespace

Crew crew_for(const SplitOptions& split, std::uint64_t ranges) noexcept {
    unsigned threads = split.threads != 0 ? split.threads : std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::uint64_t>(threads, ranges));
    return {threads, std::max(threads, split.in_flight != 0 ? split.in_flight : 2 * threads)};
}

std::uint64_t speculative_start(std::string_view text, std::uint64_t cut, std::uint64_t bound) noexcept {
    if (cut == 0) return bom_bytes(text);
    const std::uint64_t n = std::min<std::uint64_t>(text.size(), bound);
    if (cut >= n) return n;
    const auto* d = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::uint64_t p = cut - 1; p < n; ++p) {
        if (d[p] == '\n') return p + 1;
        if (d[p] == '\r') return p + 1 < n && d[p + 1] == '\n' ? p + 2 : p + 1;
    }
    return n;
}

Result<SplitStats> salvage_split(std::string_view text, const Plan& plan, const SalvageOptions& options,
                                 RangeOutputs& outputs, const SplitOptions& split, const Cancel& cancel) noexcept {
    return guard_memory([&]() -> Result<SplitStats> {
        const std::uint64_t range_bytes = std::max<std::uint64_t>(1, split.range_bytes);
        const std::uint64_t ranges = std::max<std::uint64_t>(1, (text.size() + range_bytes - 1) / range_bytes);
        const Crew crew = crew_for(split, ranges);
        SplitRun run(text, plan, options, outputs, range_bytes, crew.in_flight, cancel);
        run_crew(crew, [&run](bool caller) { run.work(caller); });
        return run.result();
    });
}

// ---- RangeBuffer and RangeFiles

Status RangeBuffer::begin(std::uint8_t delimiter, std::uint64_t) {
    format_.emplace(delimiter, quote_);
    delimiter_ = static_cast<char>(delimiter);
    return Done{};
}

Status RangeBuffer::accept(RowTable& rows, Fate, const RowSource&) {
    format_->append_row(clean_, rows, rows.size() - 1);
    rows.clear();
    return Done{};
}

// A plain line is copied as it stands: none of its fields can need enclosure.
Status RangeBuffer::accept_line(std::string_view text, std::uint64_t padding, Fate, const RowSource&) {
    append_in_place(clean_, text.size() + padding + 1, [&](char* p) {
        std::memcpy(p, text.data(), text.size());
        std::memset(p + text.size(), delimiter_, padding);
        p[text.size() + padding] = '\n';
    });
    return Done{};
}

Status RangeBuffer::accept_lines(std::string_view lines) {
    clean_.append(lines);
    return Done{};
}

Status RangeBuffer::reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view) {
    if (keep_rejected_) {
        rejected_.take_last_row(rows, reason_of(fate), source.line_after);
    } else {
        rows.pop_row();
    }
    return Done{};
}

Result<std::unique_ptr<RowSink>> RangeFiles::open() {
    std::string room;
    {
        const std::lock_guard lock(spare_mutex_);
        if (!spare_.empty()) {
            room = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    return std::unique_ptr<RowSink>(std::make_unique<RangeBuffer>(quote_, quarantine_ != nullptr, std::move(room)));
}

Status RangeFiles::hand_on(RowSink& sink, const LineBase& base) {
    auto& range = static_cast<RangeBuffer&>(sink);
    if (Status s = clean_.append(range.clean()); !s) return s;
    {
        const std::lock_guard lock(spare_mutex_);
        spare_.push_back(range.take_room());
    }
    if (quarantine_ == nullptr) return Done{};
    if (joiner_.empty()) joiner_ = byte_as_utf8(plan_.delimiter);
    const Quarantine& q = range.rejected();
    for (std::uint64_t i = 0; i < q.size(); ++i) {
        std::string& buf = quarantine_->buffer();
        const std::size_t start = buf.size();
        append_quarantine_record(buf, q.line(i) + base.line - 1, q.reason(i), plan_.expected, q.tokens(), i,
                                 joiner_);
        if (Status s = quarantine_->line_done(start); !s) return s;
    }
    return Done{};
}

}  // namespace corvel
