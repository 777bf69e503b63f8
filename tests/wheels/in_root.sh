#!/bin/sh
# Runs inside a Debian root whose /check holds the wheels, the Python suite
# and these scripts: installs the wheel for this machine without an index
# into an environment of PYTHON, and runs the suite and the smoke test there.
# Usage: in_root.sh PYTHON
set -eu
python=$1
cd /check
arch=$(uname -m)
wheel=$(ls quastor-*_"$arch".whl)
rm -rf env
"$python" -m venv env
env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check --no-index "$wheel"
env/bin/pip install -q --root-user-action=ignore --disable-pip-version-check pytest hypothesis mypy
env/bin/python --version
env/bin/python -m pytest -q -p no:cacheprovider --rootdir . tests
sh wheels/smoke.sh env/bin/quastor tests
