// Fuzzes the salvage in byte ranges: the ranges' rows joined in order, with
// their lines put right, must give the same rows, fates, sources, rejected
// bytes and counts as salvaging the whole input at once, wherever the cuts
// fall and however many threads work them.
//
// Input: [flags] [delimiter] [quote] [width] [range size] [threads] text...
//   flags bit 0: delimiter given (else sniffed)
//         bit 1: fill ragged rows      bit 2: merge overflow
//         bit 3: repair quotes         bit 4: width given (else inferred)
//         bit 5: the sinks take plain lines
//   width: expected columns, taken modulo 9 (0 turns the width check off)
//   range size: 1 + the byte; threads: 1 + the byte modulo 3, and as many
//   ranges in flight as the byte's high bits say
#include "collect_split.hpp"
#include "support.hpp"

#include <cstddef>
#include <cstdint>

using namespace corvel;
using namespace corvel_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Header h(data, size, 6);
    const SalvageOptions o = salvage_options(h);
    const bool lines = (h.byte(0) & 32) != 0;
    const std::string_view text = h.text();
    SplitOptions split;
    split.range_bytes = 1 + std::uint64_t{h.byte(4)};
    split.threads = 1 + h.byte(5) % 3;
    split.in_flight = h.byte(5) >> 6;

    auto whole = salvage_whole(text, o, lines);
    auto ranges = salvage_ranges(text, o, lines, split);
    FUZZ_CHECK(whole.ok() && ranges.ok());
    FUZZ_CHECK(whole.value().same_as(ranges.value().outcome));
    const SplitStats& s = ranges.value().split;
    FUZZ_CHECK(s.reruns < s.ranges);  // the first range's start is never a guess
    return 0;
}
