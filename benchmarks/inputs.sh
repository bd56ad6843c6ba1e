# Sourced by the benchmark scripts: the inputs every method of a benchmark
# reads, made once (not timed) and kept in WORK_DIR.
#   IMAGE  a WIDTH x HEIGHT stained-tissue TIFF (tools/make_sample_image.py)
#   SLIDE  its .tqf slide, remade when tqf-convert is newer
#   TIFF   the slide as a tiled pyramidal TIFF with the very same tiles
# Set ROOT, BUILD_DIR, WORK_DIR, WIDTH and HEIGHT first; call the functions
# for the inputs needed.

bench_image() {
    mkdir -p "$WORK_DIR"
    IMAGE=$WORK_DIR/sample-${WIDTH}x${HEIGHT}.tif
    if [ ! -f "$IMAGE" ]; then
        echo "making $IMAGE ..."
        /usr/bin/python3 "$ROOT/tools/make_sample_image.py" "$IMAGE.part.tif" "$WIDTH" "$HEIGHT" 7
        mv "$IMAGE.part.tif" "$IMAGE"
    fi
}

bench_slide() {
    bench_image
    SLIDE=$WORK_DIR/sample-${WIDTH}x${HEIGHT}.tqf
    if [ ! -f "$SLIDE" ] || [ "$SLIDE" -ot "$BUILD_DIR/tqf-convert" ]; then
        echo "converting to $SLIDE ..."
        "$BUILD_DIR/tqf-convert" --quiet -m 40 "$IMAGE" "$SLIDE"
    fi
}

bench_tiff() {
    bench_slide
    TIFF=$WORK_DIR/sample-${WIDTH}x${HEIGHT}-tiles.tiff
    if [ ! -f "$TIFF" ] || [ "$TIFF" -ot "$SLIDE" ]; then
        echo "exporting $TIFF ..."
        "$BUILD_DIR/tqf-convert" --quiet --export-tiff "$SLIDE" "$TIFF"
    fi
}
