#!/usr/bin/env bash
# Game-sized releases: a patch fetches only what changed, transfers run side by side, a cut
# transfer resumes where it stopped, odd answers end cleanly, a disk too small and a cap on
# the link are honoured.
# Usage: transfers.sh BUILD_DIR [--wine WINDOWS_BUILD_DIR] [SCENARIO...]
source "$(dirname "$0")/lib.sh" "$@"

# Release 2 changes two files of six; the running updater is listed, unchanged. A copy of one
# staged by an earlier run no longer matches (the release was published again): fetched anew.
patch() {
    local i
    for i in 1 2 3 4 5 6; do blob rel/data/f$i.pak 100000; done
    cp "$driver" "rel/QuorvexUpdater$exe" && offer 1.0 1 && cp -a rel/. c/ && rm c/manifest.json
    blob rel/data/f2.pak 100000 && blob rel/data/f5.pak 150000 && release rel 2.0 1 --changelog "Novos mapas."
    blob c/.update-staging/2.0-build-1/data/f5.pak 150000
    [ "$platform" = native ] && need strace strace && local runner=(strace -f -qq -y -o "$PWD/trace" -e trace=syncfs,fsync,rename,renameat,renameat2,linkat)
    driver=$PWD/c/QuorvexUpdater$exe run c
    # Every file put in place is synced (by itself or with its file system) before the version
    # record.
    [ "$platform" = native ] && expect "synced before the version is recorded" awk '
        /syncfs\(/ { delete pending }
        /fsync\(/ && match($0, /<[^>]*>/) { delete pending[substr($0, RSTART + 1, RLENGTH - 2)] }
        /rename|linkat/ { split($0, q, "\""); if (q[4] ~ /version\.json$/) { for (p in pending) bad = 1; seen = 1; exit }
                   if (q[4] !~ /update-staging|quorvex-bak$/) pending[q[4]] = 1 }
        END { exit bad || !seen }' trace
    expect "finished" said "finished 1 1"
    expect "release installed" installed rel c
    expect "only the changes fetched" [ "$(cut -d' ' -f2 "$log" | sort | tr '\n' ' ')" = \
        "/data/f2.pak /data/f5.pak /manifest.json " ]
    expect "only the changes applied" [ "$(grep -c 'Aplicando arquivo' "$out")" = 2 ]
    expect "every file announced" [ "$(grep -c 'Baixando atualizacao' "$out")" = 7 ]
    local total=$(cat rel/data/* "rel/QuorvexUpdater$exe" | wc -c)
    expect "every step against the whole" [ "$(grep progress "$out" | cut -d/ -f2 | tr -d "\r" | sort -u)" = $total ]
    expect "all bytes counted" said "progress $total/$total"
    expect "the statuses, in order" diff <(grep ^status "$out" | tr -d '\r' | grep -v '^status Baixando') - <<TEXT
status Inicializando: Lendo configuracao do updater...
status Verificando atualizacoes: Consultando $base/manifest.json
status Atualizacao encontrada: Nova versao: 2.0 (build 1)\nChangelog: Novos mapas.
status Aplicando atualizacao: Aguardando o processo principal encerrar para substituir os arquivos.
status Aplicando arquivo: Substituindo data${sep}f2.pak
status Aplicando arquivo: Substituindo data${sep}f5.pak
status Atualizacao concluida: Arquivos aplicados com sucesso. Abrindo o cliente atualizado.
TEXT
}

# A run killed in the middle of the transfers; the next one asks each file only for its
# missing bytes, at 200 KiB/s under a 2 s deadline, which measures silence, not length.
cut_short() {
    local i f held want=() staged=c/.update-staging/3.0-build-1
    for i in 0 1 2 3; do blob rel/data/part$i.bin 600000; done
    offer 3.0 1 'limit_rate 200k;' && local before=$(snap c)
    "${runner[@]}" "$driver" --app-dir "$(winpath "$PWD/c")" >/dev/null 2>&1 &
    wait_for 30 "[ -s $staged.part/data/part2.bin ]"
    kill -9 $! && wait $! 2>/dev/null
    expect "folder untouched" [ "$(snap c)" = "$before" ]
    for i in 0 1 2 3; do
        f=data/part$i.bin held=$(stat -c %s $staged.part/$f 2>/dev/null || echo 0)
        want[i]="206 /$f $((600000 - held)) bytes=$held- "
        [ "$held" = 0 ] && want[i]="200 /$f 600000 - "
        [ -f $staged/$f ] && want[i]="- /$f "
    done
    : >"$log"
    configure c "\"manifest_url\": \"$base/manifest.json\", \"download_timeout_ms\": 0"
    run c
    expect "finished" said "finished 1 1"
    expect "release installed" installed rel c
    for i in 0 1 2 3; do
        [ "${want[i]:0:1}" = - ] && expect "part$i staged, not fetched" not grep -q "${want[i]:1}" "$log" ||
            expect "part$i: asked for '${want[i]}'" grep -q "^${want[i]}" "$log"
    done
    # Each resume names the validator nginx gave: an ETag, never missing.
    expect "resumed under the ETag" awk '$1 == 206 { n++; if ($8 !~ /^\\x22.+\\x22$/) bad = 1 } END { exit bad || !n }' "$log"
}

# Several files in flight: the first failure ends the run with its text and keeps the other
# partial copies; the next run resumes them side by side, as nginx's log shows, without
# fetching again the file that was whole. One at a time, each file is announced once the one
# before it is done, and asked for in manifest order.
in_flight() {
    local i f held=() good
    blob rel/b.pak 100000 && put rel/e.pak 10 && for i in 1 2 3 4; do blob rel/d$i.pak 400000; done
    offer 2.0 1 'limit_rate 200k;' && cp rel/b.pak good && blob rel/b.pak 100000
    run c
    expect "first failure told" said "finished 0 0 Hash invalido para 'b.pak'. Esperado $(sha256sum good | cut -c1-64)"
    for i in 1 2 3 4; do held[i]=$(stat -c %s c/.update-staging/2.0-build-1.part/d$i.pak); done
    cp good rel/b.pak && : >"$log" && run c
    expect "next run finished" said "finished 1 1"
    # Start and end of each request, printed in full: awk's own format keeps six digits of an
    # epoch time. Requests that follow each other may touch within a millisecond.
    expect "requests overlap" awk 'NR > 1 && $1 < end - 0.1 { o = 1 } $2 > end { end = $2 } END { exit !o }' \
        <(awk '{ printf "%.3f %.3f\n", $5 - $6, $5 }' "$log" | sort -n)
    for i in 1 2 3 4; do expect "d$i resumed at ${held[i]}" grep -q "^206 /d$i.pak $((400000 - held[i])) bytes=${held[i]}- " "$log"; done
    expect "the whole one not fetched again" not grep -q /e.pak "$log"
    serve "$PWD/rel" && client one && configure one "\"manifest_url\": \"$base/manifest.json\", \"max_parallel_downloads\": 1"
    run one
    expect "one at a time: finished" said "finished 1 1"
    expect "one at a time: each announced after the one before" [ "$(awk -F'[ /]' '/^progress/ { v = $2 }
        /Baixando/ { printf "%s ", v }' "$out")" = "0 100000 500000 900000 1300000 1700000 " ]
    expect "one at a time: asked in order" [ "$(cut -d' ' -f2 "$log" | tr '\n' ' ')" = "/manifest.json /b.pak /d1.pak /d2.pak /d3.pak /d4.pak /e.pak " ]
}

# Answers that end early, do not continue what was asked, or carry no usable validator: each
# ends in a bounded number of requests, with a text that says what did not fit. Rows: name |
# answers of the scripted server to whole and range requests (none: nginx) | set-up after
# publishing | what the run says | the ranges asked for.
odd_answers() {
    local name script setup text ranges asked line part=c/.update-staging/2.0-build-1.part/big.bin
    blob orig.bin 900000 && mkdir rel && serve "$PWD/rel"
    while IFS='|' read -r name script setup text ranges; do
        fresh c && client c && cp orig.bin rel/big.bin && : >"$log"
        if [ -n "$script" ]; then
            coproc ODD { exec python3 "$here/scriptedserver.py" orig.bin $script; }
            pids+=($ODD_PID) && read -r port <&"${ODD[0]}"
        fi
        release rel 2.0 1 ${script:+--base-url "http://127.0.0.1:$port/"}
        eval "$setup"
        run c
        expect "$name: says '$text'" said "$text"
        asked=$(awk '$2 == "/big.bin" { printf "%s ", $4 }' "$log")
        if [ -n "$script" ]; then
            asked=
            while read -r -t 1 line <&"${ODD[0]}"; do asked+="${line#range } "; done
            kill $ODD_PID && wait $ODD_PID 2>/dev/null
        fi
        # A trailing * in the ranges: Qt may send a request it saw stall once more by itself.
        expect "$name: asked for '$ranges', not '$asked'" eval '[[ "$asked" == $ranges ]]'
        [[ $text == finished\ 0* ]] && expect "$name: no bytes kept for the next run" [ ! -s $part ]
    done <<'ROWS'
an error page served with 200||printf '<html>erro</html>' >rel/big.bin|finished 0 0 O servidor enviou 'big.bin' com 17 B, mas o manifesto informa 878.9 KB.|- 
a size past 2^53||sed -i 's/900000/9007199254740993/' rel/manifest.json|finished 0 0 Espaco em disco insuficiente: a atualizacao precisa de 8388608.0 GB e ha |
a garbled validator on disk||put $part abc && put ${part/.part/.etag} && printf '"\001\000"' >${part/.part/.etag}|finished 1 1|- 
a partial copy holding every byte||mkdir -p ${part%/*} && cp orig.bin $part && put ${part/.part/.etag} '"v"'|finished 1 1|
a link that drops, resumed|cut||finished 1 1|0 300000 
a link that stalls, resumed|stall|configure c "\"manifest_url\": \"$base/manifest.json\", \"download_timeout_ms\": 2000"|finished 1 1|0 300000 *
a silent server, one attempt|silent|configure c "\"manifest_url\": \"$base/manifest.json\", \"download_timeout_ms\": 2000"|finished 0 0 Tempo esgotado ao baixar 'big.bin'.|0 
an ETag holding a NUL, not resumed|nul,whole||finished 1 1|0 
no validator, not resumed|noetag,whole||finished 1 1|0 
416 to a resume, started over|cut,whole 416||finished 1 1|0 300000 0 
the whole file to a resume|cut full||finished 1 1|0 300000 
a Content-Range one byte off|cut,whole shifted||finished 1 1|0 300000 0 
416 again after starting over|cut 416||finished 0 0 O servidor nao entregou 'big.bin' a partir do byte 300000 como pedido (HTTP 416).|0 300000 0 300000 
ROWS
}

# Small and separate volumes (root mounts tmpfs): an update that does not fit is refused
# before any file request; a body of unknown size stops before the disk is full; a volume
# mounted inside the client folder has its files copied into place, since no rename crosses
# volumes.
volumes() {
    local before
    blob rel/big.bin 3000000 && blob rel/data/x.pak 500000 && release rel 2.0 1 && serve "$PWD/rel"
    mkdir -p c d/data e
    mount -t tmpfs -o size=2m tmpfs c 2>/dev/null || skip "cannot mount a small tmpfs here"
    client c && before=$(snap c) && run c
    expect "full: told" said "finished 0 0 Espaco em disco insuficiente: a atualizacao precisa de 19.3 MB e ha "
    expect "full: no file asked for" [ "$(cut -d' ' -f2 "$log")" = /manifest.json ]
    expect "full: folder untouched" [ "$(snap c)" = "$before" ]
    umount c
    mount -t tmpfs -o size=8m tmpfs d/data && client d && put d/data/x.pak antigo && run d
    # Also where Windows sees the mount as a reparse point: the folder is updated in place.
    expect "separate: finished" said "finished 1 1"
    expect "separate: installed" installed rel d
    umount d/data
    # A volume at the lock's name cannot be cleared away: the run goes on without the lock.
    mkdir -p f/.quorvex-updater.lock && mount -t tmpfs -o size=1m tmpfs f/.quorvex-updater.lock
    client f && run f; umount f/.quorvex-updater.lock
    expect "a volume at the lock's name: finished" said "finished 1 1"
    put srv/a.pak x && release srv 2.0 1 && unsized srv && truncate -s 10G srv/a.pak && serve "$PWD/srv"
    mount -t tmpfs -o size=24m tmpfs e && client e && run e
    expect "endless: told" said "finished 0 0 Espaco em disco insuficiente para baixar 'a.pak': o servidor nao informou o tamanho e restam "
    expect "endless: its bytes dropped" [ ! -s e/.update-staging/2.0-build-1.part/a.pak ]
    umount e
}

# A cap of 100 KiB/s over three files of 100 KiB whose manifest gives no sizes: the run takes
# at least the time the cap allows, fetches each byte once, and the bar follows the file the
# status names against the length the server announces.
pacing() {
    local i start
    for i in 1 2 3; do blob rel/f$i.bin 102400; done
    release rel 2.0 1 && unsized rel && serve "$PWD/rel" && client c
    configure c "\"manifest_url\": \"$base/manifest.json\", \"max_download_rate_kib\": 100"
    start=$(date +%s%N) && run c
    expect "finished" said "finished 1 1"
    expect "not faster than the cap" [ $(($(date +%s%N) - start)) -ge 2500000000 ]
    expect "each byte fetched once" [ "$(awk '$2 != "/manifest.json" { s += $3 } END { print s }' "$log")" = 307200 ]
    expect "the bar follows the file announced" said "progress 102400/102400"
    expect "against its length" [ "$(grep progress "$out" | cut -d/ -f2 | tr -d '\r' | sort -u)" = 102400 ]
    # Seven transfers to one host: the seventh waits for a free connection longer than the
    # time-out, which counts only once its request is out.
    rm -rf rel c && for i in 1 2 3 4 5 6 7; do blob rel/q$i.bin 300000; done
    offer 2.0 1 'limit_rate 100k;' && configure c "\"manifest_url\": \"$base/manifest.json\",
        \"max_parallel_downloads\": 7, \"download_timeout_ms\": 2000" && run c
    expect "a queued request is no silence" said "finished 1 1"
}

# A 12 MiB pack patched by chunks (100 bytes inserted near its start, three regions of 256 KiB
# overwritten, 1 MiB appended): ranges around the changes only, the bar going forward to the
# whole. The whole file once instead for a server that ignores ranges, for an index that is
# missing or not the one pinned, and for an installed copy that holds nothing of the file. A range changed on the server after publishing fails the
# run with nothing installed and only verified chunks kept. A run killed in the middle is
# finished by the next, which asks only for what the partial copy lacks, garbled or not.
chunks() {
    local pack=data/world.pak part=c/.update-staging/2.0-build-1.part/data/world.pak at held
    local name directives setup asked= changed=$((100 + 3 * 262144 + 1048576))
    # gzip answers a request that does not ask for the bytes as they are with the whole file.
    blob rel/$pack 12582912 && offer 1.0 1 "gzip on; gzip_types *; gzip_min_length 1;" && cp -a rel/. c/ && rm -r c/manifest.json c/.quorvex-chunks
    cp -a c v1 && { head -c 4096 v1/$pack && head -c 100 /dev/urandom && tail -c +4097 v1/$pack &&
        head -c 1048576 /dev/urandom; } >rel/$pack
    for at in 12 24 36; do dd if=/dev/urandom of=rel/$pack bs=256k seek=$at count=1 conv=notrunc status=none; done
    release rel 2.0 1 && cp rel/$pack good && local size=$(stat -c %s good)
    local index=.quorvex-chunks/$(sha256sum good | cut -c1-64) && cp rel/$index index
    again() { rm -rf c && cp -a v1 c && configure c "\"manifest_url\": \"$base/manifest.json\"${1:+, $1}"; }
    # A folder left at the staged name is no release file: it goes.
    again && mkdir -p ${part/.part/}/leftover && run c
    expect "by chunks: finished" said "finished 1 1"
    expect "by chunks: installed" installed rel c
    expect "by chunks: ranges only" not grep -q "^200 /$pack" "$log"
    expect "by chunks: logged as one file" grep -qE "arquivo baixado: $pack \([0-9]+ bytes em" c/updater.log
    expect "by chunks: at most twice the changes and the index" [ "$(awk -v p=/$pack -v i=/$index \
        '$2 == p || $2 == i { s += $3 } END { print s }' "$log")" -le $((2 * changed + $(stat -c %s index))) ]
    expect "by chunks: the bar only goes forward, to the whole" awk -F'[ /]' -v t=$size \
        '/^progress/ { if ($2 + 0 < v || $3 + 0 != t) bad = 1; v = $2 } END { exit bad || v != t }' "$out"
    while IFS='|' read -r name directives setup; do
        serve "$PWD/rel" "$directives" && again && eval "$setup" && run c
        expect "$name: finished" said "finished 1 1"
        expect "$name: installed" installed rel c
        expect "$name: the whole file, once" [ "$(grep " /$pack " "$log" | cut -d' ' -f1,3)" = "200 $size" ]
        cp index rel/$index
    done <<'ROWS'
a server that ignores ranges|max_ranges 0;|
no index|| rm rel/$index
an index that is not the one pinned||printf QVXC | dd of=rel/$index bs=1 seek=$(($(stat -c %s index) - 4)) conv=notrunc status=none
an index longer than pinned||head -c 100 index >>rel/$index
a copy with nothing in common||head -c 12582912 /dev/urandom >c/$pack
ROWS
    coproc ODD { exec python3 "$here/scriptedserver.py" good whole shifted; }
    pids+=($ODD_PID) && read -r at <&"${ODD[0]}" && cp rel/manifest.json manifest
    sed -i "s#\"url\": \"$pack\"#\"url\": \"http://127.0.0.1:$at/$pack\"#" rel/manifest.json
    again && run c && cp manifest rel/manifest.json
    expect "a Content-Range one byte off: installed" eval 'said "finished 1 1" && installed rel c'
    while read -r -t 1 at <&"${ODD[0]}"; do asked+="$at "; done
    expect "a Content-Range one byte off: the range, then the whole file once" [ "$asked" = "range 0 range 0 " ]
    kill $ODD_PID && wait $ODD_PID 2>/dev/null
    printf 'changed on the server' | dd of=rel/$pack bs=1 seek=$((6 * 1048576 + 1000)) conv=notrunc status=none
    serve "$PWD/rel" && again && local before=$(snap c) && run c
    expect "tampered: told" said "finished 0 0 Hash invalido em um trecho de 'data${sep}world.pak'"
    expect "tampered: nothing installed" [ "$(snap c)" = "$before" ]
    held=$(stat -c %s $part)
    expect "tampered: verified chunks only ($held bytes)" eval "[ $held -le $((6 * 1048576 + 1000)) ] && cmp -s -n $held $part good"
    cp good rel/$pack && serve "$PWD/rel" 'limit_rate 200k;' && again '"max_parallel_downloads": 1'
    "${runner[@]}" "$driver" --app-dir "$(winpath "$PWD/c")" >/dev/null 2>&1 &
    wait_for 60 "[ \$(stat -c %s $part 2>/dev/null || echo 0) -gt $((7 * 1048576)) ]"
    kill -9 $! && wait $! 2>/dev/null
    # A power cut can leave garbage in what was written last: the next run keeps what is
    # whole before it.
    held=$(stat -c %s $part) && printf garbled | dd of=$part bs=1 seek=$((held - 100000)) conv=notrunc status=none
    serve "$PWD/rel" && configure c "\"manifest_url\": \"$base/manifest.json\""
    run c
    expect "killed, then finished" said "finished 1 1"
    expect "killed, then installed" installed rel c
    expect "killed: the bar counts what the copy held" said "progress $size/$size"
    expect "killed: only what the copy lacked asked for (held $held)" awk -v p=/$pack -v from=$((held - 100000 - 262144)) \
        '$2 == p { split($4, r, "[=-]"); if ($1 != 206 || r[2] < from) bad = 1 } END { exit bad }' "$log"
}

scenarios patch cut_short in_flight odd_answers volumes pacing chunks
