#include "arrow.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace corvel::arrow {
namespace {

using corvel_test::Rows;

// The declarations are an ABI: every field where a consumer looks for it (LP64).
static_assert(sizeof(ArrowSchema) == 72 && offsetof(ArrowSchema, flags) == 24 &&
              offsetof(ArrowSchema, release) == 56 && offsetof(ArrowSchema, private_data) == 64);
static_assert(sizeof(ArrowArray) == 80 && offsetof(ArrowArray, buffers) == 40 &&
              offsetof(ArrowArray, release) == 64 && offsetof(ArrowArray, private_data) == 72);
static_assert(sizeof(ArrowArrayStream) == 40 && offsetof(ArrowArrayStream, get_last_error) == 16 &&
              offsetof(ArrowArrayStream, release) == 24);

// A table shared the way exports share it, whose destruction is counted.
std::shared_ptr<const PackedTable> make_table(const Rows& rows, int* destroyed = nullptr) {
    return std::shared_ptr<const PackedTable>(new PackedTable(corvel_test::table_of(rows)), [destroyed](const PackedTable* t) {
        if (destroyed) ++*destroyed;
        delete t;
    });
}

std::vector<std::string> names_for(std::size_t width) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < width; ++i) names.push_back(std::string("c").append(std::to_string(i)));
    return names;
}

ExportOptions options_for(std::size_t width, StringLayout layout) {
    ExportOptions o;
    o.names = names_for(width);
    o.layout = layout;
    return o;
}

std::int32_t i32(const unsigned char* p) {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Reads cell `row` of a string child by the format's own rules, checking
// what a consumer would check on the way.
std::string_view cell(const ArrowArray& a, StringLayout layout, std::int64_t row) {
    EXPECT_LT(row, a.length);
    if (layout == StringLayout::Large) {
        const auto* offsets = static_cast<const std::int64_t*>(a.buffers[1]);
        const auto* data = static_cast<const char*>(a.buffers[2]);
        return {data + offsets[row], static_cast<std::size_t>(offsets[row + 1] - offsets[row])};
    }
    const auto* view = static_cast<const unsigned char*>(a.buffers[1]) + 16 * row;
    const std::int32_t length = i32(view);
    if (length <= 12) {
        // Consumers compare views as whole words: the bytes past a short cell must be zero.
        for (std::int32_t k = 4 + std::max(length, 0); k < 16; ++k) EXPECT_EQ(view[k], 0) << "padding byte " << k;
        return {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length)};
    }
    const std::int32_t index = i32(view + 8);
    const std::int32_t offset = i32(view + 12);
    const std::int64_t n_data = a.n_buffers - 3;
    EXPECT_LT(index, n_data);
    const auto* sizes = static_cast<const std::int64_t*>(a.buffers[a.n_buffers - 1]);
    EXPECT_LE(offset + static_cast<std::int64_t>(length), sizes[index]);
    const auto* data = static_cast<const char*>(a.buffers[2 + index]);
    EXPECT_EQ(std::memcmp(view + 4, data + offset, 4), 0) << "prefix";
    return {data + offset, static_cast<std::size_t>(length)};
}

Rows decode(const ArrowArray& a, StringLayout layout) {
    Rows rows(static_cast<std::size_t>(a.length));
    for (std::int64_t c = 0; c < a.n_children; ++c) {
        for (std::int64_t r = 0; r < a.length; ++r) rows[r].emplace_back(cell(*a.children[c], layout, r));
    }
    return rows;
}

// A struct array checked for the shape every export has.
void expect_struct_shape(const ArrowArray& a, std::int64_t rows, std::int64_t columns, StringLayout layout) {
    EXPECT_EQ(a.length, rows);
    EXPECT_EQ(a.null_count, 0);
    EXPECT_EQ(a.offset, 0);
    ASSERT_EQ(a.n_buffers, 1);
    EXPECT_EQ(a.buffers[0], nullptr);
    ASSERT_EQ(a.n_children, columns);
    EXPECT_EQ(a.dictionary, nullptr);
    for (std::int64_t c = 0; c < columns; ++c) {
        const ArrowArray& child = *a.children[c];
        EXPECT_EQ(child.length, rows);
        EXPECT_EQ(child.null_count, 0);
        EXPECT_EQ(child.offset, 0);
        EXPECT_EQ(child.n_children, 0);
        EXPECT_EQ(child.buffers[0], nullptr);
        if (layout == StringLayout::Large) {
            EXPECT_EQ(child.n_buffers, 3);
        } else {
            EXPECT_GE(child.n_buffers, 3);
        }
        for (std::int64_t b = 1; b < child.n_buffers; ++b) EXPECT_NE(child.buffers[b], nullptr) << "buffer " << b;
        ASSERT_NE(child.release, nullptr);
    }
}

