#!/bin/sh
# Builds a native program against the shared object the way a user would
# (compiler, -Isource, the .so and libpython on the command line), then has
# it open a slide made by tqf-convert from a real image.
set -eu
source_dir=$1
build_dir=$2
tissue_image=$3
sanitize=${4:-0}
flags=""
# A shared object built with the sanitizers needs their runtime in the program.
if [ "$sanitize" = 1 ]; then flags="-fsanitize=address,undefined"; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

module=$(ls "$build_dir"/_tqfReader*.so)
g++ -std=c++17 $flags -I"$source_dir/source" $(pkg-config --cflags opencv4) \
    "$source_dir/tools/slide_geometry.cpp" "$module" \
    $(/usr/bin/python3-config --embed --ldflags) -lopencv_core \
    -Wl,-rpath,"$build_dir" -o "$work/slide-geometry"

"$build_dir/tqf-convert" "$tissue_image" "$work/tissue.tqf" >/dev/null
"$work/slide-geometry" "$work/tissue.tqf" > "$work/out.txt"
cat "$work/out.txt"
expected="opening scale 0          512 x 512      read scale 40
opening scale 20         256 x 256      read scale 40
opening scale 10         128 x 128      read scale 40
opening scale 13.3       170 x 170      read scale 40"
if [ "$(cat "$work/out.txt")" != "$expected" ]; then
    echo "unexpected geometry; wanted:"
    echo "$expected"
    exit 1
fi
