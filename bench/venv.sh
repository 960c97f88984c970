#!/usr/bin/env bash
# Makes (once) the benchmark environment for one interpreter flavour, then
# (re)installs corvel into it from this tree, and prints the venv's python.
# Kept apart from the test venvs so that pandas, polars and duckdb never leak
# into `make test`, and built in its own build dir so that it never races a
# test-venv build.
#
#   bench/venv.sh [3.14|3.14t]    -> build/venv-bench, build/venv-bench-t
set -euo pipefail

flavour=${1:-3.14}
root=$(cd "$(dirname "$0")/.." && pwd)
suffix=${flavour#3.14}; suffix=${suffix:+-$suffix}   # "" or "-t"
venv=$root/build/venv-bench$suffix
stamp=$venv/.corvel-bench
tools=("scikit-build-core>=0.10")
[[ -z $suffix ]] && tools+=(pandas polars duckdb clevercsv)  # the competitors run on 3.14 only

pip() {  # quiet, minus pip's notes about index locations this machine lacks
    "$venv/bin/python" -m pip --disable-pip-version-check -q "$@" 2>&1 | { grep -v '^WARNING: Location' || true; } >&2
}

if [[ ! -f $stamp ]]; then
    base=$("$root/tools/bootstrap-python.sh" "$flavour")
    rm -rf "$venv"
    "$base" -m venv "$venv"
fi
if [[ $(cat "$stamp" 2>/dev/null) != "${tools[*]}" ]]; then  # the stamp lists what is installed
    pip install "${tools[@]}"
    echo "${tools[*]}" >"$stamp"
fi
cd "$root"
pip install --no-build-isolation --no-deps --force-reinstall -C build-dir="build/skbuild-bench$suffix" .
echo "$venv/bin/python"
