#!/bin/sh
# The Python client's own suite and the example written with it, against the built program.
# The package is installed as a user would install it, offline (pip, no build isolation,
# Debian's setuptools), into a folder of its own; its pytest plugin comes in by its entry point.
#   run_client_tests.sh PYTHON PROGRAM SOURCE_DIR WORK_DIR
set -eu
python=$1 program=$2 source=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
cp -r "$source/python" "$work/package"  # the build leaves its files beside the sources
"$python" -m pip install --quiet --root-user-action=ignore --no-build-isolation --no-deps --no-index \
    --target "$work/site" "$work/package"
cd "$work"
PYTHONPATH="$work/site" VANTOR_SIMULATOR="$program" exec "$python" -m pytest -q -p no:cacheprovider \
    "$source/python/tests" "$source/examples/test_device_pytest.py"
