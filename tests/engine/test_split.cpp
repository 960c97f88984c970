// Salvaging in byte ranges on several threads: the same rows, fates, counts
// and sources as salvaging the whole, wherever the cuts fall; the files it
// writes; how it stops.
#include "collect_split.hpp"
#include "rescue.hpp"
#include "sinks.hpp"
#include "split.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

// Options are spelt with designated initializers, the rest left at their
// defaults; g++ 12 counts the members without a default initializer as missing.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace corvel {
namespace {

using corvel_test::Collect;
using corvel_test::opts;
using corvel_test::Outcome;
using corvel_test::repeat;

// Random text that is mostly rows with quoted fields, doubled quotes, stray
// quotes and line breaks inside quotes, so that cuts often fall inside quotes.
std::string quoted_input(std::mt19937& rng, std::size_t n) {
    static const std::vector<std::string> pieces = {
        "a",   "bc", ",",  ";",  "\"",      "\"\"", "\"x\ny\"", "\"p,q\"", " ",     "\n",
        "\r",  "\r\n", "'", "\xC3\xA9", "\xFF", "x,y,z\n", "\"m\r\nn\",o\n", "\"open", "1,2\n"};
    std::string s;
    if (rng() % 8 == 0) s = "\xEF\xBB\xBF";
    while (s.size() < n) s += pieces[rng() % pieces.size()];
    return s;
}

std::vector<SalvageOptions> option_sets() {
    return {
        opts(std::nullopt, std::nullopt),
        opts(',', 3, {.fill = false, .merge = false}),
        opts(';', 2, {.merge = false, .repair = false}),
        opts(',', 0),
        opts(std::nullopt, 4, {.quote = '\''}),
        opts('"', std::nullopt, {.quote = ','}),
        opts('\n', 1, {.fill = false, .merge = false}),
    };
}

// Salvaging `text` in ranges gives the events and stats of salvaging it
// whole; returns the split's own figures.
SplitStats expect_as_whole(const std::string& text, const SalvageOptions& o, bool lines, const SplitOptions& split,
                           const std::string& what = "") {
    const std::string where = what + " ranges of " + std::to_string(split.range_bytes) + " on " +
                              std::to_string(split.threads) + (lines ? ", as lines" : "");
    auto want = corvel_test::salvage_whole(text, o, lines);
    auto got = corvel_test::salvage_ranges(text, o, lines, split);
    EXPECT_TRUE(want.ok() && got.ok()) << where;
    if (!want.ok() || !got.ok()) return {};
    const Outcome& w = want.value();
    const Outcome& g = got.value().outcome;
    EXPECT_EQ(w.events.size(), g.events.size()) << where;
    const auto differ = std::mismatch(w.events.begin(), w.events.end(), g.events.begin(), g.events.end());
    EXPECT_TRUE(differ.first == w.events.end()) << where << " row " << differ.first - w.events.begin();
    EXPECT_TRUE(w.same_as(g)) << where;
    return got.value().split;
}

TEST(Split, RangesJoinedEqualTheWhole) {
    std::mt19937 rng(20);
    std::uint64_t reruns = 0;
    for (int i = 0; i < 150; ++i) {
        std::string text = quoted_input(rng, 1 + rng() % 400);
        if (i == 0) text.clear();  // one empty range, no rows
        for (const SalvageOptions& o : option_sets()) {
            for (const bool lines : {false, true}) {
                SplitOptions split;
                split.range_bytes = 1 + rng() % 48;
                split.threads = 1 + rng() % 3;
                split.in_flight = rng() % 4;
                const SplitStats got = expect_as_whole(text, o, lines, split, "input " + std::to_string(i));
                if (HasFailure()) return;
                EXPECT_EQ(got.ranges, std::max<std::uint64_t>(1, (text.size() + split.range_bytes - 1) /
                                                                     split.range_bytes));
                reruns += got.reruns;
            }
        }
    }
    EXPECT_GT(reruns, 0u);  // the inputs did put cuts inside quotes
}

// Rows of one width are long runs of plain lines and quoted rows: cut at
// every size, including one byte and the whole.
TEST(Split, EveryRangeSizeOnRowsWithQuotedLineBreaks) {
    std::string text = "id,name,note\n";
    for (int i = 0; i < 40; ++i) {
        text += std::to_string(i) + (i % 3 ? ",plain,row\n" : ",\"two\nlines\",\"a \"\"q\"\"\"\r\n");
        if (i % 7 == 0) text += "short\n";
    }
    const SalvageOptions o = opts(std::nullopt, std::nullopt, {.fill = false});
    for (const bool lines : {false, true}) {
        for (std::uint64_t range = 1; range <= text.size() && !HasFailure(); ++range) {
            expect_as_whole(text, o, lines, {.range_bytes = range, .threads = 2, .in_flight = 0});
        }
    }
}

// Rows far longer than a range: one that a guessed start would have to
// follow more than a range past its end (it is finished once the start is
// confirmed), and a quote left open to the end of the input, which every
// later range's guess gets wrong.
TEST(Split, RowsLongerThanManyRanges) {
    std::string text = repeat("p,q\n", 3000) + "x,\"";
    for (int i = 0; i < 6000; ++i) text += i % 100 ? "long \"\" field " : "\r\n";
    text += "\"\n" + repeat("r,s\n", 3000);
    const std::string open_to_end = text + "\"never closed\n" + std::string(150000, 'z');
    for (const std::string* input : {&std::as_const(text), &open_to_end}) {
        for (const bool lines : {false, true}) {
            for (const std::uint64_t range : {std::uint64_t{4096}, std::uint64_t{50000}, std::uint64_t{1} << 20}) {
                expect_as_whole(*input, opts(std::nullopt, std::nullopt), lines,
                                {.range_bytes = range, .threads = 2, .in_flight = 0});
                if (HasFailure()) return;
            }
        }
    }
}

struct StartCase {
    std::string text;
    std::uint64_t cut;
    std::uint64_t start;
};

TEST(Split, SpeculativeStartIsPastTheFirstBreakFromTheCut) {
    const std::vector<StartCase> cases = {
        {"a\nb\n", 0, 0},
        {"\xEF\xBB\xBF" "a\n", 0, 3},
        {"a\nb\n", 1, 2},   // the cut is on the LF
        {"a\nb\n", 2, 2},   // the cut is a row's start
        {"ab\ncd", 1, 3},
        {"a\r\nb", 2, 3},   // the cut falls inside CR LF
        {"a\r\nb", 3, 3},
        {"ab\r\nc", 2, 4},
        {"a\rb", 2, 2},     // a lone CR ends a row
        {"a\rb\n", 3, 4},
        {"abc", 1, 3},      // no break: the end
        {"a\n", 9, 2},
    };
    for (const StartCase& c : cases) EXPECT_EQ(speculative_start(c.text, c.cut), c.start) << c.text << " " << c.cut;
}

// A cut inside a quoted line break misleads the speculative start; a cut
// between plain rows never does.
TEST(Split, RerunsOnlyWhereACutFallsInsideQuotes) {
    // 8 bytes a row: the cut at every 9th lands all over it.
    const SplitOptions split{.range_bytes = 9, .threads = 2};
    auto q = corvel_test::salvage_ranges(repeat("\"a\nb\",c\n", 200), opts(',', 2), false, split);
    auto p = corvel_test::salvage_ranges(repeat("ab,c\n", 200), opts(',', 2), false, split);
    ASSERT_TRUE(q.ok() && p.ok());
    EXPECT_GT(q.value().split.reruns, 0u);
    EXPECT_LT(q.value().split.reruns, q.value().split.ranges);
    EXPECT_EQ(p.value().split.reruns, 0u);
    EXPECT_EQ(q.value().outcome.stats.total_rows, 200u);
}

class SplitFiles : public ::testing::Test, protected corvel_test::ScratchDir {};

// RangeFiles writes the bytes the clean and quarantine file sinks write.
TEST_F(SplitFiles, WritesWhatTheWholeRunWrites) {
    std::mt19937 rng(21);
    for (int i = 0; i < 40; ++i) {
        const std::string text = quoted_input(rng, 200 + rng() % 2000);
        const SalvageOptions o = opts(',', 3, {.fill = i % 2 == 0, .merge = i % 3 == 0});
        auto plan = plan_for(text, o);
        ASSERT_TRUE(plan.ok());
        // Runs `salvage` into the clean file `name` and its quarantine.
        const auto into = [&](const std::string& name, const auto& salvage) {
            auto clean = BufferedOutput::create(path(name + ".csv"), 64);
            auto rejected = BufferedOutput::create(path(name + "-q.csv"), 64);
            ASSERT_TRUE(clean.ok() && rejected.ok());
            ASSERT_TRUE(salvage(clean.value(), rejected.value()).ok());
            ASSERT_TRUE(clean.value().finish().ok() && rejected.value().finish().ok());
        };
        into("whole", [&](BufferedOutput& clean, BufferedOutput& rejected) {
            RowTable table, rejected_table;
            CleanFileSink clean_sink(clean, o.quote_char, table);
            QuarantineFileSink rejected_sink(rejected, rejected_table);
            SplitSink both(clean_sink, rejected_sink);
            return Salvager(o, both).run(text, plan.value());
        });
        into("split", [&](BufferedOutput& clean, BufferedOutput& rejected) {
            RangeFiles files(clean, &rejected, plan.value(), o.quote_char);
            return salvage_split(text, plan.value(), o, files, {.range_bytes = 1 + rng() % 300, .threads = 2});
        });
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(read("whole.csv"), read("split.csv")) << i;
        ASSERT_EQ(read("whole-q.csv"), read("split-q.csv")) << i;
    }
}

// A sink that keeps nothing.
class Drop final : public RowSink {
public:
    RowTable& table() noexcept override { return table_; }
    Status accept(RowTable& rows, Fate, const RowSource&) override {
        rows.clear();
        return Done{};
    }
    Status reject(RowTable& rows, Fate, const RowSource&, std::string_view) override {
        rows.pop_row();
        return Done{};
    }

private:
    RowTable table_;
};

// Hands on the first `good` ranges and fails on the next.
class FailingRanges final : public RangeOutputs {
public:
    explicit FailingRanges(std::uint64_t good) : good_(good) {}
    Result<std::unique_ptr<RowSink>> open() override { return std::unique_ptr<RowSink>(std::make_unique<Drop>()); }
    Status hand_on(RowSink&, const LineBase&) override {
        if (handed == good_) return SalvageError::io("disk on fire");
        ++handed;
        return Done{};
    }
    std::uint64_t handed = 0;

private:
    std::uint64_t good_;
};

TEST(Split, TheFirstErrorEndsTheRun) {
    const std::string text = repeat("a,\"b\nc\",d\n", 2000);
    for (const unsigned threads : {1u, 2u, 3u}) {
        FailingRanges ranges(5);
        auto r = salvage_split(text, Plan{',', 3}, opts(',', 3), ranges, {.range_bytes = 100, .threads = threads});
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().text(), "disk on fire");
        EXPECT_EQ(ranges.handed, 5u);
    }
}

