// Where the package's bytes come from and go to, and output files that
// appear only when complete.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "file_io.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace corvel {

// A stream of input bytes. read() gives 0 at the end.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual Result<std::size_t> read(char* buffer, std::size_t size) noexcept = 0;
};

// A stream of output bytes, written whole.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual Status write(std::string_view bytes) noexcept = 0;
};

// Reads an open descriptor (not owned) through an FdReader: a read
// interrupted by a signal, or a wait for input, polls `cancel`, and a call
// that is to stop fails with EINTR.
class FdSource final : public ByteSource {
public:
    FdSource(int fd, Cancel cancel) noexcept : input_(fd, cancel), cancel_(cancel) {}
    Result<std::size_t> read(char* buffer, std::size_t size) noexcept override;

private:
    FdReader input_;
    Cancel cancel_;  // a copy: a temporary given here would not outlive the source
};

// An output file that appears, complete, only on commit(): an OutputFile
// placed atomically (see Placement::Atomic), as a sink.
class FileTarget final : public ByteSink {
public:
    static Result<FileTarget> open(std::string_view path, const Cancel& cancel) noexcept;

    Status write(std::string_view bytes) noexcept override;
    Status commit() noexcept { return file_.commit(); }

private:
    explicit FileTarget(OutputFile file) noexcept : file_(std::move(file)) {}

    OutputFile file_;
};

}  // namespace corvel
