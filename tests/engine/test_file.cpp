#include "file_io.hpp"
#include "messages.hpp"
#include "salvage.hpp"
#include "testing.hpp"
#include "writer.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace corvel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace corvel_test;

const std::string kHeader = "line,reason,raw_content\n";
const std::string kNulText = "file name contained an unexpected NUL byte";

void write_bytes(const std::string& path, std::string_view bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << path;
}

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    EXPECT_TRUE(f.is_open()) << path;
    return {std::istreambuf_iterator<char>(f), {}};
}

void expect_io(const SalvageError& e, int os_code, const std::string& text) {
    EXPECT_EQ(e.kind(), SalvageError::Kind::Io);
    EXPECT_EQ(e.os_code(), os_code);
    EXPECT_EQ(e.text(), text);
}
class TempDir : public ::testing::Test, protected corvel_test::ScratchDir {};

// ---- exact bytes of both files

struct FileCase {
    const char* name;
    std::string input;
    SalvageOptions options;
    std::string output;
    std::string quarantine;  // after the header
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

// Test names from the tables' own names.
struct ByName {
    template <class P>
    std::string operator()(const ::testing::TestParamInfo<P>& info) const {
        return info.param.name;
    }
};

class FileBytesOut : public TempDir, public ::testing::WithParamInterface<FileCase> {};

TEST_P(FileBytesOut, WritesCleanAndQuarantineFiles) {
    const FileCase& c = GetParam();
    write_bytes(path("in.csv"), c.input);
    const auto r = salvage_file(path("in.csv"), path("out.csv"), path("q.csv"), c.options);
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ(slurp(path("out.csv")), c.output);
    EXPECT_EQ(slurp(path("q.csv")), kHeader + c.quarantine);
    EXPECT_EQ(slurp(path("in.csv")), c.input);

    // The same run in memory counts the same.
    const auto slice = salvage_slice(c.input, c.options);
    ASSERT_TRUE(slice.ok());
    const SalvageStats& a = r.value();
    const SalvageStats& b = slice.value().stats;
    EXPECT_EQ(a.total_rows, b.total_rows);
    EXPECT_EQ(a.salvaged_rows, b.salvaged_rows);
    EXPECT_EQ(a.repaired_rows, b.repaired_rows);
    EXPECT_EQ(a.quarantined_rows, b.quarantined_rows);
    EXPECT_EQ(a.inferred_columns, b.inferred_columns);
    EXPECT_EQ(a.detected_delimiter, b.detected_delimiter);
}

const std::string kFew3 = "\"Row has too few columns (expected 3)\"";
const std::string kExtra2 = "\"Row has extra columns (expected 2)\"";

INSTANTIATE_TEST_SUITE_P(
    Quoting, FileBytesOut,
    ::testing::Values(
        FileCase{"DoublesQuotes", "say \"hi\",x\n", opts(',', 2), "\"say \"\"hi\"\"\",x\n", ""},
        FileCase{"DoublesQuotesRoundTrip", "\"\"\"\",\"a\"\"\"\"b\"\n", opts(',', 2),
                 "\"\"\"\",\"a\"\"\"\"b\"\n", ""},
        FileCase{"EnclosesDelimiter", "\"a,b\",c\n", opts(',', 2), "\"a,b\",c\n", ""},
        FileCase{"EnclosesLineFeed", "\"a\nb\",c\n", opts(',', 2), "\"a\nb\",c\n", ""},
        FileCase{"EnclosesCarriageReturn", "\"a\rb\",c\r\n", opts(',', 2), "\"a\rb\",c\n", ""},
        FileCase{"EmptyFieldsStayEmpty", "\"\",b,\"\"\n", opts(',', 3), ",b,\n", ""},
        FileCase{"BlanksStayUnquoted", "\"  a  \", b ,\"\t\"\n", opts(',', 3), "  a  , b ,\t\n", ""},
        FileCase{"OtherDelimiterIsPlainText", "\"a,1\";b\nc;\"d|e\"\n", opts(std::nullopt, std::nullopt),
                 "a,1;b\nc;d|e\n", ""},
        FileCase{"ApostropheQuote", "say \"hi\",'it''s','a,b','plain'\n", opts(',', 4, {.quote = '\''}),
                 "say \"hi\",'it''s','a,b',plain\n", ""},
        // U+0088 and U+00A0 share their last byte with the delimiter and the quote.
        FileCase{"HighDelimiter", "a\xC8x\xC3\x88y\xC8p,q\xC2\x88\xC8r\"s\n", opts(200, 4),
                 "a\xC3\x88\"x\xC3\x88y\"\xC3\x88p,q\xC2\x88\xC3\x88\"r\"\"s\"\n", ""},
        FileCase{"HighQuote", "\xE0" "a,b\xE0,x\xC3\xA0y,q\"q\xC2\xA0\n", opts(',', 3, {.quote = 0xE0}),
                 "\xC3\xA0" "a,b\xC3\xA0,\xC3\xA0x\xC3\xA0\xC3\xA0y\xC3\xA0,q\"q\xC2\xA0\n", ""},
        FileCase{"HighQuoteBelowC0", "\xA7" "a,b\xA7,c\n", opts(',', 2, {.quote = 0xA7}), "\xC2\xA7" "a,b\xC2\xA7,c\n",
                 ""}), ByName());

INSTANTIATE_TEST_SUITE_P(
    Rows, FileBytesOut,
    ::testing::Values(
        FileCase{"MergedFieldIsEnclosed", "a;b;c;d;e\n", opts(';', 3), "a;b;\"c;d;e\"\n", ""},
        FileCase{"MergedWithHighDelimiter", "a\xC8" "b\xC8" "c", opts(200, 2),
                 "a\xC3\x88\"b\xC3\x88" "c\"\n", ""},
        FileCase{"PaddedAndSniffed", "a|b|c\nd\n", opts(std::nullopt, std::nullopt), "a|b|c\nd||\n", ""},
        FileCase{"OneEmptyFieldIsEmptyLine", "a\n\n\"\"\nb", opts(',', 1), "a\n\n\nb\n", ""},
        FileCase{"LineEndsBecomeLineFeeds", "a,b\r\nc,d\re,f", opts(',', 2), "a,b\nc,d\ne,f\n", ""},
        FileCase{"ByteOrderMarkDropped", "\xEF\xBB\xBF" "a,b\n", opts(',', 2), "a,b\n", ""},
        FileCase{"InvalidBytesReplaced", "a\xFF,b\n", opts(',', 2), "a\xEF\xBF\xBD,b\n", ""},
        FileCase{"EmptyInput", "", opts(';', 4), "", ""},
        FileCase{"ByteOrderMarkOnly", "\xEF\xBB\xBF", opts(std::nullopt, std::nullopt), "", ""}), ByName());

INSTANTIATE_TEST_SUITE_P(
    Quarantine, FileBytesOut,
    ::testing::Values(
        FileCase{"TooFew", "a;b;c\nd;e\n", opts(';', 3, {.fill = false}), "a;b;c\n", "3," + kFew3 + ",\"d;e\"\n"},
        FileCase{"ExtraWithQuotesDoubled", "a,b\n\"x\"\"y\",z,w", opts(',', 2, {.merge = false}), "a,b\n",
                 "2," + kExtra2 + ",\"x\"\"y,z,w\"\n"},
        FileCase{"DoubleQuoteDelimiter", "a\"b\"c\nd\"e\n", opts('"', 3, {.quote = '\'', .fill = false}), "a\"b\"c\n",
                 "3," + kFew3 + ",\"d\"\"e\"\n"},
        FileCase{"ApostrophesNotDoubled", "'it''s',x\n", opts(',', 3, {.quote = '\'', .fill = false}), "",
                 "2," + kFew3 + ",\"it's,x\"\n"},
        FileCase{"HighDelimiterJoins", "a\xC8" "b\n", opts(200, 3, {.fill = false}), "",
                 "2," + kFew3 + ",\"a\xC3\x88" "b\"\n"},
        FileCase{"LineAfterQuotedBreak", "\"x\ny\",b\nc,d,e\n", opts(',', 3, {.fill = false}), "c,d,e\n",
                 "3," + kFew3 + ",\"x\ny,b\"\n"},
        FileCase{"BothKinds", "a,b\nc\nd,e,f\n", opts(',', 2, {.fill = false, .merge = false}), "a,b\n",
                 "3,\"Row has too few columns (expected 2)\",\"c\"\n4," + kExtra2 + ",\"d,e,f\"\n"}), ByName());

TEST_F(TempDir, EmptyInputGivesEmptyFilesAndZeroStats) {
    write_bytes(path("in"), "");
    const auto r = salvage_file(path("in"), path("out"), path("q"), opts(';', 7, {.quote = '\'', .fill = false, .merge = false}));
    ASSERT_TRUE(r.ok());
    const SalvageStats& s = r.value();
    EXPECT_EQ(s.total_rows + s.salvaged_rows + s.repaired_rows + s.quarantined_rows + s.inferred_columns, 0u);
    EXPECT_EQ(s.detected_delimiter, ',');
    EXPECT_EQ(slurp(path("out")), "");
    EXPECT_EQ(slurp(path("q")), kHeader);
}

TEST_F(TempDir, NoQuarantinePathCreatesNoQuarantine) {
    write_bytes(path("in"), "a,b,c\nd\n");
    const auto r = salvage_file(path("in"), path("out"), std::nullopt, opts(',', 3, {.fill = false}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().quarantined_rows, 1u);
    EXPECT_EQ(entries(), (std::vector<std::string>{"in", "out"}));
}

TEST_F(TempDir, InputMayBeTheOutput) {
    write_bytes(path("data"), "a;b;c\nd;e\nf;g;h;i\n");
    write_bytes(path("q"), std::string(500, 'z'));  // replaced, not overwritten in place
    const auto r = salvage_file(path("data"), path("data"), path("q"), opts(std::nullopt, std::nullopt, {.fill = false}));
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ(slurp(path("data")), "a;b;c\nf;g;\"h;i\"\n");
    EXPECT_EQ(slurp(path("q")), kHeader + "3," + kFew3 + ",\"d;e\"\n");
}

// ---- failures

struct FailCase {
    const char* name;
    std::string input, output;  // relative to the test's directory unless absolute
    int os_code;
    std::string text;
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class FailsBeforeQuarantine : public TempDir, public ::testing::WithParamInterface<FailCase> {};

// Neither an unreadable input nor an unwritable output leaves a quarantine
// file, and the input is never touched.
TEST_P(FailsBeforeQuarantine, LeavesInputAlone) {
    const FailCase& c = GetParam();
    if (c.output[0] == '/' && ::access(c.output.c_str(), W_OK) != 0) GTEST_SKIP() << c.output;
    fs::create_directory(path("sub"));
    const std::string input = "a,b\nc\n";
    write_bytes(path("in"), input);
    const std::string out = c.output[0] == '/' ? c.output : path(c.output);
    const auto r = salvage_file(path(c.input), out, path("q"), opts(',', 2, {.fill = false}));
    ASSERT_FALSE(r.ok());
    expect_io(r.error(), c.os_code, c.text);
    EXPECT_EQ(slurp(path("in")), input);
    EXPECT_EQ(entries(), (std::vector<std::string>{"in", "sub"}));
}

const std::string kNoEntry = "No such file or directory (os error 2)";
const std::string kIsDir = "Is a directory (os error 21)";
const std::string kNoSpace = "No space left on device (os error 28)";

INSTANTIATE_TEST_SUITE_P(
    Table, FailsBeforeQuarantine,
    ::testing::Values(FailCase{"MissingInput", "absent", "out", 2, kNoEntry},
                      FailCase{"InputInMissingDirectory", "nowhere/in", "out", 2, kNoEntry},
                      FailCase{"InputIsDirectory", "sub", "out", 21, kIsDir},
                      FailCase{"NulInInputPath", "in\0x"s, "out", 0, kNulText},
                      FailCase{"OutputInMissingDirectory", "in", "nowhere/out", 2, kNoEntry},
                      FailCase{"OutputIsDirectory", "in", "sub", 21, kIsDir},
                      FailCase{"NulInOutputPath", "in", "out\0x"s, 0, kNulText},
                      FailCase{"DeviceFull", "in", "/dev/full", 28, kNoSpace}),
    ByName());

// The quarantine file is only opened once the clean file is complete.
TEST_F(TempDir, QuarantineFailsAfterOutputIsComplete) {
    write_bytes(path("in"), "a,b\nc\n");
    const std::tuple<std::string, int, std::string> cases[] = {
        {path("nowhere/q"), 2, kNoEntry},
        {path("in/q"), 20, "Not a directory (os error 20)"},
        {"/dev/full", 28, kNoSpace}};
    for (const auto& [q, code, text] : cases) {
        SCOPED_TRACE(q);
        if (q == "/dev/full" && ::access(q.c_str(), W_OK) != 0) continue;
        fs::remove(path("out"));
        const auto r = salvage_file(path("in"), path("out"), q, opts(',', 2, {.fill = false}));
        ASSERT_FALSE(r.ok());
        expect_io(r.error(), code, text);
        EXPECT_EQ(slurp(path("out")), "a,b\n");
    }
}

TEST_F(TempDir, WidthTooLargeToPadIsRefused) {
    write_bytes(path("in"), "a,b\nc\n");
    const std::uint64_t e = std::uint64_t{1} << 40;
    const auto r = salvage_file(path("in"), path("out"), std::nullopt, opts(',', e));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), SalvageError::Kind::OutOfMemory);
    EXPECT_EQ(r.error().text(),
              "cannot pad rows to the expected column count: not enough memory for " + std::to_string(e) + " columns");
}

// ---- buffering

struct LargeCase {
    const char* name;
    std::uint8_t delimiter, quote;
    bool fill;
    std::size_t bytes;
};

void PrintTo(const LargeCase& c, std::ostream* os) { *os << c.name; }

class LargeFiles : public TempDir, public ::testing::WithParamInterface<LargeCase> {};

// Lines of every kind, one accepted row and one rejected row longer than the
// whole buffer, and with the quote character straddling where a long row is
// cut into slices. Past several megabytes the input's pages are handed back
// while the run goes on. The files must match formatting the same rows in
// memory: nothing lost, nothing written twice.
TEST_P(LargeFiles, MatchFormattingInMemory) {
    const LargeCase& c = GetParam();
    const std::string d(1, static_cast<char>(c.delimiter)), q(1, static_cast<char>(c.quote));
    const std::string qchar = byte_as_utf8(c.quote);  // as it appears in field text
    // A field text as written in the input: enclosed, inner quotes doubled.
    auto quoted = [&](const std::string& body) {
        if (c.quote >= 0x80) return q + body + q;  // the character is not the quote byte
        std::string out = q;
        for (const char ch : body) out += ch == q[0] ? q + q : std::string(1, ch);
        return out + q;
    };
    const std::string pieces[] = {"a", "bc", quoted("q" + qchar + "q"), quoted("x" + d + "y"), quoted("l\nf"),
                                  quoted("c\rr"), " s ", "", "\xC3\xA9", quoted("")};
    std::string text;
    std::uint64_t x = 88172645463325252u;
    auto next = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    while (text.size() < c.bytes) {
        const std::uint64_t width = 1 + next() % 5;  // others than 3 rejected, padded or merged
        for (std::uint64_t f = 0; f < width; ++f) text += (f ? d : "") + pieces[next() % std::size(pieces)];
        text += next() % 4 ? "\n" : "\r\n";
        if (text.size() > (2u << 20) && text.size() < (2u << 20) + 200) {
            const std::size_t slice = 1 << 20;
            text += quoted(std::string(slice - 1, 'L') + qchar + std::string(slice / 2, 'L') + qchar);
            text += d + "m" + d + "n\n";
            text += std::string(1200000, 'R') + d + "r" + (c.fill ? d + "r" + d + "r" : "") + "\n";
        }
    }
    const SalvageOptions o = opts(c.delimiter, 3, {.quote = c.quote, .fill = c.fill, .merge = !c.fill});
    write_bytes(path("in"), text);
    const auto r = salvage_file(path("in"), path("out"), path("q"), o);
    ASSERT_TRUE(r.ok()) << r.error().text();

    const auto slice = salvage_slice(text, o);
    ASSERT_TRUE(slice.ok());
    const SalvageOutcome& m = slice.value();
    std::string out, quarantine = kHeader;
    const CleanFormat format(c.delimiter, c.quote);
    for (std::uint64_t i = 0; i < m.rows.size(); ++i) format.append_row(out, m.rows, i);
    for (std::uint64_t i = 0; i < m.quarantine.size(); ++i)
        append_quarantine_record(quarantine, m.quarantine, i, byte_as_utf8(c.delimiter), 3);
    ASSERT_GT(out.size(), 2 * BufferedOutput::kDefaultCapacity);
    ASSERT_GT(quarantine.size(), BufferedOutput::kDefaultCapacity);
    ASSERT_NE(out.find("L" + qchar + qchar + "L"), std::string::npos);  // the long row, enclosed
    // Compared outside EXPECT_EQ so a failure does not print megabytes.
    const std::string got_out = slurp(path("out")), got_q = slurp(path("q"));
    EXPECT_EQ(got_out.size(), out.size());
    EXPECT_TRUE(got_out == out);
    EXPECT_EQ(got_q.size(), quarantine.size());
    EXPECT_TRUE(got_q == quarantine);
    EXPECT_EQ(r.value().quarantined_rows, m.quarantine.size());
}

INSTANTIATE_TEST_SUITE_P(Table, LargeFiles,
                         ::testing::Values(LargeCase{"Ascii", ',', '"', false, 10u << 20},
                                           LargeCase{"Apostrophe", ';', '\'', true, 4u << 20},
                                           LargeCase{"HighQuote", ',', 0xE0, true, 4u << 20},
                                           LargeCase{"HighDelimiter", 0xC8, '"', false, 4u << 20}),
                         ByName());

class SmallBuffer : public TempDir, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SmallBuffer, WritesEveryLineOnce) {
    auto b = BufferedOutput::create(path("out"), GetParam());
    ASSERT_TRUE(b.ok());
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        const std::string line = std::string(static_cast<std::size_t>(i * 7 % 23), char('a' + i % 26)) + "\n";
        expected += line;
        std::string& buf = b.value().buffer();
        const std::size_t start = buf.size();
        buf += line;
        ASSERT_TRUE(b.value().line_done(start).ok());
    }
    ASSERT_TRUE(b.value().finish().ok());
    EXPECT_EQ(slurp(path("out")), expected);
}

