// Which files a run may write, and how: a quarantine path may not name the
// input or the output, and an output that is its own input is replaced only
// once the new file is complete.
#include "file_io.hpp"
#include "salvage.hpp"
#include "testing.hpp"
#include "writer.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace corvel {
namespace {

namespace fs = std::filesystem;

class Targets : public ::testing::Test, protected corvel_test::ScratchDir {};

TEST_F(Targets, SameFileByInodeOrByResolvedPath) {
    write("a", "x");
    fs::create_directory(path("sub"));
    fs::create_hard_link(path("a"), path("hard"));
    fs::create_symlink(path("a"), path("soft"));
    fs::create_symlink(path("new"), path("dangling"));
    struct Case {
        std::string a, b;
        bool same;
    } cases[] = {
        {path("a"), path("a"), true},         {path("a"), path("sub/../a"), true},
        {path("a"), path("hard"), true},      {path("a"), path("soft"), true},
        {path("new"), path("sub/../new"), true}, {path("new"), path("dangling"), true},
        {path("a"), path("new"), false},      {path("new"), path("sub/new"), false},
        {path("a"), path("sub"), false},
    };
    for (const Case& c : cases) EXPECT_EQ(same_file(c.a, c.b), c.same) << c.a << " vs " << c.b;
}

TEST_F(Targets, QuarantineOverInputOrOutputIsRefusedBeforeAnythingIsTouched) {
    write("in", "a,b\nc\n");
    fs::create_directory(path("sub"));
    const SalvageOptions o = corvel_test::opts(std::nullopt, std::nullopt, {.fill = false});
    auto r = salvage_file(path("in"), path("out"), path("in"), o);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), SalvageError::Kind::QuarantineIsInput);
    EXPECT_EQ(r.error().text(), "quarantine_path names the same file as input_path");
    r = salvage_file(path("in"), path("out"), path("sub/../out"), o);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), SalvageError::Kind::QuarantineIsOutput);
    EXPECT_EQ(r.error().text(), "quarantine_path names the same file as output_path");
    EXPECT_EQ(entries(), (std::vector<std::string>{"in", "sub"}));
    EXPECT_EQ(read("in"), "a,b\nc\n");
}

TEST_F(Targets, OutputOverItsInputIsANewFileWithTheOldMode) {
    write("d", "a,b\nc\n");
    ::chmod(path("d").c_str(), 0604);
    fs::create_hard_link(path("d"), path("link"));
    struct stat before;
    ASSERT_EQ(::stat(path("d").c_str(), &before), 0);
    auto r = salvage_file(path("d"), path("d"), std::nullopt, SalvageOptions{});
    ASSERT_TRUE(r.ok()) << r.error().text();
    struct stat after;
    ASSERT_EQ(::stat(path("d").c_str(), &after), 0);
    EXPECT_EQ(read("d"), "a,b\nc,\n");
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0604u);
    EXPECT_EQ(read("link"), "a,b\nc\n");
    EXPECT_EQ(entries(), (std::vector<std::string>{"d", "link"}));
}

TEST_F(Targets, ReplacementNeverCommittedLeavesTheTargetAndNoTrace) {
    write("t", "old\n");
    {
        auto out = OutputFile::create(path("t"), Placement::Replace);
        ASSERT_TRUE(out.ok());
        EXPECT_TRUE(out.value().replacing());
        ASSERT_TRUE(out.value().write_all("new\n", "zero").ok());
        EXPECT_EQ(entries().size(), 2u);
    }
    EXPECT_EQ(read("t"), "old\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"t"});
}

// With a quarantine file and options that reject rows, the clean and the
// quarantine files are written in passes of their own: they must hold what
// one pass over the text gives.
TEST_F(Targets, PassesAgreeWithOneSalvageOfTheText) {
    std::string text = "a;b;c\n";
    for (int i = 0; i < 3000; ++i) {
        text += i % 3 == 0 ? "x;\"y\ny\"\n" : i % 3 == 1 ? "1;2;3;4\r\n" : "p;q;r\n";
    }
    write("in", text);
    for (const bool fill : {false, true}) {
        const SalvageOptions o = corvel_test::opts(std::nullopt, std::nullopt, {.fill = fill, .merge = false});
        auto r = salvage_file(path("in"), path("out"), path("q"), o);
        ASSERT_TRUE(r.ok());
        auto m = salvage_slice(text, o);
        ASSERT_TRUE(m.ok());
        const SalvageOutcome& want = m.value();
        std::string clean, quarantine;
        const CleanFormat format(';', '"');
        for (std::uint64_t i = 0; i < want.rows.size(); ++i) format.append_row(clean, want.rows, i);
        append_quarantine_header(quarantine);
        for (std::uint64_t i = 0; i < want.quarantine.size(); ++i)
            append_quarantine_record(quarantine, want.quarantine, i, ";", 3);
        EXPECT_EQ(read("out"), clean);
        EXPECT_EQ(read("q"), quarantine);
        EXPECT_EQ(r.value().quarantined_rows, want.quarantine.size());
        EXPECT_EQ(r.value().salvaged_rows, want.rows.size());
    }
}

}  // namespace
}  // namespace corvel
