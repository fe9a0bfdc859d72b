# Sourced by the scenario scripts: a private nginx on 127.0.0.1, client folders holding the
# sample client, releases written by QuorvexPublish, and the updater run on them, natively or
# under wine. Usage: source lib.sh BUILD_DIR [--wine WINDOWS_BUILD_DIR] [SCENARIO...]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "$1" && pwd) platform=native
shift
[ "${1:-}" = --wine ] && platform=wine slow=4 winbuild=$(cd "$2" && pwd) && shift 2
chosen=("$@")
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-e2e.XXXXXX")
pids=() failures=0 runs=0 scenario= out=/dev/null
cleanup() {
    [ -n "${KEEP:-}" ] && echo "kept $work" && return
    for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
    [ "$platform" = wine ] && WINEPREFIX=$work/prefix /usr/lib/wine/wineserver64 -k 2>/dev/null
    wait 2>/dev/null
    awk -v w="$work/" 'index($2, w) == 1 { print $2 }' /proc/mounts | xargs -r umount -l
    rm -rf "$work"
}
trap cleanup EXIT

# What a scenario needs but cannot have fails the run in CI and skips it elsewhere.
skip() { echo "$1" >&2 && [ -z "${CI:-}" ] && exit 77; exit 1; }
need() { command -v "$1" >/dev/null || skip "missing: $1 ($2)"; } # COMMAND PACKAGE
need nginx nginx-light && need curl curl

publisher=$build/publish/QuorvexPublish
runner=() exe= sep=/
driver=$build/tests/support/updater_driver
updater=$build/app/QuorvexUpdater
client_program=$build/tests/support/sample_client
winpath() { printf '%s' "$1"; }
if [ "$platform" = wine ]; then
    runner=("$here/../../windows/wine-run" --build "$winbuild" --prefix "$work/prefix" --exec)
    exe=.exe sep='\'
    # Qt gathers a Windows build's programs at its top, beside their libraries.
    driver=$winbuild/updater_driver.exe updater=$winbuild/QuorvexUpdater.exe
    client_program=$winbuild/sample_client.exe
    winpath() { printf 'Z:%s' "${1//\//\\}"; }
    # wine's own background processes start with its first program and keep that program's
    # output open: let them start on nothing a test waits for.
    "${runner[@]}" cmd /c exit </dev/null >/dev/null 2>&1 || exit 1
fi

fail() { echo "FAIL [$scenario] $*" >&2 && tail -n 3 "$out" >&2; failures=$((failures + 1)); }
expect() { "${@:2}" || fail "$1"; } # expect DESCRIPTION COMMAND...
not() { ! "$@"; }
said() { grep -qF -- "$1" "$out"; } # the last run printed this text
# SECONDS COMMAND: polls until the command succeeds. A program's start under wine costs
# seconds, and several times that on a loaded machine.
wait_for() {
    local until=$((SECONDS + $1 * ${slow:-1}))
    until eval "$2"; do
        [ $SECONDS -le "$until" ] || return 1
        sleep 0.05
    done
}

serve() { # ROOT [DIRECTIVES]: nginx serving ROOT; sets $base and $log
    local dir port pid ready
    dir=$(mktemp -d "$work/nginx.XXXX") ready=ready-$RANDOM$RANDOM
    log=$dir/access.log
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        cat >"$dir/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1; pid $dir/pid; error_log $dir/error.log;
events {}
http {
    log_format q '\$status \$uri \$body_bytes_sent \$http_range \$msec \$request_time \$http_user_agent \$http_if_range';
    access_log $log q;
    client_body_temp_path $dir; proxy_temp_path $dir; fastcgi_temp_path $dir;
    uwsgi_temp_path $dir; scgi_temp_path $dir;
    default_type application/octet-stream;
    server { listen 127.0.0.1:$port; root $1; ${2:-}
             location = /$ready { access_log off; return 204; } }
}
CONF
        nginx -p "$dir" -c "$dir/nginx.conf" 2>>"$dir/error.log" &
        pid=$!
        # Answered by this nginx alone: another scenario's may hold the port already.
        if wait_for 5 "! kill -0 $pid 2>/dev/null || curl -sf --noproxy \"*\" -o /dev/null http://127.0.0.1:$port/$ready" &&
            kill -0 $pid 2>/dev/null; then
            pids+=("$pid") base=http://127.0.0.1:$port
            return 0
        fi
    done
    fail "nginx did not start: $(cat "$dir/error.log")"
}

