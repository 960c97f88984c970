#include "error.hpp"

#include "messages.hpp"

#include <cstring>
#include <string>
#include <type_traits>

namespace corvel {

std::string os_error_text(int code) {
    char buf[256];
    // The GNU strerror_r may return a static string instead of filling buf;
    // the XSI one returns an int. Handle both without caring which we got.
    auto r = strerror_r(code, buf, sizeof buf);
    if constexpr (std::is_same_v<decltype(r), char*>) {
        return std::string(r);
    } else {
        return r == 0 ? std::string(buf) : fill(msg::kUnknownOsError, {std::to_string(code)});
    }
}

std::string fill(std::string_view format, std::initializer_list<std::string_view> args) {
    std::string out;
    auto arg = args.begin();
    for (std::size_t at; arg != args.end() && (at = format.find("{}")) != std::string_view::npos; ++arg) {
        out.append(format.substr(0, at));
        out.append(*arg);
        format.remove_prefix(at + 2);
    }
    out.append(format);
    return out;
}

SalvageError SalvageError::from_errno(int code) {
    return SalvageError(Kind::Io, code, fill(msg::kOsError, {os_error_text(code), std::to_string(code)}));
}

SalvageError SalvageError::io(std::string text) {
    return SalvageError(Kind::Io, 0, std::move(text));
}

SalvageError SalvageError::out_of_memory(std::string text) {
    return SalvageError(Kind::OutOfMemory, 0, std::move(text));
}

SalvageError SalvageError::out_of_memory() {
    // Short enough for the string's inline buffer.
    return out_of_memory(std::string(msg::kOutOfMemory));
}

SalvageError SalvageError::cancelled() { return of_kind(Kind::Cancelled); }

SalvageError SalvageError::of_kind(Kind kind) {
    switch (kind) {
        case Kind::Cancelled: return SalvageError(kind, 0, std::string(msg::kCancelled));
        case Kind::QuarantineIsInput: return SalvageError(kind, 0, std::string(msg::kQuarantineIsInput));
        case Kind::QuarantineIsOutput: return SalvageError(kind, 0, std::string(msg::kQuarantineIsOutput));
        case Kind::BadState: return SalvageError(kind, 0, std::string(msg::kBadRangeState));
        case Kind::OutOfMemory: return out_of_memory();
        case Kind::Io: break;
    }
    return io(std::string());
}

}  // namespace corvel
