#!/usr/bin/env bash
# Installs the system packages the build and the engine tests need, once.
set -euo pipefail

need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
[[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake || -n $(find /usr/lib -path '*cmake/GTest/GTestConfig.cmake' -print -quit 2>/dev/null) ]] \
    || need+=(libgtest-dev)
command -v flock >/dev/null 2>&1 || need+=(util-linux)
# A real terminal for the command line's progress-bar test.
command -v tmux >/dev/null 2>&1 || need+=(tmux)
# clang with the libFuzzer runtime, for the fuzz targets; linking a stub
# tests both at once.
command -v clang++ >/dev/null 2>&1 || need+=(clang)
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -fsanitize=fuzzer -x c++ - -o /dev/null >/dev/null 2>&1 || need+=(libclang-rt-dev)
((${#need[@]} == 0)) && exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "ensure-deps: please install: ${need[*]}" >&2
    exit 1
fi
echo "ensure-deps: installing ${need[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
