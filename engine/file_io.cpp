#include "file_io.hpp"

#include "memory.hpp"
#include "messages.hpp"
#include "rows.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

namespace corvel {
namespace {

constexpr std::size_t kPage = 4096;
// A file of unknown size (a pipe, a /proc file) starts with this much room.
constexpr std::size_t kUnknownSizeStart = 64 << 10;
// Most bytes one write() call transfers on Linux.
constexpr std::size_t kMaxWrite = 0x7ffff000;
// A file that replaces another is handed to the disk in pieces of this size
// as it is written (see OutputFile::write_all).
constexpr std::uint64_t kWriteBackStep = std::uint64_t{8} << 20;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

SalvageError too_large(std::uint64_t bytes) {
    return SalvageError::out_of_memory(fill(msg::kFileTooLarge, {std::to_string(bytes)}));
}

// The path with a terminating NUL, or the error for a path that holds one.
Result<std::string> c_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return SalvageError::io(std::string(msg::kNulInPath));
    return std::string(path);
}

// open() on a path given as text. An interrupted open (a FIFO waiting for
// its other end) is retried unless `cancel` asks to stop.
Result<int> open_path(std::string_view path, int flags, mode_t mode, const Cancel& cancel) {
    auto p = c_path(path);
    if (!p) return p.error();
    for (;;) {
        const int fd = ::open(p.value().c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return fd;
        if (errno != EINTR) return SalvageError::from_errno(errno);
        if (cancel.requested()) return SalvageError::cancelled();
    }
}

FileId id_of(const struct stat& st) {
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                  S_ISREG(st.st_mode)};
}

// `path` with its directory resolved and a symbolic link at its end
// followed (the last part need not exist), or the path itself when the
// directory can't be resolved.
std::string resolved(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        std::string link(static_cast<std::size_t>(st.st_size) + 1, '\0');
        const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) break;
        link.resize(static_cast<std::size_t>(n));
        const std::size_t slash = path.rfind('/');
        path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char* real = ::realpath(dir.c_str(), nullptr);
    if (!real) return path;
    std::string out(real);
    std::free(real);
    if (out.back() != '/') out += '/';
    return out + base;
}

// A file created exclusively beside `target` (never through a symbolic
// link), named after it. Returns its descriptor and fills `temp`.
Result<int> create_beside(const std::string& target, std::string& temp) {
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    static std::atomic<std::uint64_t> counter{0};
    int code = EEXIST;
    for (int attempt = 0; attempt < 100 && code == EEXIST; ++attempt) {
        const std::uint64_t salt = (static_cast<std::uint64_t>(::getpid()) << 32) ^
                                   counter.fetch_add(1, std::memory_order_relaxed) ^
                                   static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(salt));
        temp = dir + "." + base + suffix + ".tmp";
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        code = errno == EINTR ? EEXIST : errno;
    }
    temp.clear();
    return SalvageError::from_errno(code);
}

// Closes a descriptor that was only read from when it goes out of scope.
struct ReadDescriptor {
    int fd;
    ~ReadDescriptor() { ::close(fd); }
};

// Reads are polled for cancellation this often, and at most this much is
// asked of one read() call.
constexpr std::size_t kReadStep = kCancelStep;

}  // namespace

std::optional<FileId> file_id(std::string_view path) noexcept {
    try {
        auto p = c_path(path);
        struct stat st;
        if (!p || ::stat(p.value().c_str(), &st) != 0) return std::nullopt;
        return id_of(st);
    } catch (...) {
        return std::nullopt;
    }
}

bool same_file(std::string_view a, std::string_view b) noexcept {
    const auto ia = file_id(a);
    const auto ib = file_id(b);
    if (ia && ib) return ia->same_file(*ib);
    if (ia || ib) return false;  // one exists and the other does not
    try {
        return resolved(std::string(a)) == resolved(std::string(b));
    } catch (...) {
        return a == b;
    }
}

// ---- FdReader

FdReader::FdReader(int fd, const Cancel& cancel) noexcept : fd_(fd), cancel_(cancel) {
    struct stat st;
    // A descriptor that can't be examined is waited on: poll() costs little
    // where it was not needed, and read() alone might never return.
    waits_ = ::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode));
}

Status FdReader::wait() noexcept {
    struct pollfd p{fd_, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&p, 1, static_cast<int>(kCancelWait.count()));
        // Readable, at its end, or failed (POLLHUP, POLLERR, POLLNVAL): the
        // read that follows tells which.
        if (ready > 0) return Done{};
        if (ready < 0 && errno != EINTR && errno != EAGAIN) return SalvageError::from_errno(errno);
        if (cancel_.requested()) return SalvageError::cancelled();
    }
}

