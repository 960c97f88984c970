// The package's salvage: bytes in by chunks from a source, through the
// salvager, rows out to a RowSink as they are decided, each with its place
// in the input, and a record of every row that was changed, set aside or
// skipped.
//
// Memory holds the chunk being parsed plus the row that spans its end (and,
// at the start, the head that the delimiter and the width are guessed from),
// whatever the size of the input.
#pragma once

#include "cancel.hpp"
#include "decode.hpp"
#include "detect.hpp"
#include "error.hpp"
#include "pipeline.hpp"
#include "target.hpp"
#include "writer.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

struct SplitOptions;
struct SplitStats;

struct RescueOptions {
    std::optional<std::uint8_t> delimiter;  // absent: sniffed
    std::optional<std::uint8_t> quote = '"';  // absent: no quoting at all
    // Makes the next character literal, inside quotes and out; quotes are
    // then never doubled.
    std::optional<std::uint8_t> escape;
    bool repair_quotes = true;
    bool fill_ragged_rows = true;
    bool merge_overflow = true;
    std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no width check
    bool skip_blank_lines = true;
    bool header = false;              // the first row that is not skipped is a header
    bool skip_initial_space = false;  // blanks at the start of each field are dropped
    std::optional<std::uint8_t> output_delimiter;  // absent: the input's
    // Rows that are not valid UTF-8 are decoded with this table (and count
    // as legacy decoded); without one, their invalid bytes become U+FFFD.
    const LegacyTable* legacy = nullptr;

    // The table's shape, as detection found it. Row counts are of the rows
    // that are not blank, from the first.
    std::uint64_t preamble_rows = 0;  // set aside as "Preamble row"
    // With `header`: how many rows the header has. The last, the row of
    // labels, is written; those above it are set aside as "Header row".
    std::uint64_t header_rows = 1;
    // The table's last rows that look like totals or notes are set aside as
    // "Footer row"; the last DETECT_FOOTER_WINDOW rows are held back to
    // decide it.
    bool find_footer = false;
    // After a blank line, a row that starts a table of another width ends
    // the main table: it and everything after it are set aside as "Second
    // table".
    bool find_tables = false;
    std::vector<CellType> column_types;  // the main table's, for footer rows
};

// The counts of a run, by the fate of each row.
struct RescueCounts {
    std::uint64_t rows_read = 0;  // of every fate
    std::uint64_t rows_written = 0;  // data rows, clean or repaired
    std::uint64_t rows_clean = 0;
    std::uint64_t rows_repaired = 0;
    std::uint64_t padded = 0;
    std::uint64_t merged = 0;
    std::uint64_t quote_repaired = 0;
    std::uint64_t bytes_replaced = 0;
    std::uint64_t legacy_decoded = 0;
    std::uint64_t rows_set_aside = 0;
    std::uint64_t too_few_columns = 0;
    std::uint64_t too_many_columns = 0;
    std::uint64_t preamble = 0;
    std::uint64_t header_set_aside = 0;
    std::uint64_t footer = 0;
    std::uint64_t second_table = 0;
    std::uint64_t tables_found = 1;
    std::uint64_t rows_skipped = 0;
    std::uint64_t header_written = 0;
    std::uint64_t width = 0;
    std::uint64_t bytes_read = 0;
    std::uint8_t delimiter = ',';
};

// Which side of a run failed.
enum class Side : std::uint8_t { Input, Clean, Quarantine, Audit };

// Where the record of a run goes: the quarantine CSV and the JSON Lines
// audit, each optional.
struct RecordTargets {
    ByteSink* quarantine = nullptr;
    ByteSink* audit = nullptr;
};

// Called after each chunk read, with the bytes read so far; returns true
// when the run is to stop.
struct Progress {
    using Poll = bool (*)(void* context, std::uint64_t bytes_done) noexcept;
    Poll poll = nullptr;
    void* context = nullptr;
};

// The clean file: the header and the accepted rows as RFC 4180 lines,
// fields separated by the output delimiter and enclosed in double quotes
// where needed. A row of one empty field is written as "", so that it
// reads back as a row and not as a blank line.
class CsvSink final : public RowSink {
public:
    CsvSink(ByteSink& out, const RescueOptions& options) noexcept : CsvSink(&out, options, {}) {}
    // One that keeps what it is given until hand_over(), in `room`: an
    // empty string whose capacity is used again.
    CsvSink(const RescueOptions& options, std::string room) noexcept : CsvSink(nullptr, options, std::move(room)) {}

    RowTable& table() noexcept override { return row_; }
    bool takes_lines() const noexcept override { return lines_; }
    Status begin(std::uint8_t delimiter, std::uint64_t expected) override;
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override;
    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override;
    Status accept_lines(std::string_view lines) override;
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override;
    Status header(RowTable& rows) override { return accept(rows, Fate::Clean, RowSource{}); }
    Status end() override;

