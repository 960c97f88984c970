// Throughput of the engine on files given on the command line:
//   engine_bench FILE...
// For each file: parse (every row, no reconciliation), then salvage_slice
// (sniffing, inference and reconciliation). Best of a few runs, in MB/s.
// Then, on the first file, the clean file's write buffer: the file's lines
// written through buffers of several sizes, which is what sets its size.
// Then, on the ragged file (else the first), the export of its accepted rows
// as Arrow arrays in both string layouts, release included.
// Last, for the files whose name holds "quoted": salvage_file against a copy
// of the same file in the same run, median of 5, and the parse alone.
#include "arrow.hpp"
#include "file_io.hpp"
#include "heuristics.hpp"
#include "parser.hpp"
#include "salvage.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

template <class F>
double best_seconds(int runs, F&& f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        best = std::min(best, d.count());
    }
    return best;
}

// Writes the lines of `path` to a fresh file through each buffer size.
void write_buffers(const char* path) {
    const std::string text = slurp(path);
    const std::string out = "/tmp/corvel-engine-bench.csv";
    std::printf("\n%-28s %12s\n", "write buffer", "MB/s");
    for (const std::size_t capacity : {std::size_t{8} << 10, std::size_t{64} << 10, std::size_t{256} << 10,
                                       std::size_t{1} << 20, std::size_t{4} << 20}) {
        const double seconds = best_seconds(5, [&] {
            auto file = corvel::BufferedOutput::create(out, capacity);
            if (!file) return;
            std::size_t from = 0;
            while (from < text.size()) {
                std::size_t end = text.find('\n', from);
                end = end == std::string::npos ? text.size() : end + 1;
                std::string& buf = file.value().buffer();
                const std::size_t start = buf.size();
                buf.append(text, from, end - from);
                if (!file.value().line_done(start)) return;
                from = end;
            }
            (void)file.value().finish();
        });
        std::printf("%-28zu %12.1f\n", capacity, static_cast<double>(text.size()) / 1e6 / seconds);
    }
    std::remove(out.c_str());
}

// Exports the salvaged rows of `path` whole and in stream batches, in MB/s
// of the input file.
void arrow_export(const char* path) {
    const std::string text = slurp(path);
    auto outcome = corvel::salvage_slice(text, corvel::SalvageOptions{});
    if (!outcome) return;
    const std::uint64_t width = outcome.value().stats.inferred_columns;
    const auto table = std::make_shared<const corvel::RowTable>(std::move(outcome.value().rows));
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("\n%-28s %12s   (%s, %llu rows)\n", "arrow export", "MB/s", path,
                static_cast<unsigned long long>(table->size()));
    for (const auto layout : {corvel::arrow::StringLayout::View, corvel::arrow::StringLayout::Large}) {
        corvel::arrow::ExportOptions options;
        options.names = corvel::arrow::unique_column_names({}, width).value();
        options.layout = layout;
        const char* name = layout == corvel::arrow::StringLayout::View ? "utf8_view" : "large_utf8";
        const double whole = best_seconds(5, [&] {
            ArrowArray array;
            if (!corvel::arrow::export_batch(corvel::arrow::whole(table), options, &array)) return;
            array.release(&array);
        });
        const double batches = best_seconds(5, [&] {
            ArrowArrayStream stream;
            if (!corvel::arrow::export_stream(corvel::arrow::whole(table), options,
                                              65536, &stream))
                return;
            for (;;) {
                ArrowArray array;
                if (stream.get_next(&stream, &array) != 0 || !array.release) break;
                array.release(&array);
            }
            stream.release(&stream);
        });
        std::printf("%-28s %12.1f\n", (std::string(name) + ", whole").c_str(), mb / whole);
        std::printf("%-28s %12.1f\n", (std::string(name) + ", 65536-row batches").c_str(), mb / batches);
    }
}

template <class F>
double median_seconds(int runs, F&& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// Quoted files: where the time of salvage_file goes, against the floor.
void quoted_files(int argc, char** argv) {
    const std::string out = "/tmp/corvel-engine-bench-quoted.csv";
    bool header = false;
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        for (const char* p = argv[i]; *p; ++p) {
            if (*p == '/') name = p + 1;
        }
        if (std::string_view(name).find("quoted") == std::string_view::npos) continue;
        if (!header) {
            std::printf("\n%-28s %12s %12s %12s %12s\n", "quoted (median of 5)", "parse MB/s", "file MB/s",
                        "copy MB/s", "file / copy");
            header = true;
        }
        const std::string text = slurp(argv[i]);
        const double mb = static_cast<double>(text.size()) / 1e6;
        const double parse = median_seconds(5, [&] {
            corvel::ResilientParser parser(text, ',', '"', true);
            parser.trust_utf8();
            corvel::RowTable table;
            while (parser.next_row(table)) table.clear();
        });
        const double file = median_seconds(5, [&] {
            auto r = corvel::salvage_file(argv[i], out, std::nullopt, corvel::SalvageOptions{});
            if (!r) std::fprintf(stderr, "salvage_file failed: %s\n", r.error().text().c_str());
        });
        const double copy = median_seconds(5, [&] {
            std::filesystem::copy_file(argv[i], out, std::filesystem::copy_options::overwrite_existing);
        });
        std::printf("%-28s %12.1f %12.1f %12.1f %11.2fx\n", name, mb / parse, mb / file, mb / copy, file / copy);
    }
    std::remove(out.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("%-28s %10s %12s %12s %12s\n", "file", "MB", "rows", "parse MB/s", "salvage MB/s");
    for (int i = 1; i < argc; ++i) {
        const std::string text = slurp(argv[i]);
        const double mb = static_cast<double>(text.size()) / 1e6;
        std::uint64_t rows = 0;
        const double parse = best_seconds(3, [&] {
            corvel::ResilientParser parser(text, ',', '"', true);
            corvel::RowTable table;
            rows = 0;
            while (parser.next_row(table)) {
                ++rows;
                table.clear();
            }
        });
        const double salvage = best_seconds(3, [&] {
            corvel::SalvageOptions options;
            auto outcome = corvel::salvage_slice(text, options);
            if (!outcome) std::fprintf(stderr, "salvage failed: %s\n", outcome.error().text().c_str());
        });
        const char* name = argv[i];
        for (const char* p = argv[i]; *p; ++p) {
            if (*p == '/') name = p + 1;
        }
        std::printf("%-28s %10.1f %12llu %12.1f %12.1f\n", name, mb, static_cast<unsigned long long>(rows),
                    mb / parse, mb / salvage);
    }
    if (argc > 1) write_buffers(argv[1]);
    if (argc > 1) {
        const char* ragged = argv[1];
        for (int i = 1; i < argc; ++i) {
            if (std::strstr(argv[i], "ragged")) ragged = argv[i];
        }
        arrow_export(ragged);
    }
    quoted_files(argc, argv);
    return 0;
}
