#include "file_io.hpp"

#include "memory.hpp"
#include "messages.hpp"
#include "rows.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <utility>

namespace corvel {
namespace {

constexpr std::size_t kPage = 4096;
// A file of unknown size (a pipe, a /proc file) starts with this much room.
constexpr std::size_t kUnknownSizeStart = 64 << 10;
// Most bytes one read() call transfers on Linux.
constexpr std::size_t kMaxRead = 0x7ffff000;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

SalvageError too_large(std::uint64_t bytes) {
    std::string text(msg::kFileTooLarge);
    text += std::to_string(bytes);
    text += msg::kFileTooLargeTail;
    return SalvageError::out_of_memory(std::move(text));
}

constexpr int kNulInPath = -2;
constexpr int kNoMemory = -3;

// open() on a path given as text, retried when interrupted. Returns the
// descriptor, or -1 with errno set, or one of the two codes above.
int open_retrying(std::string_view path, int flags, mode_t mode = 0) noexcept {
    if (path.find('\0') != std::string_view::npos) return kNulInPath;
    std::string p;
    try {
        p.assign(path);  // for the terminating NUL
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    int fd;
    do {
        fd = ::open(p.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

SalvageError open_error(int code) {
    if (code == kNulInPath) return SalvageError::io(std::string(msg::kNulInPath));
    if (code == kNoMemory) return SalvageError::out_of_memory();
    return SalvageError::from_errno(errno);
}

// Closes a descriptor that was only read from when it goes out of scope.
struct ReadDescriptor {
    int fd;
    ~ReadDescriptor() { ::close(fd); }
};

}  // namespace

// ---- FileBytes

FileBytes::FileBytes(FileBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      discarded_(std::exchange(other.discarded_, 0)) {}

FileBytes& FileBytes::operator=(FileBytes&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        discarded_ = std::exchange(other.discarded_, 0);
    }
    return *this;
}

FileBytes::~FileBytes() { release(); }

void FileBytes::release() noexcept {
    if (data_) ::munmap(data_, capacity_);
    data_ = nullptr;
    size_ = capacity_ = discarded_ = 0;
}

void FileBytes::discard_before(std::size_t offset) noexcept {
    const std::size_t end = std::min(offset, capacity_) / kPage * kPage;
    if (end <= discarded_) return;
    ::madvise(data_ + discarded_, end - discarded_, MADV_DONTNEED);  // advice; failure only costs memory
    discarded_ = end;
}

bool FileBytes::reserve(std::size_t capacity) noexcept {
    capacity = round_up(capacity, kPage);
    void* p = data_ ? remap_pages(data_, capacity_, capacity) : map_pages(capacity);
    if (!p) return false;
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
    return true;
}

Result<FileBytes> read_file(std::string_view path) noexcept {
    const int fd = open_retrying(path, O_RDONLY);
    if (fd < 0) return open_error(fd);
    ReadDescriptor closer{fd};

    // The size is a hint only: the file may grow or shrink while it is read,
    // and pipes and /proc files report 0.
    struct stat st;
    std::size_t hint = kUnknownSizeStart;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        hint = static_cast<std::size_t>(st.st_size) + 1;  // +1: room to see the end at once
    }
    const std::uint64_t limit = physical_memory();
    if (hint > limit) return too_large(hint - 1);

    FileBytes bytes;
    if (!bytes.reserve(hint)) return too_large(hint - 1);
    for (;;) {
        if (bytes.size_ == bytes.capacity_) {
            const std::size_t grown = std::max(bytes.capacity_ * 2, kUnknownSizeStart);
            if (grown > limit || !bytes.reserve(grown)) return too_large(bytes.size_);
        }
        const std::size_t want = std::min(bytes.capacity_ - bytes.size_, kMaxRead);
        const ssize_t n = ::read(fd, bytes.data_ + bytes.size_, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            return SalvageError::from_errno(errno);
        }
        if (n == 0) break;
        bytes.size_ += static_cast<std::size_t>(n);
    }
    return bytes;
}

// ---- OutputFile

Result<OutputFile> OutputFile::create(std::string_view path) noexcept {
    const int fd = open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return open_error(fd);
    return OutputFile(fd);
}

OutputFile::OutputFile(OutputFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

Status OutputFile::write_all(std::string_view bytes, std::string_view zero_write,
                             std::size_t* written) noexcept {
    std::size_t done = 0;
    Status status = Done{};
    while (done < bytes.size()) {
        const std::size_t want = std::min(bytes.size() - done, kMaxRead);
        const ssize_t n = ::write(fd_, bytes.data() + done, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            status = SalvageError::from_errno(errno);
            break;
        }
        if (n == 0) {
            status = SalvageError::io(std::string(zero_write));
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written) *written = done;
    return status;
}

Status OutputFile::close() noexcept {
    const int fd = std::exchange(fd_, -1);
    // Linux releases the descriptor even when close() fails, so it is never
    // retried; its error (say, from a network file system) is still news.
    if (::close(fd) != 0 && errno != EINTR) return SalvageError::from_errno(errno);
    return Done{};
}

// ---- BufferedOutput

Result<BufferedOutput> BufferedOutput::create(std::string_view path, std::size_t capacity) noexcept {
    auto file = OutputFile::create(path);
    if (!file) return file.error();
    BufferedOutput out(std::move(file).value(), capacity);
    try {
        out.buf_.reserve(capacity);
    } catch (const std::bad_alloc&) {
        return SalvageError::out_of_memory();
    }
    return out;
}

BufferedOutput::~BufferedOutput() {
    if (!buf_.empty()) (void)file_.write_all(buf_, msg::kZeroWriteBuffered);
}

Status BufferedOutput::write_out(bool single_line) noexcept {
    std::size_t written = 0;
    Status status = file_.write_all(buf_, single_line ? msg::kZeroWriteWhole : msg::kZeroWriteBuffered,
                                    &written);
    // Keep only what has not reached the file, so a later attempt cannot
    // write anything twice.
    buf_.erase(0, written);
    if (buf_.capacity() > 4 * capacity_ && buf_.empty()) {
        buf_.shrink_to_fit();  // after one very long line
        try {
            buf_.reserve(capacity_);
        } catch (const std::bad_alloc&) {
        }
    }
    return status;
}

Status BufferedOutput::finish() noexcept {
    if (!buf_.empty()) {
        Status s = write_out(false);
        if (!s) return s;
    }
    return file_.close();
}

}  // namespace corvel
