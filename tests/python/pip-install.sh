#!/usr/bin/env bash
# The module as a Python developer installs it: pip into a fresh virtual environment, from the
# tree and from a wheel built the same way, both without network; then the Python tests run
# against the installed module (no PYTHONPATH), with the library named by QELVORLENT_LIBRARY.
#   tests/python/pip-install.sh PYTHON SOURCE_DIR LIBRARY
set -euo pipefail
python=$1 source=$2 library=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PYTHONDONTWRITEBYTECODE=1
unset PYTHONPATH
# pip builds in the folder it is given: a copy, so that the source tree stays clean
cp -r "$source/python" "$work/module"

"$python" -m venv --system-site-packages "$work/tree"
"$work/tree/bin/pip" install -q --no-build-isolation "$work/module"
"$work/tree/bin/pip" wheel -q --no-build-isolation --no-deps -w "$work/dist" "$work/module"
"$python" -m venv --system-site-packages "$work/wheel"
"$work/wheel/bin/pip" install -q "$work/dist"/qelvorlent-*-py3-none-any.whl

cd "$work"
for venv in tree wheel; do
  QELVORLENT_LIBRARY=$library "$work/$venv/bin/python" - "$work/$venv" <<'PY'
import os, sys, qelvorlent
home = os.path.dirname(qelvorlent.__file__)
assert home.startswith(sys.argv[1]), f"the module is not the installed one: {home}"
for name in ("py.typed", "__init__.pyi"):
    assert os.path.isfile(os.path.join(home, name)), f"{name} is not installed"
print(f"{os.path.basename(sys.argv[1])}: {home}")
PY
done
QELVORLENT_LIBRARY=$library QV_SOURCE_DIR=$source QV_INSTALLED_MODULE=1 \
  "$work/tree/bin/python" -m pytest -q -p no:cacheprovider "$source/tests/python"