const Rows kMixed = {
    {"", "short", "exactly12byt", "thirteen-byte", "a much longer cell of text"},
    {"x", "\xC3\xA9t\xC3\xA9", "", "0123456789abcdefghij", "tail"},
    {"last", "row", "twelve bytes", "1234567890123", ""},
};

class Layouts : public ::testing::TestWithParam<StringLayout> {};

INSTANTIATE_TEST_SUITE_P(Arrow, Layouts, ::testing::Values(StringLayout::View, StringLayout::Large),
                         [](const auto& info) { return info.param == StringLayout::View ? "View" : "Large"; });

TEST_P(Layouts, RoundTripsEveryCell) {
    const auto table = make_table(kMixed);
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), options_for(5, GetParam()), &a));
    expect_struct_shape(a, 3, 5, GetParam());
    EXPECT_EQ(decode(a, GetParam()), kMixed);
    a.release(&a);
    EXPECT_EQ(a.release, nullptr);
}

TEST_P(Layouts, SchemaNamesTheSelectedColumnsInOrder) {
    ExportOptions o = options_for(4, GetParam());
    o.names = {"id", "name", "", "name_2"};
    o.columns = std::vector<std::uint64_t>{3, 0};
    ArrowSchema s;
    ASSERT_TRUE(export_schema(o, &s));
    EXPECT_STREQ(s.format, "+s");
    EXPECT_STREQ(s.name, "");
    EXPECT_EQ(s.metadata, nullptr);
    ASSERT_EQ(s.n_children, 2);
    const char* format = GetParam() == StringLayout::View ? "vu" : "U";
    const char* expected[] = {"name_2", "id"};
    for (int c = 0; c < 2; ++c) {
        EXPECT_STREQ(s.children[c]->format, format);
        EXPECT_STREQ(s.children[c]->name, expected[c]);
        EXPECT_EQ(s.children[c]->flags, ARROW_FLAG_NULLABLE);
        EXPECT_EQ(s.children[c]->n_children, 0);
        EXPECT_EQ(s.children[c]->dictionary, nullptr);
    }
    // A child moved out keeps its name after the parent is gone.
    ArrowSchema moved = *s.children[0];
    s.children[0]->release = nullptr;
    s.release(&s);
    EXPECT_STREQ(moved.name, "name_2");
    moved.release(&moved);
}

TEST_P(Layouts, SelectsColumnsInTheCallersOrder) {
    const auto table = make_table(kMixed);
    ExportOptions o = options_for(5, GetParam());
    o.columns = std::vector<std::uint64_t>{4, 1};
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), o, &a));
    expect_struct_shape(a, 3, 2, GetParam());
    const Rows expected = {{kMixed[0][4], kMixed[0][1]}, {kMixed[1][4], kMixed[1][1]}, {kMixed[2][4], kMixed[2][1]}};
    EXPECT_EQ(decode(a, GetParam()), expected);
    a.release(&a);

    o.columns = std::vector<std::uint64_t>{};
    ASSERT_TRUE(export_batch(whole(table), o, &a));
    expect_struct_shape(a, 3, 0, GetParam());
    a.release(&a);
}

TEST_P(Layouts, EmptyTableHasValidBuffers) {
    const auto table = make_table({});
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), options_for(2, GetParam()), &a));
    expect_struct_shape(a, 0, 2, GetParam());
    if (GetParam() == StringLayout::Large) {
        EXPECT_EQ(static_cast<const std::int64_t*>(a.children[0]->buffers[1])[0], 0);
    } else {
        EXPECT_EQ(a.children[0]->n_buffers, 3);  // validity, views, sizes: no data buffer
    }
    a.release(&a);
}

struct BadRequest {
    const char* name;
    std::vector<std::string> names;
    std::optional<std::vector<std::uint64_t>> columns;
    std::uint64_t begin, end;
    std::uint64_t max_view_buffer_bytes;
    int code;
    std::string text;
};

void PrintTo(const BadRequest& c, std::ostream* os) { *os << c.name; }

class BadRequests : public ::testing::TestWithParam<BadRequest> {};

