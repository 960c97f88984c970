#include "detect.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {
namespace {

Detection detected(std::string_view text, bool complete = true) {
    Result<Detection> r = detect(text, complete);
    EXPECT_TRUE(r.ok());
    return r.ok() ? r.value() : Detection{};
}

const std::string kPeople =
    "Ann Lee,34,2024-01-02,ann@example.com\n"
    "Bob Stone,41,2024-02-11,bob@example.com\n"
    "Cy Young,29,2023-12-30,cy@example.com\n"
    "Di Moss,52,2024-03-05,di@example.com\n";

// ---- dialects -------------------------------------------------------------------

struct DialectCase {
    const char* name;
    std::string text;
    char delimiter;
    std::size_t width;
    std::optional<std::uint8_t> quote = {};
    std::optional<std::uint8_t> escape = {};
    bool skip_initial_space = false;
};

void PrintTo(const DialectCase& c, std::ostream* os) { *os << c.name; }

class Dialects : public ::testing::TestWithParam<DialectCase> {};

TEST_P(Dialects, AreFound) {
    const DialectCase& c = GetParam();
    const Detection d = detected(c.text);
    EXPECT_EQ(d.dialect.delimiter, static_cast<std::uint8_t>(c.delimiter));
    EXPECT_EQ(d.dialect.quote, c.quote);
    EXPECT_EQ(d.dialect.escape, c.escape);
    EXPECT_EQ(d.dialect.skip_initial_space, c.skip_initial_space);
    EXPECT_EQ(d.width, c.width);
    EXPECT_TRUE(d.confidence > 0.0 && d.confidence <= 1.0) << d.confidence;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Dialects,
    ::testing::Values(
        DialectCase{"Comma", "name,age\nAnn,34\nBob,41\nCy,29\n", ',', 2},
        DialectCase{"Semicolon", "name;price\nTea;1,50\nCake;2,75\nJam;3,10\n", ';', 2},
        DialectCase{"Tab", "a\tb\tc\n1\t2\t3\n4\t5\t6\n", '\t', 3},
        DialectCase{"Pipe", "id|city\n1|Oslo\n2|Lima\n3|Rome\n", '|', 2},
        DialectCase{"Colon", "id:city:zip\n1:Oslo:0150\n2:Lima:15001\n3:Rome:00118\n", ':', 3},
        DialectCase{"Space", "id qty price\n1 4 2.50\n2 7 3.10\n3 1 9.99\n", ' ', 3},
        DialectCase{"CommaSpace", "name, city, zip\n\"Smith, John\", Oslo, 0150\n\"Lee, Ann\", Lima, 15001\n"
                                  "\"Moss, Di\", Rome, 00118\n",
                    ',', 3, '"', {}, true},
        DialectCase{"DoubleQuoted", "name,note\nAnn,\"says \"\"hi\"\", then, leaves\"\nBob,\"a, b\"\nCy,plain\n", ',', 2,
                    '"'},
        DialectCase{"SingleQuoted", "name,note\nAnn,'a, b'\nBob,'c, d'\nCy,'e, f'\n", ',', 2, '\''},
        DialectCase{"BackslashEscape", "name,note\nAnn,\"say \\\"hi\\\", ok\"\nBob,\"a, b\"\nCy,\"c\"\n", ',', 2, '"',
                    '\\'},
        DialectCase{"TimesInCommaFile", "id,start,end\n1,09:30,10:45\n2,11:00,12:15\n3,13:05,14:20\n", ',', 3},
        DialectCase{"CrLf", "a;b;c\r\n1;2;3\r\n4;5;6\r\n", ';', 3},
        DialectCase{"CrOnly", "a|b\r1|2\r3|4\r", '|', 2},
        DialectCase{"MultilineQuoted", "id,text\n1,\"two\nlines\"\n2,\"three\nmore\nlines\"\n3,one\n", ',', 2, '"'}));

// ---- table shape ----------------------------------------------------------------

struct ShapeCase {
    const char* name;
    std::string text;
    std::size_t width, preamble, header, footer, tables;
    std::optional<std::size_t> table_rows = {};
    std::vector<CellType> types = {};  // of the body's columns, where given
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class Shapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(Shapes, AreFound) {
    const ShapeCase& c = GetParam();
    const Detection d = detected(c.text);
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.preamble_rows, c.preamble);
    EXPECT_EQ(d.header_rows, c.header);
    EXPECT_EQ(d.footer_rows, c.footer);
    EXPECT_EQ(d.tables, c.tables);
    EXPECT_EQ(d.table_rows, c.table_rows.value_or(d.table_rows));
    EXPECT_EQ(d.column_types, c.types.empty() ? d.column_types : c.types);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Shapes,
    ::testing::Values(
        ShapeCase{"TypedHeader", "name,age,joined,mail\n" + kPeople, 4, 0, 1, 0, 1, {},
                  {CellType::Text, CellType::Number, CellType::Date, CellType::Email}},
        ShapeCase{"NoHeader", kPeople, 4, 0, 0, 0, 1},
        ShapeCase{"TextOnlyLabels", "First,Last,City\nann,lee,oslo\nbob,stone,lima\ncy,young,rome\n", 3, 0, 1, 0, 1},
        ShapeCase{"RecurringValuesAreNoLabels", "ann,lee,oslo\nbob,stone,lima\ncy,young,oslo\n", 3, 0, 0, 0, 1},
        ShapeCase{"Preamble", "Sales report\nPrinted 2024-05-01\n\nname,age,joined,mail\n" + kPeople, 4, 2, 1, 0, 1},
        ShapeCase{"PaddedTitle", "Sales report,,,\nname,age,joined,mail\n" + kPeople, 4, 1, 1, 0, 1},
        ShapeCase{"TwoRowHeader", ",Personal,,Contact\nname,age,joined,mail\n" + kPeople, 4, 0, 2, 0, 1},
        ShapeCase{"TotalsFooter", "item,qty\nTea,3\nJam,4\nCake,5\nTotal,12\n", 2, 0, 1, 1, 1},
        ShapeCase{"NoteFooter", "name,age,joined,mail\n" + kPeople + "Exported by the shop\n", 4, 0, 1, 1, 1},
        ShapeCase{"ShortDataRowIsNoFooter", "name,age,joined,mail\n" + kPeople + "Eve,38\n", 4, 0, 1, 0, 1},
        // The second table ends the main one.
        ShapeCase{"SecondTable", "name,age,joined,mail\n" + kPeople + "\nsku,qty\nA-1,3\nB-2,4\n", 4, 0, 1, 0, 2, 5},
        ShapeCase{"FooterBeforeSecondTable",
                  "name,age,joined,mail\n" + kPeople + "Total,156,,\nPrinted 2024-05-01\n\nsku,qty\nA-1,3\nB-2,4\n", 4, 0, 1, 2, 2},
        ShapeCase{"BlankLinesInside", "name,age,joined,mail\n" + kPeople + "\n\n" + kPeople, 4, 0, 1, 0, 1},
        ShapeCase{"OneColumn", "qty\n1\n2\n3\n", 1, 0, 1, 0, 1},
        ShapeCase{"Empty", "", 0, 0, 0, 0, 0},
        ShapeCase{"BlankOnly", "\n\r\n\n", 0, 0, 0, 0, 0}));

TEST(Detect, FooterNeedsTheWholeInput) {
    const std::string text = "item,qty\nTea,3\nJam,4\nCake,5\nTotal,12\n";
    EXPECT_EQ(detected(text, true).footer_rows, 1u);
    EXPECT_EQ(detected(text, false).footer_rows, 0u);
    // A later table in the sample ends the main one there.
    EXPECT_EQ(detected(text + "\nsku,price,qty\nA-1,2.50,3\nB-2,1.20,4\n", false).footer_rows, 1u);
}

TEST(Detect, CutLastLineIsLeftOut) {
    // Cut inside the last row: it would be a short row of another width.
    const Detection d = detected("a,b,c\n1,2,3\n4,5,6\n7,8", false);
    EXPECT_EQ(d.width, 3u);
    EXPECT_EQ(d.table_rows, 3u);
}

// Quotes that never close, at every field start: each scan must not walk the
// rest of the text again (this would take minutes if it did).
TEST(Detect, HostileQuotesStayLinear) {
    for (const std::string_view unit : {"\"x\"y,", "'x'y;", "\"\"\"a,", "\\\"\"x,", "\"a\n"}) {
        const std::string text = corvel_test::repeat(unit, 400000 / unit.size());
        const Detection d = detected(text, false);
        EXPECT_GE(d.width, 1u) << unit;
    }
}

TEST(Detect, AnyBytesAreSafe) {
    std::string text;
    for (int i = 0; i < 4096; ++i) text.push_back(static_cast<char>((i * 131 + 7) % 256));
    EXPECT_TRUE(detect(text, true).ok());
    EXPECT_TRUE(detect(text, false).ok());
}

// ---- cell types -------------------------------------------------------------------

struct TypeCase {
    const char* cell;
    CellType type;
};

void PrintTo(const TypeCase& c, std::ostream* os) { *os << '"' << c.cell << '"'; }

class CellTypes : public ::testing::TestWithParam<TypeCase> {};

using enum CellType;

TEST_P(CellTypes, Classify) { EXPECT_EQ(cell_type(GetParam().cell), GetParam().type) << GetParam().cell; }

INSTANTIATE_TEST_SUITE_P(
    Table, CellTypes,
    ::testing::ValuesIn(std::vector<TypeCase>{
        {"", Empty}, {"  ", Empty}, {"42", Number}, {"-3.5", Number}, {"1,234,567.89", Number}, {"1.234,5", Number},
        {"1,5", Number}, {"12,3456", Number}, {"1,234,5678", Number}, {".5", Number}, {"1234,567,890", Text},
        {"$ 12.50", Number}, {"12,50 \xE2\x82\xAC", Number}, {"3 EUR", Number}, {"45%", Number},
        {"2024-01-31", Date}, {"31.01.2024", Date}, {"1/31/24", Date}, {"31 Jan 2024", Date}, {"Jan 31, 2024", Date},
        {"2024-01-31x", Text}, {"9:05", Time}, {"23:59:01.5", Time}, {"9:05 pm", Time},
        {"2024-01-31T09:05:00Z", DateTime}, {"2024-01-31 09:05+01:00", DateTime}, {"Yes", Bool},
        {"ann.lee+x@mail.example.org", Email}, {"ann@localhost", Text}, {"https://example.com/a?b", Url},
        {"www.example.com", Url}, {"+47 22 33 44 55", Phone}, {"(555) 123-4567", Text}, {"AB-123", Code},
        {"X_0042", Code}, {"ISO-9001-X", Code}, {"N/A", Na}, {"--", Na}, {"Smith, John", Text},
        {"caf\xC3\xA9", Text}}));

// ---- row predicates -----------------------------------------------------------------

std::vector<std::string_view> row(std::initializer_list<std::string_view> cells) { return cells; }

struct TotalsCase {
    std::vector<std::string_view> fields;
    bool totals;
};

class Totals : public ::testing::TestWithParam<TotalsCase> {};

TEST_P(Totals, Recognised) { EXPECT_EQ(looks_like_totals(GetParam().fields), GetParam().totals); }

INSTANTIATE_TEST_SUITE_P(
    Table, Totals,
    ::testing::ValuesIn(std::vector<TotalsCase>{
        {{"Total", "12"}, true}, {{"", " TOTALS:", "3"}, true}, {{"Grand total", "9"}, true},
        {{"Subtotal EUR", "9"}, true}, {{"Sum", ""}, true}, {{"1200 rows"}, true}, {{"Page 3 of 4"}, true},
        {{"Generated by the shop"}, true}, {{"Summer", "12"}, false}, {{"Country", "NO"}, false},
        {{"Ann", "12"}, false}, {{}, false}}));

TEST(Predicates, Header) {
    EXPECT_TRUE(looks_like_header(row({"sku", "qty", "Unit price"})));
    EXPECT_FALSE(looks_like_header(row({"sku", "sku"})));           // repeated
    EXPECT_FALSE(looks_like_header(row({"sku", ""})));              // empty
    EXPECT_FALSE(looks_like_header(row({"A-1", "3"})));             // values
    EXPECT_FALSE(looks_like_header(row({"sku"})));                  // one cell
    EXPECT_FALSE(looks_like_header(row({"sku", std::string_view(corvel_test::repeat("x", 41))})));
}

TEST(Predicates, Footer) {
    const std::vector<CellType> types = {CellType::Text, CellType::Number, CellType::Date};
    EXPECT_TRUE(looks_like_footer(row({"Total", "12", ""}), 3, types, ','));
    EXPECT_TRUE(looks_like_footer(row({"Exported by the shop"}), 3, types, ','));
    EXPECT_FALSE(looks_like_footer(row({"Eve", "38", "2024-01-02"}), 3, types, ','));  // full width
    EXPECT_FALSE(looks_like_footer(row({"Eve", "38"}), 3, types, ','));                // fits its columns
    EXPECT_FALSE(looks_like_footer(row({"Eve;38;2024-01-02"}), 3, types, ','));        // not split
    EXPECT_FALSE(looks_like_footer(row({"a", "b", "c", "d"}), 3, types, ','));          // three filled
}

TEST(Predicates, AnotherTable) {
    EXPECT_TRUE(starts_another_table(row({"sku", "qty"}), row({"A-1", "3"}), 4));
    EXPECT_FALSE(starts_another_table(row({"sku", "qty"}), row({"A-1", "3", "x"}), 4));
    EXPECT_FALSE(starts_another_table(row({"a", "b", "c", "d"}), row({"1", "2", "3", "4"}), 4));
    EXPECT_FALSE(starts_another_table(row({"note"}), row({"more"}), 4));
}

}  // namespace
}  // namespace corvel
