#include "arrow.hpp"

#include "infer.hpp"
#include "memory.hpp"
#include "messages.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <unistd.h>

namespace corvel::arrow {

namespace {

constexpr std::uint64_t kMaxInt32 = std::numeric_limits<std::int32_t>::max();
constexpr std::size_t kViewBytes = 16;
constexpr std::size_t kInlineBytes = 12;
constexpr std::size_t kAlignment = 64;  // what the format recommends for buffers

// `pattern` with each "{}" replaced by the next of `values`.
std::string fill(std::string_view pattern, std::initializer_list<std::uint64_t> values) {
    std::string out;
    auto value = values.begin();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.substr(i, 2) == "{}" && value != values.end()) {
            out += std::to_string(*value++);
            ++i;
        } else {
            out.push_back(pattern[i]);
        }
    }
    return out;
}

ExportError fail(int code, std::string_view pattern, std::initializer_list<std::uint64_t> values) {
    return ExportError{code, fill(pattern, values)};
}

// Runs `body` for a noexcept entry point: exhausted memory, or a size past
// what a container can index, becomes ENOMEM. The message fits a string's
// inline buffer, so making it allocates nothing.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return ExportError{ENOMEM, std::string(msg::kOutOfMemory)};
}

// One exported buffer: aligned, owned, freed once. An empty buffer is a
// shared static block, since some consumers refuse a null pointer even where
// the format allows one.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(std::size_t bytes) {
        // Refused up front: a request beyond physical memory might be
        // granted lazily and end the process when touched.
        if (bytes > available_memory()) throw std::bad_alloc();
        block_ = Block(bytes);
    }

    char* data() const noexcept { return block_.data() ? block_.data() : empty(); }

private:
    static char* empty() noexcept {
        alignas(kAlignment) static char block[kAlignment] = {};
        return block;
    }

    Block block_;
};

// An empty int64 buffer, for the sizes of no view buffers at all.
const std::int64_t kNoSizes[1] = {0};

// The options, checked: the columns to export and the limits.
struct Plan {
    std::vector<std::uint64_t> columns;
    std::uint64_t width = 0;  // fields every row must have
    StringLayout layout = StringLayout::View;
    std::uint64_t max_view_buffer_bytes = kMaxViewBufferBytes;
    std::vector<infer::ColumnType> types;  // of each selected column; empty: all text
};

// The types of the selected columns, when any is typed.
ExportStatus plan_types(const ExportOptions& options, Plan& plan) {
    if (options.types.empty()) return Done{};
    if (options.types.size() != plan.width)
        return fail(EINVAL, msg::kArrowBadTypes, {options.types.size(), plan.width});
    plan.types.reserve(plan.columns.size());
    for (const std::uint64_t c : plan.columns) plan.types.push_back(options.types[c]);
    // All text: the plain path.
    if (std::ranges::all_of(plan.types, [](infer::ColumnType t) { return t == infer::ColumnType::String; }))
        plan.types.clear();
    return Done{};
}

ArrowResult<Plan> make_plan(const ExportOptions& options) {
    Plan plan;
    plan.width = options.names.size();
    plan.layout = options.layout;
    plan.max_view_buffer_bytes = options.max_view_buffer_bytes;
    if (plan.max_view_buffer_bytes < 1 || plan.max_view_buffer_bytes > kMaxViewBufferBytes)
        return fail(EINVAL, msg::kArrowBadBufferSize, {kMaxViewBufferBytes, plan.max_view_buffer_bytes});
    if (!options.columns) {
        plan.columns.resize(plan.width);
        for (std::uint64_t c = 0; c < plan.width; ++c) plan.columns[c] = c;
        if (ExportStatus s = plan_types(options, plan); !s) return std::move(s).error();
        return plan;
    }
    plan.columns = *options.columns;
    std::vector<bool> seen(plan.width);
    for (const std::uint64_t c : plan.columns) {
        if (c >= plan.width) return fail(EINVAL, msg::kArrowColumnOutOfRange, {c, plan.width});
        if (seen[c]) return fail(EINVAL, msg::kArrowColumnTwice, {c});
        seen[c] = true;
    }
    if (ExportStatus s = plan_types(options, plan); !s) return std::move(s).error();
    return plan;
}

// ---- Arrays ----

