#!/bin/sh
# How the core is linked: libtqfslide and the slide API's tests need no
# libpython; the library exports the slide API and hides the codec and file
# helpers it holds; a process that imports both Python modules maps one
# libtqfslide, and _tqfReader holds no copy of the core.
#   check_library_layout.sh BUILD_DIR PYTHON
set -eu
build_dir=$1
python=$2
fail() { echo "check_library_layout: $*" >&2; exit 1; }

library=$build_dir/libtqfslide.so.0
for object in "$library" "$build_dir/tests/slide/slide_tests"; do
    if readelf -d "$object" | grep NEEDED | grep -q libpython; then
        fail "$object needs libpython"
    fi
done
readelf -d "$library" | grep -q 'SONAME.*\[libtqfslide\.so\.0\]' || fail "$library has no SONAME libtqfslide.so.0"

exported=$(nm -D --defined-only -C "$library")
echo "$exported" | grep -q 'tqfio::slide::read_region(' || fail "the slide API is not exported"
if echo "$exported" | grep -E '^[0-9a-f]+ [A-Za-z] ((typeinfo|vtable)( name)? for )?tqf::(codec|io)::'; then
    fail "codec or file helpers are exported"
fi
module=$(ls "$build_dir"/_tqfReader*.so)
if nm -D --defined-only -C "$module" | grep -q 'tqfio::slide::'; then
    fail "$module holds its own copy of the slide API"
fi

PYTHONPATH=$build_dir "$python" - <<'PYTHON'
import _tqfReader, tqfslide

mapped = {line.split()[-1] for line in open("/proc/self/maps") if "libtqfslide" in line}
assert len(mapped) == 1, f"libtqfslide mapped from {sorted(mapped)}"
print("one libtqfslide in a process importing both modules:", mapped.pop())
PYTHON
