// A cancellation hook stops reading, parsing and blocking opens.
#include "file_io.hpp"
#include "salvage.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace corvel {
namespace {

// Says "stop" from its `after`-th poll on, and counts the polls.
struct StopAfter {
    std::atomic<int> polls{0};
    int after;
    explicit StopAfter(int n) : after(n) {}
    Cancel hook() {
        return Cancel{[](void* self) noexcept {
                          auto* s = static_cast<StopAfter*>(self);
                          return ++s->polls >= s->after;
                      },
                      this};
    }
};

TEST(Cancel, StopsSalvageOfALongText) {
    // Polled every 8 MiB of input: a 40 MiB text is polled at least four times.
    std::string text;
    while (text.size() < (40 << 20)) text += "abc,def,ghi\n";
    StopAfter stop(3);
    auto r = salvage_slice(text, SalvageOptions{}, stop.hook());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), SalvageError::Kind::Cancelled);
    EXPECT_EQ(stop.polls, 3);

    StopAfter never(1000);
    auto whole = salvage_slice(text, SalvageOptions{}, never.hook());
    ASSERT_TRUE(whole.ok());
    EXPECT_GE(never.polls, 4);
}

TEST(Cancel, StopsReadingAnEndlessInputAndCreatesNothing) {
    const std::string out = "/tmp/corvel-cancel-" + std::to_string(::getpid()) + ".csv";
    StopAfter stop(4);
    auto r = salvage_file("/dev/zero", out, std::nullopt, SalvageOptions{}, stop.hook());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), SalvageError::Kind::Cancelled);
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(Cancel, HookAskedBeforeAnythingIsOpened) {
    StopAfter stop(1);
    auto r = read_file("/dev/null", stop.hook());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), SalvageError::Kind::Cancelled);
}

void on_signal(int) {}

// A thread blocked opening a FIFO that nobody writes is woken by signals
// (installed without SA_RESTART, as an interpreter does); each wake-up polls
// the hook, which says stop on the first poll after the signal was sent.
TEST(Cancel, EndsAnOpenBlockedOnAFifo) {
    const std::string dir = "/tmp/corvel-cancel-fifo-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    const std::string fifo = dir + "/f";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

    static std::atomic<bool> signalled{false};
    signalled = false;
    const Cancel hook{[](void*) noexcept { return signalled.load(); }, nullptr};
    std::atomic<bool> done{false};
    Result<FileBytes> result = SalvageError::io("not run");
    std::thread reader([&] {
        result = read_file(fifo, hook);
        done = true;
    });
    // Signal until the call has ended; the guard only ends a hang.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && std::chrono::steady_clock::now() < guard) {
        signalled = true;
        ::pthread_kill(reader.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(done) << "the open was not interrupted";
    reader.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    std::filesystem::remove_all(dir);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), SalvageError::Kind::Cancelled);
}

}  // namespace
}  // namespace corvel
