// Every parameter list of _corvel_backend, once. The binder reads these
// tables; the docstrings' signature lines and "Args:" section below, and the
// type stub's parameter lists (stubgen.cpp), are derived from them. Free of
// Python.h, like params.hpp.
#pragma once

#include "../common/params.hpp"
#include "messages.hpp"

#include "heuristics.hpp"
#include "salvage.hpp"

#include <cstddef>
#include <span>
#include <string>

namespace corvel::py {

// ---- The six salvage options, shared by salvage_file(), open() and
// SalvageReader(): each row names its parameter and how its value lands in
// the engine's options.
struct Option {
    Param param;
    void (*apply)(const Value& v, SalvageOptions& out);
};

// A text option contributes its first byte.
constexpr std::uint8_t first_byte(std::string_view s) { return static_cast<std::uint8_t>(s[0]); }

inline constexpr Option kOptions[] = {
    {{"delimiter", Kind::OptionalText, Default::None, msg::kDelimiterHelp},
     // An empty delimiter is absent: sniffed.
     [](const Value& v, SalvageOptions& o) {
         if (v.present && !v.text.empty()) o.delimiter = first_byte(v.text);
     }},
    {{"quote_char", Kind::Text, Default::DoubleQuote, msg::kQuoteCharHelp},
     // An empty quote is the default one.
     [](const Value& v, SalvageOptions& o) { o.quote_char = v.text.empty() ? DEFAULT_QUOTE : first_byte(v.text); }},
    {{"fill_ragged_rows", Kind::Flag, Default::True, msg::kFillRaggedRowsHelp},
     [](const Value& v, SalvageOptions& o) { o.fill_ragged_rows = v.flag; }},
    {{"merge_overflow", Kind::Flag, Default::True, msg::kMergeOverflowHelp},
     [](const Value& v, SalvageOptions& o) { o.merge_overflow = v.flag; }},
    {{"expected_columns", Kind::OptionalCount, Default::None, msg::kExpectedColumnsHelp},
     [](const Value& v, SalvageOptions& o) {
         if (v.present) o.expected_columns = v.count;
     }},
    {{"repair_quotes", Kind::Flag, Default::True, msg::kRepairQuotesHelp},
     [](const Value& v, SalvageOptions& o) { o.repair_quotes = v.flag; }},
};
inline constexpr std::size_t kOptionCount = std::size(kOptions);

inline constexpr auto kOptionParams = [] {
    std::array<Param, kOptionCount> params{};
    for (std::size_t i = 0; i < kOptionCount; ++i) params[i] = kOptions[i].param;
    return params;
}();

// A function's own parameters, then the options.
template <std::size_t N>
constexpr std::array<Param, N + kOptionCount> with_options(const Param (&head)[N]) {
    std::array<Param, N + kOptionCount> all{};
    std::copy(std::begin(head), std::end(head), all.begin());
    std::copy(kOptionParams.begin(), kOptionParams.end(), all.begin() + N);
    return all;
}

// The engine's options from the converted arguments of a function whose
// table was made by with_options(): the options are its last values.
template <std::size_t N>
SalvageOptions to_options(const std::array<Value, N>& v) noexcept {
    static_assert(N >= kOptionCount);
    SalvageOptions o;
    for (std::size_t i = 0; i < kOptionCount; ++i) kOptions[i].apply(v[N - kOptionCount + i], o);
    return o;
}

// ---- sniff(sample)
inline constexpr Param kSniffParams[] = {{"sample", Kind::Text, Default::Required}};
inline constexpr auto kSniffDoc = frozen<[] {
    return joined({signature_line(msg::kSniffName, "", kSniffParams), msg::kSniffDoc});
}>();

// ---- salvage_file(input_path, output_path, quarantine_path=None, options...)
inline constexpr Param kPathParams[] = {
    {"input_path", Kind::Text, Default::Required, msg::kInputPathHelp},
    {"output_path", Kind::Text, Default::Required, msg::kOutputPathHelp},
    {"quarantine_path", Kind::OptionalText, Default::None, msg::kQuarantinePathHelp},
};
inline constexpr auto kSalvageFileParams = with_options(kPathParams);
inline constexpr auto kSalvageFileDoc = frozen<[] {
    return joined({signature_line(msg::kSalvageFileName, "", kSalvageFileParams), msg::kSalvageFileDoc, "\n\n",
                   args_section(kSalvageFileParams)});
}>();

// ---- SalvageReader(file_path, options...) and open(file_path, options...)
inline constexpr Param kFileParam[] = {{"file_path", Kind::Text, Default::Required}};
inline constexpr auto kReaderParams = with_options(kFileParam);
inline constexpr auto kReaderDoc = frozen<[] {
    return joined({signature_line(msg::kReaderName, "", kReaderParams), msg::kReaderDoc});
}>();
inline constexpr auto kOpenDoc = frozen<[] {
    return joined({signature_line(msg::kOpenName, "", kReaderParams), msg::kOpenDoc});
}>();

// ---- SalvageReader.__enter__() and __exit__(_exc_type=None, _exc_val=None, _exc_tb=None)
inline constexpr auto kEnterDoc = frozen<[] { return signature_line(msg::kEnterName, "$self", {}); }>();
inline constexpr Param kExitParams[] = {
    {"_exc_type", Kind::Object, Default::None, {}, "type[BaseException] | None"},
    {"_exc_val", Kind::Object, Default::None, {}, "BaseException | None"},
    {"_exc_tb", Kind::Object, Default::None, {}, "TracebackType | None"},
};
inline constexpr auto kExitDoc = frozen<[] { return signature_line(msg::kExitName, "$self", kExitParams); }>();

// ---- SalvageSummary: its attributes, in the order to_dict() gives them.
// Each is a count, but for the detected delimiter, a str of one character.
struct SummaryField {
    const char* name;
    std::uint64_t SalvageStats::*count;  // nullptr: the delimiter
};
inline constexpr SummaryField kSummaryFields[] = {
    {msg::kTotalRows, &SalvageStats::total_rows},
    {msg::kSalvagedRows, &SalvageStats::salvaged_rows},
    {msg::kRepairedRows, &SalvageStats::repaired_rows},
    {msg::kQuarantinedRows, &SalvageStats::quarantined_rows},
    {msg::kDetectedDelimiter, nullptr},
    {msg::kInferredColumns, &SalvageStats::inferred_columns},
};

// ---- SalvageSummary.to_dict()
inline constexpr auto kToDictDoc = frozen<[] {
    return joined({signature_line(msg::kToDictName, "$self", {}), msg::kToDictDoc});
}>();

}  // namespace corvel::py