put() { mkdir -p "$(dirname "$1")" && printf '%s' "${2-}" >"$1"; } # FILE [TEXT]
blob() { mkdir -p "$(dirname "$1")" && head -c "$2" /dev/urandom >"$1"; } # FILE BYTES: random content
release() { # DIR VERSION BUILD [QuorvexPublish options...]: a manifest for the files in DIR
    "$publisher" --release-dir "$1" --version "$2" --build "$3" "${@:4}" >/dev/null ||
        fail "QuorvexPublish refused $1"
}
unsized() { sed -i '/"size":/d; /"total_size":/d' "$1/manifest.json"; } # DIR: its manifest without sizes
offer() { release rel "$1" "$2" && serve "$PWD/rel" "${3-}" && client c; } # VERSION BUILD [DIRECTIVES]: rel/ served, c/ its client
configure() { printf '{"enabled": true, %s}\n' "$2" >"$1/updater_config.json"; } # DIR JSON-MEMBERS
client() { # DIR [MANIFEST_URL]: the sample client, configured for a manifest
    mkdir -p "$1" && cp "$client_program" "$1/QuorvexEmulator$exe"
    configure "$1" "\"manifest_url\": \"${2:-$base/manifest.json}\""
}
# DIR: emptied for the next row, once the client the last run started has written there
fresh() { [ -d "$1" ] && said "finished 1" && wait_for 10 "[ -s '$1/launch_record.txt' ]"; rm -rf "$1"; }
version() { printf '{"version": "%s", "build": %s}\n' "$2" "$3" >"$1/version.json"; } # DIR VERSION BUILD

run() { # DIR [OPTIONS...]: the driver on a client folder; its lines go to $out
    out=$work/out.$((runs += 1))
    timeout 120 "${runner[@]}" "$driver" --app-dir "$(winpath "$1")" \
        --app-executable "QuorvexEmulator$exe" "${@:2}" >"$out" 2>&1
}
# DIR [PROGRAM]: the client program in DIR, running until it is ended; sets $id to the process
# id it recorded and removes the record
linger() {
    SAMPLE_CLIENT_LINGER_MS=-1 "${runner[@]}" "$1/${2:-QuorvexEmulator$exe}" >/dev/null 2>&1 &
    pids+=($!)
    expect "$1: client started" wait_for 10 "[ -s $1/launch_record.txt ]"
    id=$(head -1 "$1/launch_record.txt") && rm "$1/launch_record.txt"
}
waiting() { # DIR OUT: the driver on DIR in the background, its lines in OUT, until it waits for $id
    "${runner[@]}" "$driver" --app-dir "$(winpath "$PWD/$1")" --app-executable "QuorvexEmulator$exe" \
        --wait-pid "$id" >"$2" 2>&1 &
    expect "$1: the run waits for the client" wait_for 20 "grep -qs Aguardando $2"
}
started() { # DIR [ARGUMENTS...]: the client was started in DIR with exactly these arguments
    wait_for 10 "[ -s '$1/launch_record.txt' ]" &&
        [ "$(tail -n +2 "$1/launch_record.txt")" = "$(printf '%s\n' "$(winpath "$1")" "${@:2}")" ]
}
# SCREEN: how far the progress bar on this screen (an image Xvfb keeps with -fbdir) is drawn
# filled, in percent: the longest row of the chunk's orange-to-green pixels over the 472 pixels
# inside the bar of the 560-pixel window
bar_drawn() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
head = struct.unpack('>25I', data[:100])
width, height, stride = head[4], head[5], head[12] // 4
pixels = memoryview(data)[head[0] + head[19] * 12:].cast('I')
longest = 0
for y in range(height):
    run = 0
    for v in pixels[y * stride:y * stride + width]:
        r, g, b = v >> 16 & 255, v >> 8 & 255, v & 255
        run = run + 1 if b < 150 and max(r, g) > 120 and (r - b > 60 or g - b > 50) else 0
        longest = max(longest, run)
print(longest * 100 // 472)
PY
}
gone() { [[ $(ps -o stat= -p "$1") =~ ^(Z|$) ]]; } # PID: the process has ended
snap() { # DIR: every entry below DIR, its kind, link target and content; not the updater's own
    local own=(-path ./.update-staging -prune -o ! -name launch_record.txt
        ! -name .quorvex-updater.lock ! -name 'updater.log*')
    (cd "$1" && find . -mindepth 1 "${own[@]}" -printf '%y %p %l\n' | sort &&
        find . "${own[@]}" -type f -print0 | sort -z | xargs -0r sha256sum)
}
installed() { # RELEASE CLIENT: every file of the release is in the client folder, byte for byte
    local to=$(cd "$2" && pwd)
    (cd "$1" && find . -path ./.quorvex-chunks -prune -o -type f ! -name 'manifest.json*' -print0 | xargs -0 -I{} cmp -s {} "$to/{}")
}

scenarios() { # NAMES...: runs each scenario function in a folder of its own, or those chosen
    local name before
    [ ${#chosen[@]} -gt 0 ] && set -- "${chosen[@]}"
    for name in "$@"; do
        scenario=$name before=$failures
        mkdir -p "$work/$name" && cd "$work/$name" || exit 1
        "$name"
        [ "$failures" -eq "$before" ] && echo "PASS $name" || echo "FAIL $name"
    done
    exit $((failures > 0))
}