bool stop_after_some(void* context) noexcept {
    return static_cast<std::atomic<int>*>(context)->fetch_add(1) >= 3;
}

TEST(Split, TheCallersHookStopsEveryThread) {
    // Ranges past the poll step, so that the hook is asked while parsing too.
    const std::string text = repeat("a,\"b\nc\",d\n", 3000000);
    for (const unsigned threads : {1u, 2u}) {
        std::atomic<int> polls{0};
        const Cancel cancel{stop_after_some, &polls};
        FailingRanges ranges(1000);
        auto r = salvage_split(text, Plan{',', 3}, opts(',', 3), ranges,
                               {.range_bytes = 3 << 20, .threads = threads}, cancel);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), SalvageError::Kind::Cancelled);
        EXPECT_LT(ranges.handed, 10u);  // of 10
    }
}

// ---- The package's salvage in ranges: rescue_parallel() against rescue()

struct Rescued {
    std::string clean, quarantine, audit;
    std::vector<std::uint64_t> counts;
};

using corvel_test::StringAt;

// Salvaged whole, or in ranges (`split`) each recorded where it is parsed.
Result<Rescued> rescue_text(const std::string& text, const RescueOptions& o, const SplitOptions* split);

// Salvages `text` whole and in ranges: the same clean file, quarantine, audit
// and counts. Returns whether the whole run succeeded.
bool expect_rescued_alike(const std::string& text, const RescueOptions& o, const SplitOptions& split,
                          const std::string& where) {
    auto whole = rescue_text(text, o, nullptr);
    auto ranges = rescue_text(text, o, &split);
    EXPECT_EQ(whole.ok(), ranges.ok()) << where;
    if (!whole.ok() || !ranges.ok()) return whole.ok();
    EXPECT_EQ(ranges.value().clean, whole.value().clean) << where;
    EXPECT_EQ(ranges.value().quarantine, whole.value().quarantine) << where;
    EXPECT_EQ(ranges.value().audit, whole.value().audit) << where;
    EXPECT_EQ(ranges.value().counts, whole.value().counts) << where;
    return true;
}

