#!/usr/bin/env bash
# What only Windows does: files held open by another program, and names that reach the same
# file by another spelling. Run under wine: windows.sh LINUX_BUILD --wine WINDOWS_BUILD
source "$(dirname "$0")/lib.sh" "$@"
[ "$platform" = wine ] || { echo "Windows only" >&2; exit 1; }

# A file held open without sharing: the run stops at it with every file old or new and
# whole; once it is released, the next run finishes.
held_file() {
    local f
    for f in a b c; do blob rel/$f.pak 50000; done
    offer 2.0 1 && cp "$client_program" c/Outro.exe
    for f in a b c; do put c/$f.pak antigo; done
    SAMPLE_CLIENT_HOLD="$(winpath "$PWD/c/b.pak")" linger c Outro.exe
    local holder=${pids[-1]}
    run c
    expect "told" said "finished 0 0 Nao foi possivel substituir 'b.pak'. O arquivo provavelmente ainda esta em uso."
    expect "a new" cmp -s rel/a.pak c/a.pak
    expect "b old" grep -qx antigo c/b.pak
    expect "c old" grep -qx antigo c/c.pak
    kill -9 $holder
    wait_for 10 "gone $holder"
    : >"$log"
    run c
    expect "then finished" said "finished 1 1"
    expect "with nothing fetched again" [ "$(cut -d' ' -f2 "$log")" = /manifest.json ]
    expect "then installed" installed rel c
}

# The running updater reached by another letter case or its 8.3 short name is still itself:
# a release that would change it is refused before anything is fetched or touched; so is a
# release path that is the short name of another file.
own_exe_aliases() {
    local before short alias
    put rel/a.pak novo && put rel/QuorvexUpdater.exe outro && offer 2.0 1
    cp "$driver" c/QuorvexUpdater.exe && before=$(snap c)
    short=$("${runner[@]}" cmd /c "for %I in ($(winpath "$PWD/c/QuorvexUpdater.exe")) do @echo %~sI" |
        tr -d '\r')
    for alias in "$(winpath "$PWD/c/quorvexupdater.EXE")" "$short"; do
        : >"$log"
        driver=$alias run c
        expect "$alias: refused" said "finished 0 0 Esta versao do updater ainda nao consegue atualizar a si mesma."
        expect "$alias: untouched" [ "$(snap c)" = "$before" ]
        expect "$alias: nothing fetched" [ "$(cut -d' ' -f2 "$log")" = /manifest.json ]
    done
    # A release path that is version.json's short name.
    version c 1.0 1 && client c "$base/short.json"
    short=$("${runner[@]}" cmd /c dir /x "$(winpath "$PWD/c")" 2>/dev/null | awk '$NF == "version.json\r" { print $(NF-1) }')
    printf '{"version": "3", "files": [{"path": "%s", "hash": "ab", "url": "a.pak"}]}' "$short" >rel/short.json
    before=$(snap c) && : >"$log" && run c
    expect "$short: refused" said "finished 0 0 O caminho '$short' usa um nome curto do Windows e nao sera alterado."
    expect "$short: untouched" [ "$(snap c)" = "$before" ]
    expect "$short: nothing fetched" [ "$(cut -d' ' -f2 "$log")" = /short.json ]
}

# A read-only file in the release's way is replaced, and its old copy goes with the run.
read_only() {
    put rel/a.pak novo && offer 2.0 1 && put c/a.pak antigo && chmod 444 c/a.pak
    run c
    expect "finished" said "finished 1 1"
    expect "installed" installed rel c
    expect "no old copy left" [ ! -e c/a.pak.quorvex-bak ]
}

scenarios held_file own_exe_aliases read_only
