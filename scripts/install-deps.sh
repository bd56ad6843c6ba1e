#!/bin/sh
# Installs the Debian packages this project builds, tests and benchmarks with.
# Idempotent: it asks apt only for what is missing and refreshes the package
# lists only when something is.
set -eu

# python3-dask, python3-distributed and python3-zarr: tqfslide's dask arrays,
# zarr store and tissue-mask job.
# libopenblas0-pthread comes with OpenCV on most machines and starts threads
# when it is loaded; every machine gets it so that the tests meet it too.
# tqf-convert reads slides through OpenSlide and TIFF through libtiff, and
# pads edge tiles through libjpeg's coefficient interface; its tests make
# sources with tifffile, Pillow and libvips-tools (vips tiffsave) and read
# exports back with OpenSlide.
# The tqf command and its viewer run on python3-pil, python3-openslide
# (OpenSlide-compatible slides) and python3-waitress (its WSGI server option); the
# browser test drives chromium through chromium-driver and python3-selenium;
# scripts/build-deb.sh needs dpkg-dev (dpkg-shlibdeps) and file (CPack
# finds the binaries to give dpkg-shlibdeps with it); stress-ng keeps the
# cores busy for scripts/run-tests.sh --busy; scripts/check-format.sh
# needs clang-format-14. The OpenSlide-compatible
# libraries are tested with OpenSlide's real clients: openslide-tools,
# libvips-tools and python-openslide-examples (OpenSlide's Deep Zoom server
# and tiler). pip install . builds through python3-setuptools (with
# python3-wheel) into virtual environments of python3-venv with python3-pip;
# python3-build makes the wheel; python3-mypy checks the package's types.
# GNU time gives scripts/run-fuzzers.sh each target's processor seconds (and
# the benchmarks their peak memory).
PACKAGES="
cmake
g++
make
pkg-config
libopencv-dev
libturbojpeg0-dev
python3-dev
python3-numpy
python3-pytest
python3-skimage
python3-scipy
python3-h5py
python3-dask
python3-distributed
python3-zarr
googletest
libgtest-dev
libbenchmark-dev
clang
clang-format-14
libclang-rt-14-dev
valgrind
libopenblas0-pthread
libopenslide-dev
libtiff-dev
libjpeg62-turbo-dev
python3-openslide
python3-tifffile
python3-pil
pybind11-dev
python3-torch
python3-waitress
chromium
chromium-driver
python3-selenium
dpkg-dev
file
stress-ng
openslide-tools
libvips-tools
python-openslide-examples
python3-setuptools
python3-wheel
python3-venv
python3-pip
python3-build
python3-mypy
time
"
# Only the benchmarks need wrk: the load generator the viewer's load
# benchmark drives both servers with.
if [ "${1:-}" = "--bench" ]; then
    PACKAGES="$PACKAGES wrk"
fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

echo "installing:$missing"
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
