#!/bin/sh
# Builds a free-threaded CPython (--disable-gil) from a Debian source
# package's upstream tarball, after checking that tarball against the
# SHA-256 its .dsc lists, and installs it under PREFIX with pip and the
# PACKAGES a wheel build needs. PREFIX/.built, holding KEY, marks a
# complete install for later runs.
# Usage: build_freethreaded.sh DSC PREFIX KEY PACKAGES...
set -eu
dsc=$1 prefix=$2 key=$3
shift 3
dir=$(dirname "$dsc")
tarball=$(sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$dsc" | awk '$3 ~ /\.orig\.tar\.xz$/ {print $3}')
sum=$(sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$dsc" | awk '$3 ~ /\.orig\.tar\.xz$/ {print $1}')
[ -n "$tarball" ] && [ -n "$sum" ] || { echo "$dsc lists no upstream tarball"; exit 1; }
echo "$sum  $dir/$tarball" | sha256sum -c --quiet
rm -rf "$prefix"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xJf "$dir/$tarball" -C "$work" --strip-components=1
cd "$work"
./configure -q --prefix="$prefix" --disable-gil --with-ensurepip=install
make -s -j"$(nproc)"
make -s install
"$prefix/bin/python3" -c 'import ssl, sqlite3, zlib, ensurepip, sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), "built with the GIL"'
"$prefix/bin/python3" -m pip install -q --root-user-action=ignore --disable-pip-version-check "$@"
echo "$key" >"$prefix/.built"
