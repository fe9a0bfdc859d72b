#!/usr/bin/env bash
# QuorvexPublish on release folders: what it writes, what it refuses and what it warns about.
# Usage: publish.sh BUILD_DIR [SCENARIO...]
source "$(dirname "$0")/lib.sh" "$@"

# Rows: name | files (',' apart; "name->target" is a symbolic link, "name=file" a copy) |
# options | exit code | text. A run that fails leaves the release folder as it was.
outcomes() {
    local name files options code text f before
    put outside fora && mkfifo fifo && head -c 1100000 /dev/zero >big && ln -s r rl
    "$publisher" --generate-key key.pem >/dev/null
    while IFS='|' read -r name files options code text; do
        rm -rf r && mkdir r
        IFS=, read -ra list <<<"$files"
        for f in "${list[@]}"; do
            if [[ $f == *'->'* ]]; then ln -s "${f#*->}" "r/${f%%->*}"
            elif [[ $f == *=* ]]; then cp "${f#*=}" "r/${f%%=*}"; else put "r/$f" "$f"; fi
        done
        before=$(snap r)
        eval "timeout 60 \"\$publisher\" --release-dir r $options" >out 2>&1
        expect "$name: exit code $code, not $?" [ $? = "$code" ]
        [ "$code" = 0 ] || expect "$name: nothing written" [ "$(snap r)" = "$before" ]
        expect "$name: says '$text'" grep -qF -- "$text" out
        [ "$text" = Wrote ] && expect "$name: no warning, no progress off a terminal" not grep -qe warning -e Hashing out
    done <<'ROWS'
plain release|a.pak,Z.pak,b/c d.pak|--version 1.4 --build 12 --changelog Notas|0|Wrote
link skipped|a.pak,ln->a.pak|--version 1 --build 2|0|Skipped ln: it is a symbolic link.
unsafe names refused|con.txt,a.pak,x.|--version 1 --build 2|2|Refused: 2 file name(s)
name the updater would change| lead.pak|--version 1 --build 2|2| lead.pak: the updater would install it as "lead.pak"
name Windows cannot store|a<b.pak|--version 1 --build 2|2|a<b.pak: not a valid Windows file name
empty release||--version 1 --build 2|2|Refused: the release folder holds no files.
case twins warned|A.pak,a.pak|--version 1 --build 2|0|A.pak and a.pak differ only in letter case
names the updater keeps|Version.json,.update-staging/x,a.pak.quorvex-bak|--version 1 --build 2|2|Refused: 3 file name(s)
version with a reserved character|a.pak|--version '1<2' --build 2|1|--version is required
build negative|a.pak|--version 1 --build -1|1|--build must be a whole number
base URL not http|a.pak|--version 1 --build 2 --base-url ftp://cdn/x|1|--base-url must be
base URL without a host|a.pak|--version 1 --build 2 --base-url http:///x|1|--base-url must be
base URL with a query|a.pak|--version 1 --build 2 --base-url 'http://cdn/x?k=1'|1|--base-url must be
manifest apart without base URL|a.pak|--version 1 --build 2 --output m.json|0|not written at the root
manifest apart with base URL|a.pak|--version 1 --build 2 --output m.json --base-url http://cdn/r|0|Wrote
two change notes|a.pak|--version 1 --build 2 --changelog x --changelog-file y|1|Give either
manifest through a link|big.pak=big,manifest.json->../outside|--version 1 --build 2 --chunk-min-size 1|3|manifest.json is a link
signature through a link|big.pak=big,manifest.json.sig->../outside|--version 1 --build 2 --chunk-min-size 1 --sign-key key.pem|3|manifest.json.sig is a link
signing key from a pipe|a.pak|--version 1 --build 2 --sign-key fifo|3|Cannot read fifo: not a regular file
signing key that is no key|a.pak|--version 1 --build 2 --sign-key outside|3|Cannot sign with outside
key inside the release, named through a link|a.pak,key.pem|--version 1 --build 2 --sign-key rl/key.pem|2|lies inside the release folder
change notes from a pipe|a.pak|--version 1 --build 2 --changelog-file fifo|1|Cannot read fifo: not a regular file
endless change notes|a.pak|--version 1 --build 2 --changelog-file /dev/zero|1|Cannot read /dev/zero: not a regular file
change notes too long|a.pak|--version 1 --build 2 --changelog-file big|1|Cannot read big: larger than 1048576 bytes
endless earlier manifest|a.pak|--version 1 --build 2 --compare-with /dev/zero|1|Cannot read /dev/zero: not a regular file
ROWS
    expect "nothing written through a link" [ "$(cat outside)" = fora ]
    # A key file, or a link at its name, is never written over.
    cp key.pem key.old && ln -s gone.pem dangling.pem
    for f in key.pem dangling.pem; do
        "$publisher" --generate-key $f >out 2>&1
        expect "$f: exit code 3, not $?" [ $? = 3 ]
        expect "$f: refused" grep -qF "a signing key is never overwritten" out
    done
    expect "the key kept" cmp -s key.pem key.old
    expect "no key through a link" [ ! -e gone.pem ]
    # Listed byte-wise (Z before a); hashes, sizes and encoded URLs are proven by the updater's
    # own scenarios, which install what QuorvexPublish lists. An earlier signature is not listed.
    rm -rf r && mkdir -p r/b && put r/a.pak a && put r/Z.pak Z && put "r/b/c d.pak" c
    put r/manifest.json.sig old
    "$publisher" --release-dir r --version 1.4 --build 12 >out 2>&1
    expect "earlier signature named" grep -qF "manifest.json.sig is left from an earlier release" out
    expect "sorted byte-wise" [ "$(grep -o '"path": "[^"]*"' r/manifest.json | tr -d '\n')" = \
        '"path": "Z.pak""path": "a.pak""path": "b/c d.pak"' ]
    expect "their total size" grep -qx '    "total_size": 3,' r/manifest.json
    # The next release, seen from a player on this one.
    put r/a.pak novo && put r/b/new.pak 12345
    "$publisher" --release-dir r --version 1.5 --build 1 --compare-with r/manifest.json >out 2>&1
    expect "compared" grep -qx "For a player on the earlier release: 1 added, 1 changed, 2 unchanged; 9 of 11 bytes to fetch." out
    # A chunk index for a file at or above --chunk-min-size, in the index folder, not listed.
    rm -rf r && blob r/big.pak 3000000 && put r/small.pak s
    "$publisher" --release-dir r --version 1 --build 1 --chunk-min-size 2000000 >/dev/null
    local big && big=$(sha256sum r/big.pak | cut -c1-64) && cp r/manifest.json old.json
    expect "one index" [ "$(ls -A r/.quorvex-chunks)" = "$big" ]
    expect "index named" grep -qF "\"url\": \".quorvex-chunks/$big\"" r/manifest.json
    expect "index not listed" not grep -q '"path": ".quorvex-chunks' r/manifest.json
    # Five bytes changed: the earlier index, found in the folder, leaves one chunk or two to fetch.
    printf patch | dd of=r/big.pak bs=1 seek=1500000 conv=notrunc 2>/dev/null
    "$publisher" --release-dir r --version 2 --build 1 --chunk-min-size 2000000 \
        --compare-with old.json >out
    expect "compared by chunks" grep -qE "^With chunk indexes: [0-9]{5,6} bytes .*\(1 of 1 " out
}

scenarios outcomes
