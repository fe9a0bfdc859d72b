#!/usr/bin/env bash
# Signed releases: with a public key configured, only manifests its private key signed, and
# none older than the installed release, are installed; anything else starts the client,
# fetches no file and touches nothing.
# Usage: signing.sh BUILD_DIR [--wine WINDOWS_BUILD_DIR] [SCENARIO...]
source "$(dirname "$0")/lib.sh" "$@"

# Rows: name | the key the clients hold | the endpoints tried, in order (' ' apart) | what the
# run says. Under wine, wkey is made by QuorvexPublish.exe and the "win" releases are signed by
# it; natively both come from the one publisher.
signed() {
    local name pub endpoints text before winpublisher=("$publisher")
    [ "$platform" = wine ] && winpublisher=("${runner[@]}" "$winbuild/QuorvexPublish.exe")
    "$publisher" --generate-key key.pem >key.txt && "$publisher" --generate-key other.pem >other.txt
    "${winpublisher[@]}" --generate-key wkey.pem | tr -d '\r' >wkey.txt
    expect "key readable by its owner only" [ "$(stat -c %a key.pem)" = 600 ]
    cp key.pem key.old && "${winpublisher[@]}" --generate-key key.pem >/dev/null 2>&1
    expect "no key written over" [ $? = 3 ]
    expect "the key kept" cmp -s key.pem key.old
    put srv/good/a.pak novo && release srv/good 2.0 1 --sign-key key.pem
    for s in key wkey; do
        cp -a srv/good srv/win$s && "${winpublisher[@]}" --release-dir srv/win$s --version 2.0 \
            --build 1 --sign-key $s.pem >/dev/null || fail "QuorvexPublish.exe refused $s"
    done
    cp -a srv/good srv/wkey && release srv/wkey 2.0 1 --sign-key wkey.pem
    cp -a srv/good srv/tampered && sed -i 's/"build": 1/"build": 2/' srv/tampered/manifest.json
    cp -a srv/good srv/unsigned && rm srv/unsigned/manifest.json.sig
    cp -a srv/good srv/flipped && python3 -c 'import base64, sys
s = bytearray(base64.b64decode(open(sys.argv[1]).read())); s[10] ^= 1
open(sys.argv[1], "w").write(base64.b64encode(s).decode())' srv/flipped/manifest.json.sig
    cp -a srv/good srv/other && release srv/other 2.0 1 --sign-key other.pem
    cp -a srv/good srv/empty && : >srv/empty/manifest.json.sig && cp -a srv/good srv/big
    { cat srv/good/manifest.json.sig && printf '%5000s' ''; } >srv/big/manifest.json.sig
    serve "$PWD/srv"
    while IFS='|' read -r name pub endpoints text; do
        fresh c && client c
        # Installed later than any release here was signed: a replay of an older one.
        [[ $name == *older* ]] && printf '{"version": "1.0", "release_date": "2999-01-01T00:00:00Z"}' >c/version.json
        endpoints=$(eval "echo \"$endpoints\"" | sed 's/[^ ]*/"&"/g; s/ /, /g')
        configure c "\"manifest_urls\": [$endpoints], \"manifest_url\": ${endpoints%%,*},
            \"public_key\": \"$(cat $pub.txt)\""
        before=$(snap c)
        : >"$log"
        run c
        expect "$name: says '$text'" said "$(eval "printf '%s' \"$text\"")"
        [[ $text == finished* ]] && expect "$name: its date recorded" grep -q release_date c/version.json && continue
        expect "$name: client started" started "$PWD/c"
        expect "$name: nothing fetched" not grep -q a.pak "$log"
        expect "$name: untouched" [ "$(snap c)" = "$before" ]
    done <<'ROWS'
a good one|key|$base/good/manifest.json|finished 1 1
manifest changed after signing|key|$base/tampered/manifest.json|Nao foi possivel verificar: Assinatura do manifesto invalida em $base/tampered/manifest.json. Abrindo
one bit of the signature flipped|key|$base/flipped/manifest.json|Assinatura do manifesto invalida em $base/flipped/manifest.json.
no signature|key|$base/unsigned/manifest.json|Nao foi possivel verificar: Assinatura do manifesto ausente em $base/unsigned/manifest.json. Abrindo
an empty signature|key|$base/empty/manifest.json|Assinatura do manifesto invalida em $base/empty/manifest.json.
a good signature padded past 4 KiB, not read|key|$base/big/manifest.json|Assinatura do manifesto ausente em $base/big/manifest.json.
signed by another key|key|$base/other/manifest.json|Nao foi possivel verificar: Assinatura do manifesto invalida em $base/other/manifest.json. Abrindo
the same, with that key|other|$base/other/manifest.json|finished 1 1
a bad one, then a good one|key|$base/other/manifest.json $base/good/manifest.json|finished 1 1
Linux key, signed on Windows|key|$base/winkey/manifest.json|finished 1 1
Windows key, signed on Linux|wkey|$base/wkey/manifest.json|finished 1 1
Windows key, signed on Windows|wkey|$base/winwkey/manifest.json|finished 1 1
an older release than the installed one|key|$base/good/manifest.json|Nao foi possivel verificar: Manifesto mais antigo que a versao instalada em $base/good/manifest.json. Abrindo
ROWS
    [ "$platform" = native ] || expect "Linux updater, Windows key and signature" on_linux \
        "$base/winwkey/manifest.json" wkey.txt
}

on_linux() ( # URL KEY_LINE_FILE: the Linux driver takes the release, from a wine scenario
    runner=() exe= driver=$build/tests/support/updater_driver
    client_program=$build/tests/support/sample_client
    winpath() { printf '%s' "$1"; }
    fresh c && client c "$1" && configure c "\"manifest_url\": \"$1\", \"public_key\": \"$(cat "$2")\"" &&
        run c && said "finished 1 1"
)

scenarios signed