    // What a keeping sink holds goes to `to`, and it holds nothing.
    Status hand_over(ByteSink& to);
    // Its buffer, emptied, for another.
    std::string take_room() noexcept;

private:
    CsvSink(ByteSink* out, const RescueOptions& options, std::string room) noexcept;
    Status write_out(bool all);

    ByteSink* out_;  // null: keeps all

    std::optional<std::uint8_t> output_delimiter_;
    bool quote_is_double_;
    bool lines_ = false;
    std::uint8_t delimiter_ = ',';
    CleanFormat format_;
    std::string buffer_;
    RowTable row_;
};

// Runs a salvage of `input` into `rows` (the clean CSV writer, or any other
// sink), recording changed, set aside and skipped rows in `records`. On
// failure `*failed` says which side failed (a failing `rows` is the clean
// side); a stop asked for by `progress` fails on the input side with EINTR.
Result<RescueCounts> rescue(ByteSource& input, RowSink& rows, RecordTargets records, const RescueOptions& options,
                            const Progress& progress, Side* failed) noexcept;

// Bytes read at any offset of an input: a regular file's.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    // At most `size` bytes from `offset` on; 0 at the end.
    virtual Result<std::size_t> read_at(char* buffer, std::size_t size, std::uint64_t offset) noexcept = 0;
};

// pread() on a descriptor, polling `cancel` between reads.
class FdRandomSource final : public RandomSource {
public:
    FdRandomSource(int fd, Cancel cancel) noexcept : fd_(fd), cancel_(cancel) {}
    Result<std::size_t> read_at(char* buffer, std::size_t size, std::uint64_t offset) noexcept override;

private:
    int fd_;
    Cancel cancel_;
};

// The clean CSV of a run in ranges: each range's rows kept by a CsvSink of
// its own until they are written to `clean`.
class CsvRanges final : public RangeRows {
public:
    CsvRanges(ByteSink& clean, const RescueOptions& options) noexcept : clean_(clean), options_(options) {}
    Result<std::unique_ptr<RowSink>> open() override;
    Status hand_on(RowSink& range) override;
    void recycle(std::unique_ptr<RowSink> range) override;

private:
    ByteSink& clean_;
    const RescueOptions& options_;
    std::mutex mutex_;
    std::vector<std::string> spare_;  // buffers of ranges handed on, to fill again
};

// rescue() of an input of `size` bytes read at any offset (a regular
// file), its rows going to `rows` as a CsvSink's would, in byte ranges
// on several threads as `split` says. Each range is parsed and recorded on
// its own from a guess at where its first row starts and at the recorder's
// state there, and is handed on in input order; a range whose guess proves
// wrong is salvaged again from the true state, so that the clean bytes, the
// records and the counts are those of rescue(). Memory holds a few ranges,
// whatever the input's size. `progress` is polled on the calling thread only,
// with the bytes handed on.
// What the ranges cost is added to `*stats` when it is given.
Result<RescueCounts> rescue_parallel(RandomSource& input, std::uint64_t size, RangeRows& rows, RecordTargets records,
                                     const RescueOptions& options, const SplitOptions& split, const Progress& progress,
                                     Side* failed, SplitStats* stats = nullptr) noexcept;

// A salvage of one input taken apart into byte ranges that can be salvaged
// anywhere, in any order, each on its own: planned once, with one streaming
// pass over the whole input that writes nothing (memory as in rescue()),
// then each range salvaged from the state the plan left for it. The ranges' clean rows, records and counts,
// joined in order (counts summed), are those of rescue() on the whole.
//
// A range's state holds where its first row starts (the first at or past
// its cut) and the line there, and the recorder's state at that row: the
// rows still held back (for a footer, or a table's end) are handed out by
// the range that settles them, so a range's rows are those decided while
// it is parsed. `rows_model` is a sink of the kind the ranges will be
// salvaged into: a run cut into lines is planned only for sinks that take
// them. Empty ranges (inside one long row) are left out; there is always
// at least one. `size` is the input's: another length read fails the plan.
// Ranges are cut every `range_bytes`; `progress` is polled with the bytes
// read.
Result<std::vector<std::string>> plan_ranges(ByteSource& input, std::uint64_t size, const RescueOptions& options,
                                             RowSink& rows_model, std::uint64_t range_bytes,
                                             const Progress& progress) noexcept;

// rescue() of one planned range of `input` (the very input it was planned
// on, with the same options): reads only its own bytes, and what the
// parse of its last row needs after them. Its counts are its own rows';
// `bytes_read` counts the bytes from its start to the next range's.
Result<RescueCounts> rescue_range(RandomSource& input, std::string_view state, RowSink& rows, RecordTargets records,
                                  const RescueOptions& options, const Progress& progress, Side* failed) noexcept;

}  // namespace corvel
