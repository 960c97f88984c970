// The package's salvage: bytes in by chunks from a source, rows out to a
// clean CSV sink as they are decided, each with its place in the input, and
// a record of every row that was changed, set aside or skipped.
//
// Memory holds the chunk being parsed plus the row that spans its end (and,
// at the start, the head that the delimiter and the width are guessed from),
// whatever the size of the input.
#pragma once

#include "cancel.hpp"
#include "decode.hpp"
#include "error.hpp"
#include "pipeline.hpp"
#include "target.hpp"

#include <cstdint>
#include <optional>

namespace corvel {

struct RescueOptions {
    std::optional<std::uint8_t> delimiter;  // absent: sniffed
    std::optional<std::uint8_t> quote = '"';  // absent: no quoting at all
    bool repair_quotes = true;
    bool fill_ragged_rows = true;
    bool merge_overflow = true;
    std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no width check
    bool skip_blank_lines = true;
    bool header = false;              // the first row that is not skipped is a header
    bool skip_initial_space = false;  // blanks at the start of each field are dropped
    std::optional<std::uint8_t> output_delimiter;  // absent: the input's
    // Lines that are not valid UTF-8 are decoded with this table (a row
    // that holds one counts as legacy decoded); without one, their invalid
    // bytes become U+FFFD.
    const LegacyTable* legacy = nullptr;
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
    std::uint64_t rows_skipped = 0;
    std::uint64_t header_written = 0;
    std::uint64_t width = 0;
    std::uint64_t bytes_read = 0;
    std::uint8_t delimiter = ',';
};

// Which side of a run failed.
enum class Side : std::uint8_t { Input, Clean, Quarantine, Audit };

struct RescueTargets {
    ByteSink& clean;
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

// One row's fate, by its width against the expected one: the rule every
// row of the package meets.
// A row's fate under the package's options: the engine's one rule, fate_of().
Fate decide_fate(std::uint64_t width, std::uint64_t expected, bool fill_ragged_rows, bool merge_overflow) noexcept;

// Runs a salvage. On failure `*failed` says which side failed; a stop asked
// for by `progress` fails on the input side with EINTR.
Result<RescueCounts> rescue(ByteSource& input, const RescueTargets& targets, const RescueOptions& options,
                            const Progress& progress, Side* failed) noexcept;

}  // namespace corvel
