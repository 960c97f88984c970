// Accepted rows handed to Arrow consumers through the C Data Interface, with
// no copy of the text where the layout allows it.
//
// A batch of rows (all of one width) becomes a struct array with one string
// child per selected column, in one of two layouts:
// - StringLayout::View ("vu", utf8_view): one 16-byte view per cell. A cell of
//   at most 12 bytes is stored inside its view; a longer one keeps its first 4
//   bytes in the view and points into the table's text arena, which is handed
//   over as variadic data buffers: windows of the arena, none larger than
//   ExportOptions::max_view_buffer_bytes, so that every 32-bit offset fits.
// - StringLayout::Large ("U", large_utf8): 64-bit offsets and one copy of the
//   column's text.
// Text cells are never null: null counts are 0 and validity buffers are NULL.
// A column may instead be typed (ExportOptions::types, infer.hpp): its values
// are converted from the cells, and its empty cells are nulls.
//
// Ownership. A view column holds a shared reference to its table, so it stays
// valid after the producer has dropped its own; a large column is a copy and
// holds none, so the table's memory can go as soon as the producer lets it.
// Each child array owns its buffers (and reference), so a consumer may move a
// child out of the struct and release the two at any time, in either order;
// the struct's release releases only the children still in place. Release
// callbacks mark the structure released (release = NULL) and free everything
// exactly once.
//
// Errors are values, never exceptions, and the C callbacks return errno codes:
// EINVAL for a request that does not fit the table, EOVERFLOW for a cell too
// long for a view, ENOMEM when memory runs out, EIO for a failed source.
#pragma once

#include "error.hpp"
#include "rows.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// The C Data Interface and the C Stream Interface: a published, stable ABI,
// declared here as the format defines it. The guards let these declarations
// meet any other copy of them in one translation unit.
extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    // Array type description
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;

    // Release callback
    void (*release)(struct ArrowSchema*);
    // Opaque producer-specific data
    void* private_data;
};

struct ArrowArray {
    // Array data description
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;

    // Release callback
    void (*release)(struct ArrowArray*);
    // Opaque producer-specific data
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    // Callbacks providing stream functionality
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);

    // Release callback
    void (*release)(struct ArrowArrayStream*);

    // Opaque producer-specific data
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"

namespace corvel::infer {
enum class ColumnType : std::uint8_t;  // infer.hpp
}

