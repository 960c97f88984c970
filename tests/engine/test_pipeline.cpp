// The resumable salvager: the same rows, sources and counts however the
// input is cut, each row's exact place in the input, and the streaming file
// driver's all-or-nothing targets.
#include "salvage.hpp"
#include "salvager.hpp"
#include "collect.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace corvel_test {

// How gtest shows an event.
std::ostream& operator<<(std::ostream& os, const Event& e) {
    os << (e.accepted ? "accept" : "reject") << " fate " << int(e.fate) << " [";
    for (const auto& f : e.fields) os << '"' << f << "\" ";
    const corvel::RowSource& s = e.source;
    return os << "] lines " << s.first_line << "-" << s.last_line << " after " << s.line_after << " bytes " << s.offset
              << "+" << s.length << " q" << s.quote_repaired << " u" << s.utf8_replaced;
}

}  // namespace corvel_test

namespace corvel {
namespace {

using corvel_test::opts;
namespace fs = std::filesystem;

using corvel_test::Collect;
using corvel_test::Event;
using corvel_test::Outcome;

Outcome whole(std::string_view text, const SalvageOptions& o, bool lines) {
    auto r = corvel_test::salvage_whole(text, o, lines);
    EXPECT_TRUE(r.ok());
    return r.ok() ? std::move(r).value() : Outcome{};
}

Outcome chunked(std::string_view text, const SalvageOptions& o, bool lines, const std::vector<std::size_t>& cuts,
                std::uint64_t head_limit = Salvager::kHeadLimit) {
    auto r = corvel_test::salvage_cut(text, o, lines, cuts, head_limit);
    EXPECT_TRUE(r.ok());
    return r.ok() ? std::move(r).value() : Outcome{};
}


void expect_same(const Outcome& a, const Outcome& b, const std::string& what) {
    ASSERT_EQ(a.events.size(), b.events.size()) << what;
    for (std::size_t i = 0; i < a.events.size(); ++i) ASSERT_EQ(a.events[i], b.events[i]) << what << " row " << i;
    EXPECT_TRUE(a.same_as(b)) << what;
}

std::string printable(std::string_view s) {
    std::string out;
    for (const unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

const std::vector<std::string> kTricky = {
    "",
    "\xEF\xBB\xBF",
    "\xEF\xBB\xBF" "a,b\r\nc,d",
    "a,b\r\nc\rd\n\re",
    "a,b,c\n1,2\n3,4,5,6\n\n",
    "'He said 'hi' to me',x\n'a'x'y\n",
    "\"a\r\nb\",c\n\"open,\nrest\r",
    "\"x\"\"\"y\",\"\" \n\"a\"  ,b\n",
    "caf\xC3\xA9;cr\xC3\xA8me\n\xC3;\xFF\xFE;x\n",
    "\"He said \"hi\"   \n\"a\"b\"\t\n",
    "a\tb\tc\r\n\"d\te\"\tf\r\n",
};

// Random bytes from an alphabet rich in what the parser reacts to.
std::string random_input(std::mt19937& rng, std::size_t n) {
    static const std::vector<std::string> pieces = {"a", "bc", ",", ";", "\t", "|", "\"", "\"\"", "'", " ",
                                                    "\n", "\r", "\r\n", "\xC3\xA9", "\xC3", "\xFF", "x,y,z\n"};
    std::string s;
    if (rng() % 8 == 0) s = "\xEF\xBB\xBF";
    while (s.size() < n) s += pieces[rng() % pieces.size()];
    return s;
}

std::vector<SalvageOptions> option_sets() {
    return {
        opts(std::nullopt, std::nullopt),
        opts(std::nullopt, std::nullopt, {.fill = false, .merge = false}),
        opts(',', 3, {.fill = false}),
        opts(';', 2, {.merge = false, .repair = false}),
        opts(',', 0),
        opts(std::nullopt, 4, {.quote = '\''}),
        opts('"', std::nullopt, {.quote = ','}),
        opts('\n', 1, {.fill = false, .merge = false}),
    };
}

// Cuts for every size from 1 byte to the whole, and at random places.
std::vector<std::vector<std::size_t>> cuttings(std::mt19937& rng, std::size_t n) {
    std::vector<std::vector<std::size_t>> out;
    for (const std::size_t step : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, n / 2}) {
        if (step == 0) continue;
        std::vector<std::size_t> cuts;
        for (std::size_t at = step; at < n; at += step) cuts.push_back(at);
        out.push_back(std::move(cuts));
    }
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; at < n;) {
        at += 1 + rng() % 9;
        if (at < n) cuts.push_back(at);
    }
    out.push_back(std::move(cuts));
    return out;
}

TEST(Pipeline, SameResultHoweverTheInputIsCut) {
    std::mt19937 rng(14);
    std::vector<std::string> inputs = kTricky;
    for (int i = 0; i < 60; ++i) inputs.push_back(random_input(rng, 1 + rng() % 200));
    for (const std::string& text : inputs) {
        for (const SalvageOptions& o : option_sets()) {
            for (const bool lines : {false, true}) {
                const Outcome want = whole(text, o, lines);
                for (const auto& cuts : cuttings(rng, text.size())) {
                    expect_same(want, chunked(text, o, lines, cuts),
                                printable(text) + " in " + std::to_string(cuts.size() + 1) + " pieces");
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

// A head that cannot be decided within the limit goes to a spool file and
// comes back: the same result as the whole text.
TEST(Pipeline, HeadsPastTheLimitAreSpooled) {
    std::string blank_head(5000, '\n');
    blank_head += "a;b;c\n1;2\n";
    std::string open_quote = "x,\"" + std::string(5000, 'y') + "\nz,w\n";
    std::string many_rows;
    for (int i = 0; i < 300; ++i) many_rows += "p|\"q\nr\"|s\n";
    std::mt19937 rng(16);
    for (const std::string& text : {blank_head, open_quote, many_rows}) {
        for (const SalvageOptions& o : option_sets()) {
            const Outcome want = whole(text, o, true);
            for (const auto& cuts : cuttings(rng, text.size())) {
                expect_same(want, chunked(text, o, true, cuts, 1024), printable(text.substr(0, 20)) + "... spooled");
                if (HasFatalFailure()) return;
            }
        }
    }
}

// The salvager's rows and records are those of salvage_slice.
TEST(Pipeline, AgreesWithSalvageSlice) {
    std::mt19937 rng(15);
    for (int i = 0; i < 200; ++i) {
        const std::string text = random_input(rng, 1 + rng() % 300);
        for (const SalvageOptions& o : option_sets()) {
            const Outcome run = whole(text, o, false);
            auto slice = salvage_slice(text, o);
            ASSERT_TRUE(slice.ok());
            const SalvageOutcome& out = slice.value();
            std::uint64_t accepted = 0, rejected = 0;
            for (const Event& e : run.events) {
                if (e.accepted) {
                    ASSERT_LT(accepted, out.rows.size());
                    EXPECT_EQ(e.fields, out.rows.row(accepted++)) << printable(text);
                } else {
                    ASSERT_LT(rejected, out.quarantine.size());
                    const QuarantineRecord rec = out.quarantine_record(rejected++);
                    EXPECT_EQ(e.fields, rec.tokens);
                    EXPECT_EQ(e.source.line_after, rec.line);
                }
            }
            EXPECT_EQ(accepted, out.rows.size());
            EXPECT_EQ(rejected, out.quarantine.size());
            EXPECT_EQ(run.stats.total_rows, out.stats.total_rows);
        }
    }
}

// Each row's lines and bytes, which must cut exactly its source out of the
// input: the bytes from `offset` on, without the line break that ends it.
struct Located {
    std::uint64_t first_line, last_line, offset, length;
    bool quote_repaired = false;
};

struct LocationCase {
    const char* name;
    std::string text;
    std::vector<Located> rows;
};

const LocationCase kLocations[] = {
    {"LF", "a,b\nc,d\n", {{1, 1, 0, 3}, {2, 2, 4, 3}}},
    {"CR", "a,b\rc,d\r", {{1, 1, 0, 3}, {2, 2, 4, 3}}},
    {"CR LF", "a,b\r\nc,d\r\n", {{1, 1, 0, 3}, {2, 2, 5, 3}}},
    {"no final break", "a,b\nc,d", {{1, 1, 0, 3}, {2, 2, 4, 3}}},
    {"blank lines", "a,b\n\n\r\nc,d\n", {{1, 1, 0, 3}, {2, 2, 4, 0}, {3, 3, 5, 0}, {4, 4, 7, 3}}},
    {"byte-order mark", "\xEF\xBB\xBF" "a,b\nc,d\n", {{1, 1, 3, 3}, {2, 2, 7, 3}}},
    {"quoted LF", "\"a\nb\",c\nd,e\n", {{1, 2, 0, 7}, {3, 3, 8, 3}}},
    {"quoted CR LF", "x,\"a\r\nb\r\nc\"\nd,e", {{1, 3, 0, 11}, {4, 4, 12, 3}}},
    {"quoted lone CR", "\"a\rb\",c\r\nd,e\r\n", {{1, 2, 0, 7}, {3, 3, 9, 3}}},
    {"open quote at the end", "a,b\n\"c,d\ne\n", {{1, 1, 0, 3}, {2, 3, 4, 7, true}}},
    {"stray quote", "\"He said \"hi\" x\",y\nz,w\n", {{1, 1, 0, 18, true}, {2, 2, 19, 3}}},
};

TEST(Pipeline, LocationsCutEachRowOutOfTheInput) {
    for (const LocationCase& c : kLocations) {
        for (const std::size_t step : {std::size_t{1}, std::size_t{2}, c.text.size() + 1}) {
            Collect sink(false);
            Salvager salvager(opts(',', 0), sink);
            for (std::size_t at = 0; at < c.text.size(); at += step) ASSERT_TRUE(salvager.push(c.text.substr(at, step)).ok());
            ASSERT_TRUE(salvager.finish().ok());
            ASSERT_EQ(sink.events.size(), c.rows.size()) << c.name;
            for (std::size_t i = 0; i < c.rows.size(); ++i) {
                const RowSource& got = sink.events[i].source;
                const Located& want = c.rows[i];
                EXPECT_EQ(std::tie(got.first_line, got.last_line, got.offset, got.length, got.quote_repaired),
                          std::tie(want.first_line, want.last_line, want.offset, want.length, want.quote_repaired))
                    << c.name << " row " << i << " in steps of " << step;
                // The lines named hold exactly the row's bytes.
                std::uint64_t line = 1;
                for (std::uint64_t b = 0; b < got.offset; ++b) {
                    const char ch = c.text[b];
                    if (ch == '\n' || (ch == '\r' && (b + 1 == c.text.size() || c.text[b + 1] != '\n'))) ++line;
                }
                EXPECT_EQ(line, got.first_line) << c.name << " row " << i;
            }
        }
    }
}

TEST(Pipeline, RejectedRowsCarryTheirExactBytes) {
    const std::string text = "a;b;c\n\"x\"\"y\";\xFF\r\n1;2;3;4\n";
    Collect sink(true);
    ASSERT_TRUE(Salvager(opts(';', 3, {.fill = false, .merge = false}), sink).run(text).ok());
    ASSERT_EQ(sink.events.size(), 3u);
    EXPECT_EQ(sink.events[1].bytes, "\"x\"\"y\";\xFF");
    EXPECT_TRUE(sink.events[1].source.utf8_replaced);
    EXPECT_EQ(sink.events[2].bytes, "1;2;3;4");
    for (const Event& e : sink.events) EXPECT_EQ(text.substr(e.source.offset, e.source.length).size(), e.source.length);
}

// ---- the streaming file driver

class StreamDriver : public ::testing::Test, protected corvel_test::ScratchDir {};

TEST_F(StreamDriver, WritesWhatSalvageFileWrites) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += i % 7 ? "a,\"b\nc\",d\n" : i % 2 ? "x,y\n" : "1,2,3,4\r\n";
    write("in", text);
    write("out", "old");
    for (const std::size_t buffer : {std::size_t{1}, std::size_t{4096}, std::size_t{1} << 20}) {
        const SalvageOptions o = opts(std::nullopt, std::nullopt, {.fill = false, .merge = false});
        auto want = salvage_file(path("in"), path("want"), path("want.q"), o);
        ASSERT_TRUE(want.ok());
        const int fd = ::open(path("in").c_str(), O_RDONLY);
        auto got = salvage_stream(fd, path("out"), path("q"), o, {}, buffer);
        ::close(fd);
        ASSERT_TRUE(got.ok()) << got.error().text();
        EXPECT_EQ(read("out"), read("want"));
        EXPECT_EQ(read("q"), read("want.q"));
        EXPECT_EQ(got.value().quarantined_rows, want.value().quarantined_rows);
    }
    EXPECT_EQ(entries(), (std::vector<std::string>{"in", "out", "q", "want", "want.q"}));
}

// The output may be the very file being read: the new one replaces it at
// the end. A quarantine file over the output is refused.
TEST_F(StreamDriver, OutputOverItsOwnInputAndQuarantineOverOutput) {
    write("d", "a,b\nc\n");
    int fd = ::open(path("d").c_str(), O_RDONLY);
    auto r = salvage_stream(fd, path("d"), std::nullopt, SalvageOptions{});
    ::close(fd);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(read("d"), "a,b\nc,\n");
    fd = ::open(path("d").c_str(), O_RDONLY);
    r = salvage_stream(fd, path("o"), path("./o"), SalvageOptions{});
    ::close(fd);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), SalvageError::Kind::QuarantineIsOutput);
    EXPECT_EQ(entries(), std::vector<std::string>{"d"});
}

TEST_F(StreamDriver, AReadErrorLeavesTheTargetsAsTheyWere) {
    write("out", "old out\n");
    // A directory reads with EISDIR.
    const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    auto r = salvage_stream(fd, path("out"), path("q"), SalvageOptions{});
    ::close(fd);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().os_code(), EISDIR);
    EXPECT_EQ(read("out"), "old out\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"out"});
}

// A run that fails halfway (here: stopped by its caller after 8 MiB) leaves
// the old targets and no temporary file.
TEST_F(StreamDriver, AFailureHalfwayLeavesTheTargetsAsTheyWere) {
    std::string text;
    while (text.size() < (20 << 20)) text += "alpha,bravo,charlie\n";
    write("in", text);
    write("out", "old out\n");
    static int polls;
    polls = 0;
    const Cancel stop{[](void*) noexcept { return ++polls >= 2; }, nullptr};
    const int fd = ::open(path("in").c_str(), O_RDONLY);
    auto r = salvage_stream(fd, path("out"), path("q"), SalvageOptions{}, stop, 1 << 20);
    ::close(fd);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), SalvageError::Kind::Cancelled);
    EXPECT_EQ(read("out"), "old out\n");
    EXPECT_EQ(entries(), (std::vector<std::string>{"in", "out"}));
}

TEST_F(StreamDriver, AFullDeviceGivesTheErrorAndStaysADevice) {
    write("in", "a,b\nc,d\n");
    const int fd = ::open(path("in").c_str(), O_RDONLY);
    auto r = salvage_stream(fd, "/dev/full", std::nullopt, SalvageOptions{});
    ::close(fd);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().os_code(), ENOSPC);
    struct stat st;
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
}  // namespace corvel
