#!/bin/sh
# Builds the quastor command from the unpacked sdist SRC as one statically
# linked executable for ARCH with the Zig toolchain in TOOLS (a musl
# target), and copies it to OUT; refuses one that asks for a loader or a
# shared library.
# Usage: static_command.sh TOOLS ARCH SRC WORK OUT
set -eu
tools=$1 arch=$2 src=$3 work=$4 out=$5
cmake -S "$src" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$tools/toolchain.cmake" \
    -DQUASTOR_PYTHON=OFF -DQUASTOR_CLI=ON -DQUASTOR_STATIC_COMMAND=ON
cmake --build "$work" --target quastor_cli
if readelf -lW "$work/quastor" | grep -q INTERP || readelf -dW "$work/quastor" | grep -q NEEDED; then
    echo "$work/quastor is not statically linked"; exit 1
fi
cp "$work/quastor" "$out"
