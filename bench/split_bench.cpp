// The salvage in byte ranges against one pass, on files given on the
// command line:
//   split_bench [--range-mib N] [--runs N] [--out DIR] FILE...
// For each file, in one run and interleaved: the salvager over the whole
// file, then the split on 1 and on 2 threads, each writing the clean file
// to DIR (default /tmp); medians of --runs (default 5). The three clean
// files must be byte-identical. Then the speculative starts that missed, at
// the given range size and at 1 MiB, and the cost of a range and of the
// serial hand-on, from which a run on more cores is estimated (Amdahl: the
// hand-on stays serial, the parse divides). Last, the plan of the file's
// ranges for salvaging them each on its own (plan_ranges: one streaming
// salvage that writes nothing), in the same interleaved runs.
//   split_bench --parallel-kib N [--runs N] [--out DIR] FILE...
// instead runs the package's salvage of each file streaming, and recorded
// in ranges of N KiB on 1 and 2 threads (rescue_parallel), interleaved; the
// ranges salvaged again, and the serial hand-on from which more cores are
// estimated.
#include "file_io.hpp"
#include "rescue.hpp"
#include "salvager.hpp"
#include "batches.hpp"
#include "sinks.hpp"
#include "split.hpp"
#include "target.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace corvel;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double cpu_seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

[[noreturn]] void die(const std::string& what, const SalvageError& e) {
    std::fprintf(stderr, "split_bench: %s: %s\n", what.c_str(), e.text().c_str());
    std::exit(1);
}

template <class T>
T must(Result<T> r, const std::string& what) {
    if (!r) die(what, r.error());
    return std::move(r).value();
}

// RangeFiles, with the time spent handing on.
class TimedRanges final : public RangeOutputs {
public:
    explicit TimedRanges(RangeFiles& files) : files_(files) {}
    Result<std::unique_ptr<RowSink>> open() override { return files_.open(); }
    Status hand_on(RowSink& sink, const LineBase& base) override {
        // CPU time of the thread that hands on: what other threads wait
        // for, whatever else the machine is running.
        const double t0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        Status s = files_.hand_on(sink, base);
        serial += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - t0;
        return s;
    }
    double serial = 0;

private:
    RangeFiles& files_;
};

struct SplitRun {
    double seconds = 0;
    double cpu = 0;  // of the process, all threads
    double serial = 0;
    SplitStats stats;
};

double run_whole(std::string_view text, const Plan& plan, const SalvageOptions& o, const std::string& out) {
    const auto t0 = Clock::now();
    auto clean = must(BufferedOutput::create(out), out);
    RowTable table;
    CleanFileSink sink(clean, o.quote_char, table);
    must(Salvager(o, sink).run(text, plan), "salvage");
    must(clean.finish(), out);
    return seconds_since(t0);
}

SplitRun run_split(std::string_view text, const Plan& plan, const SalvageOptions& o, const std::string& out,
                   const SplitOptions& split) {
    const auto t0 = Clock::now();
    const double c0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    auto clean = must(BufferedOutput::create(out), out);
    RangeFiles files(clean, nullptr, plan, o.quote_char);
    TimedRanges timed(files);
    SplitRun r;
    r.stats = must(salvage_split(text, plan, o, timed, split), "split");
    must(clean.finish(), out);
    r.seconds = seconds_since(t0);
    r.cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
    r.serial = timed.serial;
    return r;
}

// The input, given to plan_ranges() as a stream.
class ViewSource final : public ByteSource {
public:
    explicit ViewSource(std::string_view text) noexcept : text_(text) {}
    Result<std::size_t> read(char* buffer, std::size_t size) noexcept override {
        const std::size_t n = std::min(size, text_.size());
        std::memcpy(buffer, text_.data(), n);
        text_.remove_prefix(n);
        return n;
    }

private:
    std::string_view text_;
};

struct PlanRun {
    double seconds = 0;
    double cpu = 0;
    std::uint64_t ranges = 0;
    std::uint64_t state_bytes = 0;
};

// The plan as the package makes it for a Dask partition per range.
PlanRun run_plan(std::string_view text, std::uint64_t range_bytes) {
    const auto t0 = Clock::now();
    const double c0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    ViewSource in(text);
    const RescueOptions o;
    BatchSink model(BatchLimits{}, true);
    auto states = must(plan_ranges(in, text.size(), o, model, range_bytes, {}),
                       "plan");
    PlanRun r{seconds_since(t0), cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - c0, states.size(), 0};
    for (const std::string& state : states) r.state_bytes += state.size();
    return r;
}

bool same_bytes(const std::string& a, const std::string& b) {
    auto x = must(read_file(a), a);
    auto y = must(read_file(b), b);
    return x.view() == y.view();
}

