#!/usr/bin/env bash
# Builds the fuzz target of the manifest and chunk index parsers with clang and libFuzzer and
# runs it for a bounded time.
# Usage: run-fuzz.sh SOURCE_ROOT WORK_DIR [SECONDS]; SECONDS defaults to $FUZZ_SECONDS, else 30.
# Exit 77 (skipped) when clang or libFuzzer is missing, unless CI is set: then it fails.
set -euo pipefail
src=$1 work=$2 seconds=${3:-${FUZZ_SECONDS:-30}}

missing() { echo "missing: $1" >&2 && [ -z "${CI:-}" ] && exit 77; exit 1; }
cxx=$(command -v clang++ || command -v clang++-14 || true)
[ -n "$cxx" ] || missing "clang++ (package clang)"
pkg-config --exists Qt6Core || missing "Qt6Core development files"
mkdir -p "$work/corpus" && cp "$src"/tests/fuzz/corpus/* "$work/corpus/"
echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' > "$work/probe.cpp"
"$cxx" -fsanitize=fuzzer "$work/probe.cpp" -o "$work/probe" 2>/dev/null \
    || missing "libFuzzer (package libclang-rt-14-dev)"

"$cxx" -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -DQT_NO_CAST_FROM_ASCII -I"$src" $(pkg-config --cflags Qt6Core) \
    "$src/tests/fuzz/manifest_fuzz.cpp" "$src/manifest/updatemanifest.cpp" \
    "$src/download/chunkindex.cpp" \
    $(pkg-config --libs Qt6Core) -o "$work/manifest_fuzz"

cd "$work"
# libFuzzer reports crashes with 77 by default, which CTest would take for a skip.
ASAN_OPTIONS=detect_leaks=0 ./manifest_fuzz -max_total_time="$seconds" -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -error_exitcode=1 corpus
