#!/usr/bin/env bash
# Runs the transport, execution and package-client suites (and the stub checks) on the
# lowest versions the package declares: installs the pins of scripts/lowest-versions.txt
# (checked against pyproject.toml by scripts/lowest_versions.py) into their own virtual
# environment, .venv-min, and runs the modules already built in build/release
# (scripts/test.sh builds them first): `cmake --install` puts them with the package's
# Python sources into build/lowest-site, which .venv-min has on its path. Nothing is
# compiled here.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-python3}
STAGE=build/lowest-site

.venv/bin/python scripts/lowest_versions.py > build/lowest-requirements.txt
if [ ! -x .venv-min/bin/python ]; then
    "$PYTHON" -m venv .venv-min
fi
# shellcheck disable=SC1091
. .venv-min/bin/activate
python -m pip install -q --disable-pip-version-check -c scripts/lowest-versions.txt -r build/lowest-requirements.txt
python -m pip check

rm -rf "$STAGE"
.venv/bin/cmake --install build/release --prefix "$STAGE" > /dev/null
cp -R src/vantrel_master/. "$STAGE/vantrel_master/"
echo "$ROOT/$STAGE" > "$(python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/vantrel_master_lowest.pth"

python scripts/lowest_versions.py --installed
python -c 'import vantrel_master.python_server.kernel as k; print("min-versions: kernel from " + k.__file__)'
python -m pytest -q -p no:cacheprovider tests/transport tests/execution tests/caskwell
MYPY_CACHE_DIR="$ROOT/build/mypy-cache-lowest" scripts/stubs.sh
