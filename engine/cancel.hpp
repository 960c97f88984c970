// A caller's way to stop a long engine call early.
//
// The engine polls the hook when a system call was interrupted by a signal
// and about every kCancelStep bytes of work. A front end that runs signal
// handlers inside the hook (Ctrl-C) thereby ends a call that would otherwise
// block or run for long. The hook knows nothing of the engine and the engine
// nothing of the front end.
#pragma once

#include <cstdint>

namespace corvel {

struct Cancel {
    // True when the call is to stop. The caller records why, if it wants to.
    using Poll = bool (*)(void* context) noexcept;

    Poll poll = nullptr;
    void* context = nullptr;

    bool requested() const noexcept { return poll != nullptr && poll(context); }
};

// Bytes read, parsed or written between two polls.
inline constexpr std::uint64_t kCancelStep = 8 << 20;

}  // namespace corvel
