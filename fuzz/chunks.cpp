// Fuzzes the resumable salvager: the input cut into pieces must give the same
// rows, sources, rejected bytes and counts as the whole input at once, and
// the same rows and records as salvage_slice.
//
// Input: [flags] [delimiter] [quote] [width] [cut seed] [cut size] text...
//   flags bit 0: delimiter given (else sniffed)
//         bit 1: fill ragged rows      bit 2: merge overflow
//         bit 3: repair quotes         bit 4: width given (else inferred)
//         bit 5: the sink takes plain lines
//   width: expected columns, taken modulo 9 (0 turns the width check off)
//   cuts: piece sizes from 1 to (cut size + 1), drawn from the cut seed;
//         a cut size of 255 means the whole input in one piece
#include "collect.hpp"
#include "salvage.hpp"
#include "support.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace corvel;
using namespace corvel_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Header h(data, size, 6);
    const SalvageOptions o = salvage_options(h);
    const bool lines = (h.byte(0) & 32) != 0;
    const std::string_view text = h.text();

    std::vector<std::size_t> cuts;
    if (h.byte(5) != 255) {
        std::uint32_t state = h.byte(4) * 2654435761u + 1;
        for (std::size_t at = 0;;) {
            state = state * 1103515245u + 12345u;
            at += 1 + (state >> 16) % (std::size_t{h.byte(5)} + 1);
            if (at >= text.size()) break;
            cuts.push_back(at);
        }
    }

    auto whole = salvage_whole(text, o, lines);
    auto cut = salvage_cut(text, o, lines, cuts);
    FUZZ_CHECK(whole.ok() && cut.ok());
    FUZZ_CHECK(whole.value().same_as(cut.value()));

    auto slice = salvage_slice(text, o);
    FUZZ_CHECK(slice.ok());
    const SalvageOutcome& out = slice.value();
    std::uint64_t accepted = 0;
    std::uint64_t rejected = 0;
    for (const Event& e : cut.value().events) {
        if (e.accepted) {
            FUZZ_CHECK(accepted < out.rows.size() && e.fields == out.rows.row(accepted++));
            continue;
        }
        FUZZ_CHECK(rejected < out.quarantine.size());
        const QuarantineRecord rec = out.quarantine_record(rejected++);
        FUZZ_CHECK(e.fields == rec.tokens && e.source.line_after == rec.line);
        // A rejected row's bytes are exactly its place in the input.
        FUZZ_CHECK(text.substr(e.source.offset, e.source.length) == e.bytes);
        FUZZ_CHECK(e.source.first_line <= e.source.last_line);
    }
    FUZZ_CHECK(accepted == out.rows.size() && rejected == out.quarantine.size());
    return 0;
}
