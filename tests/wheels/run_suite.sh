#!/bin/sh
# Runs the Python suite in ./tests with PYTHON, shows its output, and adds
# one line for WHEEL to SUMMARY: the interpreter, the C library and what
# pytest counted. PYTEST-ARGS go to pytest.
# Usage: run_suite.sh PYTHON WHEEL SUMMARY [PYTEST-ARGS...]
set -eu
python=$1 wheel=$2 summary=$3
shift 3
log=$(mktemp)
status=0
"$python" -m pytest -q -p no:cacheprovider --rootdir . tests "$@" >"$log" 2>&1 || status=$?
cat "$log"
counts=$(tail -n 1 "$log" | sed 's/^=* *//; s/ in [0-9.]*s.*$//')
rm -f "$log"
if getconf GNU_LIBC_VERSION >/dev/null 2>&1; then
    libc=$(getconf GNU_LIBC_VERSION)
else
    libc="musl $(/lib/ld-musl-*.so.1 2>&1 | sed -n 's/^Version //p')"
fi
interpreter=$("$python" -c 'import platform, sysconfig
print("CPython", platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""), platform.machine())')
echo "$(basename "$wheel"): $interpreter, $libc, $counts" >>"$summary"
exit $status
