#!/bin/sh
# The static command where nothing else is: a fresh root that holds only
# the binary and a small tree, no C library, no shell. Inside it the command
# prints its version, archives the tree, checks, tests and extracts the
# archive; outside, the extracted tree is compared with the original. A
# foreign binary runs through the kernel's binfmt handler (qemu-user).
# Usage: static_smoke.sh COMMAND ROOT
set -eu
command=$1 root=$2
rm -rf "$root"
mkdir -p "$root/tree/sub/deeper" "$root/tmp"
cp "$command" "$root/quastor"
printf 'small\n' >"$root/tree/a.txt"
head -c 200000 /dev/urandom >"$root/tree/sub/random.bin"
yes 'a line that deflates well' | head -n 20000 >"$root/tree/sub/deeper/text"
chmod 0750 "$root/tree/sub/deeper/text"
ln -s ../a.txt "$root/tree/sub/link"
chroot=$(command -v chroot)
inside() { env -i TMPDIR=/tmp "$chroot" "$root" /quastor "$@"; }
inside --version
inside -q create /tmp/tree.zip /tree
inside -q check /tmp/tree.zip
inside -q test /tmp/tree.zip
inside -q extract -d /out /tmp/tree.zip
diff -r "$root/tree" "$root/out"
[ "$(stat -c %a "$root/out/sub/deeper/text")" = 750 ] && [ "$(readlink "$root/out/sub/link")" = ../a.txt ]
echo "static command ($(ls "$root" | tr '\n' ' ')): ok"