Result<std::size_t> FdReader::read(char* buffer, std::size_t size) noexcept {
    for (;;) {
        if (waits_) {
            if (Status s = wait(); !s) return s.error();
        }
        const ssize_t n = ::read(fd_, buffer, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        // Another reader of a shared pipe may take what poll() saw, and a
        // non-blocking descriptor then says so: wait again.
        if (waits_ && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (errno != EINTR) return SalvageError::from_errno(errno);
        if (cancel_.requested()) return SalvageError::cancelled();
    }
}

// ---- FileBytes

FileBytes::FileBytes(FileBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      discarded_(std::exchange(other.discarded_, 0)),
      source_(other.source_) {}

FileBytes& FileBytes::operator=(FileBytes&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        discarded_ = std::exchange(other.discarded_, 0);
        source_ = other.source_;
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

Result<FileBytes> read_file(std::string_view path, const Cancel& cancel) noexcept {
    return guard_memory([&]() -> Result<FileBytes> {
        if (cancel.requested()) return SalvageError::cancelled();
        auto opened = open_path(path, O_RDONLY, 0, cancel);
        if (!opened) return opened.error();
        ReadDescriptor closer{opened.value()};
        const int fd = opened.value();

        // The size is a hint only: the file may grow or shrink while it is
        // read, and pipes and /proc files report 0.
        FileBytes bytes;
        struct stat st;
        std::size_t hint = kUnknownSizeStart;
        if (::fstat(fd, &st) == 0) {
            bytes.source_ = id_of(st);
            if (S_ISREG(st.st_mode) && st.st_size > 0) {
                hint = static_cast<std::size_t>(st.st_size) + 1;  // +1: room to see the end at once
            }
        }
        const std::uint64_t limit = available_memory();
        if (hint > limit) return too_large(hint - 1);

        if (!bytes.reserve(hint)) return too_large(hint - 1);
        FdReader input(fd, cancel);
        std::size_t polled = 0;
        for (;;) {
            if (bytes.size_ == bytes.capacity_) {
                const std::size_t grown = std::max(bytes.capacity_ * 2, kUnknownSizeStart);
                if (grown > limit || !bytes.reserve(grown)) return too_large(bytes.size_);
            }
            if (bytes.size_ - polled >= kCancelStep) {
                if (cancel.requested()) return SalvageError::cancelled();
                polled = bytes.size_;
            }
            const std::size_t want = std::min(bytes.capacity_ - bytes.size_, kReadStep);
            auto n = input.read(bytes.data_ + bytes.size_, want);
            if (!n) return n.error();
            if (n.value() == 0) break;
            bytes.size_ += n.value();
        }
        return bytes;
    });
}

// ---- Spool

Result<Spool> Spool::create() noexcept {
    const std::string base = P_tmpdir;
    int fd = ::open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // No unnamed files on this file system: a named one, unlinked at once.
        std::string name = base + "/corvel-spool-XXXXXX";
        fd = ::mkstemp(name.data());
        if (fd < 0) return SalvageError::from_errno(errno);
        ::unlink(name.c_str());
    }
    return Spool(fd);
}

Spool::~Spool() {
    if (fd_ >= 0) ::close(fd_);
}

Status Spool::append(std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), std::min(bytes.size(), kMaxWrite));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return SalvageError::from_errno(errno);
        if (n == 0) return SalvageError::io(std::string(msg::kZeroWriteWhole));
        bytes.remove_prefix(static_cast<std::size_t>(n));
        size_ += static_cast<std::uint64_t>(n);
    }
    return Done{};
}

Result<FileBytes> Spool::map() const noexcept {
    FileBytes bytes;
    if (size_ == 0) return bytes;
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (p == MAP_FAILED) return SalvageError::from_errno(errno);
    bytes.data_ = static_cast<char*>(p);
    bytes.size_ = size_;
    bytes.capacity_ = size_;
    return bytes;
}

// ---- OutputFile

