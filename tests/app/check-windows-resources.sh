#!/bin/bash
# Compiles the resource script to a COFF object, decompiles it again and checks
# that it holds the six-image icon group and the asInvoker manifest.
# Usage: check-windows-resources.sh RESOURCE_DIR WORK_DIR
set -u
resources=$1
work=$2
windres=${WINDRES:-x86_64-w64-mingw32-windres}

if ! command -v "$windres" >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then
        echo "required tool missing in CI: $windres" >&2
        exit 1
    fi
    echo "tool missing: $windres" >&2
    exit 77
fi

object=$work/quorvex_rc.o
rm -f "$object"
"$windres" -I "$resources" -O coff -o "$object" "$resources/quorvex.rc" || exit 1
listing=$("$windres" -J coff -i "$object" -O rc) || exit 1

status=0
expect() {
    if ! grep -qE -- "$1" <<<"$listing"; then
        echo "missing from the compiled resources: $2" >&2
        status=1
    fi
}
expect '^"IDI_APP_ICON" 14 /\* RT_GROUP_ICON \*/' 'icon group IDI_APP_ICON'
expect 'Has 6 elements' 'six images in the icon group'
# Width and height bytes of each entry; 256 px is stored as 0.
for size in '\\020' '\\030' '\\040' '\\060' '\\100' '\\000'; do
    expect "\"$size$size\\\\000\\\\000\", 1, 32," "an icon entry of byte size $size"
done
icons=$(grep -cE '^[0-9]+ 3 /\* RT_ICON \*/' <<<"$listing")
if [ "$icons" -ne 6 ]; then
    echo "expected 6 icon images, found $icons" >&2
    status=1
fi
expect '^1 24 /\* RT_MANIFEST \*/' 'manifest with id 1'
expect 'requestedExecutionLevel level=""asInvoker""' 'execution level asInvoker'
exit $status
