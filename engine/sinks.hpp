// Sinks that write a salvage run's rows to files as they come: the clean CSV
// file, the quarantine CSV file, and a sink that only counts. Each parses
// into a table it is given, which holds one row at a time and can be handed
// from one pass to the next with the room it has grown.
#pragma once

#include "file_io.hpp"
#include "pipeline.hpp"
#include "writer.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace corvel {

// Accepted rows as lines of the clean file; rejected rows are dropped.
class CleanFileSink final : public RowSink {
public:
    CleanFileSink(BufferedOutput& out, std::uint8_t quote, RowTable& table) noexcept
        : out_(out), quote_(quote), row_(table) {}

    RowTable& table() noexcept override { return row_; }
    bool takes_lines() const noexcept override { return true; }
    Status begin(std::uint8_t delimiter, std::uint64_t expected) override;
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override;
    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override;
    Status accept_lines(std::string_view lines) override { return out_.append(lines); }
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override;

private:
    BufferedOutput& out_;
    std::uint8_t quote_;
    char delimiter_ = ',';
    std::optional<CleanFormat> format_;
    RowTable& row_;
};

// Rejected rows as records of the quarantine file (its header is the
// caller's to write); accepted rows are dropped.
class QuarantineFileSink final : public RowSink {
public:
    QuarantineFileSink(BufferedOutput& out, RowTable& table) noexcept : out_(out), row_(table) {}

    RowTable& table() noexcept override { return row_; }
    bool takes_lines() const noexcept override { return true; }
    Status begin(std::uint8_t delimiter, std::uint64_t expected) override;
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override;
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override;

private:
    BufferedOutput& out_;
    std::string joiner_;
    std::uint64_t expected_ = 0;
    RowTable& row_;
};

// Drops every row: for a pass that only counts, and that brings its table
// to the size the longest row needs.
class CountingSink final : public RowSink {
public:
    explicit CountingSink(RowTable& table) noexcept : row_(table) {}
    RowTable& table() noexcept override { return row_; }
    bool takes_lines() const noexcept override { return true; }
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override;
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override;

private:
    RowTable& row_;
};

// Accepted rows to one sink and rejected rows to another, parsed into the
// first one's table.
class SplitSink final : public RowSink {
public:
    SplitSink(RowSink& accepted, RowSink& rejected) noexcept : accepted_(accepted), rejected_(rejected) {}

    RowTable& table() noexcept override { return accepted_.table(); }
    bool takes_lines() const noexcept override { return accepted_.takes_lines() && rejected_.takes_lines(); }
    Status begin(std::uint8_t delimiter, std::uint64_t expected) override;
    Status accept(RowTable& rows, Fate fate, const RowSource& source) override {
        return accepted_.accept(rows, fate, source);
    }
    Status accept_line(std::string_view text, std::uint64_t padding, Fate fate, const RowSource& source) override {
        return accepted_.accept_line(text, padding, fate, source);
    }
    Status accept_lines(std::string_view lines) override { return accepted_.accept_lines(lines); }
    Status reject(RowTable& rows, Fate fate, const RowSource& source, std::string_view bytes) override {
        return rejected_.reject(rows, fate, source, bytes);
    }

private:
    RowSink& accepted_;
    RowSink& rejected_;
};

}  // namespace corvel