INSTANTIATE_TEST_SUITE_P(Capacities, SmallBuffer, ::testing::Values(1, 2, 16, 23, 24, 100, 4096));

// ---- replacing a file

struct ReplaceCase {
    const char* name;
    std::size_t size;   // bytes written in all
    std::size_t piece;  // bytes per write
    bool exists;        // the target is there before
};

class Replaces : public TempDir, public ::testing::WithParamInterface<ReplaceCase> {};

// A replacement is handed to the disk piece by piece as it is written once
// it replaces a file: the target ends with every byte once, in order, keeps
// its permission bits, and no temporary file is left.
TEST_P(Replaces, WritesEveryByteOnceAndCommits) {
    const ReplaceCase& c = GetParam();
    if (c.exists) {
        write_bytes(path("t"), "old contents\n");
        ASSERT_EQ(::chmod(path("t").c_str(), 0640), 0);
    }
    std::string bytes(c.size, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i * 7 % 26);
    {
        auto out = OutputFile::create(path("t"), Placement::Atomic);
        ASSERT_TRUE(out.ok()) << out.error().text();
        for (std::size_t at = 0; at < bytes.size(); at += c.piece) {
            const std::string_view piece = std::string_view(bytes).substr(at, c.piece);
            ASSERT_TRUE(out.value().write_all(piece, "zero").ok());
        }
        ASSERT_TRUE(out.value().commit().ok());
    }
    EXPECT_TRUE(slurp(path("t")) == bytes);
    struct stat st;
    ASSERT_EQ(::stat(path("t").c_str(), &st), 0);
    if (c.exists) {
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"t"});
}