TEST_P(BadRequests, AreRefusedWithTheirReasonAndTouchNothing) {
    const BadRequest& c = GetParam();
    const auto table = make_table({{"a", "b"}, {"c", "d"}, {"e", "f", "g"}});
    for (const StringLayout layout : {StringLayout::View, StringLayout::Large}) {
        ExportOptions o;
        o.names = c.names;
        o.columns = c.columns;
        o.layout = layout;
        o.max_view_buffer_bytes = c.max_view_buffer_bytes;
        ArrowArray a;
        std::memset(&a, 0xAB, sizeof a);
        const ExportStatus s = export_batch(RowBatch{table, c.begin, c.end}, o, &a);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().code, c.code);
        EXPECT_EQ(s.error().text, c.text);
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&a);
        for (std::size_t i = 0; i < sizeof a; ++i) ASSERT_EQ(bytes[i], 0xAB);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arrow, BadRequests,
    ::testing::Values(
        BadRequest{"IndexOutOfRange", {"x", "y"}, std::vector<std::uint64_t>{0, 2}, 0, 2, kMaxViewBufferBytes, EINVAL,
                   "column index 2 is out of range for a table of 2 columns"},
        BadRequest{"IndexTwice", {"x", "y"}, std::vector<std::uint64_t>{1, 0, 1}, 0, 2, kMaxViewBufferBytes, EINVAL,
                   "column index 1 is selected twice"},
        BadRequest{"RowOfAnotherWidth", {"x", "y"}, std::nullopt, 0, 3, kMaxViewBufferBytes, EINVAL,
                   "row 2 has 3 fields, but 2 column names were given"},
        BadRequest{"TooFewNames", {"x"}, std::nullopt, 1, 2, kMaxViewBufferBytes, EINVAL,
                   "row 1 has 2 fields, but 1 column names were given"},
        BadRequest{"NoNames", {}, std::nullopt, 0, 3, kMaxViewBufferBytes, EINVAL,
                   "row 0 has 2 fields, but 0 column names were given"},
        BadRequest{"RowsPastTheEnd", {"x", "y"}, std::nullopt, 2, 4, kMaxViewBufferBytes, EINVAL,
                   "rows 2 to 4 are not within a table of 3 rows"},
        BadRequest{"RowsReversed", {"x", "y"}, std::nullopt, 2, 1, kMaxViewBufferBytes, EINVAL,
                   "rows 2 to 1 are not within a table of 3 rows"},
        BadRequest{"ZeroBufferSize", {"x", "y"}, std::nullopt, 0, 2, 0, EINVAL,
                   "a view buffer must span from 1 to 2147483647 bytes, not 0"},
        BadRequest{"BufferPastOffsets", {"x", "y"}, std::nullopt, 0, 2, kMaxViewBufferBytes + 1, EINVAL,
                   "a view buffer must span from 1 to 2147483647 bytes, not 2147483648"}),
    [](const auto& info) { return std::string(info.param.name); });

// A cell of up to `below - 1` bytes.
std::string random_cell(std::mt19937& rng, unsigned below) {
    return std::string(rng() % below, static_cast<char>('a' + rng() % 26));
}

// Random tables and row ranges: cells of every short length, at every
// distance from the end of the text, come back as they were.
TEST_P(Layouts, RandomTablesRoundTrip) {
    std::mt19937 rng(14);
    for (int round = 0; round < 60; ++round) {
        const std::size_t width = 1 + rng() % 5;
        Rows rows(1 + rng() % 40);
        for (auto& row : rows) {
            for (std::size_t c = 0; c < width; ++c) row.push_back(random_cell(rng, 34));
        }
        const auto table = make_table(rows);
        const std::uint64_t begin = rng() % rows.size();
        const std::uint64_t end = begin + rng() % (rows.size() - begin + 1);
        ArrowArray a;
        ASSERT_TRUE(export_batch(RowBatch{table, begin, end}, options_for(width, GetParam()), &a));
        ASSERT_EQ(decode(a, GetParam()), Rows(rows.begin() + begin, rows.begin() + end));
        a.release(&a);
    }
}

// ---- The view layout, byte by byte ----

TEST(ViewLayout, InlinesUpToTwelveBytesZeroPadded) {
    const auto table = make_table({{""}, {"abc"}, {"exactly12byt"}});
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), options_for(1, StringLayout::View), &a));
    const ArrowArray& c = *a.children[0];
    EXPECT_EQ(c.n_buffers, 3);  // no cell needs a data buffer
    unsigned char expected[48] = {};
    expected[16] = 3;
    std::memcpy(expected + 20, "abc", 3);
    expected[32] = 12;
    std::memcpy(expected + 36, "exactly12byt", 12);
    EXPECT_EQ(std::memcmp(c.buffers[1], expected, 48), 0);
    a.release(&a);
}

