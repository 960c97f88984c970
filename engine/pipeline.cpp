#include "pipeline.hpp"

#include "messages.hpp"

#include <string>

namespace corvel {

SalvageError too_wide_error(std::uint64_t expected) {
    return SalvageError::out_of_memory(fill(msg::kPadTooWide, {std::to_string(expected)}));
}

std::string reason_text(QuarantineReason reason, std::uint64_t expected) {
    const std::string_view format =
        reason == QuarantineReason::TooFewColumns ? msg::kTooFewColumns : msg::kExtraColumns;
    return fill(format, {std::to_string(expected)});
}

QuarantineRecord Quarantine::record(std::uint64_t i, std::uint64_t expected) const {
    QuarantineRecord rec;
    rec.tokens = tokens_.row(i);
    rec.reason = reason_text(reasons_[i], expected);
    rec.line = lines_[i];
    return rec;
}

void Quarantine::take_last_row(RowTable& from, QuarantineReason reason, std::uint64_t line) {
    const std::size_t before = lines_.size();
    tokens_.append_row_from(from, from.size() - 1);
    try {
        lines_.push_back(line);
        reasons_.push_back(reason);
    } catch (...) {
        // Keep the three sequences the same length, and `from` untouched.
        lines_.resize(before);
        tokens_.pop_row();
        throw;
    }
    from.pop_row();
}

}  // namespace corvel
