#!/usr/bin/env bash
# Builds the fuzz targets into build/fuzz/ (fuzz_parser, fuzz_heuristics,
# fuzz_salvage, fuzz_chunks, fuzz_detect, fuzz_split). Runnable from anywhere; CXX picks the clang (default clang++).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$root/build/fuzz
cxx=${CXX:-clang++}

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "fuzz/build.sh: $cxx not found (the targets need clang with libFuzzer)" >&2
    exit 1
fi

cmake -S "$root/fuzz" -B "$out" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= >/dev/null
cmake --build "$out" -j"$(nproc)"
