#!/usr/bin/env bash
# Builds a Qt-free Windows test program with mingw-w64 and runs it under wine64
# in a throwaway prefix. Usage: run-under-wine.sh SOURCE_ROOT WORK_DIR NAME SOURCE... [-- LIBS...]
# Exit 77 (skipped) when a tool is missing, unless CI is set: then it fails.
set -euo pipefail

src_root=$1 work=$2 name=$3
shift 3
sources=() libs=()
while [ $# -gt 0 ]; do
    if [ "$1" = "--" ]; then shift; libs=("$@"); break; fi
    sources+=("$1"); shift
done

cxx=$(command -v x86_64-w64-mingw32-g++-posix || true)
wine=$(command -v wine64 || true)
[ -n "$wine" ] || { [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64; } || true

missing() {
    echo "missing: $1" >&2
    if [ -n "${CI:-}" ]; then exit 1; fi
    exit 77
}
[ -n "$cxx" ] || missing "x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64-posix)"
[ -n "$wine" ] || missing "wine64"

mkdir -p "$work"
exe="$work/$name.exe"
"$cxx" -std=c++17 -O2 -Wall -Wextra -Wpedantic -Werror -static -municode \
    -I"$src_root" "${sources[@]/#/$src_root/}" -o "$exe" "${libs[@]}"

prefix=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-wine.XXXXXX")
trap 'WINEPREFIX="$prefix" "${wine%64}server64" -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all
cd "$work"
"$wine" "$exe"
