#!/bin/sh
# The installed command, as a user meets it: a native binary that archives
# a tree, tests and extracts the archive, and gives back the same tree.
# Usage: smoke.sh QUASTOR TREE
set -eu
quastor=$1 tree=$2
head -c 4 "$quastor" | grep -q ELF || { echo "$quastor is not an ELF binary"; exit 1; }
"$quastor" --version
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$quastor" -q create "$work/tree.zip" "$tree"
"$quastor" -q test "$work/tree.zip"
"$quastor" -q extract -d "$work/out" "$work/tree.zip"
diff -r "$tree" "$work/out"
echo "command: ok"
