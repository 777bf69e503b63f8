#!/bin/sh
# Runs inside a Debian root whose /check holds the wheels, the Python suite
# and these scripts. With "suite", installs the wheel for this machine
# without an index and runs the suite and the smoke test; with "command",
# only runs the command from the wheel, for a system whose Python is older
# than the module supports.
set -eu
cd /check
arch=$(uname -m)
wheel=$(ls quastor-*_"$arch".whl)
rm -rf env
case $1 in
suite)
    python3 -m venv env
    env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check --no-index "$wheel"
    env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check pytest hypothesis mypy
    env/bin/python --version
    env/bin/python -m pytest -q -p no:cacheprovider --rootdir . tests
    ;;
command)
    mkdir -p env/bin
    python3 -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    name = next(n for n in wheel.namelist() if n.endswith(".data/scripts/quastor"))
    open("env/bin/quastor", "wb").write(wheel.read(name))' "$wheel"
    chmod +x env/bin/quastor
    ;;
esac
sh wheels/smoke.sh env/bin/quastor tests
