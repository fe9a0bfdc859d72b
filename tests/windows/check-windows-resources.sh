#!/bin/bash
# Checks the built QuorvexUpdater.exe: a GUI-subsystem program whose resources hold the
# icon group IDI_APP_ICON with six images, the manifest asking for "asInvoker" and the
# version resource that Explorer shows, all of the project's VERSION.
# Usage: check-windows-resources.sh OBJDUMP WINDRES VERSION QuorvexUpdater.exe
objdump=$1 windres=$2 version=$3 exe=$4
dump=$("$objdump" -p "$exe") || exit 1
# The version resource read back as a resource script.
info=$("$windres" -i "$exe" -O rc | sed -n '/^1 VERSIONINFO/,/^END/p') || exit 1
numbers=$(tr . '\n' <<<"$version.0.0.0" | head -4 | paste -sd,)
status=0
expect() { grep -qE -- "$1" <<<"$2" || { echo "missing from $exe: $3" >&2; status=1; }; }
# A type's entry, then the table of its names or ids (the lines below it).
type_table() { grep -A3 -E "^[0-9a-f]+   Entry: ID: $1," <<<"$dump"; }
expect 'Subsystem[[:space:]]+00000002' "$dump" 'the Windows GUI subsystem'
expect 'IDs: 6$' "$(type_table 0x000003)" 'six RT_ICON images'
group=$(type_table 0x00000e)
expect 'Num Names: 1, IDs: 0$' "$group" 'one RT_GROUP_ICON'
expect 'name: .*: IDI_APP_ICON,' "$group" 'the icon group named IDI_APP_ICON'
# The group's leaf: a 6-byte header and one 14-byte entry per image.
expect 'Leaf: .*Size: 0x00005a,' "$(grep -A3 ': IDI_APP_ICON,' <<<"$dump")" 'six images in the group'
expect 'Entry: ID: 0x000001,' "$(type_table 0x000018)" 'an RT_MANIFEST with id 1'
has() { grep -qF -- "$1" <<<"$info" || { echo "missing from $exe: $1" >&2; status=1; }; }
has "FILEVERSION ${numbers//,/, }"; has "PRODUCTVERSION ${numbers//,/, }"
has '"ProductName", "Quorvex Updater"'; has '"FileDescription", "Updater do cliente Quorvex"'
has "\"FileVersion\", \"$version\""; has "\"ProductVersion\", \"$version\""
grep -qa "version=\"${numbers//,/.}\"" "$exe" ||
    { echo "missing from $exe: the manifest's version ${numbers//,/.}" >&2; status=1; }
grep -qa 'requestedExecutionLevel level="asInvoker"' "$exe" ||
    { echo "missing from $exe: the asInvoker execution level" >&2; status=1; }
exit $status
