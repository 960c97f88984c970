// Reading a file whole and writing files through a buffer, with every
// operating-system failure returned as a SalvageError.
#pragma once

#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvel {

// The bytes of a file, in memory of their own. Large buffers ask for huge
// pages, which makes first touch of the memory several times cheaper.
class FileBytes {
public:
    FileBytes() noexcept = default;
    FileBytes(FileBytes&& other) noexcept;
    FileBytes& operator=(FileBytes&& other) noexcept;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes();

    std::string_view view() const noexcept { return {data_, size_}; }
    // Gives the memory back early.
    void release() noexcept;
    // Gives back the whole pages before `offset`, which the caller will not
    // read again (they would read as zeros).
    void discard_before(std::size_t offset) noexcept;

private:
    friend Result<FileBytes> read_file(std::string_view path) noexcept;
    bool reserve(std::size_t capacity) noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t discarded_ = 0;
};

// Reads the whole file at `path`, as stored. Fails with the system's error,
// with an error for a path holding a NUL byte, or with an out-of-memory
// error when the file cannot fit in memory.
Result<FileBytes> read_file(std::string_view path) noexcept;

// A file created (or truncated) for writing, with permission bits 0666
// before the umask. Pieces are written whole: interrupted writes are
// retried and partial writes continued.
class OutputFile {
public:
    static Result<OutputFile> create(std::string_view path) noexcept;

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    ~OutputFile();  // closes; errors are not reported from here

    // Writes `bytes` whole. On failure, *written says how much did reach the
    // file. `zero_write` is the error text for a write that takes no bytes.
    Status write_all(std::string_view bytes, std::string_view zero_write,
                     std::size_t* written = nullptr) noexcept;
    // Closes the file, reporting what the system reports.
    Status close() noexcept;

private:
    explicit OutputFile(int fd) noexcept : fd_(fd) {}
    int fd_ = -1;
};

// An output file fed through one buffer, so that rows reach the file system
// in large writes. Callers append a line to buffer() and then call
// line_done() with the offset where that line began.
class BufferedOutput {
public:
    static constexpr std::size_t kDefaultCapacity = 1 << 20;

    static Result<BufferedOutput> create(std::string_view path,
                                         std::size_t capacity = kDefaultCapacity) noexcept;

    BufferedOutput(BufferedOutput&&) noexcept = default;
    BufferedOutput& operator=(BufferedOutput&&) = delete;
    // What the buffer still holds is written once more, without reporting a
    // failure: a failed run keeps as much of its output as can be had.
    ~BufferedOutput();

    std::string& buffer() noexcept { return buf_; }
    // Writes the buffer out once it is full.
    Status line_done(std::size_t line_start) noexcept {
        return buf_.size() < capacity_ ? Status(Done{}) : write_out(line_start == 0);
    }
    // Writes the buffer out once it is full, in the middle of a line.
    Status piece_done() noexcept { return buf_.size() < capacity_ ? Status(Done{}) : write_out(false); }
    // Writes out the rest and closes the file.
    Status finish() noexcept;

private:
    BufferedOutput(OutputFile file, std::size_t capacity) noexcept
        : file_(std::move(file)), capacity_(capacity) {}
    // `single_line`: the buffer holds one long line and nothing else.
    Status write_out(bool single_line) noexcept;

    OutputFile file_;
    std::string buf_;
    std::size_t capacity_;
};

}  // namespace corvel