// The package's options, each set one way; the sixth as detection describes a
// table: a title, a header of two rows, a footer and a later table looked
// for, backslash escapes.
const RescueOptions kRescueSets[] = {
    {},
    {.legacy = &corvel_test::latin1()},
    {.fill_ragged_rows = false, .merge_overflow = false, .header = true},
    {.skip_initial_space = true, .output_delimiter = ';', .legacy = &corvel_test::latin1()},
    {.quote = std::nullopt, .skip_blank_lines = false},
    {.escape = '\\', .expected_columns = 3, .header = true, .preamble_rows = 1, .header_rows = 2,
     .find_footer = true, .find_tables = true},
    {.expected_columns = 0},
    {.find_footer = true, .find_tables = true},
};

std::string table_with_ends(std::mt19937& rng) {
    std::string s = "Report\n\ngroup,,\nid,name,amount\n";
    for (int i = 0; i < 60; ++i) {
        const std::string n = std::to_string(i);
        switch (rng() % 6) {
            case 0: s += n + ",\"two\nlines\",1\n"; break;
            case 1: s += n + ",caf\xe9,2\n"; break;
            case 2: s += n + ",short\n"; break;
            case 3: s += n + ",\"a \\\"b\\\"\",3,surplus\n"; break;
            case 4: s += "\n"; break;
            default: s += n + ",plain,4\n"; break;
        }
    }
    return s + "Total,,99\n\nk,v\n1,2\n";
}

