// Salvaging a whole in-memory text: decide delimiter and width, parse every
// row, and accept it unchanged, padded or merged, or set it aside.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "file_io.hpp"
#include "rows.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

struct SalvageOptions {
    std::optional<std::uint8_t> delimiter;  // absent: sniffed
    std::uint8_t quote_char = '"';
    bool fill_ragged_rows = true;
    bool merge_overflow = true;
    std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no width check
    bool repair_quotes = true;
};

struct SalvageStats {
    std::uint64_t total_rows = 0;
    std::uint64_t salvaged_rows = 0;
    std::uint64_t repaired_rows = 0;  // padded or merged
    std::uint64_t quarantined_rows = 0;
    std::uint64_t inferred_columns = 0;
    std::uint8_t detected_delimiter = ',';  // a byte; as text it is U+0000..U+00FF
};

enum class QuarantineReason : std::uint8_t { TooFewColumns, ExtraColumns };

// "Row has too few columns (expected 3)" and the like.
std::string reason_text(QuarantineReason reason, std::uint64_t expected);

// One rejected row, as a standalone value.
struct QuarantineRecord {
    std::vector<std::string> tokens;  // the fields exactly as parsed
    std::string reason;
    std::uint64_t line = 0;  // the parser's line counter after the row
};

// The rejected rows of a run, stored as compactly as the accepted ones.
class Quarantine {
public:
    std::uint64_t size() const noexcept { return lines_.size(); }
    const RowTable& tokens() const noexcept { return tokens_; }
    std::uint64_t line(std::uint64_t i) const noexcept { return lines_[i]; }
    QuarantineReason reason(std::uint64_t i) const noexcept { return reasons_[i]; }
    QuarantineRecord record(std::uint64_t i, std::uint64_t expected) const;

    // Takes the last row of `from` (which loses it).
    void take_last_row(RowTable& from, QuarantineReason reason, std::uint64_t line);

private:
    RowTable tokens_;
    std::vector<std::uint64_t> lines_;
    std::vector<QuarantineReason> reasons_;
};

struct SalvageOutcome {
    RowTable rows;          // accepted rows; all of width stats.inferred_columns when it is not 0
    Quarantine quarantine;  // rejected rows, in input order
    SalvageStats stats;

    QuarantineRecord quarantine_record(std::uint64_t i) const {
        return quarantine.record(i, stats.inferred_columns);
    }
};

// Never fails on any text; the only errors are memory that cannot be had,
// including an expected width too large to pad rows to, and a stop asked
// for by `cancel`.
Result<SalvageOutcome> salvage_slice(std::string_view text, const SalvageOptions& options,
                                     const Cancel& cancel = {}) noexcept;

// salvage_slice over bytes it takes over, giving their memory back as it
// goes: the input and all of its rows are never held at once. Rejected rows
// are counted, not kept: the outcome's quarantine stays empty.
Result<SalvageOutcome> salvage_owned(FileBytes bytes, const SalvageOptions& options,
                                     const Cancel& cancel = {}) noexcept;

// Reads the file at `input_path` whole, salvages it, writes the accepted rows
// as a clean CSV file at `output_path` and, when a path is given, the rejected
// rows as a quarantine CSV file, created only once the clean file is complete.
// The input is read before anything is created, so it may be the output
// too; the new file then replaces it only once it is complete. A quarantine
// path that names the input or the output file is refused before any file
// is touched. Fails with the system's error for any file operation, for
// lack of memory, or when `cancel` asks to stop.
Result<SalvageStats> salvage_file(std::string_view input_path, std::string_view output_path,
                                  std::optional<std::string_view> quarantine_path,
                                  const SalvageOptions& options, const Cancel& cancel = {}) noexcept;

}  // namespace corvel
