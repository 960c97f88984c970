// Salvaging in byte ranges on several threads: the same rows, fates, counts
// and sources as salvaging the whole, wherever the cuts fall; the files it
// writes; how it stops.
#include "collect_split.hpp"
#include "sinks.hpp"
#include "split.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace corvel {
namespace {

using corvel_test::Collect;
using corvel_test::CollectRanges;
using corvel_test::opts;
using corvel_test::Outcome;

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
        const std::string text = quoted_input(rng, 1 + rng() % 400);
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
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "p,q\n";
    text += "x,\"";
    for (int i = 0; i < 6000; ++i) text += i % 100 ? "long \"\" field " : "\r\n";
    text += "\"\n";
    for (int i = 0; i < 3000; ++i) text += "r,s\n";
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
    std::string quoted;
    std::string plain;
    for (int i = 0; i < 200; ++i) {
        quoted += "\"a\nb\",c\n";  // 8 bytes: the cut at every 9th lands all over it
        plain += "ab,c\n";
    }
    const SalvageOptions o = opts(',', 2);
    SplitOptions split{.range_bytes = 9, .threads = 2, .in_flight = 0};
    auto q = corvel_test::salvage_ranges(quoted, o, false, split);
    auto p = corvel_test::salvage_ranges(plain, o, false, split);
    ASSERT_TRUE(q.ok());
    ASSERT_TRUE(p.ok());
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
        {
            auto clean = BufferedOutput::create(path("whole.csv"), 64);
            auto rejected = BufferedOutput::create(path("whole-q.csv"), 64);
            ASSERT_TRUE(clean.ok() && rejected.ok());
            RowTable table;
            RowTable rejected_table;
            CleanFileSink clean_sink(clean.value(), o.quote_char, table);
            QuarantineFileSink rejected_sink(rejected.value(), rejected_table);
            SplitSink both(clean_sink, rejected_sink);
            ASSERT_TRUE(Salvager(o, both).run(text, plan.value()).ok());
            ASSERT_TRUE(clean.value().finish().ok() && rejected.value().finish().ok());
        }
        {
            auto clean = BufferedOutput::create(path("split.csv"), 64);
            auto rejected = BufferedOutput::create(path("split-q.csv"), 64);
            ASSERT_TRUE(clean.ok() && rejected.ok());
            RangeFiles files(clean.value(), &rejected.value(), plan.value(), o.quote_char);
            SplitOptions split{.range_bytes = 1 + rng() % 300, .threads = 2, .in_flight = 0};
            ASSERT_TRUE(salvage_split(text, plan.value(), o, files, split).ok());
            ASSERT_TRUE(clean.value().finish().ok() && rejected.value().finish().ok());
        }
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

std::string many_rows(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += "a,\"b\nc\",d\n";
    return text;
}

TEST(Split, TheFirstErrorEndsTheRun) {
    const std::string text = many_rows(2000);
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
    const std::string text = many_rows(3000000);
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

TEST(Split, AnEmptyInputIsOneEmptyRange) {
    CollectRanges ranges(false, '"');
    auto r = salvage_split("", Plan{}, opts(std::nullopt, std::nullopt), ranges, {.range_bytes = 4, .threads = 4});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().ranges, 1u);
    EXPECT_EQ(r.value().stats.total_rows, 0u);
    EXPECT_TRUE(ranges.events.empty());
}

}  // namespace
}  // namespace corvel
