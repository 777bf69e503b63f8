#!/bin/sh
# Makes ROOT a machine whose only C library is musl, as on Alpine: Debian's
# musl package (the loader, which is also the C library) and busybox-static
# (a shell and the tools the checks call), unpacked from the DEBS given, and
# zlib and CPython built here with musl-gcc from the upstream tarballs of
# Debian's source packages (each checked against the SHA-256 its .dsc lists)
# and installed under /opt/python in ROOT. pip's own tag check in there
# reads the loader's version as a musl machine's does. The build runs once;
# ROOT/.built marks a complete root for later runs.
# Usage: musl_root.sh ROOT PYTHON_DSC ZLIB_DSC DEB...
set -eu
root=$1 python_dsc=$2 zlib_dsc=$3
shift 3
rm -rf "$root"
mkdir -p "$root/tmp" "$root/proc" "$root/dev" "$root/usr/bin" "$root/usr/sbin"
chmod 1777 "$root/tmp"
for deb in "$@"; do dpkg-deb -x "$deb" "$root"; done
chroot "$root" /bin/busybox --install -s /bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The upstream tarball a .dsc names, unpacked into $work/$2 after its check.
unpack() {
    tarball=$(sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$1" | awk '$3 ~ /\.orig\.tar\.[a-z0-9]+$/ {print $3}')
    sum=$(sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$1" | awk '$3 ~ /\.orig\.tar\.[a-z0-9]+$/ {print $1}')
    [ -n "$tarball" ] && [ -n "$sum" ] || { echo "$1 lists no upstream tarball"; exit 1; }
    echo "$sum  $(dirname "$1")/$tarball" | sha256sum -c --quiet
    mkdir -p "$work/$2"
    tar -xf "$(dirname "$1")/$tarball" -C "$work/$2" --strip-components=1
}
unpack "$zlib_dsc" zlib
(cd "$work/zlib" && CC=musl-gcc CFLAGS="-O2 -fPIC" ./configure --static --prefix="$work/zlib-install" >/dev/null &&
    make -s -j"$(nproc)" install >/dev/null)
# musl-gcc sees musl's headers only; CPython also wants the kernel's. Of
# the libraries pkg-config knows, only this zlib is built for musl.
mkdir -p "$work/kernel"
for dir in linux asm-generic mtd; do ln -s "/usr/include/$dir" "$work/kernel/$dir"; done
ln -s "/usr/include/$(gcc -print-multiarch)/asm" "$work/kernel/asm"
# CPython compares the compiler's multiarch name with the triplet it
# derives from the C library's macros; gcc's own name is glibc's.
printf '#!/bin/sh\n[ "$*" = --print-multiarch ] && exec echo %s-linux-musl\nexec musl-gcc "$@"\n' "$(uname -m)" >"$work/cc"
chmod +x "$work/cc"
unpack "$python_dsc" python
cd "$work/python"
PKG_CONFIG_LIBDIR=$work/zlib-install/lib/pkgconfig CC=$work/cc CPPFLAGS="-I$work/zlib-install/include -idirafter $work/kernel" LDFLAGS="-L$work/zlib-install/lib" \
    ./configure -q --prefix=/opt/python --with-ensurepip=install >"$work/configure.log" 2>&1 ||
    { tail -n 40 "$work/configure.log"; exit 1; }
make -s -j"$(nproc)" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; exit 1; }
make -s install DESTDIR="$root" >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log"; exit 1; }
chroot "$root" /opt/python/bin/python3 -c 'import zlib, ensurepip, venv'
touch "$root/.built"