Result<OutputFile> OutputFile::create(std::string_view path, Placement placement,
                                      const Cancel& cancel) noexcept {
    return guard_memory([&]() -> Result<OutputFile> {
        if (cancel.requested()) return SalvageError::cancelled();
        if (placement == Placement::Atomic) {
            const auto id = file_id(path);
            if (id && !id->regular) placement = Placement::InPlace;
        }
        if (placement != Placement::InPlace) {
            auto target = c_path(path);
            if (!target) return target.error();
            // Through a symbolic link, the file it leads to is replaced.
            if (char* real = ::realpath(target.value().c_str(), nullptr)) {
                target.value() = real;
                std::free(real);
            }
            struct stat st;
            const bool exists = ::stat(target.value().c_str(), &st) == 0;
            std::string temp;
            auto fd = create_beside(target.value(), temp);
            if (fd) {
                OutputFile file(fd.value(), cancel);
                file.temp_ = std::move(temp);
                file.target_ = std::move(target.value());
                file.write_back_ = exists;
                if (exists && ::fchmod(file.fd_, st.st_mode & 07777) != 0) return SalvageError::from_errno(errno);
                return file;
            }
            const int code = fd.error().os_code();
            if (placement == Placement::Atomic || (code != EACCES && code != EPERM && code != EROFS)) {
                return fd.error();
            }
            // No file can be made beside it: write in place after all.
        }
        auto fd = open_path(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, cancel);
        if (!fd) return fd.error();
        return OutputFile(fd.value(), cancel);
    });
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      cancel_(other.cancel_),
      write_back_(other.write_back_),
      written_(other.written_),
      handed_(other.handed_),
      temp_(std::move(other.temp_)),
      target_(std::move(other.target_)) {
    other.temp_.clear();
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

Status OutputFile::write_all(std::string_view bytes, std::string_view zero_write,
                             std::size_t* written) noexcept {
    std::size_t done = 0;
    Status status = Done{};
    while (done < bytes.size()) {
        const std::size_t want = std::min(bytes.size() - done, kMaxWrite);
        const ssize_t n = ::write(fd_, bytes.data() + done, want);
        if (n < 0) {
            if (errno == EINTR && !cancel_.requested()) continue;
            status = errno == EINTR ? SalvageError::cancelled() : SalvageError::from_errno(errno);
            break;
        }
        if (n == 0) {
            status = SalvageError::io(std::string(zero_write));
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written) *written = done;
    written_ += done;
    if (write_back_ && written_ - handed_ >= kWriteBackStep) {
        // ext4 writes a file renamed over another out whole at the rename,
        // and the rename waits for it: started piece by piece here, that
        // writing goes on while the run does. Advice only; it waits for no
        // write to finish, and its failure costs nothing.
        (void)::sync_file_range(fd_, static_cast<off_t>(handed_), static_cast<off_t>(written_ - handed_),
                                SYNC_FILE_RANGE_WRITE);
        handed_ = written_;
    }
    return status;
}

Status OutputFile::commit() noexcept {
    const int fd = std::exchange(fd_, -1);
    // Linux releases the descriptor even when close() fails, so it is never
    // retried; its error (say, from a network file system) is still news.
    if (::close(fd) != 0 && errno != EINTR) return SalvageError::from_errno(errno);
    if (temp_.empty()) return Done{};
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return SalvageError::from_errno(errno);
    temp_.clear();
    return Done{};
}

// ---- BufferedOutput

Result<BufferedOutput> BufferedOutput::create(std::string_view path, Placement placement,
                                              const Cancel& cancel, std::size_t capacity) noexcept {
    // The buffer first: running out of memory must not cost an existing file.
    std::string buf;
    try {
        buf.reserve(capacity);
    } catch (const std::bad_alloc&) {
        return SalvageError::out_of_memory();
    }
    auto file = OutputFile::create(path, placement, cancel);
    if (!file) return file.error();
    return BufferedOutput(std::move(file).value(), std::move(buf), capacity);
}

BufferedOutput::~BufferedOutput() {
    if (!buf_.empty() && !file_.replacing()) (void)file_.write_all(buf_, msg::kZeroWriteBuffered);
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

Status BufferedOutput::append(std::string_view lines) noexcept {
    if (buf_.size() + lines.size() > capacity_ && !buf_.empty()) {
        if (Status s = write_out(false); !s) return s;
    }
    if (lines.size() >= capacity_) return file_.write_all(lines, msg::kZeroWriteWhole);
    buf_.append(lines);  // within the reserved capacity: cannot throw
    return Done{};
}

Status BufferedOutput::finish() noexcept {
    if (!buf_.empty()) {
        Status s = write_out(false);
        if (!s) return s;
    }
    return file_.commit();
}

}  // namespace corvel