// What one column's array owns.
struct ColumnData {
    std::shared_ptr<const PackedTable> table;  // views point into its text
    Buffer values;                          // views, or 64-bit offsets
    Buffer text;                            // large layout: the column's text
    std::vector<std::int64_t> view_sizes;   // the size of each view data buffer
    Buffer validity;                        // a typed column's
    std::uint64_t null_count = 0;
    std::vector<const void*> buffers;
};

void release_column(ArrowArray* array) noexcept {
    delete static_cast<ColumnData*>(array->private_data);
    array->private_data = nullptr;
    array->release = nullptr;
}

ArrowArray column_array(std::unique_ptr<ColumnData> data, std::uint64_t rows) noexcept {
    ArrowArray a{};
    a.length = static_cast<std::int64_t>(rows);
    a.null_count = static_cast<std::int64_t>(data->null_count);
    a.offset = 0;
    a.n_buffers = static_cast<std::int64_t>(data->buffers.size());
    a.n_children = 0;
    a.buffers = data->buffers.data();
    a.children = nullptr;
    a.dictionary = nullptr;
    a.release = &release_column;
    a.private_data = data.release();
    return a;
}

// What the struct array owns: its children, as long as they stay in place.
struct StructData {
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> pointers;
    const void* buffers[1] = {nullptr};  // no validity: rows are never null

    StructData() = default;
    StructData(const StructData&) = delete;
    StructData& operator=(const StructData&) = delete;
    // A child that a consumer moved out has release == NULL and is its own.
    ~StructData() {
        for (ArrowArray& child : children) {
            if (child.release) child.release(&child);
        }
    }
};

void release_struct(ArrowArray* array) noexcept {
    delete static_cast<StructData*>(array->private_data);
    array->private_data = nullptr;
    array->release = nullptr;
}

ExportStatus check_width(const PackedTable& table, std::uint64_t r, std::uint64_t width) {
    if (table.width(r) == width) return Done{};
    return fail(EINVAL, msg::kArrowRowWidth, {r, table.width(r), width});
}

// The view layout's state for one column while its rows are written: the
// data buffer being filled is a window of the arena, opened at the first
// long cell that does not fit the previous one.
struct ViewColumn {
    char* next = nullptr;  // where the next view goes
    const char* window = nullptr;
    const char* window_end = nullptr;
    std::vector<const char*> windows;
    std::vector<std::int64_t> sizes;
};

// The low `n` bytes of `v` (n from 0 to 8), the others zero.
inline std::uint64_t low_bytes(std::uint64_t v, std::uint64_t n) noexcept {
    return n >= 8 ? v : v & ((std::uint64_t{1} << (8 * n)) - 1);
}

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// A view is written as two 64-bit words, which puts its 32-bit fields in
// place only on a little-endian machine.
static_assert(std::endian::native == std::endian::little);

// One pass over the rows, with the cells' bounds read straight from the
// table. Each view is two stores; a short cell is read as 12 bytes (the
// text's slack makes that safe) and masked to its length.
template <class T>
ExportStatus write_views(const RowBatch& batch, const Plan& plan, std::span<ViewColumn> columns, const T* bounds) {
    const PackedTable& table = *batch.table;
    const char* const text = table.text();
    const auto limit = static_cast<std::ptrdiff_t>(plan.max_view_buffer_bytes);
    const bool uniform = table.stride() != 0 && table.stride() == plan.width;
    const std::uint64_t* const wanted = plan.columns.data();
    for (std::uint64_t r = batch.begin; r < batch.end; ++r) {
        const std::uint64_t first = table.first_cell(r);
        if (!uniform) {
            if (ExportStatus s = check_width(table, r, plan.width); !s) return s;
        }
        for (std::size_t j = 0; j < columns.size(); ++j) {
            ViewColumn& col = columns[j];
            const std::uint64_t i = first + wanted[j];
            const std::uint64_t begin = bounds[i];
            const std::uint64_t length = bounds[i + 1] - begin;
            const char* const p = text + begin;
            std::uint64_t words[2];
            if (length <= kInlineBytes) {
                words[0] = length | (low_bytes(load64(p), std::min<std::uint64_t>(length, 4)) << 32);
                words[1] = low_bytes(load64(p + 4), length > 4 ? length - 4 : 0);
            } else {
                if (length > kMaxInt32)
                    return fail(EOVERFLOW, msg::kArrowCellTooLong, {r, wanted[j], length, kMaxInt32});
                const char* e = p + length;
                if (!col.window || p < col.window || e - col.window > limit) {
                    if (col.window) col.sizes.push_back(col.window_end - col.window);
                    if (col.windows.size() >= kMaxInt32)
                        return fail(EOVERFLOW, msg::kArrowTooManyBuffers, {wanted[j], kMaxInt32});
                    col.windows.push_back(p);
                    col.window = p;
                    col.window_end = p;
                }
                col.window_end = std::max(col.window_end, e);
                const auto index = static_cast<std::uint32_t>(col.windows.size() - 1);
                const auto offset = static_cast<std::uint32_t>(p - col.window);
                words[0] = length | (load64(p) << 32);
                words[1] = index | (std::uint64_t{offset} << 32);
            }
            std::memcpy(col.next, words, kViewBytes);
            col.next += kViewBytes;
        }
    }
    for (ViewColumn& col : columns) {
        if (col.window) col.sizes.push_back(col.window_end - col.window);
    }
    return Done{};
}

