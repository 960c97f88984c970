// A caller's way to stop a long engine call early.
//
// The engine polls the hook when a system call was interrupted by a signal,
// about every kCancelStep bytes of work, and every kCancelWait while it
// waits for input that may never come (a pipe, FIFO, socket or terminal).
// A front end that runs signal handlers inside the hook (Ctrl-C) thereby ends
// a call that would otherwise block or run for long; one whose call runs on
// a thread of its own raises a flag that the hook reads. The hook knows
// nothing of the engine and the engine nothing of the front end.
#pragma once

#include <chrono>
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

// The longest wait for input between two polls. A flag raised by another
// thread is seen within it; a signal wakes the wait at once.
inline constexpr std::chrono::milliseconds kCancelWait{100};

}  // namespace corvel