TEST(ViewLayout, LongCellsPointIntoTheArenaWithTheirPrefix) {
    const auto table = make_table({{"short", "thirteen-byte"}, {"a longer cell of text", "tiny"}});
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), options_for(2, StringLayout::View), &a));
    for (int col = 0; col < 2; ++col) {
        const ArrowArray& c = *a.children[col];
        ASSERT_EQ(c.n_buffers, 4) << "one data buffer per column";
        const int r = col == 0 ? 1 : 0;  // the long cell of this column
        const std::string_view f = table->field(r, col);
        const auto* view = static_cast<const unsigned char*>(c.buffers[1]) + 16 * r;
        EXPECT_EQ(i32(view), static_cast<std::int32_t>(f.size()));
        EXPECT_EQ(std::memcmp(view + 4, f.data(), 4), 0);
        EXPECT_EQ(i32(view + 8), 0);
        EXPECT_EQ(static_cast<const char*>(c.buffers[2]) + i32(view + 12), f.data()) << "not copied";
        EXPECT_EQ(static_cast<const std::int64_t*>(c.buffers[3])[0], static_cast<std::int64_t>(f.size()));
    }
    a.release(&a);
}

struct Split {
    const char* name;
    std::uint64_t limit;
    std::vector<std::int32_t> indices, offsets;
    std::vector<std::int64_t> sizes;
};

void PrintTo(const Split& c, std::ostream* os) { *os << c.name; }

class ViewSplit : public ::testing::TestWithParam<Split> {};

// Five cells of 20 bytes, back to back in the arena at 0, 20, 40, 60, 80.
TEST_P(ViewSplit, OpensABufferWhereTheNextCellWouldNotFit) {
    const Split& c = GetParam();
    Rows rows;
    for (char ch = 'a'; ch < 'f'; ++ch) rows.push_back({std::string(20, ch)});
    const auto table = make_table(rows);
    ExportOptions o = options_for(1, StringLayout::View);
    o.max_view_buffer_bytes = c.limit;
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), o, &a));
    const ArrowArray& col = *a.children[0];
    ASSERT_EQ(col.n_buffers, static_cast<std::int64_t>(3 + c.sizes.size()));
    const auto* views = static_cast<const unsigned char*>(col.buffers[1]);
    for (int r = 0; r < 5; ++r) {
        EXPECT_EQ(i32(views + 16 * r + 8), c.indices[r]) << r;
        EXPECT_EQ(i32(views + 16 * r + 12), c.offsets[r]) << r;
    }
    const auto* sizes = static_cast<const std::int64_t*>(col.buffers[col.n_buffers - 1]);
    EXPECT_EQ(std::vector<std::int64_t>(sizes, sizes + c.sizes.size()), c.sizes);
    EXPECT_EQ(decode(a, StringLayout::View), rows);
    a.release(&a);
}

INSTANTIATE_TEST_SUITE_P(
    Arrow, ViewSplit,
    ::testing::Values(Split{"OneBuffer", 100, {0, 0, 0, 0, 0}, {0, 20, 40, 60, 80}, {100}},
                      Split{"Exact", 40, {0, 0, 1, 1, 2}, {0, 20, 0, 20, 0}, {40, 40, 20}},
                      Split{"JustShort", 45, {0, 0, 1, 1, 2}, {0, 20, 0, 20, 0}, {40, 40, 20}},
                      Split{"OnePerCell", 39, {0, 1, 2, 3, 4}, {0, 0, 0, 0, 0}, {20, 20, 20, 20, 20}},
                      Split{"CellsLongerThanALimit", 1, {0, 1, 2, 3, 4}, {0, 0, 0, 0, 0}, {20, 20, 20, 20, 20}}),
    [](const auto& info) { return std::string(info.param.name); });