// Buffers: validity (none), views, the data buffers, then their sizes, which
// the interface adds for view arrays since they can't be derived.
ExportStatus view_columns(const RowBatch& batch, const Plan& plan, std::vector<std::unique_ptr<ColumnData>>& out) {
    const std::uint64_t rows = batch.end - batch.begin;
    if (rows > available_memory() / kViewBytes) throw std::bad_alloc();
    std::vector<ViewColumn> columns(plan.columns.size());
    for (std::size_t j = 0; j < plan.columns.size(); ++j) {
        auto data = std::make_unique<ColumnData>();
        data->table = batch.table;
        data->values = Buffer(rows * kViewBytes);
        columns[j].next = data->values.data();
        out.push_back(std::move(data));
    }
    const ExportStatus written = batch.table->narrow() ? write_views(batch, plan, columns, batch.table->bounds32())
                                                       : write_views(batch, plan, columns, batch.table->bounds64());
    if (!written) return written;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        ColumnData& data = *out[j];
        data.view_sizes = std::move(columns[j].sizes);
        data.buffers.reserve(3 + columns[j].windows.size());
        data.buffers.push_back(nullptr);
        data.buffers.push_back(data.values.data());
        data.buffers.insert(data.buffers.end(), columns[j].windows.begin(), columns[j].windows.end());
        data.buffers.push_back(data.view_sizes.empty() ? kNoSizes : data.view_sizes.data());
    }
    return Done{};
}

// Cells up to this size are copied as one block, past their own end, which
// costs far less than an exact copy: the table's text has the slack for it.
constexpr std::size_t kBlockBytes = PackedTable::kTextSlack;

// One column's copy while it is written.
struct LargeColumn {
    std::int64_t* offsets = nullptr;  // the next offset goes at offsets[1]
    char* text = nullptr;
    std::int64_t at = 0;
};

template <class T>
ExportStatus large_columns(const RowBatch& batch, const Plan& plan, std::vector<std::unique_ptr<ColumnData>>& out,
                           const T* bounds) {
    const PackedTable& table = *batch.table;
    const std::uint64_t rows = batch.end - batch.begin;
    if (rows >= available_memory() / sizeof(std::int64_t)) throw std::bad_alloc();
    const std::size_t n = plan.columns.size();
    const std::uint64_t* const wanted = plan.columns.data();
    const bool uniform = table.stride() != 0 && table.stride() == plan.width;
    std::vector<std::uint64_t> bytes(n, 0);
    for (std::uint64_t r = batch.begin; r < batch.end; ++r) {
        if (!uniform) {
            if (ExportStatus s = check_width(table, r, plan.width); !s) return s;
        }
        const std::uint64_t first = table.first_cell(r);
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint64_t i = first + wanted[j];
            bytes[j] += bounds[i + 1] - bounds[i];
        }
    }
    std::vector<LargeColumn> columns(n);
    for (std::size_t j = 0; j < n; ++j) {
        auto data = std::make_unique<ColumnData>();
        data->values = Buffer((rows + 1) * sizeof(std::int64_t));
        data->text = Buffer(bytes[j] + kBlockBytes);  // room for the last block copy
        columns[j].offsets = reinterpret_cast<std::int64_t*>(data->values.data());
        columns[j].offsets[0] = 0;
        columns[j].text = data->text.data();
        data->buffers = {nullptr, data->values.data(), data->text.data()};
        out.push_back(std::move(data));
    }
    // Row by row, like the sizes: a column at a time would walk the whole
    // table's bounds once per column.
    const char* const text = table.text();
    for (std::uint64_t r = batch.begin; r < batch.end; ++r) {
        const std::uint64_t first = table.first_cell(r);
        for (std::size_t j = 0; j < n; ++j) {
            LargeColumn& col = columns[j];
            const std::uint64_t i = first + wanted[j];
            const std::uint64_t begin = bounds[i];
            const std::uint64_t length = bounds[i + 1] - begin;
            if (length <= kBlockBytes) {
                std::memcpy(col.text + col.at, text + begin, kBlockBytes);
            } else {
                std::memcpy(col.text + col.at, text + begin, length);
            }
            col.at += static_cast<std::int64_t>(length);
            *++col.offsets = col.at;
        }
    }
    return Done{};
}