void bench_file(const char* path, std::uint64_t range_bytes, int runs, const std::string& dir) {
    auto bytes = must(read_file(path), path);
    const std::string_view text = bytes.view();
    const SalvageOptions o;
    const Plan plan = must(plan_for(text, o), "plan");
    const std::string whole_out = dir + "/split-bench-whole.csv";
    const std::string one_out = dir + "/split-bench-t1.csv";
    const std::string two_out = dir + "/split-bench-t2.csv";

    std::vector<double> whole;
    std::vector<double> one;
    std::vector<double> two;
    std::vector<double> serial;
    std::vector<double> cpu_one;
    std::vector<double> cpu_two;
    std::vector<double> plan_wall, plan_cpu;
    PlanRun planned;
    SplitStats stats;
    for (int i = 0; i < runs; ++i) {
        whole.push_back(run_whole(text, plan, o, whole_out));
        const SplitRun a = run_split(text, plan, o, one_out, {.range_bytes = range_bytes, .threads = 1});
        one.push_back(a.seconds);
        serial.push_back(a.serial);
        cpu_one.push_back(a.cpu);
        const SplitRun b = run_split(text, plan, o, two_out, {.range_bytes = range_bytes, .threads = 2});
        two.push_back(b.seconds);
        cpu_two.push_back(b.cpu);
        stats = b.stats;
        planned = run_plan(text, range_bytes);
        plan_wall.push_back(planned.seconds);
        plan_cpu.push_back(planned.cpu);
    }
    const bool same = same_bytes(whole_out, one_out) && same_bytes(whole_out, two_out);
    const SplitRun fine = run_split(text, plan, o, two_out, {.range_bytes = 1 << 20, .threads = 2});
    for (const std::string& f : {whole_out, one_out, two_out}) std::remove(f.c_str());

    const double w = median(whole);
    const double t1 = median(one);
    const double t2 = median(two);
    const double s = median(serial);
    const double c1 = median(cpu_one);
    const double c2 = median(cpu_two);
    // From CPU times, which a loaded machine disturbs far less than wall
    // time. The hand-on is serial and the rest of a t=1 run divides by n;
    // at worst nothing overlaps the hand-on (Amdahl), at best it runs while
    // the other threads parse later ranges, and then it is the floor.
    const double per_range = (c1 - s) / static_cast<double>(stats.ranges);
    const auto amdahl = [&](double n) { return c1 / (s + (c1 - s) / n); };
    const auto piped = [&](double n) { return c1 / std::max(s, c1 / n); };
    std::printf("%s: %.0f MB, %llu ranges of %llu MiB, identical bytes: %s\n", path, text.size() / 1e6,
                static_cast<unsigned long long>(stats.ranges), static_cast<unsigned long long>(range_bytes >> 20),
                same ? "yes" : "NO");
    std::printf("  wall: whole %.3f s | split t=1 %.3f s | t=2 %.3f s = %.2fx t=1, %.2fx whole (medians of %d)\n", w,
                t1, t2, t2 / t1, t2 / w, runs);
    std::printf("  cpu: t=1 %.3f s, t=2 %.3f s (all threads)\n", c1, c2);
    std::printf("  missed starts: %llu of %llu (%.2f%%) at %llu MiB; %llu of %llu (%.2f%%) at 1 MiB, "
                "%.1f MB parsed again\n",
                static_cast<unsigned long long>(stats.reruns), static_cast<unsigned long long>(stats.ranges),
                100.0 * stats.reruns / stats.ranges, static_cast<unsigned long long>(range_bytes >> 20),
                static_cast<unsigned long long>(fine.stats.reruns), static_cast<unsigned long long>(fine.stats.ranges),
                100.0 * fine.stats.reruns / fine.stats.ranges, fine.stats.rerun_bytes / 1e6);
    std::printf("  per range %.1f ms cpu parse, serial hand-on %.3f s cpu (%.1f%% of t=1)\n", per_range * 1e3, s,
                100.0 * s / c1);
    std::printf("  estimate, faster than t=1 (Amdahl .. overlapped): 2 cores %.2f..%.2fx, 16 cores %.1f..%.1fx, "
                "64 cores %.1f..%.1fx\n",
                amdahl(2), piped(2), amdahl(16), piped(16), amdahl(64), piped(64));
    std::printf("  plan of %llu ranges (%.1f KB of state): wall %.3f s = %.2fx whole, cpu %.3f s\n",
                static_cast<unsigned long long>(planned.ranges), planned.state_bytes / 1e3, median(plan_wall),
                median(plan_wall) / w, median(plan_cpu));
    if (!same) std::exit(1);
}

// ---- The package's salvage, streaming against ranges recorded where they
// are parsed (rescue_parallel), with the options detection gives a table
// with a header: footers and later tables looked for.

