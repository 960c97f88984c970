#!/usr/bin/env bash
# Provides CPython 3.14, default and free-threaded, for building and testing.
#
#   tools/bootstrap-python.sh 3.14     -> prints the path of python3.14
#   tools/bootstrap-python.sh 3.14t    -> prints the path of python3.14t
#
# An interpreter already on PATH wins. Otherwise the upstream source tarball is
# taken from the Debian archive this machine's apt is configured for (so no
# host name lives in this repository), checked against a pinned sha256 and
# built under ${CORVEL_PYTHON_HOME:-$HOME/.cache/corvel-python}/<flavour>.
# A finished install is marked by a stamp file and reused from then on.
set -euo pipefail

flavour=${1:?usage: bootstrap-python.sh 3.14|3.14t}
case "$flavour" in
    3.14)  exe=python3.14;  extra_configure=() ;;
    3.14t) exe=python3.14t; extra_configure=(--disable-gil) ;;
    *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac

log() { echo "bootstrap-python: $*" >&2; }

if [[ -z "${CORVEL_IGNORE_PATH_PYTHON:-}" ]] && command -v "$exe" >/dev/null 2>&1; then
    found=$(command -v "$exe")
    if "$found" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 14))' 2>/dev/null; then
        echo "$found"
        exit 0
    fi
fi

home=${CORVEL_PYTHON_HOME:-$HOME/.cache/corvel-python}
prefix=$home/$flavour
stamp=$prefix/.corvel-complete
# The stdlib modules the project needs that depend on system libraries. An
# install whose stamp names fewer (made before one was added) is rebuilt.
features="ssl ctypes zlib sqlite3 bz2 lzma _zstd"
current() {
    [[ -x $prefix/bin/$exe && -f $stamp ]] || return 1
    [[ "$(cat "$stamp")" == "$features" ]] && return 0
    # An older stamp, but perhaps the modules are there all the same.
    "$prefix/bin/$exe" -c "import importlib; [importlib.import_module(m) for m in '$features'.split()]" \
        >/dev/null 2>&1 || return 1
    echo "$features" >"$stamp"
}
if current; then
    echo "$prefix/bin/$exe"
    exit 0
fi

mkdir -p "$home"
# Two builds of the same flavour at once would trample each other's prefix.
exec 9>"$home/.lock-$flavour"
flock 9
if current; then
    echo "$prefix/bin/$exe"
    exit 0
fi

# Pinned tarballs, newest first; later entries are fallbacks for an archive
# copy that lacks the newer files.
versions=(
    "3.14.7 3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81"
    "3.14.6 143b1dddefaec3bd2e21e3b839b34a2b7fb9842272883c576420d605e9f30c63"
    "3.14.5 7e32597b99e5d9a39abed35de4693fa169df3e5850d4c334337ffd6a19a36db6"
)

build_deps=(build-essential pkg-config xz-utils curl ca-certificates
    libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev
    libreadline-dev uuid-dev libgdbm-dev libncurses-dev libexpat1-dev libzstd-dev)

install_build_deps() {
    local missing=()
    for p in "${build_deps[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return 0
    if [[ $(id -u) -ne 0 ]]; then
        log "missing build packages: ${missing[*]} (install them as root)"
        return 1
    fi
    log "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

archive_base() {
    # First plain (non-security, non-updates) Debian URI in apt's sources.
    local uri
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | awk '/^URIs:/{for (i = 2; i <= NF; i++) print $i}' \
        | grep -v -e security -e updates | head -n1 || true)
    if [[ -z $uri ]]; then
        uri=$(grep -hE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
            | awk '{for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
            | grep -v security | head -n1 || true)
    fi
    [[ -n $uri ]] || { log "no Debian archive found in apt sources"; return 1; }
    echo "${uri%/}"
}

fetch_source() {
    local base src v sum file
    base=$(archive_base)
    src=$home/src
    mkdir -p "$src"
    for entry in "${versions[@]}"; do
        read -r v sum <<<"$entry"
        file=$src/python3.14_$v.orig.tar.xz
        if [[ ! -f $file ]]; then
            log "fetching CPython $v source"
            if ! curl -fsSL --retry 3 -o "$file.part" "$base/pool/main/p/python3.14/python3.14_$v.orig.tar.xz"; then
                rm -f "$file.part"
                log "CPython $v not available, trying the next pinned version"
                continue
            fi
            mv "$file.part" "$file"
        fi
        if echo "$sum  $file" | sha256sum -c --status; then
            echo "$file"
            return 0
        fi
        log "checksum mismatch for $file, discarding it"
        rm -f "$file"
    done
    log "no pinned CPython 3.14 source could be fetched"
    return 1
}

install_build_deps
tarball=$(fetch_source)
work=$(mktemp -d "$home/build-$flavour.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "building $exe from $(basename "$tarball") (several minutes)"
tar -xJf "$tarball" -C "$work" --strip-components=1
# Installed beside the old prefix and swapped in whole, so that venvs made
# from an older build keep working until the moment of the swap.
(
    cd "$work"
    ./configure --prefix="$prefix" --with-ensurepip=install "${extra_configure[@]}" >build.log 2>&1
    make -j"$(nproc)" >>build.log 2>&1
    make install DESTDIR="$work/dest" >>build.log 2>&1
) || { log "build failed; last lines of the log:"; tail -n 40 "$work/build.log" >&2; exit 1; }
PYTHONHOME="$work/dest$prefix" "$work/dest$prefix/bin/$exe" -c "
import sys, importlib
for name in '$features'.split(): importlib.import_module(name)
assert sys.version_info[:2] == (3, 14)"
rm -rf "$prefix.old"
[[ -e $prefix ]] && mv "$prefix" "$prefix.old"
mv "$work/dest$prefix" "$prefix"
rm -rf "$prefix.old"
echo "$features" >"$stamp"
echo "$prefix/bin/$exe"