// Random widths and cells under small limits: every view must land inside
// its buffer, no buffer may pass the limit unless one cell alone does, and
// no cell may be copied.
TEST(ViewLayout, SplitKeepsEveryViewInsideItsBuffer) {
    std::mt19937 rng(17);
    for (int round = 0; round < 40; ++round) {
        const std::size_t width = 1 + rng() % 4;
        Rows rows(rng() % 60);
        for (auto& row : rows) {
            for (std::size_t c = 0; c < width; ++c) row.push_back(random_cell(rng, 40));
        }
        const auto table = make_table(rows);
        ExportOptions o = options_for(width, StringLayout::View);
        o.max_view_buffer_bytes = 1 + rng() % 120;
        ArrowArray a;
        ASSERT_TRUE(export_batch(whole(table), o, &a));
        ASSERT_EQ(decode(a, StringLayout::View), rows);
        for (std::size_t c = 0; c < width; ++c) {
            const ArrowArray& col = *a.children[c];
            const auto* sizes = static_cast<const std::int64_t*>(col.buffers[col.n_buffers - 1]);
            for (std::int64_t b = 0; b < col.n_buffers - 3; ++b)
                EXPECT_LE(static_cast<std::uint64_t>(sizes[b]), std::max<std::uint64_t>(o.max_view_buffer_bytes, 39));
            for (std::size_t r = 0; r < rows.size(); ++r) {
                const std::string_view f = table->field(r, c);
                if (f.size() > 12) {
                    EXPECT_EQ(cell(col, StringLayout::View, r).data(), f.data());
                }
            }
        }
        a.release(&a);
    }
}

// ---- The large layout ----

TEST(LargeLayout, OffsetsAndTextPerColumn) {
    const auto table = make_table({{"ab", ""}, {"", "xyz"}, {"cde", "q"}});
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), options_for(2, StringLayout::Large), &a));
    const std::int64_t offsets0[] = {0, 2, 2, 5};
    const std::int64_t offsets1[] = {0, 0, 3, 4};
    EXPECT_EQ(std::memcmp(a.children[0]->buffers[1], offsets0, sizeof offsets0), 0);
    EXPECT_EQ(std::memcmp(a.children[1]->buffers[1], offsets1, sizeof offsets1), 0);
    EXPECT_EQ(std::memcmp(a.children[0]->buffers[2], "abcde", 5), 0);
    EXPECT_EQ(std::memcmp(a.children[1]->buffers[2], "xyzq", 4), 0);
    a.release(&a);
}

// ---- Ownership ----

// Views point into the table and keep it; the large layout is a copy that
// lets it go at once.
int held_after_export(StringLayout layout) { return layout == StringLayout::View ? 1 : 0; }

TEST_P(Layouts, ArrayOutlivesTheProducersHandle) {
    int destroyed = 0;
    auto table = make_table(kMixed, &destroyed);
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), options_for(5, GetParam()), &a));
    table.reset();
    EXPECT_EQ(destroyed, 1 - held_after_export(GetParam()));
    EXPECT_EQ(decode(a, GetParam()), kMixed);
    a.release(&a);
    EXPECT_EQ(destroyed, 1);
}

TEST_P(Layouts, ConsumerReleasingFirstLeavesTheTable) {
    int destroyed = 0;
    auto table = make_table(kMixed, &destroyed);
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), options_for(5, GetParam()), &a));
    EXPECT_EQ(table.use_count(), 1 + 5 * held_after_export(GetParam())) << "a reference per column";
    a.release(&a);
    EXPECT_EQ(a.release, nullptr);
    EXPECT_EQ(table.use_count(), 1);
    EXPECT_EQ(table->field(0, 3), "thirteen-byte");
    table.reset();
    EXPECT_EQ(destroyed, 1);
}

TEST_P(Layouts, ChildMovedOutLivesOnAlone) {
    int destroyed = 0;
    auto table = make_table(kMixed, &destroyed);
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(table), options_for(5, GetParam()), &a));
    table.reset();
    // Moving, as the interface defines it: copy the struct, mark the source released.
    ArrowArray child = *a.children[4];
    a.children[4]->release = nullptr;
    a.release(&a);
    EXPECT_EQ(destroyed, 1 - held_after_export(GetParam()));
    EXPECT_EQ(cell(child, GetParam(), 0), "a much longer cell of text");
    child.release(&child);
    EXPECT_EQ(child.release, nullptr);
    EXPECT_EQ(destroyed, 1);
}

TEST_P(Layouts, ChildReleasedBeforeTheParent) {
    int destroyed = 0;
    ArrowArray a;
    ASSERT_TRUE(export_batch(whole(make_table(kMixed, &destroyed)), options_for(5, GetParam()), &a));
    ArrowArray child = *a.children[1];
    a.children[1]->release = nullptr;
    child.release(&child);
    EXPECT_EQ(destroyed, 1 - held_after_export(GetParam()));
    EXPECT_EQ(cell(*a.children[0], GetParam(), 2), "last");
    a.release(&a);
    EXPECT_EQ(destroyed, 1);
}