// Buffers: validity (none), rows + 1 offsets, the text. Two passes over the
// rows: the sizes, then the copy.
ExportStatus large_columns(const RowBatch& batch, const Plan& plan, std::vector<std::unique_ptr<ColumnData>>& out) {
    return batch.table->narrow() ? large_columns(batch, plan, out, batch.table->bounds32())
                                 : large_columns(batch, plan, out, batch.table->bounds64());
}

ExportStatus check_range(const RowBatch& batch) {
    if (!batch.table) return fail(EINVAL, msg::kArrowNoTable, {});
    if (batch.begin > batch.end || batch.end > batch.table->size())
        return fail(EINVAL, msg::kArrowRowsOutOfRange, {batch.begin, batch.end, batch.table->size()});
    return Done{};
}

// Buffers: validity (NULL when no cell is empty), then the values.
ExportStatus typed_column(const RowBatch& batch, std::uint64_t column, infer::ColumnType type,
                          std::unique_ptr<ColumnData>& out) {
    const std::uint64_t rows = batch.end - batch.begin;
    if (rows > available_memory() / sizeof(std::int64_t)) throw std::bad_alloc();
    auto data = std::make_unique<ColumnData>();
    data->values = Buffer(infer::value_bytes(type, rows));
    data->validity = Buffer(infer::bitmap_bytes(rows));
    const infer::Converted c = infer::convert_column(
        batch, column, type, data->values.data(), reinterpret_cast<std::uint8_t*>(data->validity.data()));
    if (!c.ok) return fail(EINVAL, msg::kArrowCellNotOfType, {c.bad_row, column});
    data->null_count = c.nulls;
    data->buffers = {c.nulls ? data->validity.data() : nullptr, data->values.data()};
    out = std::move(data);
    return Done{};
}

// The text columns as the layout has them, then each typed one in its place.
ExportStatus mixed_columns(const RowBatch& batch, const Plan& plan, std::vector<std::unique_ptr<ColumnData>>& out) {
    Plan text = plan;
    text.columns.clear();
    text.types.clear();
    for (std::size_t j = 0; j < plan.columns.size(); ++j) {
        if (plan.types[j] == infer::ColumnType::String) text.columns.push_back(plan.columns[j]);
    }
    std::vector<std::unique_ptr<ColumnData>> strings;
    // Also checks every row's width, with or without a text column.
    const ExportStatus built = plan.layout == StringLayout::View ? view_columns(batch, text, strings)
                                                                 : large_columns(batch, text, strings);
    if (!built) return built;
    auto next_string = strings.begin();
    for (std::size_t j = 0; j < plan.columns.size(); ++j) {
        if (plan.types[j] == infer::ColumnType::String) {
            out.push_back(std::move(*next_string++));
            continue;
        }
        out.emplace_back();
        if (ExportStatus s = typed_column(batch, plan.columns[j], plan.types[j], out.back()); !s) return s;
    }
    return Done{};
}

