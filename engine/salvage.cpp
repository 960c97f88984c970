#include "salvage.hpp"

#include "file_io.hpp"
#include "salvager.hpp"
#include "scan.hpp"
#include "sinks.hpp"
#include "writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <unistd.h>

namespace corvel {
namespace {

// Accepted rows kept in the outcome's table; rejected ones kept as records,
// or only counted.
class TableSink final : public RowSink {
public:
    TableSink(SalvageOutcome& out, bool keep_rejects, std::string_view text) noexcept
        : out_(out), keep_(keep_rejects), text_(text) {}

    RowTable& table() noexcept override { return out_.rows; }

    // Room for every row at once, so that no buffer is copied while it grows
    // (a copy would hold two of it for a moment). Pages of the reservation
    // that are never written cost nothing. Accepted text is at most the
    // input's, but for replaced bytes. Rows are at most the line breaks,
    // plus one; each has at most one field per delimiter, plus one, or
    // exactly the expected width.
    Status begin(std::uint8_t delimiter, std::uint64_t expected) override {
        const auto* d = reinterpret_cast<const std::uint8_t*>(text_.data());
        const std::uint64_t rows = scan::count_any(d, text_.size(), '\r', '\n') + 1;
        std::uint64_t fields = scan::count_any(d, text_.size(), delimiter) + rows;
        if (expected != 0 && rows <= RowTable::max_slots() / expected) fields = std::max(fields, rows * expected);
        out_.rows.reserve(text_.size(), std::min(fields, RowTable::max_slots()), rows);
        return Done{};
    }
    Status accept(RowTable&, Fate, const RowSource&) override { return Done{}; }
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view) override {
        if (keep_) {
            out_.quarantine.take_last_row(rows, reason_of(fate), source.line_after);
        } else {
            rows.pop_row();
        }
        return Done{};
    }

private:
    SalvageOutcome& out_;
    bool keep_;
    std::string_view text_;
};

// Rejected rows are kept as records when `keep_rejects`, else only counted.
Result<SalvageOutcome> salvage(std::string_view text, const SalvageOptions& options, FileBytes* owned,
                               bool keep_rejects, const Cancel& cancel) {
    SalvageOutcome out;
    TableSink sink(out, keep_rejects, text);
    Salvager salvager(options, sink, cancel);
    auto stats = salvager.run(text, owned);
    if (!stats) return stats.error();
    out.stats = stats.value();
    return out;
}

// salvage_file without the catch-all.
//
// Nothing grows in memory after the clean file is created but the buffers
// of one row, and those have reached their largest size before. So the
// rejected rows are never held: with a quarantine file to write, and options
// that can reject rows, a counting pass first fates every row (bringing the
// row buffers to the size the longest row needs); a second pass writes the
// clean file, and a third writes the records of the quarantine file from
// the input, still in memory. The counting pass also runs when the width is
// too large to pad some rows to, so that the refusal comes before the
// output is touched.
Result<SalvageStats> salvage_to_files(std::string_view input_path, std::string_view output_path,
                                      std::optional<std::string_view> quarantine_path,
                                      const SalvageOptions& options, const Cancel& cancel) {
    if (quarantine_path) {
        if (same_file(*quarantine_path, input_path)) return SalvageError::of_kind(SalvageError::Kind::QuarantineIsInput);
        if (same_file(*quarantine_path, output_path)) {
            return SalvageError::of_kind(SalvageError::Kind::QuarantineIsOutput);
        }
    }
    auto input = read_file(input_path, cancel);
    if (!input) return input.error();
    const std::string_view text = input.value().view();
    auto planned = plan_for(text, options);
    if (!planned) return planned.error();
    const Plan& plan = planned.value();

    const bool may_reject = plan.expected != 0 && !(options.fill_ragged_rows && options.merge_overflow);
    const bool may_be_too_wide = options.fill_ragged_rows && !RowTable::padding_fits(plan.expected);
    RowTable row;  // holds one row at a time, through every pass
    std::uint64_t rejected = 0;
    if ((quarantine_path && may_reject) || may_be_too_wide) {
        CountingSink counting(row);
        auto counted = Salvager(options, counting, cancel).run(text, plan);
        if (!counted) return counted.error();
        rejected = counted.value().quarantined_rows;
    }

    // Output over its own input would lose the input to a failed write: the
    // new file then replaces it only once it is complete.
    const FileId& source = input.value().source();
    const auto target = file_id(output_path);
    const bool over_input = source.regular && target && target->same_file(source);
    auto output = BufferedOutput::create(output_path, over_input ? Placement::Replace : Placement::InPlace, cancel);
    if (!output) return output.error();
    CleanFileSink clean(output.value(), options.quote_char, row);
    const bool records_pass = quarantine_path && rejected != 0;
    auto stats = Salvager(options, clean, cancel).run(text, plan, records_pass ? nullptr : &input.value());
    if (!stats) return stats.error();
    if (Status s = output.value().finish(); !s) return s.error();
    if (!quarantine_path) return stats;

    if (!records_pass) input.value().release();
    auto qfile = BufferedOutput::create(*quarantine_path, Placement::InPlace, cancel);
    if (!qfile) return qfile.error();
    append_quarantine_header(qfile.value().buffer());
    if (records_pass) {
        QuarantineFileSink records(qfile.value(), row);
        auto again = Salvager(options, records, cancel).run(text, plan, &input.value());
        if (!again) return again.error();
    }
    if (Status s = qfile.value().finish(); !s) return s.error();
    return stats;
}

// salvage_stream without the catch-all.
Result<SalvageStats> stream_to_files(int input, std::string_view output_path,
                                     std::optional<std::string_view> quarantine_path, const SalvageOptions& options,
                                     const Cancel& cancel, std::size_t buffer_bytes) {
    if (quarantine_path && same_file(*quarantine_path, output_path)) {
        return SalvageError::of_kind(SalvageError::Kind::QuarantineIsOutput);
    }
    auto output = BufferedOutput::create(output_path, Placement::Atomic, cancel);
    if (!output) return output.error();
    std::optional<BufferedOutput> qfile;
    if (quarantine_path) {
        auto q = BufferedOutput::create(*quarantine_path, Placement::Atomic, cancel);
        if (!q) return q.error();
        qfile.emplace(std::move(q).value());
        append_quarantine_header(qfile->buffer());
    }
    RowTable row;
    CleanFileSink clean(output.value(), options.quote_char, row);
    std::optional<QuarantineFileSink> records;
    if (qfile) records.emplace(*qfile, row);
    CountingSink dropped(row);
    SplitSink sink(clean, records ? static_cast<RowSink&>(*records) : static_cast<RowSink&>(dropped));
    Salvager salvager(options, sink, cancel);

    const std::unique_ptr<char[]> buffer(new char[buffer_bytes]);
    FdReader reader(input, cancel);
    for (;;) {
        auto n = reader.read(buffer.get(), buffer_bytes);
        if (!n) return n.error();
        if (n.value() == 0) break;
        if (Status s = salvager.push(std::string_view(buffer.get(), n.value())); !s) return s.error();
    }
    auto stats = salvager.finish();
    if (!stats) return stats.error();
    if (Status s = output.value().finish(); !s) return s.error();
    if (qfile) {
        if (Status s = qfile->finish(); !s) return s.error();
    }
    return stats;
}

}  // namespace

Result<SalvageOutcome> salvage_slice(std::string_view text, const SalvageOptions& options,
                                     const Cancel& cancel) noexcept {
    return guard_memory([&] { return salvage(text, options, nullptr, true, cancel); });
}

Result<SalvageOutcome> salvage_owned(FileBytes bytes, const SalvageOptions& options, const Cancel& cancel) noexcept {
    return guard_memory([&] { return salvage(bytes.view(), options, &bytes, false, cancel); });
}

Result<SalvageStats> salvage_file(std::string_view input_path, std::string_view output_path,
                                  std::optional<std::string_view> quarantine_path, const SalvageOptions& options,
                                  const Cancel& cancel) noexcept {
    return guard_memory(
        [&] { return salvage_to_files(input_path, output_path, quarantine_path, options, cancel); });
}

Result<SalvageStats> salvage_stream(int input, std::string_view output_path,
                                    std::optional<std::string_view> quarantine_path, const SalvageOptions& options,
                                    const Cancel& cancel, std::size_t buffer_bytes) noexcept {
    return guard_memory([&] {
        return stream_to_files(input, output_path, quarantine_path, options, cancel, buffer_bytes);
    });
}

}  // namespace corvel