// Every row is recorded as the single-threaded salvage records it: the
// clean file, the quarantine, the audit and every count, for ranges of
// random sizes on up to three threads.
TEST(RescueSplit, RecordsWhatRescueRecords) {
    std::mt19937 rng(22);
    for (int i = 0; i < 60; ++i) {
        const std::string text = i % 3 == 0 ? table_with_ends(rng) : quoted_input(rng, 1 + rng() % 3000);
        for (std::size_t set = 0; set < std::size(kRescueSets); ++set) {
            const SplitOptions split{.range_bytes = 1 + rng() % 300, .threads = 1 + static_cast<unsigned>(rng() % 3),
                                     .in_flight = static_cast<unsigned>(rng() % 4)};
            expect_rescued_alike(text, kRescueSets[set], split,
                                 "input " + std::to_string(i) + " set " + std::to_string(set) + " range " +
                                     std::to_string(split.range_bytes));
            if (HasFailure()) return;
        }
    }
}

// Runs of clean lines far longer than a range, and rows that cross many.
TEST(RescueSplit, LongRunsAndLongRows) {
    std::string text = "a,b,c\n";
    for (int i = 0; i < 5000; ++i) text += std::to_string(i) + ",x,y\n";
    text += "1,\"" + std::string(20000, 'q') + "\n\",z\n";
    for (int i = 0; i < 5000; ++i) text += std::to_string(i) + (i % 50 ? ",x,y\n" : ",x\n");
    for (const std::uint64_t range : {std::uint64_t{7}, std::uint64_t{1000}, std::uint64_t{65536}}) {
        const SplitOptions split{.range_bytes = range, .threads = 2, .in_flight = 0};
        for (const int set : {0, 2, 5, 7}) {
            EXPECT_TRUE(expect_rescued_alike(text, kRescueSets[set], split, std::to_string(range)));
        }
    }
}

