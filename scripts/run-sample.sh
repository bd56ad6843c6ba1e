#!/bin/sh
# The main job on the built-in sample: installs what is missing, builds the
# project, makes a sample slide from a real stained-tissue image, shows it
# through tqfslide (levels and properties printed; a thumbnail and a contact
# sheet of patches cut over its tissue written as PNG files to sample/),
# prints its geometry at several scales from a native program, and reads
# regions at two scales, the preview and the label through the compatible
# low-level module, also into sample/.
#
#   scripts/run-sample.sh
#
# Environment: JOBS (default: the number of cores), SAMPLE_WIDTH and
# SAMPLE_HEIGHT (default 16000 x 12000).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
JOBS=${JOBS:-$(nproc)}
WIDTH=${SAMPLE_WIDTH:-16000}
HEIGHT=${SAMPLE_HEIGHT:-12000}

./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS" --target tqfreader tqfslide_python tqf-convert slide-geometry

mkdir -p sample
IMAGE=sample/tissue-${WIDTH}x${HEIGHT}.tif
SLIDE=sample/tissue.tqf
if [ ! -f "$IMAGE" ]; then
    echo "making a ${WIDTH} x ${HEIGHT} tissue image from the immunohistochemistry sample ..."
    /usr/bin/python3 tools/make_sample_image.py "$IMAGE.part.tif" "$WIDTH" "$HEIGHT" 1
    mv "$IMAGE.part.tif" "$IMAGE"
fi
echo "converting $IMAGE to $SLIDE ..."
./build/tqf-convert "$IMAGE" "$SLIDE"

echo
echo "the slide through tqfslide (tools/slide_tour.py):"
PYTHONPATH="$ROOT/build" /usr/bin/python3 tools/slide_tour.py "$SLIDE" sample

echo
echo "geometry at several opening scales (native program, build/slide-geometry):"
./build/slide-geometry "$SLIDE" 0 20 10 13.3

echo
echo "regions, preview and label through the low-level module (tools/sample_tour.py):"
PYTHONPATH="$ROOT/build" /usr/bin/python3 tools/sample_tour.py "$SLIDE" sample

echo
echo "the sample in the browser (a Deep Zoom viewer; Ctrl-C stops it):"
echo "  build/tqf serve $SLIDE"
echo "  then open http://127.0.0.1:8000/view/tissue"