ExportStatus export_with_plan(const RowBatch& batch, const Plan& plan, ArrowArray* out) {
    if (ExportStatus s = check_range(batch); !s) return s;
    std::vector<std::unique_ptr<ColumnData>> columns;
    columns.reserve(plan.columns.size());
    const ExportStatus built = !plan.types.empty()                ? mixed_columns(batch, plan, columns)
                               : plan.layout == StringLayout::View ? view_columns(batch, plan, columns)
                                                                   : large_columns(batch, plan, columns);
    if (!built) return built;

    const std::uint64_t rows = batch.end - batch.begin;
    auto parent = std::make_unique<StructData>();
    parent->children.reserve(columns.size());
    parent->pointers.reserve(columns.size());
    for (auto& column : columns) parent->children.push_back(column_array(std::move(column), rows));
    for (ArrowArray& child : parent->children) parent->pointers.push_back(&child);

    ArrowArray a{};
    a.length = static_cast<std::int64_t>(rows);
    a.null_count = 0;
    a.offset = 0;
    a.n_buffers = 1;
    a.n_children = static_cast<std::int64_t>(parent->pointers.size());
    a.buffers = parent->buffers;
    a.children = parent->pointers.data();
    a.dictionary = nullptr;
    a.release = &release_struct;
    a.private_data = parent.release();
    *out = a;
    return Done{};
}

// ---- Schemas ----

struct SchemaData {
    std::string name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> pointers;

    SchemaData() = default;
    SchemaData(const SchemaData&) = delete;
    SchemaData& operator=(const SchemaData&) = delete;
    ~SchemaData() {
        for (ArrowSchema& child : children) {
            if (child.release) child.release(&child);
        }
    }
};

void release_schema(ArrowSchema* schema) noexcept {
    delete static_cast<SchemaData*>(schema->private_data);
    schema->private_data = nullptr;
    schema->release = nullptr;
}

ArrowSchema schema_node(std::unique_ptr<SchemaData> data, const char* format, std::int64_t flags) noexcept {
    ArrowSchema s{};
    s.format = format;
    s.name = data->name.c_str();
    s.metadata = nullptr;
    s.flags = flags;
    s.n_children = static_cast<std::int64_t>(data->pointers.size());
    s.children = data->pointers.empty() ? nullptr : data->pointers.data();
    s.dictionary = nullptr;
    s.release = &release_schema;
    s.private_data = data.release();
    return s;
}

// Fields are nullable, as every other reader of text makes its columns, so
// that tables from here and from elsewhere have equal schemas; no cell is
// ever null.
void schema_with_plan(const ExportOptions& options, const Plan& plan, ArrowSchema* out) {
    auto parent = std::make_unique<SchemaData>();
    parent->children.reserve(plan.columns.size());
    parent->pointers.reserve(plan.columns.size());
    for (std::size_t j = 0; j < plan.columns.size(); ++j) {
        auto child = std::make_unique<SchemaData>();
        child->name = options.names[plan.columns[j]];
        const char* typed = plan.types.empty() ? nullptr : infer::format_of(plan.types[j]);
        parent->children.push_back(
            schema_node(std::move(child), typed ? typed : format_of(plan.layout), ARROW_FLAG_NULLABLE));
    }
    for (ArrowSchema& child : parent->children) parent->pointers.push_back(&child);
    *out = schema_node(std::move(parent), "+s", 0);
}

// ---- Streams ----

class OneBatch final : public BatchSource {
public:
    explicit OneBatch(RowBatch batch) : batch_(std::move(batch)) {}
    ArrowResult<RowBatch> next() noexcept override { return std::exchange(batch_, RowBatch{}); }

private:
    RowBatch batch_;
};

struct StreamData {
    std::unique_ptr<BatchSource> source;
    ExportOptions options;
    Plan plan;
    std::uint64_t batch_rows = 1;
    RowBatch pending;  // rows drawn from the source and not yet handed out
    bool ended = false;
    int failed = 0;  // the error code that ended the stream, once it failed
    std::string last_error;
};

StreamData& stream_data(ArrowArrayStream* stream) noexcept {
    return *static_cast<StreamData*>(stream->private_data);
}

int record(StreamData& d, ExportError error) noexcept {
    d.last_error = std::move(error.text);
    return error.code;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    StreamData& d = stream_data(stream);
    ExportStatus s = guarded([&]() -> ExportStatus {
        schema_with_plan(d.options, d.plan, out);
        return Done{};
    });
    return s ? 0 : record(d, std::move(s).error());
}

