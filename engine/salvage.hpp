// The salvage entry points: a whole in-memory text, a whole file, and a
// stream. Each drives the resumable salvager (salvager.hpp) with sinks.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "file_io.hpp"
#include "pipeline.hpp"
#include "rows.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

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

// Bytes read at a time by salvage_stream.
inline constexpr std::size_t kStreamBuffer = std::size_t{2} << 20;

// Salvages what the descriptor `input` yields, read through one buffer of
// `buffer_bytes` and written as it goes, so memory stays bounded by the
// buffer and the longest row. The clean file, and the quarantine file when
// a path is given, replace what their paths name only once all has
// succeeded (a new file beside each, renamed into place); a path that names
// an existing file other than a regular one (a device, a FIFO) is written
// in place. On failure no target has changed, but those written in place,
// and no temporary file is left. A quarantine path that names the output
// file is refused before anything is created. The output may be the file
// `input` reads: it is replaced only at the end. Reads `input` to its end,
// but closes it not.
Result<SalvageStats> salvage_stream(int input, std::string_view output_path,
                                    std::optional<std::string_view> quarantine_path, const SalvageOptions& options,
                                    const Cancel& cancel = {}, std::size_t buffer_bytes = kStreamBuffer) noexcept;

}  // namespace corvel