// A table of a few thousand rows, most of them plain, so that most ranges
// of a few KiB are taken as their guess made them: the rows held at each
// range's end go out before the next range's, records keep their order,
// and the footer and a later table are judged where they stand.
std::string long_table(std::mt19937& rng) {
    std::string s = "id,name,amount\n";
    const int rows = 2000 + static_cast<int>(rng() % 2000);
    for (int i = 0; i < rows; ++i) {
        const std::string n = std::to_string(i);
        const unsigned pick = rng() % 100;
        if (pick < 80) s += n + ",plain,4\n";
        else if (pick < 85) s += n + ",short\n";
        else if (pick < 89) s += n + ",\"two\nlines\",1\n";
        else if (pick < 92) s += n + ",caf\xe9,2\n";
        else if (pick < 95) s += n + ",a,b,surplus\r\n";
        else if (pick < 97) s += n + ",\"stray\" quote,3\n";
        else s += "\n";
    }
    s += "Total,,99\n";
    if (rng() % 2) s += "\nk,v\n1,2\n";
    return s;
}

TEST(RescueSplit, GuessesTakenAsTheyStand) {
    std::mt19937 rng(31);
    for (int i = 0; i < 12; ++i) {
        const std::string text = long_table(rng);
        for (std::size_t set = 0; set < std::size(kRescueSets); ++set) {
            const SplitOptions split{.range_bytes = 512u << (rng() % 4), .threads = 2, .in_flight = 0};
            expect_rescued_alike(text, kRescueSets[set], split,
                                 "input " + std::to_string(i) + " set " + std::to_string(set) + " range " +
                                     std::to_string(split.range_bytes));
            if (HasFailure()) return;
        }
    }
}

// A failing side is named as rescue() names it; a stop asked for by the
// progress hook ends the run as an interruption.
TEST(RescueSplit, FailuresNameTheirSide) {
    const std::string text = "a,b\n" + repeat("1,2,3\n", 2000);
    const SplitOptions split{.range_bytes = 500, .threads = 2, .in_flight = 0};
    {
        StringAt at(text, 100);
        corvel_test::StringSink clean, quarantine(ENOSPC);
        const RescueOptions& o = kRescueSets[2];
        CsvRanges ranges(clean, o);
        Side side = Side::Input;
        auto r = rescue_parallel(at, text.size(), ranges, {&quarantine, nullptr}, o, split, {}, &side);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(side, Side::Quarantine);
        EXPECT_EQ(r.error().os_code(), ENOSPC);
    }
    {
        // A stop asked for before any range is recorded, and an input
        // shorter or longer than its size said.
        StringAt at(text, 100);
        corvel_test::StringSink clean;
        const RescueOptions o;
        Side side = Side::Clean;
        const Progress stop{[](void*, std::uint64_t) noexcept { return true; }, nullptr};
        CsvRanges ranges(clean, o);
        auto r = rescue_parallel(at, text.size(), ranges, {}, o, split, stop, &side);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(side, Side::Input);
        EXPECT_EQ(r.error().os_code(), EINTR);
        EXPECT_EQ(clean.text, "");
        for (const std::uint64_t size : {text.size() + 5000, text.size() - 5000}) {
            auto changed = rescue_parallel(at, size, ranges, {}, o, split, {}, &side);
            ASSERT_FALSE(changed.ok());
            EXPECT_EQ(side, Side::Input);
        }
    }
}


// ---- Ranges planned once and salvaged each on its own: rescue_range()

