#!/bin/sh
# The package as a user installs it: `pip install --no-build-isolation .`
# into a virtual environment, and the wheel of `python3 -m build` into a
# second one; in each, from a folder that is neither the sources nor the
# build, the commands, the version, the run paths (the private slide
# library, replaceable through LD_LIBRARY_PATH), and a subset of the Python
# tests run against the installed package; then `pip uninstall` leaves
# nothing behind.
#
#   check_installed.sh SOURCE_DIR WORK_DIR VERSION YELK_DOUBLE_DIR
#
# WORK_DIR keeps the CMake build of the wheel between runs, so that a run
# after a change rebuilds only what changed.
set -eu
SOURCE=$1
WORK=$2
VERSION=$3
DOUBLE=$4
PYTHON=/usr/bin/python3

fail() {
    echo "check_installed: $*" >&2
    exit 1
}

export TQF_WHEEL_BUILD_DIR="$WORK/wheel-build"
unset PYTHONPATH TQF_CONVERT TQF_COMMAND
# scikit-image's stained tissue sample, which the tests' slides come from too.
IMAGE=$($PYTHON -c "import os, skimage.data; print(os.path.join(os.path.dirname(skimage.data.__file__), 'ihc.png'))")
rm -rf "$WORK/venv" "$WORK/venv-wheel" "$WORK/dist" "$WORK/elsewhere"
mkdir -p "$WORK/elsewhere"

echo "== pip install --no-build-isolation $SOURCE"
$PYTHON -m venv --system-site-packages "$WORK/venv"
"$WORK/venv/bin/pip" install --quiet --no-index --no-build-isolation "$SOURCE"

echo "== python3 -m build --wheel --no-isolation"
(cd "$SOURCE" && $PYTHON -m build --wheel --no-isolation --outdir "$WORK/dist" >"$WORK/build.log" 2>&1) ||
    { cat "$WORK/build.log" >&2; fail "the wheel was not built"; }
set -- "$WORK"/dist/tqfslide-"$VERSION"-*.whl
[ -f "$1" ] || fail "no wheel tqfslide-$VERSION-*.whl in $WORK/dist"
WHEEL=$1
$PYTHON -m venv --system-site-packages "$WORK/venv-wheel"
"$WORK/venv-wheel/bin/pip" install --quiet --no-index "$WHEEL"

cd "$WORK/elsewhere"
for venv in "$WORK/venv" "$WORK/venv-wheel"; do
    echo "== $venv, from $PWD"
    site=$("$venv/bin/python" -c "import sysconfig; print(sysconfig.get_paths()['platlib'])")
    out=$("$venv/bin/tqf" --version)
    [ "$out" = "tqf $VERSION" ] || fail "$venv/bin/tqf --version printed '$out', not 'tqf $VERSION'"
    "$venv/bin/python" - "$site" "$VERSION" <<'PY'
import importlib.metadata, os, sys
import _tqfReader, tqfReader, tqfslide

site, version = sys.argv[1:]
for module in (tqfslide, _tqfReader, tqfReader):
    assert module.__file__.startswith(site + os.sep), (module.__name__, module.__file__, site)
assert tqfslide.__version__ == importlib.metadata.version("tqfslide") == version, tqfslide.__version__
libs = os.path.join(site, "tqfslide", "_libs")
loaded = {os.path.basename(line.split()[-1]): line.split()[-1] for line in open("/proc/self/maps")
          if line.split()[-1].startswith("/") and ".so" in line}
for name in ("libtqfslide.so.0", "libyelk.so.1"):
    assert loaded.get(name) == os.path.join(libs, name), (name, loaded.get(name))
PY
    # The stand-in slide library gives way to another on LD_LIBRARY_PATH.
    LD_LIBRARY_PATH=$DOUBLE "$venv/bin/python" - "$DOUBLE" <<'PY'
import os, sys
import _tqfReader
yelk = [line.split()[-1] for line in open("/proc/self/maps") if line.rstrip().endswith("/libyelk.so.1")]
assert set(yelk) == {os.path.join(sys.argv[1], "libyelk.so.1")}, yelk
PY
    out=$("$venv/bin/tqf" with-openslide --print-dir)
    [ "$out" = "$site/tqfslide/_libs/openslide" ] || fail "tqf with-openslide --print-dir printed '$out'"
    "$venv/bin/tqf-convert" --help >/dev/null || fail "$venv/bin/tqf-convert --help failed"
    mkdir -p made
    "$venv/bin/tqf-convert" --quiet --magnification 20 "$IMAGE" made/tissue.tqf ||
        fail "tqf-convert did not convert"
    "$venv/bin/tqf" info made/tissue.tqf | grep -q "magnification: *20x" || fail "tqf info does not read the slide"
    "$venv/bin/tqf" with-openslide openslide-show-properties made/tissue.tqf | grep -q "openslide.vendor: 'tqf'" ||
        fail "OpenSlide's tools do not read the slide through tqf with-openslide"

    # The package's and the command's tests in the first environment; the
    # wheel's (the same files) gets a few of them.
    tests=$SOURCE/tests/tqfslide
    if [ "$venv" = "$WORK/venv" ]; then
        set -- "$tests/test_slide.py" "$tests/test_deepzoom.py" "$tests/cli/test_cli.py"
    else
        set -- "$tests/test_slide.py::test_levels_and_facts" "$tests/test_slide.py::test_processes_and_data_loaders" \
            "$tests/cli/test_cli.py::test_version_and_help" "$tests/cli/test_cli.py::test_info"
    fi
    echo "== the Python tests' subset against $venv"
    TQF_CONVERT="$venv/bin/tqf-convert" TQF_COMMAND="$venv/bin/tqf" YELK_DOUBLE_DIR=$DOUBLE PYTHONDONTWRITEBYTECODE=1 \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider --basetemp="$WORK/pytest" --rootdir="$tests" "$@"
done

echo "== pip uninstall"
for venv in "$WORK/venv" "$WORK/venv-wheel"; do
    "$venv/bin/pip" uninstall --quiet --yes tqfslide
    left=$(find "$venv" \( -iname "*tqf*" -o -name "libyelk*" -o -name "libopenslide*" \) -print)
    [ -z "$left" ] || fail "pip uninstall left $left"
done
echo "installed, used and removed"