namespace corvel::arrow {

enum class StringLayout : std::uint8_t {
    View,   // "vu": no copy of cells longer than 12 bytes
    Large,  // "U": one copy of the text per column
};

// The format string of a layout: "vu" or "U".
const char* format_of(StringLayout layout) noexcept;

// The largest view offset, and so the default size of a view data buffer.
inline constexpr std::uint64_t kMaxViewBufferBytes = 0x7FFF'FFFF;

struct ExportOptions {
    // One name per column of the table (see unique_column_names).
    std::vector<std::string> names;
    // The columns to export, as indices into `names`, in the order given;
    // each at most once. Absent: all, in table order.
    std::optional<std::vector<std::uint64_t>> columns;
    StringLayout layout = StringLayout::View;
    // View layout: the most bytes one data buffer spans, from 1 to
    // kMaxViewBufferBytes. Tests lower it to force many buffers. A cell
    // longer than this gets a buffer of its own.
    std::uint64_t max_view_buffer_bytes = kMaxViewBufferBytes;
    // The type of each column of `names` (see infer.hpp), or empty: every
    // column is text. A typed column ignores the layout.
    std::vector<infer::ColumnType> types;
};

struct ExportError {
    int code;  // an errno value: EINVAL, EOVERFLOW, ENOMEM or EIO
    std::string text;
};

// The value, or why there is none. (std::expected would do, but the clang
// that builds the fuzz targets has no <expected> with this C++ library.)
template <class T>
class [[nodiscard]] ArrowResult {
public:
    ArrowResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    ArrowResult(ExportError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const ExportError& error() const& { return std::get<1>(v_); }
    ExportError&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, ExportError> v_;
};

using ExportStatus = ArrowResult<Done>;

// Memory for a sealed table or an exported buffer, aligned as the format
// recommends and freed once; its contents start undefined. It comes from the
// heap, which hands freed memory out again to the next tables of a process.
// Huge pages were tried: somewhat cheaper to fault in on a quiet machine,
// but with long stalls while the kernel gathers them on a busy one.
class Block {
public:
    Block() = default;
    // May throw bad_alloc.
    explicit Block(std::size_t bytes);
    Block(Block&& other) noexcept
        : p_(std::exchange(other.p_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    Block& operator=(Block&& other) noexcept {
        std::swap(p_, other.p_);
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    ~Block();

    char* data() const noexcept { return static_cast<char*>(p_); }

private:
    void* p_ = nullptr;
    std::size_t bytes_ = 0;
};

// Rows sealed for export, read as a RowTable is: the text of every cell back
// to back, where each cell starts and ends, and the first cell of each row,
// in one block. The counts are 32-bit while the text and the cells allow,
// which halves what a cell costs beyond its text (4 bytes, and 4 a row);
// past that, 64-bit. When every row has the same width, as a table for
// export has, row starts are not stored at all.
class PackedTable {
public:
    // Readable bytes past the end of the text, so that a short cell can be
    // read as a block of fixed size.
    static constexpr std::size_t kTextSlack = 16;

    PackedTable() = default;
    // A copy of `rows`, all of whose rows are finished. May throw bad_alloc.
    explicit PackedTable(const RowTable& rows);

    std::uint64_t size() const noexcept { return rows_; }
    bool empty() const noexcept { return rows_ == 0; }
    std::uint64_t width(std::uint64_t r) const noexcept { return first_cell(r + 1) - first_cell(r); }
    std::string_view field(std::uint64_t r, std::uint64_t f) const noexcept {
        const std::uint64_t i = first_cell(r) + f;
        return std::string_view(text_ + bound(i), bound(i + 1) - bound(i));
    }
    // A copy of row r as separate strings (for tests and diagnostics).
    std::vector<std::string> row(std::uint64_t r) const;

    // For loops over many cells. Cells are numbered row by row; row r's
    // first is first_cell(r), and cell i spans [bounds()[i], bounds()[i + 1])
    // of text(), with 32-bit bounds when narrow(), else 64-bit.
    const char* text() const noexcept { return text_; }
    bool narrow() const noexcept { return !wide_; }
    const std::uint32_t* bounds32() const noexcept { return static_cast<const std::uint32_t*>(bounds_); }
    const std::uint64_t* bounds64() const noexcept { return static_cast<const std::uint64_t*>(bounds_); }
    // The width of every row when all have the same, else 0.
    std::uint64_t stride() const noexcept { return stride_; }
    std::uint64_t first_cell(std::uint64_t r) const noexcept {
        if (stride_) return r * stride_;
        return wide_ ? static_cast<const std::uint64_t*>(firsts_)[r]
                     : static_cast<const std::uint32_t*>(firsts_)[r];
    }

private:
    std::uint64_t bound(std::uint64_t i) const noexcept { return wide_ ? bounds64()[i] : bounds32()[i]; }

    Block block_;  // the text and its slack, the cells' bounds, the row starts (rows + 1, unless stride_)
    const char* text_ = nullptr;
    const void* bounds_ = nullptr;
    const void* firsts_ = nullptr;
    std::uint64_t rows_ = 0;
    std::uint64_t stride_ = 0;
    bool wide_ = false;
};

// Rows [begin, end) of a shared table. A null table ends a stream.
struct RowBatch {
    std::shared_ptr<const PackedTable> table;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

// The rows of a whole table, as one batch.
RowBatch whole(std::shared_ptr<const PackedTable> table) noexcept;

// Fills `out` with the schema: a struct ("+s") of one nullable field per
// selected column, a string or its type. Checks the options on their own (indices, buffer
// size); `out` is untouched on failure.
[[nodiscard]] ExportStatus export_schema(const ExportOptions& options, ArrowSchema* out) noexcept;

// Fills `out` with the batch's rows as a struct array of the selected columns.
// Every row of the batch must have options.names.size() fields. `out` is
// untouched on failure.
[[nodiscard]] ExportStatus export_batch(const RowBatch& batch, const ExportOptions& options,
                                        ArrowArray* out) noexcept;

// Where a stream's rows come from: a table, or a salvage that produces rows
// as it reads. Called from the stream's callbacks, one call at a time.
class BatchSource {
public:
    virtual ~BatchSource() = default;
    // The next rows, or a batch with a null table at the end. A batch may be
    // of any size; the stream cuts it to its batch size.
    virtual ArrowResult<RowBatch> next() noexcept = 0;
};

// Fills `out` with a stream of struct arrays of at most `batch_rows` rows
// each (batch_rows >= 1), drawn from `source` as the consumer asks. The
// options are checked here, once. The stream owns the source; releasing the
// stream part-way through releases it and whatever it holds. Arrays already
// handed out live on independently. `out` is untouched on failure.
[[nodiscard]] ExportStatus export_stream(std::unique_ptr<BatchSource> source, ExportOptions options,
                                         std::uint64_t batch_rows, ArrowArrayStream* out) noexcept;
// The same over the rows of one batch, such as a whole table.
[[nodiscard]] ExportStatus export_stream(RowBatch batch, ExportOptions options, std::uint64_t batch_rows,
                                         ArrowArrayStream* out) noexcept;

// Column names for a table of `width` columns, by this rule:
// 1. Column i (counted from 1) asks for the header's field i, or for
//    "column_i" when that field is empty or missing (no header, or a header
//    shorter than the table). Header fields past `width` are ignored.
// 2. Names are compared byte for byte, so "A" and "a" differ. From left to
//    right, a column gets the name it asks for unless an earlier column has
//    it; then it gets the first of "<name>_2", "<name>_3"... that no column
//    has or asks for. So ["a", "a", "a"] gives "a", "a_2", "a_3", and
//    ["a", "a", "a_2"] gives "a", "a_3", "a_2": a later column keeps the
//    name its header gives it.
ArrowResult<std::vector<std::string>> unique_column_names(std::span<const std::string_view> header,
                                                         std::uint64_t width) noexcept;

}  // namespace corvel::arrow
