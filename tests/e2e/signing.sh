#!/usr/bin/env bash
# Signed releases: with a public key configured, only manifests its private key signed, and
# none older than the installed release, are installed; anything else starts the client,
# fetches no file and touches nothing.
# Usage: signing.sh BUILD_DIR [--wine WINDOWS_BUILD_DIR] [SCENARIO...]
source "$(dirname "$0")/lib.sh" "$@"

# Rows: name | the endpoints tried, in order (' ' apart) | what the run says.
signed() {
    local name endpoints text before
    "$publisher" --generate-key key.pem >key.txt && "$publisher" --generate-key other.pem >/dev/null
    expect "key readable by its owner only" [ "$(stat -c %a key.pem)" = 600 ]
    put srv/good/a.pak novo && release srv/good 2.0 1 --sign-key key.pem
    cp -a srv/good srv/tampered && sed -i 's/"build": 1/"build": 2/' srv/tampered/manifest.json
    cp -a srv/good srv/unsigned && rm srv/unsigned/manifest.json.sig
    cp -a srv/good srv/flipped && python3 -c 'import base64, sys
s = bytearray(base64.b64decode(open(sys.argv[1]).read())); s[10] ^= 1
open(sys.argv[1], "w").write(base64.b64encode(s).decode())' srv/flipped/manifest.json.sig
    cp -a srv/good srv/other && release srv/other 2.0 1 --sign-key other.pem
    serve "$PWD/srv"
    while IFS='|' read -r name endpoints text; do
        fresh c && client c
        # Installed later than any release here was signed: a replay of an older one.
        [[ $name == *older* ]] && printf '{"version": "1.0", "release_date": "2999-01-01T00:00:00Z"}' >c/version.json
        endpoints=$(eval "echo \"$endpoints\"" | sed 's/[^ ]*/"&"/g; s/ /, /g')
        configure c "\"manifest_urls\": [$endpoints], \"manifest_url\": ${endpoints%%,*},
            \"public_key\": \"$(cat key.txt)\""
        before=$(snap c)
        : >"$log"
        run c
        expect "$name: says '$text'" said "$(eval "printf '%s' \"$text\"")"
        [[ $text == finished* ]] && expect "$name: its date recorded" grep -q release_date c/version.json && continue
        expect "$name: client started" started "$PWD/c"
        expect "$name: nothing fetched" not grep -q a.pak "$log"
        expect "$name: untouched" [ "$(snap c)" = "$before" ]
    done <<'ROWS'
a good one|$base/good/manifest.json|finished 1 1
manifest changed after signing|$base/tampered/manifest.json|Nao foi possivel verificar: Assinatura do manifesto invalida em $base/tampered/manifest.json. Abrindo
one bit of the signature flipped|$base/flipped/manifest.json|Assinatura do manifesto invalida em $base/flipped/manifest.json.
no signature|$base/unsigned/manifest.json|Nao foi possivel verificar: Assinatura do manifesto ausente em $base/unsigned/manifest.json. Abrindo
signed by another key|$base/other/manifest.json|Assinatura do manifesto invalida em $base/other/manifest.json.
a bad one, then a good one|$base/other/manifest.json $base/good/manifest.json|finished 1 1
an older release than the installed one|$base/good/manifest.json|Nao foi possivel verificar: Manifesto mais antigo que a versao instalada em $base/good/manifest.json. Abrindo
ROWS
}

scenarios signed
