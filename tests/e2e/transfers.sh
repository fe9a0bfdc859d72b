#!/usr/bin/env bash
# Game-sized releases: a patch fetches only what changed, a cut transfer resumes where it
# stopped, a slow link finishes, a dropped one resumes, a silent one fails, and a full disk
# says so.
# Usage: transfers.sh BUILD_DIR [--wine WINDOWS_BUILD_DIR] [SCENARIO...]
source "$(dirname "$0")/lib.sh" "$@"

# Release 2 changes two files of six; the running updater is listed, unchanged. A copy of one
# staged by an earlier run no longer matches (the release was published again): fetched anew.
patch() {
    local i
    for i in 1 2 3 4 5 6; do blob rel/data/f$i.pak 100000; done
    cp "$driver" "rel/QuorvexUpdater$exe" && offer 1.0 1 && cp -a rel/. c/ && rm c/manifest.json
    blob rel/data/f2.pak 100000 && blob rel/data/f5.pak 150000 && release rel 2.0 1
    put c/.update-staging/2.0-build-1/data/f5.pak "publicado antes"
    driver=$PWD/c/QuorvexUpdater$exe run c
    expect "finished" said "finished 1 1"
    expect "release installed" installed rel c
    expect "only the changes fetched" [ "$(cut -d' ' -f2 "$log" | sort | tr '\n' ' ')" = \
        "/data/f2.pak /data/f5.pak /manifest.json " ]
    expect "only the changes applied" [ "$(grep -c 'Aplicando arquivo' "$out")" = 2 ]
    expect "every file announced" [ "$(grep -c 'Baixando atualizacao' "$out")" = 7 ]
    local total=$(cat rel/data/* "rel/QuorvexUpdater$exe" | wc -c)
    expect "every step against the whole" [ "$(grep progress "$out" | cut -d/ -f2 | tr -d "\r" | sort -u)" = $total ]
    expect "all bytes counted" said "progress $total/$total"
}

# A run killed in the middle of a file; the next one asks only for the missing bytes, and
# finishes at 200 KiB/s under a 2 s deadline, which measures silence, not length.
cut_short() {
    local i held before part=c/.update-staging/3.0-build-1.part/data/part2.bin
    for i in 0 1 2 3; do blob rel/data/part$i.bin 600000; done
    offer 3.0 1 'limit_rate 200k;' && before=$(snap c)
    "${runner[@]}" "$driver" --app-dir "$(winpath "$PWD/c")" >/dev/null 2>&1 &
    wait_for 30 "[ -s $part ]"
    kill -9 $! && wait $! 2>/dev/null
    expect "folder untouched" [ "$(snap c)" = "$before" ]
    expect "complete files staged" [ -f c/.update-staging/3.0-build-1/data/part1.bin ]
    held=$(stat -c %s $part)
    configure c "\"manifest_url\": \"$base/manifest.json\", \"download_timeout_ms\": 0"
    run c
    expect "finished" said "finished 1 1"
    expect "release installed" installed rel c
    for i in 0 1; do expect "part$i fetched once" [ "$(grep -c " /data/part$i.bin " "$log")" = 1 ]; done
    expect "the rest of part2 asked for, by the updater" grep -q "^206 /data/part2.bin $((600000 - held)) bytes=$held- QuorvexUpdater/1.0$" "$log"
}

# A link that drops is resumed at once; one that goes silent fails after three attempts that
# bring nothing new, keeping what came for the next run.
flaky_link() {
    local mode asked line
    blob rel/big.bin 900000 && serve "$PWD/rel"
    for mode in drop stall; do
        coproc FLAKY { exec python3 "$here/flakyserver.py" rel/big.bin $mode; }
        pids+=($FLAKY_PID)
        read -r port <&"${FLAKY[0]}"
        release rel 2.0 1 --base-url "http://127.0.0.1:$port/"
        fresh c && client c
        # Only the silent link meets the deadline: a loaded machine must not cut the other.
        configure c "\"manifest_url\": \"$base/manifest.json\",
            \"download_timeout_ms\": $([ $mode = drop ] && echo 60000 || echo 2000)"
        run c
        if [ $mode = drop ]; then
            expect "drop: finished" said "finished 1 1"
            expect "drop: installed" installed rel c
            asked=
            while read -r -t 1 line <&"${FLAKY[0]}"; do asked+="$line, "; done
            expect "drop: resumed from the cut, not at ${asked}" grep -q "range 300000," <<<"$asked"
        else
            expect "stall: failed" said "finished 0 0 Tempo esgotado ao baixar 'big.bin'."
            expect "stall: bytes kept" [ "$(stat -c %s c/.update-staging/2.0-build-1.part/big.bin)" = 300000 ]
        fi
        kill $FLAKY_PID && wait $FLAKY_PID 2>/dev/null
    done
}

# Small and separate volumes (root mounts tmpfs): a disk that fills up mid-file fails naming
# the file and the disk's reason; a volume mounted inside the client folder has its files
# copied into place, since no rename crosses volumes.
volumes() {
    blob rel/big.bin 3000000 && blob rel/data/x.pak 500000 && release rel 2.0 1 && serve "$PWD/rel"
    mkdir -p c d/data
    mount -t tmpfs -o size=2m tmpfs c 2>/dev/null || skip "cannot mount a small tmpfs here"
    local reason="No space left on device"
    [ "$platform" = wine ] && reason="Disk full."
    client c && run c
    expect "full: told" said "finished 0 0 Nao foi possivel gravar 'big.bin': $reason"
    umount c
    mount -t tmpfs -o size=8m tmpfs d/data && client d && put d/data/x.pak antigo && run d
    if [ "$platform" = wine ]; then
        # Windows mounts a volume in a folder through a reparse point, refused as any link.
        expect "separate: refused" said "finished 0 0 O caminho 'data\x.pak' passa por um link e nao sera alterado."
    else
        expect "separate: finished" said "finished 1 1"
        expect "separate: installed" installed rel d
    fi
    umount d/data
}

scenarios patch cut_short flaky_link volumes
