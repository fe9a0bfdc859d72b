#!/usr/bin/env bash
# What a hostile server or a prepared client folder tries: links to steer writes outside the
# client folder, names the updater owns, endless answers, file: URLs, two updaters at once,
# The folder beside the client's must never change.
# Usage: boundaries.sh BUILD_DIR [--wine WINDOWS_BUILD_DIR] [SCENARIO...]
source "$(dirname "$0")/lib.sh" "$@"

# A folder beside the client's, with files worth losing.
outside() { put out/keep.txt precioso && put out/data/x.pak fora && put out/version.json '{}'; }

# Links at each level of the staging folder: the update runs; what they point at stays.
staging_links() {
    local link before
    put rel/data/x.pak novo && release rel 2.0 1 && serve "$PWD/rel" && outside
    for link in .update-staging .update-staging/2.0-build-1 .update-staging/2.0-build-1/data .update-staging/2.0-build-1/old; do
        fresh c && client c
        mkdir -p "c/$(dirname $link)" && ln -s "$PWD/out" "c/$link" && before=$(snap out) && run c
        expect "$link: outside untouched" [ "$(snap out)" = "$before" ]
        # wine can neither make nor remove a junction; what matters is that nothing leaks.
        [ "$platform" = wine ] && continue
        expect "$link: finished" said "finished 1 1"
        expect "$link: installed" installed rel c
    done
}

# Links inside the client folder: a folder the player moved to another disk and linked back is
# updated in place; a link that makes two paths of the release one place, leads back into the
# client folder or above it, or reaches the updater's own files under another name (a hard
# link too) is refused before anything is touched. Rows: name | set-up | release | what it says.
client_links() {
    local name setup kind text before files
    put srv/plain/data/x.pak novo && put "srv/loop/lnk/QuorvexUpdater$exe" outro
    put srv/above/up/c/updater_config.json '{}' && put srv/two/a/x.pak um && put srv/two/b/x.pak dois
    for kind in plain loop above two; do release srv/$kind 2.0 1; done
    serve "$PWD/srv" && outside
    while IFS='|' read -r name setup kind text; do
        fresh c && client c "$base/$kind/manifest.json" && version c 1.0 1
        cp "$driver" "c/QuorvexUpdater$exe"
        eval "$setup"
        before=$(snap out) files=$(snap c)
        driver=$PWD/c/QuorvexUpdater$exe run c
        # wine shows a link to a file as a plain file, and renames over it.
        [ "$platform" = wine ] && [ "$name" = version.json ] && continue
        expect "$name: says '$text'" said "$text"
        if [[ $name == player* ]]; then
            expect "$name: written through the link" [ -L c/data ] && grep -qx novo out/data/x.pak
            continue
        fi
        expect "$name: outside untouched" [ "$(snap out)" = "$before" ]
        [[ $text == finished\ 0* ]] && expect "$name: client untouched" [ "$(snap c)" = "$files" ]
    done <<ROWS
player's folder on another disk|ln -s "\$PWD/out/data" c/data|plain|finished 1 1
version.json|rm c/version.json; ln -s "\$PWD/out/version.json" c/version.json|plain|finished 0 0 O caminho 'version.json' passa por um link e nao sera alterado.
back into the folder|ln -s "\$PWD/c" c/lnk|loop|finished 0 0 O caminho 'lnk${sep}QuorvexUpdater$exe' passa por um link e nao sera alterado.
above the folder|ln -s "\$PWD" c/up|above|finished 0 0 O caminho 'up${sep}c${sep}updater_config.json' passa por um link e nao sera alterado.
two links, one place|ln -s "\$PWD/out/data" c/a; ln -s "\$PWD/out/data" c/b|two|finished 0 0 O caminho 'b${sep}x.pak' passa por um link e nao sera alterado.
a hard link to version.json|mkdir c/data; ln c/version.json c/data/x.pak|plain|finished 0 0 O caminho 'data${sep}x.pak' passa por um link e nao sera alterado.
a link the release does not touch|ln -s "\$PWD/out" c/saves|plain|finished 1 1
ROWS
    expect "the untouched link is still there" [ -L c/saves ]
}

