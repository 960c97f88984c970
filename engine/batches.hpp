// Rows of a clean CSV stream, gathered into tables of bounded size: the
// batches that are handed to Arrow consumers.
//
// The clean stream is the salvage's own output (fields separated by ',',
// enclosed in '"' when they hold ',', '"', CR or LF, quotes doubled inside,
// each row ended by LF, valid UTF-8), so reading it back never fails and
// needs no repair. It may arrive cut anywhere, one piece at a time. A batch
// is sealed once it holds `rows` rows or about `bytes` bytes, so memory holds
// the sealed batches the caller keeps plus one batch being filled.
#pragma once

#include "arrow.hpp"
#include "error.hpp"
#include "rows.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

struct BatchLimits {
    std::uint64_t rows = 65536;          // at least 1
    std::uint64_t bytes = 16ull << 20;   // text, 8 bytes a field and 16 a row
};

class CleanBatcher {
public:
    // With `header`, the first row is the header, not a data row.
    CleanBatcher(bool header, BatchLimits limits) noexcept;

    // The next bytes of the clean stream; rows it ends are added, and full
    // batches sealed.
    Status push(std::string_view bytes) noexcept;
    // The end of the stream: a last row without its LF is ended, and the
    // batch being filled is sealed.
    Status finish() noexcept;

    // Sealed batches not yet taken, oldest first; the caller owns them now.
    std::vector<arrow::RowBatch> take() noexcept { return std::exchange(sealed_, {}); }

    bool has_header() const noexcept { return got_header_; }
    const std::vector<std::string>& header() const noexcept { return header_; }
    // The width of the data rows: that of the first one, or of the header
    // while there is none (0 for nothing at all).
    std::uint64_t width() const noexcept { return width_; }
    // Whether data rows of different widths were seen: no table holds them.
    bool mixed_widths() const noexcept { return mixed_; }
    // Data rows ended so far.
    std::uint64_t rows() const noexcept { return rows_; }

private:
    enum class State : std::uint8_t { FieldStart, Plain, Quoted, QuoteInQuoted };

    void open_table();
    void parse(std::string_view bytes);
    void end_field();
    void end_row();
    // Bookkeeping for the row just finished: the header, the width, the batch.
    void row_done();
    void seal();

    bool want_header_;
    bool got_header_ = false;
    BatchLimits limits_;
    State state_ = State::FieldStart;
    std::uint64_t open_bytes_ = 0;  // bytes of the table being filled, by the budget's measure
    std::uint64_t width_ = 0;
    bool have_width_ = false;
    bool mixed_ = false;
    std::uint64_t rows_ = 0;
    std::unique_ptr<RowTable> table_;
    std::vector<std::string> header_;
    std::vector<arrow::RowBatch> sealed_;
};

}  // namespace corvel
