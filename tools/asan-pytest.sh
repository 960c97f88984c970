#!/usr/bin/env bash
# Runs the Python tests against _corvel_backend and corvel._core built with ASan and UBSan,
# for one interpreter flavour. Expects `make probes` to have built the
# binder's test module.
#
#   tools/asan-pytest.sh 3.14 | 3.14t
#
# libasan has to be the process's first library, and libstdc++ is preloaded
# with it so that its __cxa_throw interceptor finds the real one; the
# interpreter's own allocations still live at exit are not our leaks. ASan's
# quarantine keeps freed memory resident, so the RSS-based leak test runs on
# its own without it. conftest checks the module came from build/asan-<flavour>.
set -euo pipefail

flavour=${1:?usage: asan-pytest.sh 3.14|3.14t}
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build/asan-$flavour
py=$root/build/venv-$flavour/bin/python
jobs=${JOBS:-2}

cmake -S "$root" -B "$dir" -DPython_EXECUTABLE="$py" -DCORVEL_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$jobs" --target _corvel_backend _core >/dev/null
module=$(ls "$dir"/_corvel_backend*.so)
core=$(ls "$dir"/_core*.so)
for m in "$module" "$core"; do
    if ! ldd "$m" | grep libasan >/dev/null; then
        echo "asan-pytest: $m is not linked with libasan" >&2
        exit 1
    fi
done
# The corvel package as installed, but with the sanitized core: first on the path.
rm -rf "$dir/corvel"
mkdir "$dir/corvel"
cp "$root"/src/corvel/*.py "$root"/src/corvel/py.typed "$core" "$dir/corvel/"
echo "== pytest on python$flavour with $module"

cd "$root/tests"
export CORVEL_MODULE_DIR=$dir PYTHONPATH=$dir CORVEL_PROBE_DIR=$root/build/probe-$flavour
export UBSAN_OPTIONS=print_stacktrace=1
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
ASAN_OPTIONS=detect_leaks=0 "$py" -m pytest -q -p no:cacheprovider python -k "not test_no_leaks" -m "not tools and not thirdparty and not dask and not large"
ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=0 "$py" -m pytest -q -p no:cacheprovider \
    python/test_reader.py::test_no_leaks