Result<Rescued> rescue_text(const std::string& text, const RescueOptions& o, const SplitOptions* split) {
    corvel_test::StringSource in(text, 1 + text.size() / 3);
    StringAt at(text, 1 + text.size() / 3);
    corvel_test::StringSink clean, quarantine, audit;
    CsvSink rows(clean, o);
    CsvRanges ranges(clean, o);
    Side side = Side::Input;
    auto r = split ? rescue_parallel(at, text.size(), ranges, {&quarantine, &audit}, o, *split, {}, &side)
                   : rescue(in, rows, {&quarantine, &audit}, o, {}, &side);
    if (!r) return r.error();
    const RescueCounts& c = r.value();
    return Rescued{clean.text, quarantine.text, audit.text,
                   {c.rows_read, c.rows_written, c.rows_clean, c.rows_repaired, c.padded, c.merged, c.quote_repaired,
                    c.bytes_replaced, c.legacy_decoded, c.rows_set_aside, c.too_few_columns, c.too_many_columns,
                    c.rows_skipped, c.header_written, c.width, c.bytes_read, c.delimiter, c.preamble,
                    c.header_set_aside, c.footer, c.second_table, c.tables_found}};
}

Result<std::vector<std::string>> plan_text(const std::string& text, const RescueOptions& o, std::uint64_t range) {
    corvel_test::StringSource in(text, 1 + text.size() / 2);
    corvel_test::StringSink none;
    CsvSink model(none, o);
    return plan_ranges(in, text.size(), o, model, range, {});
}

// Each range salvaged on its own, in the order `order` gives, then joined
// in input order: quarantine headers but the first dropped, counts summed.
Result<Rescued> rescue_planned(const std::string& text, const RescueOptions& o, const std::vector<std::string>& states,
                               const std::vector<std::size_t>& order) {
    std::vector<Rescued> parts(states.size());
    for (const std::size_t k : order) {
        StringAt in(text, 1 + k * 7);
        corvel_test::StringSink clean, quarantine, audit;
        CsvSink rows(clean, o);
        Side side = Side::Input;
        auto r = rescue_range(in, states[k], rows, {&quarantine, &audit}, o, {}, &side);
        if (!r) return r.error();
        const RescueCounts& c = r.value();
        parts[k] = {clean.text, quarantine.text, audit.text,
                    {c.rows_read, c.rows_written, c.rows_clean, c.rows_repaired, c.padded, c.merged,
                     c.quote_repaired, c.bytes_replaced, c.legacy_decoded, c.rows_set_aside, c.too_few_columns,
                     c.too_many_columns, c.rows_skipped, c.header_written, c.width, c.bytes_read, c.delimiter,
                     c.preamble, c.header_set_aside, c.footer, c.second_table, c.tables_found}};
    }
    Rescued joined = parts[0];
    constexpr std::size_t kWidth = 14, kDelimiter = 16;  // the same in every range
    for (std::size_t k = 1; k < parts.size(); ++k) {
        joined.clean += parts[k].clean;
        joined.quarantine += parts[k].quarantine.substr(parts[k].quarantine.find('\n') + 1);
        joined.audit += parts[k].audit;
        for (std::size_t i = 0; i < joined.counts.size(); ++i) {
            if (i == kWidth || i == kDelimiter) {
                EXPECT_EQ(parts[k].counts[i], joined.counts[i]);
            } else {
                joined.counts[i] += parts[k].counts[i];
            }
        }
    }
    return joined;
}

