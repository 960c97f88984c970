#include "infer.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace corvel::infer {
namespace {

using arrow::RowBatch;
using corvel_test::Rows;

std::shared_ptr<const arrow::PackedTable> make_table(const Rows& rows) {
    return std::make_shared<const arrow::PackedTable>(corvel_test::table_of(rows));
}

Rows column_of(const std::vector<std::string>& cells) {
    Rows rows;
    for (const auto& c : cells) rows.push_back({c});
    return rows;
}

ColumnType type_of(const std::vector<std::string>& cells) {
    TypeGuess g;
    for (const auto& c : cells) g.add(c);
    return g.type();
}

struct TypeCase {
    std::vector<std::string> cells;
    ColumnType type;
};

class Types : public ::testing::TestWithParam<TypeCase> {};

TEST_P(Types, OfColumn) { EXPECT_EQ(type_of(GetParam().cells), GetParam().type); }

using T = ColumnType;
INSTANTIATE_TEST_SUITE_P(
    Infer, Types,
    ::testing::Values(
        TypeCase{{}, T::String}, TypeCase{{"", ""}, T::String},
        TypeCase{{"true", "FALSE", "", "True"}, T::Bool}, TypeCase{{"0", "1"}, T::Int64},
        TypeCase{{"true", "1"}, T::String}, TypeCase{{"yes", "no"}, T::String},
        TypeCase{{"1", "-2", "+3", "", "0", "-0"}, T::Int64}, TypeCase{{"007", "12"}, T::String},
        TypeCase{{"9223372036854775807", "-9223372036854775808"}, T::Int64},
        TypeCase{{"9223372036854775808"}, T::String}, TypeCase{{"1", "2.5"}, T::Float64},
        TypeCase{{"1", "2.5", "9007199254740993"}, T::String}, TypeCase{{"1.5", "9007199254740992"}, T::Float64},
        TypeCase{{"1e5", ".5", "5.", "-inf", "NaN", "Infinity", "1E-3"}, T::Float64},
        TypeCase{{"1e309"}, T::String}, TypeCase{{"00.5"}, T::String}, TypeCase{{"1.5", "NA"}, T::String},
        TypeCase{{" 1"}, T::String}, TypeCase{{"1 "}, T::String}, TypeCase{{"0x10"}, T::String},
        TypeCase{{"nan(1)"}, T::String}, TypeCase{{"1e", "2"}, T::String}, TypeCase{{"."}, T::String},
        TypeCase{{"-"}, T::String}, TypeCase{{"2024-02-29", ""}, T::Date32},
        TypeCase{{"2023-02-29"}, T::String}, TypeCase{{"2024-1-01"}, T::String},
        TypeCase{{"2024-01-01", "2024-01-01 10:00"}, T::Timestamp},
        TypeCase{{"2024-01-01T10:00Z", "2024-01-01 10:00:00.5+02:00"}, T::TimestampUtc},
        TypeCase{{"2024-01-01T10:00Z", "2024-01-01T10:00"}, T::String},
        TypeCase{{"2024-01-01", "2024-01-01T10:00Z"}, T::String},
        TypeCase{{"2024-01-01T24:00"}, T::String}, TypeCase{{"2024-01-01", "x"}, T::String}));

struct IntCase {
    const char* cell;
    std::optional<std::int64_t> value;
};

class Ints : public ::testing::TestWithParam<IntCase> {};

TEST_P(Ints, Parse) {
    std::int64_t v = 42;
    EXPECT_EQ(parse_int64(GetParam().cell, v), GetParam().value.has_value()) << GetParam().cell;
    if (GetParam().value) {
        EXPECT_EQ(v, *GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Infer, Ints,
    ::testing::Values(IntCase{"0", 0}, IntCase{"-0", 0}, IntCase{"+0", 0}, IntCase{"+17", 17},
                      IntCase{"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
                      IntCase{"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
                      IntCase{"9223372036854775808", std::nullopt}, IntCase{"-9223372036854775809", std::nullopt},
                      IntCase{"007", std::nullopt}, IntCase{"-01", std::nullopt}, IntCase{"", std::nullopt},
                      IntCase{"+", std::nullopt}, IntCase{"--1", std::nullopt}, IntCase{"1_000", std::nullopt},
                      IntCase{"１", std::nullopt}));

struct FloatCase {
    const char* cell;
    std::optional<double> value;  // NaN: any NaN
};

class Floats : public ::testing::TestWithParam<FloatCase> {};

TEST_P(Floats, Parse) {
    double v = 42;
    EXPECT_EQ(parse_float64(GetParam().cell, v), GetParam().value.has_value()) << GetParam().cell;
    if (!GetParam().value) return;
    if (std::isnan(*GetParam().value)) {
        EXPECT_TRUE(std::isnan(v));
    } else {
        EXPECT_EQ(v, *GetParam().value);
        EXPECT_EQ(std::signbit(v), std::signbit(*GetParam().value));
    }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
INSTANTIATE_TEST_SUITE_P(
    Infer, Floats,
    ::testing::Values(FloatCase{"1.5", 1.5}, FloatCase{"-0", -0.0}, FloatCase{"-0.0", -0.0}, FloatCase{"+.5", 0.5},
                      FloatCase{"5.", 5.0}, FloatCase{"1e3", 1000.0}, FloatCase{"1E+3", 1000.0},
                      FloatCase{"2.5e-3", 0.0025}, FloatCase{"0.1", 0.1},
                      FloatCase{"1.7976931348623157e308", std::numeric_limits<double>::max()},
                      FloatCase{"1e309", std::nullopt}, FloatCase{"-1e309", std::nullopt},
                      FloatCase{"4.9e-324", std::numeric_limits<double>::denorm_min()}, FloatCase{"1e-400", std::nullopt},
                      FloatCase{"inf", kInf}, FloatCase{"-Infinity", -kInf}, FloatCase{"+INF", kInf},
                      FloatCase{"nan", std::numeric_limits<double>::quiet_NaN()},
                      FloatCase{"9007199254740992", 9007199254740992.0}, FloatCase{"9007199254740993", std::nullopt},
                      FloatCase{"9007199254740993.0", 9007199254740992.0}, FloatCase{"00.5", std::nullopt},
                      FloatCase{"007", std::nullopt}, FloatCase{"0.05", 0.05}, FloatCase{"1e", std::nullopt},
                      FloatCase{"1e+", std::nullopt}, FloatCase{"e5", std::nullopt}, FloatCase{".", std::nullopt},
                      FloatCase{"1.2.3", std::nullopt}, FloatCase{"1,5", std::nullopt},
                      FloatCase{"infinit", std::nullopt}, FloatCase{"nan(0)", std::nullopt},
                      FloatCase{"0x1p3", std::nullopt}, FloatCase{"", std::nullopt}));

struct TimeCase {
    const char* cell;
    std::optional<std::int64_t> micros;
    bool zoned = false;
};

class Timestamps : public ::testing::TestWithParam<TimeCase> {};

TEST_P(Timestamps, Parse) {
    std::int64_t v = 42;
    bool zoned = false;
    EXPECT_EQ(parse_timestamp(GetParam().cell, v, zoned), GetParam().micros.has_value()) << GetParam().cell;
    if (!GetParam().micros) return;
    EXPECT_EQ(v, *GetParam().micros);
    EXPECT_EQ(zoned, GetParam().zoned);
}

constexpr std::int64_t kDay = 86'400'000'000;
constexpr std::int64_t kHour = 3'600'000'000;
constexpr std::int64_t kMinute = 60'000'000;
INSTANTIATE_TEST_SUITE_P(
    Infer, Timestamps,
    ::testing::Values(TimeCase{"1970-01-01T00:00", 0}, TimeCase{"1970-01-01 00:00:01", 1'000'000},
                      TimeCase{"1970-01-01t00:00:00.5", 500'000}, TimeCase{"1970-01-01T00:00:00.000001", 1},
                      TimeCase{"1970-01-01T00:00:00.123456", 123'456},
                      TimeCase{"1970-01-01T00:00:00.1234567", std::nullopt},
                      TimeCase{"1970-01-01T00:00:00.", std::nullopt}, TimeCase{"1970-01-01T00:00.5", std::nullopt},
                      TimeCase{"1969-12-31T23:59:59", -1'000'000}, TimeCase{"2024-02-29T12:00", 19'782 * kDay + 12 * kHour},
                      TimeCase{"1970-01-01T23:59", 23 * kHour + 59 * kMinute},
                      TimeCase{"1970-01-01T24:00", std::nullopt}, TimeCase{"1970-01-01T12:60", std::nullopt},
                      TimeCase{"1970-01-01T12:00:60", std::nullopt}, TimeCase{"1970-01-01T1:00", std::nullopt},
                      TimeCase{"1970-01-01", std::nullopt}, TimeCase{"1970-01-01T", std::nullopt},
                      TimeCase{"1970-01-01T00:00Z", 0, true}, TimeCase{"1970-01-01T00:00z", 0, true},
                      TimeCase{"1970-01-01T02:00+02:00", 0, true}, TimeCase{"1970-01-01T00:00-05:30", 5 * kHour + 30 * kMinute, true},
                      TimeCase{"1970-01-01T00:00:00.25Z", 250'000, true}, TimeCase{"1970-01-01T00:00+0200", std::nullopt},
                      TimeCase{"1970-01-01T00:00+24:00", std::nullopt}, TimeCase{"1970-01-01T00:00 UTC", std::nullopt},
                      TimeCase{"1970-01-01T00:00ZZ", std::nullopt}, TimeCase{"0001-01-01T00:00", -719'162 * kDay},
                      TimeCase{"9999-12-31T23:59:59.999999", 2'932'897 * kDay - 1}));

struct DateCase {
    const char* cell;
    std::optional<std::int32_t> days;
};

class Dates : public ::testing::TestWithParam<DateCase> {};

TEST_P(Dates, Parse) {
    std::int32_t v = 42;
    EXPECT_EQ(parse_date32(GetParam().cell, v), GetParam().days.has_value()) << GetParam().cell;
    if (GetParam().days) {
        EXPECT_EQ(v, *GetParam().days);
    }
}

INSTANTIATE_TEST_SUITE_P(Infer, Dates,
                         ::testing::Values(DateCase{"1970-01-01", 0}, DateCase{"1969-12-31", -1},
                                           DateCase{"2000-03-01", 11'017}, DateCase{"2024-02-29", 19'782},
                                           DateCase{"2023-02-29", std::nullopt}, DateCase{"1900-02-29", std::nullopt},
                                           DateCase{"2000-02-29", 11'016}, DateCase{"2024-04-31", std::nullopt},
                                           DateCase{"2024-13-01", std::nullopt}, DateCase{"2024-00-10", std::nullopt},
                                           DateCase{"0000-01-01", std::nullopt}, DateCase{"0001-01-01", -719'162},
                                           DateCase{"9999-12-31", 2'932'896}, DateCase{"2024/01/01", std::nullopt},
                                           DateCase{"2024-01-01 ", std::nullopt}, DateCase{"20240101", std::nullopt}));

TEST(Infer, ShortDecimalsAreTheNearestDouble) {
    // Against from_chars itself, on decimals of every length up to 17 digits.
    std::mt19937_64 rng(17);
    for (int n = 0; n < 200'000; ++n) {
        const int digits = 1 + static_cast<int>(rng() % 17);
        std::string cell = rng() % 2 ? "-" : "";
        const int point = static_cast<int>(rng() % (digits + 1));
        for (int k = 0; k < digits; ++k) {
            if (k == point) cell += '.';
            cell += static_cast<char>('0' + (k == 0 && point != 0 ? 1 + rng() % 9 : rng() % 10));
        }
        if (point == digits) cell += '.';  // "5.": an integer this long may be past 2^53
        double expected = 0, got = 0;
        std::from_chars(cell.data(), cell.data() + cell.size(), expected);
        ASSERT_TRUE(parse_float64(cell, got)) << cell;
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << cell;
    }
}

TEST(Infer, BoolsParseInAnyCaseOnly) {
    bool b = false;
    EXPECT_TRUE(parse_bool("TrUe", b) && b);
    EXPECT_TRUE(parse_bool("false", b) && !b);
    for (const char* no : {"1", "0", "t", "yes", "truee", ""}) EXPECT_FALSE(parse_bool(no, b)) << no;
}

TEST(Infer, EveryBatchHasItsSay) {
    // The second batch breaks column 0 only on its last row, and column 2
    // is empty in the first batch.
    const auto a = make_table({{"1", "x", ""}, {"2", "y", ""}});
    const auto b = make_table({{"3", "z", "2024-01-01"}, {"four", "w", ""}});
    const std::vector<RowBatch> batches = {arrow::whole(a), arrow::whole(b)};
    EXPECT_EQ(infer_types(batches, 3), (std::vector<ColumnType>{T::String, T::String, T::Date32}));
    EXPECT_EQ(infer_types(std::span(batches).first(1), 3), (std::vector<ColumnType>{T::Int64, T::String, T::String}));
}

// ---- Export ----

arrow::ExportOptions typed(std::vector<ColumnType> types) {
    arrow::ExportOptions o;
    for (std::size_t i = 0; i < types.size(); ++i) o.names.push_back(std::string("c").append(std::to_string(i)));
    o.types = std::move(types);
    return o;
}

bool valid(const ArrowArray& a, std::int64_t i) {
    if (!a.buffers[0]) return true;
    return (static_cast<const std::uint8_t*>(a.buffers[0])[i / 8] >> (i % 8)) & 1;
}

template <class V>
V value(const ArrowArray& a, std::int64_t i) {
    V v;
    std::memcpy(&v, static_cast<const char*>(a.buffers[1]) + i * sizeof(V), sizeof(V));
    return v;
}

TEST(InferExport, TypedColumnsBesideText) {
    const Rows rows = {
        {"1", "true", "x", "1.5", "2024-01-02", "1970-01-01T00:00:01Z"},
        {"", "", "", "", "", ""},
        {"-3", "False", "zz", "inf", "1970-01-01", "1970-01-01T01:00+01:00"},
    };
    const auto table = make_table(rows);
    for (const auto layout : {arrow::StringLayout::View, arrow::StringLayout::Large}) {
        arrow::ExportOptions o = typed({T::Int64, T::Bool, T::String, T::Float64, T::Date32, T::TimestampUtc});
        o.layout = layout;
        o.columns = std::vector<std::uint64_t>{5, 2, 0, 1, 3, 4};
        ArrowSchema s;
        ASSERT_TRUE(arrow::export_schema(o, &s));
        std::vector<std::string> formats;
        for (std::int64_t i = 0; i < s.n_children; ++i) formats.emplace_back(s.children[i]->format);
        EXPECT_EQ(formats, (std::vector<std::string>{"tsu:UTC", arrow::format_of(layout), "l", "b", "g", "tdD"}));
        EXPECT_EQ(std::string(s.children[0]->name), "c5");
        s.release(&s);

        ArrowArray a;
        ASSERT_TRUE(arrow::export_batch(arrow::whole(table), o, &a));
        ASSERT_EQ(a.n_children, 6);
        for (std::int64_t c = 0; c < 6; ++c) {
            const ArrowArray& child = *a.children[c];
            EXPECT_EQ(child.length, 3);
            EXPECT_EQ(child.null_count, c == 1 ? 0 : 1) << c;
            if (c == 1) continue;
            ASSERT_EQ(child.n_buffers, 2);
            EXPECT_TRUE(valid(child, 0) && !valid(child, 1) && valid(child, 2)) << c;
        }
        EXPECT_EQ(value<std::int64_t>(*a.children[0], 0), 1'000'000);
        EXPECT_EQ(value<std::int64_t>(*a.children[0], 2), 0);
        EXPECT_EQ(value<std::int64_t>(*a.children[2], 0), 1);
        EXPECT_EQ(value<std::int64_t>(*a.children[2], 1), 0);  // a null's slot is defined
        EXPECT_EQ(value<std::int64_t>(*a.children[2], 2), -3);
        EXPECT_EQ(*static_cast<const std::uint8_t*>(a.children[3]->buffers[1]) & 0x7, 0x1);
        EXPECT_EQ(value<double>(*a.children[4], 0), 1.5);
        EXPECT_EQ(value<double>(*a.children[4], 2), std::numeric_limits<double>::infinity());
        EXPECT_EQ(value<std::int32_t>(*a.children[5], 0), 19'724);
        EXPECT_EQ(value<std::int32_t>(*a.children[5], 2), 0);
        a.release(&a);
    }
}

TEST(InferExport, NoEmptyCellNoBitmap) {
    const auto table = make_table(column_of({"1", "2"}));
    ArrowArray a;
    ASSERT_TRUE(arrow::export_batch(RowBatch{table, 1, 2}, typed({T::Int64}), &a));
    EXPECT_EQ(a.children[0]->null_count, 0);
    EXPECT_EQ(a.children[0]->buffers[0], nullptr);
    EXPECT_EQ(value<std::int64_t>(*a.children[0], 0), 2);
    a.release(&a);
}

TEST(InferExport, Refusals) {
    const auto table = make_table(column_of({"1", "x"}));
    ArrowArray a{};
    auto r = arrow::export_batch(arrow::whole(table), typed({T::Int64}), &a);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code, EINVAL);
    EXPECT_EQ(r.error().text, "row 1, column 0: the cell does not parse as the column's type");
    EXPECT_EQ(a.release, nullptr);

    arrow::ExportOptions o = typed({T::Int64});
    o.types.push_back(T::Int64);
    ArrowSchema s{};
    auto bad = arrow::export_schema(o, &s);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().text, "2 column types were given for 1 columns");
    EXPECT_EQ(s.release, nullptr);
}

}  // namespace
}  // namespace corvel::infer