struct Timed {
    double seconds = 0;
    double cpu = 0;
    SplitStats stats;
};

Timed rescue_file(const char* path, const std::string& out, const SplitOptions* split) {
    RescueOptions o;
    o.header = true;
    o.find_footer = true;
    o.find_tables = true;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) die(path, SalvageError::from_errno(errno));
    struct stat st {};
    ::fstat(fd, &st);
    auto target = must(FileTarget::open(out, {}), out);
    const auto t0 = Clock::now();
    const double c0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    Timed r;
    Side side = Side::Input;
    if (split) {
        FdRandomSource in(fd, {});
        CsvRanges ranges(target, o);
        must(rescue_parallel(in, static_cast<std::uint64_t>(st.st_size), ranges, {}, o, *split, {}, &side, &r.stats),
             "parallel");
    } else {
        FdSource in(fd, {});
        CsvSink rows(target, o);
        must(rescue(in, rows, {}, o, {}, &side), "rescue");
    }
    must(target.commit(), out);
    r.seconds = seconds_since(t0);
    r.cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
    ::close(fd);
    return r;
}

void bench_parallel(const char* path, std::uint64_t range_bytes, int runs, const std::string& dir) {
    const std::string outs[] = {dir + "/split-bench-rescue.csv", dir + "/split-bench-p1.csv",
                                dir + "/split-bench-p2.csv"};
    std::vector<double> wall[3], cpu[3], serial;
    SplitStats stats;
    for (int i = 0; i < runs; ++i) {
        for (int t = 0; t < 3; ++t) {
            const SplitOptions split{.range_bytes = range_bytes, .threads = static_cast<unsigned>(t)};
            const Timed r = rescue_file(path, outs[t], t == 0 ? nullptr : &split);
            wall[t].push_back(r.seconds);
            cpu[t].push_back(r.cpu);
            if (t == 1) serial.push_back(r.stats.serial_seconds);
            if (t == 2) stats = r.stats;
        }
    }
    const bool same = same_bytes(outs[0], outs[1]) && same_bytes(outs[0], outs[2]);
    for (const std::string& f : outs) std::remove(f.c_str());
    const double c1 = median(cpu[1]);
    const double s = median(serial);
    const auto amdahl = [&](double n) { return c1 / (s + (c1 - s) / n); };
    const auto piped = [&](double n) { return c1 / std::max(s, c1 / n); };
    std::printf("%s, recorded in ranges of %llu KiB (header, footer and later tables looked for), "
                "identical bytes: %s\n",
                path, static_cast<unsigned long long>(range_bytes >> 10), same ? "yes" : "NO");
    std::printf("  wall: streaming %.3f s | ranges t=1 %.3f s | t=2 %.3f s = %.2fx streaming (medians of %d)\n",
                median(wall[0]), median(wall[1]), median(wall[2]), median(wall[2]) / median(wall[0]), runs);
    std::printf("  cpu: streaming %.3f s | ranges t=1 %.3f s | t=2 %.3f s\n", median(cpu[0]), c1, median(cpu[2]));
    std::printf("  %llu ranges: %llu started wrong, %llu recorded again (%.2f%%), %.1f MB parsed again\n",
                static_cast<unsigned long long>(stats.ranges), static_cast<unsigned long long>(stats.reruns),
                static_cast<unsigned long long>(stats.rerecorded),
                100.0 * static_cast<double>(stats.reruns + stats.rerecorded) / static_cast<double>(stats.ranges),
                static_cast<double>(stats.rerun_bytes) / 1e6);
    std::printf("  serial hand-on %.3f s cpu (%.1f%% of ranges t=1); estimate, faster than ranges t=1 "
                "(Amdahl .. overlapped): 2 cores %.2f..%.2fx, 16 cores %.1f..%.1fx, 64 cores %.1f..%.1fx\n",
                s, 100.0 * s / c1, amdahl(2), piped(2), amdahl(16), piped(16), amdahl(64), piped(64));
    if (!same) std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t range_bytes = std::uint64_t{16} << 20;
    std::uint64_t parallel_kib = 0;
    int runs = 5;
    std::string dir = "/tmp";
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--range-mib" && i + 1 < argc) {
            range_bytes = std::strtoull(argv[++i], nullptr, 10) << 20;
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--parallel-kib" && i + 1 < argc) {
            parallel_kib = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--out" && i + 1 < argc) {
            dir = argv[++i];
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty() || range_bytes == 0) {
        std::fprintf(stderr, "usage: split_bench [--range-mib N | --parallel-kib N] [--runs N] [--out DIR] FILE...\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (const char* f : files) {
        if (parallel_kib != 0) {
            bench_parallel(f, parallel_kib << 10, runs, dir);
        } else {
            bench_file(f, range_bytes, runs, dir);
        }
    }
    return 0;
}