# A hostile server: an endless file, an endless manifest, file: URLs and names the updater
# owns. Disk and memory stay bounded; each ends as a failure or a check that could not be made.
hostile_server() {
    local name setup text
    put srv/a/a.pak cinco && release srv/a 2.0 1 && truncate -s 10G srv/a/a.pak
    mkdir -p srv/m && truncate -s 10G srv/m/manifest.json
    printf '{"version": "2", "files": [{"path": "a.pak", "hash": "ab", "url": "file:///etc/hostname"}]}' >srv/file.json
    printf '{"version": "2", "files": [{"path": "Version.JSON", "hash": "ab", "url": "a"}]}' >srv/owned.json
    serve "$PWD/srv"
    while IFS='|' read -r name setup text; do
        fresh c && client c && version c 1.0 1
        eval "$setup"
        [ "$platform" = native ] && ulimit -S -v 4000000
        run c
        ulimit -S -v unlimited
        expect "$name: says '$text'" said "$(eval "printf '%s' \"$text\"")"
        expect "$name: at most the announced bytes on disk" [ "$(du -s c | cut -f1)" -lt 20000 ]
    done <<'ROWS'
endless file|client c "$base/a/manifest.json"|finished 0 0 O arquivo 'a.pak' excede o tamanho informado no manifesto.
endless manifest|client c "$base/m/manifest.json"|Nao foi possivel verificar: O manifesto em $base/m/manifest.json excede o limite de 32 MiB.
file url in the manifest|client c "$base/file.json"|Nao foi possivel verificar: Arquivo 'a.pak' com URL de download invalida. ($base/file.json)
file url as endpoint|client c "file://$PWD/srv/a/manifest.json"|Nao foi possivel verificar: Nenhum endpoint de manifesto valido configurado.
a name the updater owns|client c "$base/owned.json"|Nao foi possivel verificar: Arquivo de update com path invalido.
ROWS
}

# A second updater on a folder that one is already updating leaves at once, touching nothing
# and starting nothing; the first one finishes and starts the client. So too when something
# else stood at the lock's name before: it goes, and the lock holds.
two_updaters() {
    local name setup before
    put rel/a.pak novo && offer 2.0 1 && outside && before=$(snap out)
    while IFS='|' read -r name setup; do
        # wine shows a link to a file as a plain file, and deletes what it leads to on close.
        [ "$platform" = wine ] && [[ $name == "a link"* ]] && continue
        fresh c && client c && eval "$setup" && linger c && rm -f first.out
        # The first run holds the folder until the client it waits for is ended.
        waiting c first.out
        expect "$name: the lock a file of its own" eval '[ -f c/.quorvex-updater.lock ] && [ ! -L c/.quorvex-updater.lock ] && [ ! c/.quorvex-updater.lock -ef out/keep.txt ]'
        run c
        expect "$name, second: done at once" said "finished 1 0 "
        expect "$name, second: nothing shown" [ "$(grep -c status "$out")" = 0 ]
        expect "$name, second: client not started" [ ! -e c/launch_record.txt ]
        expect "$name, second: one line in the log" grep -q "outro updater ja trabalha" c/updater.log
        kill -9 "${pids[-1]}" && wait $!
        expect "$name, first: finished" grep -q "finished 1 1" first.out
        expect "$name, first: installed" installed rel c
        expect "$name, first: its log whole" grep -q "inicio:.*status: Atualizacao concluida" <(tr '\n' ' ' <c/updater.log)
    done <<'ROWS'
nothing|:
a folder|mkdir -p c/.quorvex-updater.lock/x
a link|ln -s "$PWD/out/keep.txt" c/.quorvex-updater.lock
a link to nothing yet|ln -s "$PWD/out/lock" c/.quorvex-updater.lock
a hard link|ln out/keep.txt c/.quorvex-updater.lock
ROWS
    expect "outside untouched" [ "$(snap out)" = "$before" ]
}

scenarios staging_links client_links hostile_server two_updaters