void expect_planned_alike(const std::string& text, const RescueOptions& o, std::uint64_t range, std::mt19937& rng,
                          const std::string& where) {
    auto whole = rescue_text(text, o, nullptr);
    auto states = plan_text(text, o, range);
    ASSERT_EQ(whole.ok(), states.ok()) << where;
    if (!whole.ok()) return;
    ASSERT_FALSE(states.value().empty()) << where;
    std::vector<std::size_t> order(states.value().size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::shuffle(order.begin(), order.end(), rng);
    auto ranges = rescue_planned(text, o, states.value(), order);
    ASSERT_TRUE(ranges.ok()) << where << ": " << ranges.error().text();
    EXPECT_EQ(ranges.value().clean, whole.value().clean) << where;
    EXPECT_EQ(ranges.value().quarantine, whole.value().quarantine) << where;
    EXPECT_EQ(ranges.value().audit, whole.value().audit) << where;
    EXPECT_EQ(ranges.value().counts, whole.value().counts) << where;
}

// Random inputs full of quotes, line breaks, blank lines, footers and later
// tables, cut anywhere: the ranges, each salvaged alone and in any order,
// joined, are the whole run.
TEST(PlannedRanges, JoinedEqualTheWholeRun) {
    std::mt19937 rng(20);
    for (int i = 0; i < 60; ++i) {
        const std::string text = i % 3 == 0 ? table_with_ends(rng) : quoted_input(rng, 1 + rng() % 3000);
        for (std::size_t set = 0; set < std::size(kRescueSets); ++set) {
            const std::uint64_t range = 1 + rng() % 300;
            expect_planned_alike(text, kRescueSets[set], range, rng,
                                 "input " + std::to_string(i) + " set " + std::to_string(set) + " range " +
                                     std::to_string(range));
            if (HasFailure()) return;
        }
    }
}

// Runs of clean lines longer than a range, a row across many ranges (whose
// empty ranges are left out), and one longer than a range's first read.
TEST(PlannedRanges, LongRunsAndLongRows) {
    std::mt19937 rng(7);
    std::string text = "a,b,c\n";
    for (int i = 0; i < 3000; ++i) text += std::to_string(i) + ",x,y\n";
    text += "1,\"" + std::string(20000, 'q') + "\n\",z\n";
    for (int i = 0; i < 3000; ++i) text += std::to_string(i) + (i % 50 ? ",x,y\n" : ",x\n");
    text += "2,\"" + std::string(3 << 20, 'r') + "\",z\nTotal,,9\n";
    for (const std::uint64_t range : {std::uint64_t{1000}, std::uint64_t{65536}, std::uint64_t{1} << 20}) {
        for (const int set : {0, 2, 5, 7}) {
            expect_planned_alike(text, kRescueSets[set], range, rng,
                                 std::to_string(range) + " set " + std::to_string(set));
        }
    }
    auto states = plan_text(text, {}, 1000);
    ASSERT_TRUE(states.ok());
    EXPECT_LT(states.value().size(), text.size() / 1000);  // the ranges inside the long rows are left out
}

// A state cut short or with a byte changed, or an input that is not the one
// planned, is refused with an error or salvaged; it never crashes.
TEST(PlannedRanges, BadStatesAndChangedInputsAreRefused) {
    std::mt19937 rng(3);
    const std::string text = table_with_ends(rng) + table_with_ends(rng);
    const RescueOptions& o = kRescueSets[5];
    auto states = plan_text(text, o, 200);
    ASSERT_TRUE(states.ok());
    ASSERT_GT(states.value().size(), 3u);
    const auto run = [&](const std::string& input, const std::string& state) {
        StringAt in(input, 64);
        corvel_test::StringSink clean, quarantine;
        CsvSink rows(clean, o);
        Side side = Side::Input;
        return rescue_range(in, state, rows, {&quarantine, nullptr}, o, {}, &side);
    };
    const std::string& state = states.value()[2];
    for (std::size_t n = 0; n < state.size(); n += 1 + n / 16) {
        auto r = run(text, state.substr(0, n));
        ASSERT_FALSE(r.ok()) << n;
        EXPECT_EQ(r.error().text(), "not the state of a planned byte range") << n;
    }
    for (int i = 0; i < 300; ++i) {
        std::string changed = state;
        changed[rng() % changed.size()] ^= static_cast<char>(1 << (rng() % 8));
        (void)run(text, changed);
    }
    for (const std::string& input : {text + "x", text.substr(0, text.size() - 1), text.substr(0, 100)}) {
        auto r = run(input, states.value().back());
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().text(), "the input changed since its byte ranges were planned");
    }
}

}  // namespace
}  // namespace corvel
