// Accepted rows of a salvage, gathered into tables of bounded size: the
// batches that are handed to Arrow consumers.
//
// BatchSink is a RowSink: the salvage parses each row straight into the
// sink's one parse table, and the rows stay there until the batch is full.
// Sealing packs them into an arrow::PackedTable (their text and 32-bit cell
// ends) and empties the parse table, whose pages are then written again
// rather than fresh ones faulted in. A batch is sealed once it holds `rows` rows or about `bytes` bytes, so
// memory holds the sealed batches the caller keeps plus one batch being
// filled.
#pragma once

#include "arrow.hpp"
#include "error.hpp"
#include "pipeline.hpp"
#include "rows.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvel {

struct BatchLimits {
    std::uint64_t rows = 65536;          // at least 1
    std::uint64_t bytes = 16ull << 20;   // text, 8 bytes a field and 16 a row
};

class BatchSink;

// Called on the salvage's thread each time batches were sealed, and once
// more at the end: the place to take() them. An error stops the salvage.
struct BatchHandoff {
    using Call = Status (*)(void* context, BatchSink& sink) noexcept;
    Call call = nullptr;
    void* context = nullptr;
};

class BatchSink final : public RowSink {
public:
    // `lines`: whether rows may come as the clean writer's lines, which holds
    // when the run's quote is '"' or it has no quoting.
    BatchSink(BatchLimits limits, bool lines, BatchHandoff handoff = {}) noexcept;

    RowTable& table() noexcept override { return open_; }
    bool takes_lines() const noexcept override { return lines_; }
    Status begin(std::uint8_t delimiter, std::uint64_t expected) override;
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override;
    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override;
    Status accept_lines(std::string_view lines) override;
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override;
    Status header(RowTable& rows) override;
    Status end() override;

    // Sealed batches not yet taken, oldest first; the caller owns them now.
    std::vector<arrow::RowBatch> take() noexcept { return std::exchange(sealed_, {}); }

    // The rows of `range`, a sink of the same limits filled with the rows
    // that follow this one's, sealed and handed off as this sink's own;
    // `range` is left empty, to be filled again. Its last batch may be
    // short: a range's batches are its own.
    Status append(BatchSink& range);
    // Forgets every row, batch and width it holds, keeping its pages.
    void reset() noexcept;
    const BatchLimits& limits() const noexcept { return limits_; }
    bool lines_allowed() const noexcept { return lines_allowed_; }

    bool has_header() const noexcept { return got_header_; }
    const std::vector<std::string>& header() const noexcept { return header_; }
    // The width of the data rows: that of the first one, or of the header
    // while there is none (0 for nothing at all).
    std::uint64_t width() const noexcept { return width_; }
    // Whether data rows of different widths were seen: no table holds them.
    bool mixed_widths() const noexcept { return mixed_; }
    // Data rows accepted so far.
    std::uint64_t rows() const noexcept { return rows_; }
    bool ended() const noexcept { return ended_; }

private:
    // Bookkeeping for the data row just added to the parse table.
    void row_done();
    // A data row of `width` fields: the first sets the width, another
    // width makes the rows mixed.
    void note_width(std::uint64_t width) noexcept;
    bool full() const noexcept {
        return open_.size() >= limits_.rows || open_bytes_ >= limits_.bytes;
    }
    void seal();
    Status hand_off();

    BatchLimits limits_;
    bool lines_allowed_;
    bool lines_ = false;
    BatchHandoff handoff_;
    std::uint8_t delimiter_ = ',';
    std::uint64_t open_bytes_ = 0;  // of the parse table, by the budget's measure
    std::uint64_t width_ = 0;
    bool have_width_ = false;
    bool mixed_ = false;
    bool got_header_ = false;
    bool ended_ = false;
    std::uint64_t rows_ = 0;
    RowTable open_;
    std::vector<std::string> header_;
    std::vector<arrow::RowBatch> sealed_;
};

// The batches of a run cut into ranges: each range's rows go to a BatchSink
// of its own, of `into`'s limits, and are appended to `into` in order.
class BatchRanges final : public RangeRows {
public:
    explicit BatchRanges(BatchSink& into) noexcept : into_(into) {}
    Result<std::unique_ptr<RowSink>> open() override;
    Status hand_on(RowSink& range) override { return into_.append(static_cast<BatchSink&>(range)); }
    void recycle(std::unique_ptr<RowSink> range) override;
    Status end() override { return into_.end(); }

private:
    BatchSink& into_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<RowSink>> spare_;  // sinks of ranges handed on, their pages kept
};

// Appends the row that `line` holds in the clean writer's form (fields
// separated by `delimiter`, some enclosed in '"' with quotes doubled inside,
// no line break) followed by `padding` empty fields.
void append_clean_line(RowTable& rows, std::string_view line, std::uint8_t delimiter, std::uint64_t padding);

}  // namespace corvel
