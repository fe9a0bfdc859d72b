# Sourced by the benchmark scripts: a release build, a scratch folder, nginx on
# 127.0.0.1 serving $work/www, and release generation. Nothing system-wide is touched.
# Expects $root (the project) and $scale (1, or 10 for a quick run).

bench_setup() { # targets to build...
    cmake --preset release >/dev/null
    cmake --build --preset release --target "$@" >/dev/null
    bin=$root/build/release
    work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-bench.XXXXXX")
    nginx_pid=
    trap bench_cleanup EXIT
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    mkdir -p "$work/nginx/logs" "$work/www"
    cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 256; }
http {
    log_format bytes '\$status \$uri \$body_bytes_sent';
    access_log $work/nginx/logs/access.log bytes;
    client_body_temp_path $work/nginx/tmp_body;
    proxy_temp_path $work/nginx/tmp_proxy;
    fastcgi_temp_path $work/nginx/tmp_fastcgi;
    uwsgi_temp_path $work/nginx/tmp_uwsgi;
    scgi_temp_path $work/nginx/tmp_scgi;
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
    nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
    nginx_pid=$!
    for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.05; done
}

# The updater measured; UPDATER=path measures another build (an earlier one, say) instead.
updater() { echo "${UPDATER:-$bin/app/QuorvexUpdater}"; }

configure() { # client release [port] [more json members]: the client pointed at a release
    printf '{"enabled":true,"manifest_url":"http://127.0.0.1:%s/%s/manifest.json"%s}\n' \
        "${3:-$port}" "$2" "${4:+,$4}" >"$1/updater_config.json"
}
fresh_client() { # dir release [port] [more json members]: a client at 1.0
    rm -rf "$1" && mkdir -p "$1"
    cp "$bin/tests/support/sample_client" "$1/QuorvexEmulator"
    printf '{"version":"1.0","build":1}\n' >"$1/version.json"
    configure "$@"
}
run_updater() { # client -> "seconds peak_kib"
    sync
    QT_QPA_PLATFORM=offscreen /usr/bin/time -f '%e %M' -o "$work/time" \
        "$(updater)" --app-dir "$1" --app-executable QuorvexEmulator 2>/dev/null
    cat "$work/time"
}

bench_cleanup() {
    local p
    for p in $nginx_pid ${helper_pids:-}; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}

# make_release NAME big|small: one 1 GiB file, or 2000 files of 4 KiB to 1 MiB (divided by $scale).
make_release() {
    local dir=$work/www/$1
    mkdir -p "$dir"
    if [ "$2" = big ]; then
        head -c $((1024 * 1024 * 1024 / scale)) /dev/urandom > "$dir/game.pak"
    else
        python3 - "$dir" "$scale" <<'PY'
import os, random, sys
root, scale = sys.argv[1], int(sys.argv[2])
rnd = random.Random(7)
for i in range(2000 // scale):
    size = rnd.randint(4096, 1024 * 1024)
    path = os.path.join(root, "data", "d%02d" % (i % 40), "f%04d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(os.urandom(size))
PY
    fi
    "$bin/publish/QuorvexPublish" --release-dir "$dir" --version 2.0 --build 1 >/dev/null
}

release_label() { # big|small
    if [ "$1" = big ]; then echo "one file of $((1024 / scale)) MiB"; else echo "$((2000 / scale)) files of 4 KiB-1 MiB"; fi
}

# curl_fetch NAME DEST [PORT [CURL OPTIONS...]]: the manifest and every file over one curl
# process (one reused connection unless the options say otherwise), then sha256sum -c; leaves
# the files under DEST.
curl_fetch() {
    local dl=$2 at=${3:-$port}
    rm -rf "$dl"; mkdir -p "$dl"
    curl -sS --fail -o "$dl/manifest.json" "http://127.0.0.1:$at/$1/manifest.json"
    python3 - "$dl" "http://127.0.0.1:$at/$1/" <<'PY'
import json, sys, urllib.parse
dl, base = sys.argv[1], sys.argv[2]
m = json.load(open(dl + "/manifest.json"))
with open(dl + "/curl.cfg", "w") as cfg, open(dl + "/sums", "w") as sums:
    for f in m["files"]:
        cfg.write('url = "%s"\noutput = "%s/%s"\n' % (urllib.parse.urljoin(base, f["url"]), dl, f["path"]))
        sums.write("%s  %s\n" % (f["hash"], f["path"]))
PY
    curl -sS --fail --create-dirs "${@:4}" -K "$dl/curl.cfg"
    (cd "$dl" && sha256sum -c --quiet sums)
    rm "$dl/manifest.json" "$dl/curl.cfg" "$dl/sums"
}

seconds_since() { python3 -c "import time; print(f'{time.time() - $1:.2f}')"; }
now() { python3 -c 'import time; print(time.time())'; }
