#!/bin/sh
# Runs inside a root whose /check holds the wheels, the Python suite and
# these scripts: installs WHEEL without an index into an environment of
# PYTHON, and runs the suite and the smoke test there; the suite's line goes
# to /check/summary. The test tools come from PyPI, or, when TOOLS is given,
# from the wheels in that directory alone (a root without TLS); PYTEST-ARGS
# go to pytest.
# Usage: in_root.sh PYTHON WHEEL [TOOLS [PYTEST-ARGS...]]
set -eu
python=$1 wheel=$2 tools=${3-}
shift $(( $# < 3 ? $# : 3 ))
cd /check
rm -rf env
"$python" -m venv env
pip="env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check"
$pip --no-index "$wheel"
if [ -n "$tools" ]; then
    $pip --no-index --find-links "$tools" pytest hypothesis
else
    $pip pytest hypothesis mypy
fi
env/bin/python --version
sh wheels/run_suite.sh env/bin/python "$wheel" summary "$@"
sh wheels/smoke.sh env/bin/quastor tests