// The next batch of at most batch_rows rows; the end of the stream is an
// array marked released. A failure ends the stream: later calls repeat it.
ExportStatus next_batch(StreamData& d, ArrowArray* out) {
    while (!d.pending.table || d.pending.begin == d.pending.end) {
        d.pending = RowBatch{};
        if (!d.ended) {
            ArrowResult<RowBatch> next = d.source->next();
            if (!next) return std::move(next).error();
            d.pending = std::move(next).value();
            d.ended = !d.pending.table;
            if (!d.ended) {
                if (ExportStatus s = check_range(d.pending); !s) return s;
            }
        }
        if (d.ended) {
            d.source.reset();  // nothing more is needed from it
            out->release = nullptr;
            return Done{};
        }
    }
    const std::uint64_t rows = std::min(d.batch_rows, d.pending.end - d.pending.begin);
    const RowBatch slice{d.pending.table, d.pending.begin, d.pending.begin + rows};
    if (ExportStatus s = export_with_plan(slice, d.plan, out); !s) return s;
    d.pending.begin = slice.end;
    if (d.pending.begin == d.pending.end) d.pending = RowBatch{};  // let the rows go now
    return Done{};
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamData& d = stream_data(stream);
    if (d.failed) return d.failed;
    ExportStatus s = guarded([&] { return next_batch(d, out); });
    if (s) return 0;
    d.failed = s.error().code;
    return record(d, std::move(s).error());
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
    const StreamData& d = stream_data(stream);
    return d.last_error.empty() ? nullptr : d.last_error.c_str();
}

void release_stream(ArrowArrayStream* stream) noexcept {
    delete static_cast<StreamData*>(stream->private_data);
    stream->private_data = nullptr;
    stream->release = nullptr;
}

// ---- Names ----

std::vector<std::string> name_columns(std::span<const std::string_view> header, std::uint64_t width) {
    std::vector<std::string> asked(width);
    for (std::uint64_t i = 0; i < width; ++i) {
        if (i < header.size() && !header[i].empty()) {
            asked[i] = header[i];
        } else {
            asked[i] = "column_" + std::to_string(i + 1);
        }
    }
    const std::unordered_set<std::string_view> claimed(asked.begin(), asked.end());
    std::unordered_set<std::string> taken;
    // Per name, the next suffix worth trying: the ones below it are in use,
    // so each name's suffixes are tried once, however often it repeats.
    std::unordered_map<std::string_view, std::uint64_t> next_suffix;
    std::vector<std::string> names;
    names.reserve(width);
    for (const std::string& name : asked) {
        if (taken.insert(name).second) {
            names.push_back(name);
            continue;
        }
        std::uint64_t& k = next_suffix.try_emplace(name, 2).first->second;
        std::string candidate;
        for (;; ++k) {
            candidate = name + "_" + std::to_string(k);
            if (!claimed.contains(candidate) && !taken.contains(candidate)) break;
        }
        ++k;
        taken.insert(candidate);
        names.push_back(std::move(candidate));
    }
    return names;
}

}  // namespace

const char* format_of(StringLayout layout) noexcept { return layout == StringLayout::View ? "vu" : "U"; }

Block::Block(std::size_t bytes) : bytes_(bytes) {
    if (bytes == 0) return;
    if (bytes > SIZE_MAX - kAlignment) throw std::bad_alloc();
    p_ = std::aligned_alloc(kAlignment, (bytes + kAlignment - 1) / kAlignment * kAlignment);
    if (!p_) throw std::bad_alloc();
}

Block::~Block() { std::free(p_); }