// ---- Streams ----

// Yields the given batches, then fails or ends; counts its destruction.
class ScriptedSource final : public BatchSource {
public:
    ScriptedSource(std::vector<RowBatch> batches, bool fail_at_end, int* destroyed)
        : batches_(std::move(batches)), fail_(fail_at_end), destroyed_(destroyed) {}
    ~ScriptedSource() override { ++*destroyed_; }
    ArrowResult<RowBatch> next() noexcept override {
        if (i_ < batches_.size()) return batches_[i_++];
        if (fail_) return ExportError{EIO, "the disk went away"};
        return RowBatch{};
    }

private:
    std::vector<RowBatch> batches_;
    std::size_t i_ = 0;
    bool fail_;
    int* destroyed_;
};

Rows numbered(int from, int count, std::size_t width) {
    Rows rows;
    for (int i = from; i < from + count; ++i) {
        std::vector<std::string> row;
        for (std::size_t c = 0; c < width; ++c)
            row.push_back(std::string("row ").append(std::to_string(i)).append(" column ").append(std::to_string(c)));
        rows.push_back(row);
    }
    return rows;
}

struct StreamCase {
    const char* name;
    std::vector<int> source_rows;  // rows per batch the source yields
    std::uint64_t batch_rows;
    std::vector<std::int64_t> lengths;  // rows per array the stream yields
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class Streams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(Streams, CutsTheSourcesBatchesToTheBatchSize) {
    const StreamCase& c = GetParam();
    int tables = 0;
    int sources = 0;
    std::vector<RowBatch> batches;
    Rows all;
    int from = 0;
    for (const int n : c.source_rows) {
        const Rows rows = numbered(from, n, 3);
        // Yield a middle range of a bigger table, to check the row range is kept.
        Rows padded = numbered(-1, 1, 3);
        padded.insert(padded.end(), rows.begin(), rows.end());
        batches.push_back(RowBatch{make_table(padded, &tables), 1, static_cast<std::uint64_t>(1 + n)});
        all.insert(all.end(), rows.begin(), rows.end());
        from += n;
    }
    const std::size_t made = batches.size();
    ArrowArrayStream stream;
    ASSERT_TRUE(export_stream(std::make_unique<ScriptedSource>(std::move(batches), false, &sources),
                              options_for(3, StringLayout::View), c.batch_rows, &stream));
    std::vector<std::int64_t> lengths;
    Rows got;
    for (;;) {
        ArrowArray a;
        ASSERT_EQ(stream.get_next(&stream, &a), 0);
        if (!a.release) break;
        lengths.push_back(a.length);
        for (auto& row : decode(a, StringLayout::View)) got.push_back(row);
        a.release(&a);
    }
    EXPECT_EQ(lengths, c.lengths);
    EXPECT_EQ(got, all);
    EXPECT_EQ(static_cast<std::size_t>(tables), made) << "every table let go once consumed";
    ArrowArray after;
    ASSERT_EQ(stream.get_next(&stream, &after), 0);
    EXPECT_EQ(after.release, nullptr) << "the end stays the end";
    EXPECT_EQ(stream.get_last_error(&stream), nullptr);
    stream.release(&stream);
    EXPECT_EQ(stream.release, nullptr);
    EXPECT_EQ(sources, 1);
}

INSTANTIATE_TEST_SUITE_P(Arrow, Streams,
                         ::testing::Values(StreamCase{"NoBatches", {}, 4, {}},
                                           StreamCase{"EmptyBatchesSkipped", {0, 3, 0}, 4, {3}},
                                           StreamCase{"Exact", {8}, 4, {4, 4}},
                                           StreamCase{"Remainder", {10}, 4, {4, 4, 2}},
                                           StreamCase{"NeverJoined", {3, 3}, 4, {3, 3}},
                                           StreamCase{"OneRowEach", {2, 1}, 1, {1, 1, 1}},
                                           StreamCase{"Unbounded", {5, 2}, UINT64_MAX, {5, 2}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Stream, SchemaMatchesTheOptionsEachTime) {
    ExportOptions o = options_for(3, StringLayout::Large);
    o.columns = std::vector<std::uint64_t>{2};
    ArrowArrayStream stream;
    ASSERT_TRUE(export_stream(whole(make_table({})), o, 10, &stream));
    for (int i = 0; i < 2; ++i) {
        ArrowSchema s;
        ASSERT_EQ(stream.get_schema(&stream, &s), 0);
        ASSERT_EQ(s.n_children, 1);
        EXPECT_STREQ(s.children[0]->format, "U");
        EXPECT_STREQ(s.children[0]->name, "c2");
        s.release(&s);
    }
    ArrowArray a;
    ASSERT_EQ(stream.get_next(&stream, &a), 0);
    EXPECT_EQ(a.release, nullptr) << "an empty table streams no batch";
    stream.release(&stream);
}

TEST_P(Layouts, HalfConsumedStreamReleasesEverything) {
    int tables = 0;
    int sources = 0;
    std::vector<RowBatch> batches = {whole(make_table(numbered(0, 10, 2), &tables)),
                                     whole(make_table(numbered(10, 10, 2), &tables))};
    ArrowArrayStream stream;
    ASSERT_TRUE(export_stream(std::make_unique<ScriptedSource>(std::move(batches), false, &sources),
                              options_for(2, GetParam()), 3, &stream));
    ArrowArray first;
    ASSERT_EQ(stream.get_next(&stream, &first), 0);
    stream.release(&stream);
    EXPECT_EQ(sources, 1);
    EXPECT_EQ(tables, 2 - held_after_export(GetParam())) << "the batch not yet drawn went with the source";
    EXPECT_EQ(decode(first, GetParam()), numbered(0, 3, 2)) << "the array outlives its stream";
    first.release(&first);
    EXPECT_EQ(tables, 2);
}

TEST(Stream, SourceFailureIsAnErrorValueThatStays) {
    int sources = 0;
    ArrowArrayStream stream;
    std::vector<RowBatch> batches = {whole(make_table(numbered(0, 2, 1)))};
    ASSERT_TRUE(export_stream(std::make_unique<ScriptedSource>(std::move(batches), true, &sources),
                              options_for(1, StringLayout::View), 5, &stream));
    ArrowArray a;
    ASSERT_EQ(stream.get_next(&stream, &a), 0);
    a.release(&a);
    for (int i = 0; i < 2; ++i) {
        std::memset(&a, 0xAB, sizeof a);
        EXPECT_EQ(stream.get_next(&stream, &a), EIO);
        EXPECT_STREQ(stream.get_last_error(&stream), "the disk went away");
        EXPECT_EQ(a.length, static_cast<std::int64_t>(0xABABABABABABABABull)) << "out untouched";
    }
    stream.release(&stream);
    EXPECT_EQ(sources, 1);
}

TEST(Stream, BadBatchFromTheSourceIsAnError) {
    int sources = 0;
    ArrowArrayStream stream;
    std::vector<RowBatch> batches = {RowBatch{make_table({{"a", "b", "c"}}), 0, 1}};
    ASSERT_TRUE(export_stream(std::make_unique<ScriptedSource>(std::move(batches), false, &sources),
                              options_for(2, StringLayout::View), 5, &stream));
    ArrowArray a;
    EXPECT_EQ(stream.get_next(&stream, &a), EINVAL);
    EXPECT_STREQ(stream.get_last_error(&stream), "row 0 has 3 fields, but 2 column names were given");
    stream.release(&stream);
}

TEST(Stream, RefusesBadOptionsUpFront) {
    ArrowArrayStream stream;
    std::memset(&stream, 0, sizeof stream);
    ExportStatus s = export_stream(whole(make_table({})), options_for(1, StringLayout::View), 0, &stream);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().code, EINVAL);
    EXPECT_EQ(s.error().text, "a stream's batches must hold at least 1 row");
    ExportOptions o = options_for(1, StringLayout::View);
    o.columns = std::vector<std::uint64_t>{1};
    s = export_stream(whole(make_table({})), o, 1, &stream);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().text, "column index 1 is out of range for a table of 1 columns");
    EXPECT_EQ(stream.release, nullptr);
}

// ---- Names ----

struct NamesCase {
    const char* name;
    std::vector<std::string_view> header;
    std::uint64_t width;
    std::vector<std::string> names;
};

void PrintTo(const NamesCase& c, std::ostream* os) { *os << c.name; }

class Names : public ::testing::TestWithParam<NamesCase> {};

TEST_P(Names, FollowTheDocumentedRule) {
    const NamesCase& c = GetParam();
    const auto names = unique_column_names(c.header, c.width);
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, c.names);
}

