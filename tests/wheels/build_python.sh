#!/bin/sh
# Runs inside a Debian root whose own Python is older than the module
# supports: builds CPython from its source tarball there, so that it links
# against that root's C library, and installs it under PREFIX. The build
# runs once; PREFIX/.built marks a complete install for later runs.
# Usage: build_python.sh TARBALL PREFIX
set -eu
tarball=$1 prefix=$2
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -q -y --no-install-recommends build-essential pkg-config \
    libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
rm -rf "$prefix"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xzf "$tarball" -C "$work" --strip-components=1
cd "$work"
./configure -q --prefix="$prefix" --with-ensurepip=install
make -s -j2
make -s install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log"; exit 1; }
# pip reaches PyPI for the test tools, and mypy keeps its cache in sqlite.
"$prefix/bin/python3" -c 'import ssl, sqlite3, zlib, bz2, lzma, ensurepip'
touch "$prefix/.built"
