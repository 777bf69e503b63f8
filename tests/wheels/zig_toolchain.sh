#!/bin/sh
# Writes DIR/cc, c++, ar, ranlib and DIR/toolchain.cmake: Zig (from the
# PyPI package ziglang, run by PYTHON) as a cross compiler for TARGET, a
# Zig target such as x86_64-linux-gnu.2.17 or aarch64-linux-musl. Zig
# builds the C library and its libc++ for each target on first use and
# keeps them in its cache, here CACHE/<zig version>, outside the trees that
# each build removes: a new Zig starts a new cache, an old one is reused.
# Usage: zig_toolchain.sh DIR TARGET PYTHON CACHE
set -eu
dir=$1 target=$2 python=$3 cache=$4
version=$("$python" -m ziglang version)
cache=$cache/$version
mkdir -p "$dir" "$cache"
for tool in cc c++; do
    printf '#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR=%s\nexec %s -m ziglang %s -target %s "$@"\n' \
        "$cache" "$python" "$tool" "$target" >"$dir/$tool"
done
for tool in ar ranlib; do
    printf '#!/bin/sh\nexec %s -m ziglang %s "$@"\n' "$python" "$tool" >"$dir/$tool"
done
chmod +x "$dir/cc" "$dir/c++" "$dir/ar" "$dir/ranlib"
cat >"$dir/toolchain.cmake" <<CMAKE
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${target%%-*})
set(CMAKE_C_COMPILER $dir/cc)
set(CMAKE_CXX_COMPILER $dir/c++)
set(CMAKE_AR $dir/ar)
set(CMAKE_RANLIB $dir/ranlib)
CMAKE