INSTANTIATE_TEST_SUITE_P(
    Arrow, Names,
    ::testing::Values(NamesCase{"NoHeader", {}, 3, {"column_1", "column_2", "column_3"}},
                      NamesCase{"Header", {"id", "name"}, 2, {"id", "name"}},
                      NamesCase{"EmptyFields", {"", "b", ""}, 3, {"column_1", "b", "column_3"}},
                      NamesCase{"ShortHeader", {"a"}, 3, {"a", "column_2", "column_3"}},
                      NamesCase{"LongHeader", {"a", "b", "c"}, 2, {"a", "b"}},
                      NamesCase{"Repeats", {"a", "a", "a"}, 3, {"a", "a_2", "a_3"}},
                      NamesCase{"LaterNameKept", {"a", "a", "a_2"}, 3, {"a", "a_3", "a_2"}},
                      NamesCase{"SuffixTakenEarlier", {"a_2", "a", "a"}, 3, {"a_2", "a", "a_3"}},
                      NamesCase{"GeneratedCollides", {"column_2", ""}, 2, {"column_2", "column_2_2"}},
                      NamesCase{"CaseMatters", {"A", "a"}, 2, {"A", "a"}},
                      NamesCase{"WhitespaceKept", {" ", " "}, 2, {" ", " _2"}},
                      NamesCase{"Zero", {}, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Names, ManyRepeatsStayUnique) {
    const std::vector<std::string_view> header(5000, "x");
    const auto names = unique_column_names(header, header.size());
    ASSERT_TRUE(names);
    EXPECT_EQ((*names)[0], "x");
    EXPECT_EQ((*names)[4999], "x_5000");
}

}  // namespace
}  // namespace corvel::arrow

