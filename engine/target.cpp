#include "target.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace corvel {
namespace {

// The process's file-creation mask, read without changing it (umask(2)
// would, for a moment, for every thread).
mode_t current_umask() noexcept {
    mode_t mask = 022;
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value);
                break;
            }
        }
        std::fclose(f);
    }
    return mask;
}

}  // namespace

Result<std::size_t> FdSource::read(char* buffer, std::size_t size) noexcept {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return SalvageError::from_errno(errno);
        if (cancel_.requested()) return SalvageError::from_errno(EINTR);
    }
}

Result<FileTarget> FileTarget::open(std::string_view path_view, const Cancel& cancel) noexcept {
    return guard_memory([&]() -> Result<FileTarget> {
        std::string path(path_view);
        if (path.find('\0') != std::string::npos) return SalvageError::from_errno(EINVAL);
        struct stat st;
        const bool exists = ::stat(path.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            if (S_ISDIR(st.st_mode)) return SalvageError::from_errno(EISDIR);
            for (;;) {
                const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
                if (fd >= 0) return FileTarget(fd, std::move(path), std::string(), cancel);
                if (errno != EINTR || cancel.requested()) return SalvageError::from_errno(errno);
            }
        }
        const std::size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        std::string temp = dir + "." + base + ".corvel-XXXXXX";
        const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) return SalvageError::from_errno(errno);
        // mkostemp makes 0600: a file replaced keeps its permissions, and a
        // new one gets what open() would give it.
        ::fchmod(fd, exists ? st.st_mode & 07777 : 0666 & ~current_umask());
        return FileTarget(fd, std::move(path), std::move(temp), cancel);
    });
}

FileTarget::FileTarget(FileTarget&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), temp_(std::move(other.temp_)),
      cancel_(other.cancel_) {
    other.temp_.clear();
}

FileTarget::~FileTarget() { abandon(); }

void FileTarget::abandon() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

Status FileTarget::write(std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR && !cancel_->requested()) continue;
            return SalvageError::from_errno(errno);
        }
        if (put == 0) return SalvageError::from_errno(EIO);
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return Done{};
}

Status FileTarget::commit() noexcept {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) {
        const int code = errno;
        abandon();
        return SalvageError::from_errno(code);
    }
    if (temp_.empty()) return Done{};
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
        const int code = errno;
        abandon();
        return SalvageError::from_errno(code);
    }
    temp_.clear();
    return Done{};
}

}  // namespace corvel
