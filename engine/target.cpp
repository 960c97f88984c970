#include "target.hpp"

#include "messages.hpp"

#include <cerrno>
#include <unistd.h>

#include <utility>

namespace corvel {

Result<std::size_t> FdSource::read(char* buffer, std::size_t size) noexcept {
    // A signal taken while the run was parsing interrupted no read: it is
    // looked at before the read that may block for good.
    if (cancel_.requested()) return SalvageError::from_errno(EINTR);
    Result<std::size_t> got = input_.read(buffer, size);
    if (!got && got.error().kind() == SalvageError::Kind::Cancelled) return SalvageError::from_errno(EINTR);
    return got;
}

Result<FileTarget> FileTarget::open(std::string_view path, const Cancel& cancel) noexcept {
    auto file = OutputFile::create(path, Placement::Atomic, cancel);
    if (!file) return file.error();
    return FileTarget(std::move(file).value());
}

Status FileTarget::write(std::string_view bytes) noexcept { return file_.write_all(bytes, msg::kZeroWriteWhole); }

}  // namespace corvel
