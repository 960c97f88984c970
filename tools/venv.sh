#!/usr/bin/env bash
# Makes (once) a virtual environment for one interpreter flavour with the
# project's build and test tools, and prints its python's path.
#
#   tools/venv.sh 3.14 | 3.14t
set -euo pipefail

flavour=${1:?usage: venv.sh 3.14|3.14t}
root=$(cd "$(dirname "$0")/.." && pwd)
venv=$root/build/venv-$flavour
stamp=$venv/.corvel-tools
tools=("pytest>=8" "scikit-build-core>=0.10")

if [[ ! -f $stamp ]]; then
    base=$("$root/tools/bootstrap-python.sh" "$flavour")
    rm -rf "$venv"
    "$base" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "${tools[@]}" >&2
    touch "$stamp"
fi
echo "$venv/bin/python"
