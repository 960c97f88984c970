// Salvaging a text in byte ranges into Collect sinks, with the ranges'
// events joined in order and their lines put right: what salvage_whole()
// gives for the same text, if the split is exact. Shared by the engine tests
// and the fuzz targets; free of GoogleTest.
#pragma once

#include "collect.hpp"
#include "split.hpp"

#include <memory>
#include <utility>

namespace corvel_test {

class CollectRanges final : public corvel::RangeOutputs {
public:
    CollectRanges(bool lines, std::uint8_t quote) : lines_(lines), quote_(quote) {}

    corvel::Result<std::unique_ptr<corvel::RowSink>> open() override {
        return std::unique_ptr<corvel::RowSink>(std::make_unique<Collect>(lines_, quote_));
    }
    Status hand_on(corvel::RowSink& sink, const corvel::LineBase& base) override {
        for (Event& e : static_cast<Collect&>(sink).events) {
            e.source = base.absolute(e.source);
            events.push_back(std::move(e));
        }
        return Done{};
    }

    std::vector<Event> events;

private:
    bool lines_;
    std::uint8_t quote_;
};

struct SplitOutcome {
    Outcome outcome;
    corvel::SplitStats split;
};

inline corvel::Result<SplitOutcome> salvage_ranges(std::string_view text, const corvel::SalvageOptions& o,
                                                   bool lines, const corvel::SplitOptions& split) {
    auto plan = corvel::plan_for(text, o);
    if (!plan) return plan.error();
    CollectRanges ranges(lines, o.quote_char);
    auto stats = corvel::salvage_split(text, plan.value(), o, ranges, split);
    if (!stats) return stats.error();
    Collect joined(lines, o.quote_char);
    joined.events = std::move(ranges.events);
    auto outcome = outcome_of(joined, lines, stats.value().stats);
    if (!outcome) return outcome.error();
    return SplitOutcome{std::move(outcome).value(), stats.value()};
}

}  // namespace corvel_test
