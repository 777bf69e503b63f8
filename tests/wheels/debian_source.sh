#!/bin/sh
# Downloads the source package PACKAGE as Debian's SUITE has it into DEST,
# with apt-get and a list of sources of its own under STATE (the machine's
# own lists are left alone), and prints the path of its .dsc. apt-get checks
# the .dsc against the archive's signed index; the build checks the tarball
# against the .dsc.
# Usage: debian_source.sh STATE SUITE PACKAGE DEST
set -eu
state=$1 suite=$2 package=$3 dest=$4
mkdir -p "$state/lists/partial" "$state/parts" "$state/cache/archives/partial" "$dest"
echo "deb-src http://deb.debian.org/debian $suite main" >"$state/sources.list"
set -- -o Dir::Etc::sourcelist="$(realpath "$state")/sources.list" -o Dir::Etc::sourceparts="$(realpath "$state")/parts" \
    -o Dir::State::Lists="$(realpath "$state")/lists" -o Dir::Cache="$(realpath "$state")/cache"
apt-get "$@" -qq update >&2
dsc=$(apt-get "$@" source --print-uris "$package" | awk '$2 ~ /\.dsc$/ {print $2}')
[ -n "$dsc" ] || { echo "$suite has no source package $package" >&2; exit 1; }
# A file already in DEST with the listed checksum is not fetched again.
if ! failed=$(cd "$dest" && apt-get "$@" -qq source --download-only "$package" 2>&1 >/dev/null); then
    missing=$(printf '%s\n' "$failed" | sed -n 's/^E: Failed to fetch \([^ ]*\) *\([^[]*[^[ ]\).*$/\1 answers \2/p' | tr -s ' ' | head -n 1)
    echo "$suite lists $package as $dsc, but the mirror does not give its files (${missing:-$failed})" >&2
    exit 1
fi
echo "$dest/$dsc"