namespace corvel::arrow {
namespace {

TEST(PackedTable, ReadsBackEveryRowItWasMadeFrom) {
    const corvel_test::Rows cases[] = {
        {},
        {{""}},
        {{"a", "", "bc"}, {"", ""}, {"\xC3\xA9t\xC3\xA9"}, {""}},
        {{"x"}, {"yy", "zzz", "", "w"}},
    };
    for (const auto& rows : cases) {
        const auto table = make_table(rows);
        ASSERT_EQ(table->size(), rows.size());
        EXPECT_EQ(table->empty(), rows.empty());
        for (std::uint64_t r = 0; r < rows.size(); ++r) EXPECT_EQ(table->row(r), rows[r]);
    }
}

TEST(PackedTable, StoresRowStartsOnlyForRowsOfDifferentWidths) {
    struct Case {
        corvel_test::Rows rows;
        std::uint64_t stride;
    };
    const Case cases[] = {
        {{}, 0},
        {{{"a", "b"}, {"", "cd"}, {"e", ""}}, 2},
        {{{"a", "b"}, {"c"}}, 0},
        {{{"a"}, {"b", "c"}, {"d"}}, 0},
    };
    for (const Case& c : cases) {
        const auto table = make_table(c.rows);
        EXPECT_EQ(table->stride(), c.stride);
        for (std::uint64_t r = 0; r < c.rows.size(); ++r) {
            EXPECT_EQ(table->width(r), c.rows[r].size());
            EXPECT_EQ(table->row(r), c.rows[r]);
        }
    }
}

// A parse table reused after a row was dropped, whose text runs to several MiB.
TEST(PackedTable, ReadsBackAReusedParseTableOfManyMegabytes) {
    RowTable rows;
    const auto add = [&](std::uint64_t i) {
        for (const std::string& cell : {std::to_string(i), std::string(i % 29, 'x'), std::string("\xC3\xA9")}) {
            rows.append(cell.data(), cell.size());
            rows.finish_field();
        }
        rows.finish_row();
    };
    add(7);
    rows.pop_row();
    constexpr std::uint64_t kRows = 200'000;
    for (std::uint64_t i = 0; i < kRows; ++i) add(i);
    const PackedTable table(rows);
    ASSERT_EQ(table.size(), kRows);
    EXPECT_EQ(table.stride(), 3u);
    EXPECT_TRUE(table.narrow());
    for (const std::uint64_t r : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{12'345}, kRows - 1})
        EXPECT_EQ(table.row(r), rows.row(r));
    EXPECT_EQ(table.bounds32()[3 * kRows], rows.field_ends()[3 * kRows - 1]);
}

}  // namespace
}  // namespace corvel::arrow
