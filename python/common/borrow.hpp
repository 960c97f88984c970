// The borrow state every object of the module's classes carries.
//
// Any number of shared uses at a time, or one exclusive use. A use that
// conflicts with one in progress fails at once with RuntimeError rather
// than waiting, so two threads racing on one reader learn of it instead of
// interleaving. The state is one atomic counter: -1 while exclusively used,
// otherwise the number of shared uses.
#pragma once

#include <Python.h>

#include "messages.hpp"

#include <atomic>
#include <cstdint>

namespace corvel::py {

class BorrowState {
public:
    // Each returns false with RuntimeError set when the use is refused.
    [[nodiscard]] bool acquire_shared() noexcept {
        std::int64_t s = state_.load(std::memory_order_relaxed);
        do {
            if (s < 0) return refuse(msg::kAlreadyMutablyBorrowed);
        } while (!state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    [[nodiscard]] bool acquire_exclusive() noexcept {
        std::int64_t expected = 0;
        if (state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            return true;
        }
        return refuse(msg::kAlreadyBorrowed);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    static bool refuse(const char* message) noexcept {
        PyErr_SetString(PyExc_RuntimeError, message);
        return false;
    }
    std::atomic<std::int64_t> state_{0};
};

// Holds one use for a scope. Check ok() before touching the object.
template <bool Exclusive>
class [[nodiscard]] Use {
public:
    explicit Use(BorrowState& state) noexcept
        : state_(state), ok_(Exclusive ? state.acquire_exclusive() : state.acquire_shared()) {}
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    ~Use() {
        if (!ok_) return;
        if constexpr (Exclusive) {
            state_.release_exclusive();
        } else {
            state_.release_shared();
        }
    }
    bool ok() const noexcept { return ok_; }

private:
    BorrowState& state_;
    bool ok_;
};

using SharedUse = Use<false>;
using ExclusiveUse = Use<true>;

}  // namespace corvel::py
