#!/usr/bin/env bash
# Makes (once) a virtual environment for one interpreter flavour with the
# project's build and test tools, and prints its python's path. The stamp
# records the tool list, so a venv made before a tool was added gets it too.
#
#   tools/venv.sh 3.14 | 3.14t
set -euo pipefail

flavour=${1:?usage: venv.sh 3.14|3.14t}
root=$(cd "$(dirname "$0")/.." && pwd)
venv=$root/build/venv-$flavour
stamp=$venv/.corvel-tools
tools=("pytest>=8" "scikit-build-core>=0.10" "hypothesis>=6.100" "mypy>=1.11" "build>=1.2" "auditwheel>=6")

if [[ ! -x $venv/bin/python || ! -f $stamp ]]; then
    base=$("$root/tools/bootstrap-python.sh" "$flavour")
    rm -rf "$venv"
    "$base" -m venv "$venv"
fi
if [[ "$(cat "$stamp" 2>/dev/null)" != "${tools[*]}" ]]; then
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "${tools[@]}" >&2
    echo "${tools[*]}" >"$stamp"
fi
# Optional packages, each installed where it has a wheel for this
# interpreter; the tests that need one skip without it. The stamp names the
# group, so a changed list installs again.
optional() {
    local stamp=$venv/.corvel-$1
    shift
    [[ "$(cat "$stamp" 2>/dev/null)" == "$*" ]] && return
    for pkg in "$@"; do
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: "$pkg" >&2 ||
            echo "venv.sh: no $pkg for python$flavour; its tests will skip" >&2
    done
    echo "$*" >"$stamp"
}
# The Arrow consumers corvel.read hands tables to, and the distributed
# engine corvel.dask runs on.
optional consumers pyarrow polars pandas duckdb
optional distributed "dask[dataframe]" distributed
echo "$venv/bin/python"
