#!/bin/sh
# Runs the Python suite in ./tests with PYTHON, shows its output, and adds
# one line for WHEEL to SUMMARY: the interpreter, the C library and what
# pytest counted. PYTEST-ARGS go to pytest.
# Usage: run_suite.sh PYTHON WHEEL SUMMARY [PYTEST-ARGS...]
set -eu
python=$1 wheel=$2 summary=$3
shift 3
# A free-threaded interpreter turns its GIL back on when it imports a module
# that does not declare it may run without, and PYTHON_GIL=0 (under which
# the suite may run) would hide that: ask with it unset, before the suite.
gil=
if "$python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; then
    enabled=$(env -u PYTHON_GIL "$python" -c 'import sys, quastor; print(sys._is_gil_enabled())')
    [ "$enabled" = False ] || { echo "importing quastor turned the GIL on"; exit 1; }
    gil=", the GIL off after import"
fi
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
echo "$(basename "$wheel"): $interpreter, $libc$gil, $counts" >>"$summary"
exit $status