INSTANTIATE_TEST_SUITE_P(Table, Replaces,
                         ::testing::Values(ReplaceCase{"NewSmall", 100, 7, false},
                                           ReplaceCase{"NewLarge", 9u << 20, 1u << 20, false},
                                           ReplaceCase{"OverSmall", 100, 7, true},
                                           ReplaceCase{"OverOnePieceLess", (8u << 20) - 1, 1u << 20, true},
                                           ReplaceCase{"OverOneWrite", 17u << 20, 17u << 20, true},
                                           ReplaceCase{"OverUnevenPieces", (17u << 20) + 5, 777777, true}),
                         ByName());

// ---- reading

class ReadFile : public TempDir, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ReadFile, ReadsRegularFileWhole) {
    std::string bytes(GetParam(), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 % 251);
    write_bytes(path("f"), bytes);
    auto r = read_file(path("f"));
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ(r.value().view().size(), bytes.size());
    EXPECT_TRUE(r.value().view() == bytes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadFile, ::testing::Values(0, 1, 4095, 4096, 65535, 65536, 3u << 20));

TEST_F(TempDir, ReadsPipeOfUnknownSizeWhole) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    std::string bytes;
    for (int i = 0; bytes.size() < 300000; ++i) bytes += std::to_string(i) + ",x\n";
    std::thread writer([&] {
        sigset_t pipe_signal;  // a reader that stops early must fail the test, not kill it
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        const int fd = ::open(path("fifo").c_str(), O_WRONLY);
        for (std::size_t done = 0; fd >= 0 && done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + done, std::min<std::size_t>(bytes.size() - done, 7000));
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (fd >= 0) ::close(fd);
    });
    auto r = read_file(path("fifo"));
    writer.join();
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ(r.value().view().size(), bytes.size());
    EXPECT_TRUE(r.value().view() == bytes);
}

TEST(ReadFileProc, ReadsFilesThatReportSizeZero) {
    for (const char* p : {"/proc/self/maps", "/proc/self/status"}) {
        SCOPED_TRACE(p);
        struct stat st;
        if (::stat(p, &st) != 0) GTEST_SKIP() << p;
        EXPECT_EQ(st.st_size, 0);
        auto r = read_file(p);
        ASSERT_TRUE(r.ok()) << r.error().text();
        const std::string_view v = r.value().view();
        ASSERT_FALSE(v.empty());
        EXPECT_EQ(v.back(), '\n');
    }
    auto status = read_file("/proc/self/status");
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(status.value().view().substr(0, 5), "Name:");
}

}  // namespace
}  // namespace corvel
