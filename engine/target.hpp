// Where the package's bytes come from and go to, and output files that
// appear only when complete.
#pragma once

#include "cancel.hpp"
#include "error.hpp"

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

// Reads an open descriptor (not owned). A read interrupted by a signal polls
// `cancel` and is retried unless the call is to stop.
class FdSource final : public ByteSource {
public:
    FdSource(int fd, const Cancel& cancel) noexcept : fd_(fd), cancel_(cancel) {}
    Result<std::size_t> read(char* buffer, std::size_t size) noexcept override;

private:
    int fd_;
    const Cancel& cancel_;
};

// An output file that appears, complete, only on commit(). A target that is
// a regular file or doesn't exist yet is written to a new temporary file
// beside it (created exclusively, so never through a symlink) and renamed
// over it on commit; one that exists and is not a regular file (a device,
// a FIFO, a terminal) is written in place, since renaming over it would
// replace the node. Without a commit, the temporary file is removed.
class FileTarget final : public ByteSink {
public:
    static Result<FileTarget> open(std::string_view path, const Cancel& cancel) noexcept;

    FileTarget(FileTarget&& other) noexcept;
    FileTarget& operator=(FileTarget&&) = delete;
    FileTarget(const FileTarget&) = delete;
    ~FileTarget();

    Status write(std::string_view bytes) noexcept override;
    Status commit() noexcept;

private:
    FileTarget(int fd, std::string path, std::string temp, const Cancel& cancel) noexcept
        : fd_(fd), path_(std::move(path)), temp_(std::move(temp)), cancel_(&cancel) {}
    void abandon() noexcept;

    int fd_ = -1;
    std::string path_;
    std::string temp_;  // empty: written in place
    const Cancel* cancel_;
};

}  // namespace corvel