PackedTable::PackedTable(const RowTable& rows) : rows_(rows.size()) {
    std::uint64_t fields = 0;
    const std::uint64_t stride = rows_ ? rows.width(0) : 0;
    bool uniform = rows_ != 0;
    for (std::uint64_t r = 0; r < rows_; ++r) {
        fields += rows.width(r);
        uniform = uniform && rows.width(r) == stride;
    }
    const char* base = nullptr;
    std::uint64_t bytes = 0;
    if (fields != 0) {
        base = rows.field(0, 0).data();
        const std::string_view last = rows.field(rows_ - 1, rows.width(rows_ - 1) - 1);
        bytes = static_cast<std::uint64_t>(last.data() + last.size() - base);
    }
    wide_ = bytes > UINT32_MAX || fields >= UINT32_MAX;
    stride_ = uniform ? stride : 0;
    const std::uint64_t count = wide_ ? 8 : 4;
    if (bytes > available_memory() || fields > available_memory() / count) throw std::bad_alloc();
    const std::uint64_t bounds_at = (bytes + kTextSlack + 7) / 8 * 8;
    const std::uint64_t firsts = uniform ? 0 : rows_ + 1;
    const std::uint64_t total = bounds_at + (fields + 1 + firsts) * count;
    if (total > available_memory()) throw std::bad_alloc();
    block_ = Block(static_cast<std::size_t>(total));
    char* const p = block_.data();
    if (bytes) std::memcpy(p, base, bytes);
    std::memset(p + bytes, 0, bounds_at - bytes);
    void* const bounds = p + bounds_at;
    void* const starts = uniform ? nullptr : p + bounds_at + (fields + 1) * count;
    text_ = p;
    bounds_ = bounds;
    firsts_ = starts;
    // Bounds are counted from the first row's text, which need not be where
    // the parse table's text starts.
    const std::uint64_t* const from = rows.field_ends();
    const std::uint64_t skip = fields == 0 || rows.first_field(0) == 0 ? 0 : from[rows.first_field(0) - 1];
    const auto fill = [&]<class T>(T* out, T* first) {
        std::uint64_t k = 0;
        out[0] = 0;
        for (std::uint64_t r = 0; r < rows_; ++r) {
            if (first) first[r] = static_cast<T>(k);
            const std::uint64_t* e = from + rows.first_field(r);
            for (std::uint64_t f = 0, w = rows.width(r); f < w; ++f) out[++k] = static_cast<T>(e[f] - skip);
        }
        if (first) first[rows_] = static_cast<T>(k);
    };
    if (wide_) {
        fill(static_cast<std::uint64_t*>(bounds), static_cast<std::uint64_t*>(starts));
    } else {
        fill(static_cast<std::uint32_t*>(bounds), static_cast<std::uint32_t*>(starts));
    }
}

std::vector<std::string> PackedTable::row(std::uint64_t r) const {
    std::vector<std::string> out;
    for (std::uint64_t f = 0; f < width(r); ++f) out.emplace_back(field(r, f));
    return out;
}

RowBatch whole(std::shared_ptr<const PackedTable> table) noexcept {
    const std::uint64_t rows = table ? table->size() : 0;
    return RowBatch{std::move(table), 0, rows};
}

ExportStatus export_schema(const ExportOptions& options, ArrowSchema* out) noexcept {
    return guarded([&]() -> ExportStatus {
        ArrowResult<Plan> plan = make_plan(options);
        if (!plan) return std::move(plan).error();
        schema_with_plan(options, *plan, out);
        return Done{};
    });
}

ExportStatus export_batch(const RowBatch& batch, const ExportOptions& options, ArrowArray* out) noexcept {
    return guarded([&]() -> ExportStatus {
        ArrowResult<Plan> plan = make_plan(options);
        if (!plan) return std::move(plan).error();
        return export_with_plan(batch, *plan, out);
    });
}

ExportStatus export_stream(std::unique_ptr<BatchSource> source, ExportOptions options, std::uint64_t batch_rows,
                           ArrowArrayStream* out) noexcept {
    return guarded([&]() -> ExportStatus {
        if (batch_rows < 1) return fail(EINVAL, msg::kArrowBadBatchRows, {});
        ArrowResult<Plan> plan = make_plan(options);
        if (!plan) return std::move(plan).error();
        auto d = std::make_unique<StreamData>();
        d->source = std::move(source);
        d->options = std::move(options);
        d->plan = std::move(*plan);
        d->batch_rows = batch_rows;
        out->get_schema = &stream_get_schema;
        out->get_next = &stream_get_next;
        out->get_last_error = &stream_get_last_error;
        out->release = &release_stream;
        out->private_data = d.release();
        return Done{};
    });
}

ExportStatus export_stream(RowBatch batch, ExportOptions options, std::uint64_t batch_rows,
                           ArrowArrayStream* out) noexcept {
    std::unique_ptr<BatchSource> source;
    ExportStatus made = guarded([&]() -> ExportStatus {
        source = std::make_unique<OneBatch>(std::move(batch));
        return Done{};
    });
    if (!made) return made;
    return export_stream(std::move(source), std::move(options), batch_rows, out);
}

ArrowResult<std::vector<std::string>> unique_column_names(std::span<const std::string_view> header,
                                                         std::uint64_t width) noexcept {
    return guarded([&]() -> ArrowResult<std::vector<std::string>> { return name_columns(header, width); });
}

}  // namespace corvel::arrow
