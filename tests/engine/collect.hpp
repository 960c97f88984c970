// A sink that records everything it is told, as values, and the two ways of
// salvaging a text with it: whole, and cut into pieces. Shared by the engine
// tests and the fuzz targets; free of GoogleTest.
#pragma once

#include "pipeline.hpp"
#include "salvager.hpp"
#include "testing.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace corvel_test {

using corvel::Done;
using corvel::Fate;
using corvel::RowSource;
using corvel::RowTable;
using corvel::Status;

struct Event {
    bool accepted = false;
    Fate fate = Fate::Clean;
    std::vector<std::string> fields;
    RowSource source;
    std::string bytes;  // rejected rows only

    auto key() const {
        const RowSource& s = source;
        return std::tie(accepted, fate, fields, s.first_line, s.last_line, s.line_after, s.offset, s.length,
                        s.quote_repaired, s.utf8_replaced, bytes);
    }
    bool operator==(const Event& o) const { return key() == o.key(); }
};

class Collect final : public corvel::RowSink {
public:
    explicit Collect(bool lines, std::uint8_t quote = '"') : lines_(lines), quote_(static_cast<char>(quote)) {}
    RowTable& table() noexcept override { return table_; }
    bool takes_lines() const noexcept override { return lines_; }
    Status begin(std::uint8_t delimiter, std::uint64_t) override {
        delimiter_ = static_cast<char>(delimiter);
        return Done{};
    }
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override {
        events.push_back({true, fate, rows.row(rows.size() - 1), source, {}});
        rows.clear();
        return Done{};
    }
    // `text` is in the writer's form: a field that starts with the quote is
    // enclosed, its quotes doubled.
    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override {
        Rows read = read_written(text, delimiter_, quote_);
        std::vector<std::string> fields = read.empty() ? std::vector<std::string>(1) : std::move(read[0]);
        fields.resize(fields.size() + padding);
        events.push_back({true, fate, std::move(fields), source, {}});
        return Done{};
    }
    // Runs of lines come without sources; whether a line comes in a run or
    // alone depends on where the input was cut, so accepted rows are then
    // compared without their sources (see salvage_whole()).
    Status accept_lines(std::string_view lines) override {
        while (!lines.empty()) {
            const std::size_t lf = lines.find('\n');
            if (Status s = accept_line(lines.substr(0, lf), 0, Fate::Clean, RowSource{}); !s) return s;
            lines.remove_prefix(lf + 1);
        }
        return Done{};
    }
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override {
        events.push_back({false, fate, rows.row(rows.size() - 1), source, std::string(bytes)});
        rows.pop_row();
        return Done{};
    }

    std::vector<Event> events;

private:
    bool lines_;
    char quote_;
    char delimiter_ = ',';
    RowTable table_;
};

struct Outcome {
    std::vector<Event> events;
    corvel::SalvageStats stats;

    bool same_as(const Outcome& o) const {
        const auto key = [](const corvel::SalvageStats& s) {
            return std::tie(s.total_rows, s.salvaged_rows, s.repaired_rows, s.quarantined_rows, s.inferred_columns,
                            s.detected_delimiter);
        };
        return events == o.events && key(stats) == key(o.stats);
    }
};

// With a sink that takes lines, accepted rows are kept without sources.
inline corvel::Result<Outcome> outcome_of(Collect& sink, bool lines, corvel::Result<corvel::SalvageStats> stats) {
    if (!stats) return stats.error();
    if (lines) {
        for (Event& e : sink.events) {
            if (e.accepted) e.source = RowSource{};
        }
    }
    return Outcome{std::move(sink.events), stats.value()};
}

inline corvel::Result<Outcome> salvage_whole(std::string_view text, const corvel::SalvageOptions& o, bool lines) {
    Collect sink(lines, o.quote_char);
    auto stats = corvel::Salvager(o, sink).run(text);
    return outcome_of(sink, lines, std::move(stats));
}

// `text` pushed in pieces that end at each of `cuts` (ascending), then the rest.
inline corvel::Result<Outcome> salvage_cut(std::string_view text, const corvel::SalvageOptions& o, bool lines,
                                           const std::vector<std::size_t>& cuts,
                                           std::uint64_t head_limit = corvel::Salvager::kHeadLimit) {
    Collect sink(lines, o.quote_char);
    corvel::Salvager salvager(o, sink, {}, head_limit);
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        if (Status s = salvager.push(text.substr(from, cut - from)); !s) return s.error();
        from = cut;
    }
    if (Status s = salvager.push(text.substr(from)); !s) return s.error();
    auto stats = salvager.finish();
    return outcome_of(sink, lines, std::move(stats));
}

}  // namespace corvel_test
