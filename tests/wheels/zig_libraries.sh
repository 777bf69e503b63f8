#!/bin/sh
# Has the Zig toolchain in TOOLS build its C library and libc++ for what
# the builds link: a shared object (the module) and, with "static", also a
# statically linked executable (the command, C library included). Zig keeps
# them in its cache, so the first run builds them (the longest part of the
# static command) and later runs find them; either way the builds that
# follow spend their time on the project alone.
# Usage: zig_libraries.sh TOOLS [static]
set -eu
tools=$1 kind=${2-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#include <string>\nint size(const char *s) { return static_cast<int>(std::string(s).size()); }\n' >"$work/lib.cpp"
printf '#include <string>\nint main(int argc, char **argv) { return std::string(argv[argc - 1]).empty(); }\n' >"$work/main.cpp"
"$tools/c++" -O3 -fPIC -shared -o "$work/lib.so" "$work/lib.cpp"
if [ "$kind" = static ]; then
    "$tools/c++" -O3 -static -s -o "$work/main" "$work/main.cpp"
fi
