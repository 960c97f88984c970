// Reading a file whole and writing files through a buffer, with every
// operating-system failure returned as a SalvageError.
#pragma once

#include "cancel.hpp"
#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace corvel {

// Which file a path or a descriptor names.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool regular = false;  // a regular file, not a device, FIFO or directory

    bool same_file(const FileId& other) const noexcept {
        return device == other.device && inode == other.inode;
    }
};

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
    // The file they were read from.
    const FileId& source() const noexcept { return source_; }
    // Gives the memory back early.
    void release() noexcept;
    // Gives back the whole pages before `offset`, which the caller will not
    // read again (they would read as zeros).
    void discard_before(std::size_t offset) noexcept;

private:
    friend Result<FileBytes> read_file(std::string_view path, const Cancel& cancel) noexcept;
    friend class Spool;
    bool reserve(std::size_t capacity) noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t discarded_ = 0;
    FileId source_;
};

// An unnamed temporary file that bytes are appended to and then mapped back,
// for an input's head that is too large to hold in memory. Gone when closed.
class Spool {
public:
    static Result<Spool> create() noexcept;
    Spool(Spool&& other) noexcept : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}
    Spool& operator=(Spool&&) = delete;
    ~Spool();

    Status append(std::string_view bytes) noexcept;
    std::uint64_t size() const noexcept { return size_; }
    // Everything appended, mapped read-only.
    Result<FileBytes> map() const noexcept;

private:
    explicit Spool(int fd) noexcept : fd_(fd) {}
    int fd_;
    std::uint64_t size_ = 0;
};

// Reads a descriptor (not owned) a piece at a time, never waiting past a
// cancellation. A regular file, a block device or a directory is read with
// plain read(), which does not wait for long. Anything else (a pipe, FIFO,
// socket or terminal) may wait for good for input that never comes, so it is
// waited on with poll() in slices of kCancelWait, with `cancel` asked between
// them. An interrupted call asks `cancel` and is retried unless it says stop.
class FdReader {
public:
    FdReader(int fd, const Cancel& cancel) noexcept;

    // At most `size` bytes, 0 at the end. Fails with the system's error, or
    // as cancelled.
    Result<std::size_t> read(char* buffer, std::size_t size) noexcept;

private:
    // Until the descriptor has input, its end, or an error.
    Status wait() noexcept;

    int fd_;
    Cancel cancel_;
    bool waits_;
};

// Reads the whole file at `path`, as stored. Fails with the system's error,
// with an error for a path holding a NUL byte, with an out-of-memory error
// when the file cannot fit in memory, or as cancelled when `cancel` asks.
Result<FileBytes> read_file(std::string_view path, const Cancel& cancel = {}) noexcept;

// The file `path` names, following symbolic links; nullopt when there is
// none (or it cannot be examined).
std::optional<FileId> file_id(std::string_view path) noexcept;

// Whether two paths name one file: the same device and inode where both
// exist, else the same path once the directories are resolved.
bool same_file(std::string_view a, std::string_view b) noexcept;

// How an output file takes the place of what its path names.
enum class Placement : std::uint8_t {
    // Truncated and written where it is.
    InPlace,
    // Written to a new file beside it, renamed over it by commit() with the
    // old file's permission bits, and removed if never committed: what was
    // there stays whole until the new file is. Where no file can be created
    // beside it, the file is written in place after all.
    Replace,
    // As Replace when the path names a regular file or nothing, without
    // the fallback: what cannot be replaced is an error. An existing file of
    // another kind (a device, a FIFO, a terminal) is written in place, since
    // renaming over it would replace the node itself.
    Atomic,
};

// A file created (or truncated) for writing, with permission bits 0666
// before the umask. Pieces are written whole: interrupted writes are
// retried (unless `cancel` asks to stop) and partial writes continued.
class OutputFile {
public:
    static Result<OutputFile> create(std::string_view path, Placement placement = Placement::InPlace,
                                     const Cancel& cancel = {}) noexcept;

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    // Closes; errors are not reported from here. A replacement that was never
    // committed is removed.
    ~OutputFile();

    // Writes `bytes` whole. On failure, *written says how much did reach the
    // file. `zero_write` is the error text for a write that takes no bytes.
    Status write_all(std::string_view bytes, std::string_view zero_write,
                     std::size_t* written = nullptr) noexcept;
    // Closes the file, reporting what the system reports, and puts a
    // replacement in place.
    Status commit() noexcept;
    // Whether the bytes go to a new file that replaces the target at commit().
    bool replacing() const noexcept { return !temp_.empty(); }

private:
    OutputFile(int fd, const Cancel& cancel) noexcept : fd_(fd), cancel_(cancel) {}
    int fd_ = -1;
    Cancel cancel_;
    // A replacement of an existing file is handed to the disk as it is
    // written: written_ bytes so far, of which the first handed_ were.
    bool write_back_ = false;
    std::uint64_t written_ = 0;
    std::uint64_t handed_ = 0;
    std::string temp_;    // the new file, while it replaces target_
    std::string target_;
};

// An output file fed through one buffer, so that rows reach the file system
// in large writes. Callers append a line to buffer() and then call
// line_done() with the offset where that line began.
class BufferedOutput {
public:
    static constexpr std::size_t kDefaultCapacity = 1 << 20;

    static Result<BufferedOutput> create(std::string_view path, Placement placement, const Cancel& cancel,
                                         std::size_t capacity = kDefaultCapacity) noexcept;
    static Result<BufferedOutput> create(std::string_view path, std::size_t capacity = kDefaultCapacity) noexcept {
        return create(path, Placement::InPlace, Cancel{}, capacity);
    }

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
    // Appends whole lines: copied into the buffer where they fit, else
    // written out after it, straight from where they are when they are as
    // large as the buffer.
    Status append(std::string_view lines) noexcept;
    // Writes out the rest, closes the file and commits it.
    Status finish() noexcept;

private:
    BufferedOutput(OutputFile file, std::string buf, std::size_t capacity) noexcept
        : file_(std::move(file)), buf_(std::move(buf)), capacity_(capacity) {}
    // `single_line`: the buffer holds one long line and nothing else.
    Status write_out(bool single_line) noexcept;

    OutputFile file_;
    std::string buf_;
    std::size_t capacity_;
};

}  // namespace corvel
