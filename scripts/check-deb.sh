#!/usr/bin/env bash
# Installs a tqfreader .deb on a freshly bootstrapped Debian 12 (the base that
# scripts/fresh-machine.sh caches, made first when missing) with apt, as a user
# would, and checks that `tqf` and `import tqfslide` work with no other step:
# a slide made by tqf-convert, read by tqf, tqfslide, tqfReader and the
# OpenSlide-compatible class, by unmodified openslide-python through the
# OpenSlide-compatible C library (tqf with-openslide), and served by
# `tqf serve`. Then it installs a compiler and builds
# packaging/example/read_slide.cpp against the installed libtqfslide alone,
# once with pkg-config and once with find_package(tqfslide), runs both on the
# slide, and checks that neither loads libpython and that LD_LIBRARY_PATH
# still puts another libyelk.so.1 in place of the package's. Needs root.
#   scripts/check-deb.sh tqfreader_0.2.0_amd64.deb
set -euo pipefail
deb=$(readlink -f "$1")
root_dir=$(cd "$(dirname "$0")/.." && pwd)
cache=${FRESH_CACHE:-/tmp/fresh-debian}
base=$cache/bookworm-base.tar
if [ ! -f "$base" ]; then
  "$root_dir/scripts/fresh-machine.sh" "$root_dir" true
fi
root=$(mktemp -d "$cache/deb.XXXX")
tar -C "$root" -xf "$base"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
cp "$deb" "$root/tmp/"
cp -r "$root_dir/packaging/example" "$root/tmp/cxx"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cleanup() {
  umount "$root/dev/pts" "$root/dev" "$root/proc" 2>/dev/null || true
  if ! mountpoint -q "$root/proc" && ! mountpoint -q "$root/dev"; then rm -rf "$root"; fi
}
trap cleanup EXIT
chroot "$root" /bin/bash -euo pipefail -c "
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends /tmp/$(basename "$deb") >/dev/null
cd /tmp
tqf --version
python3 -c 'from PIL import Image; Image.radial_gradient(\"L\").convert(\"RGB\").resize((3000, 2000)).save(\"g.png\")'
tqf convert g.png g.tqf >/dev/null
tqf info g.tqf | head -n 3
tqf region g.tqf 100 100 256 256 --level 1 -o r.png && python3 -c 'from PIL import Image; print(\"region\", Image.open(\"r.png\").size)'
python3 -c '
import tqfslide, tqfReader
from tqfslide.openslide_compat import open_slide
from openslide.deepzoom import DeepZoomGenerator
print(\"tqfslide\", tqfslide.__version__, tqfslide.open(\"g.tqf\").level_dimensions)
print(\"openslide_compat\", DeepZoomGenerator(open_slide(\"g.tqf\")).level_count, \"Deep Zoom levels\")
print(\"tqfReader\", tqfReader.__name__)
'
tqf with-openslide python3 -c '
import openslide
slide = openslide.OpenSlide(\"g.tqf\")
print(\"openslide-python through libopenslide\", openslide.__library_version__, slide.properties[\"openslide.vendor\"],
      slide.level_dimensions[0], slide.read_region((100, 100), 0, (64, 64)).getpixel((0, 0)))
'
tqf serve g.tqf --port 0 >serve.log 2>&1 &
server=\$!
python3 -c '
import re, time, urllib.request
for _ in range(100):
    found = re.search(\"(http://127.0.0.1:[0-9]+/)\", open(\"serve.log\").read())
    if found:
        break
    time.sleep(0.1)
body = urllib.request.urlopen(found.group(1) + \"slides/g_files/12/0_0.jpeg\").read()
print(\"served a tile of\", len(body), \"bytes\")
'
kill \$server
wait \$server || true

apt-get install -y -qq --no-install-recommends g++ make cmake pkg-config >/dev/null
cd /tmp/cxx
g++ -std=c++17 -O2 read_slide.cpp \$(pkg-config --cflags --libs tqfslide) -o read-slide-pkg-config
./read-slide-pkg-config /tmp/g.tqf
cmake -S . -B build >/dev/null
cmake --build build >/dev/null
build/read-slide /tmp/g.tqf | tail -n 1
for program in read-slide-pkg-config build/read-slide; do
  # ldd's whole output first: with pipefail, grep -q leaving early would
  # fail the pipe (ldd killed by SIGPIPE) whatever it found.
  libraries=\$(ldd \$program)
  if grep -q libpython <<<\"\$libraries\"; then echo \"\$program loads libpython\" >&2; exit 1; fi
done
echo 'the C++ programs load no libpython'
mkdir -p /tmp/other-yelk
cp /usr/lib/x86_64-linux-gnu/tqfreader/libyelk.so.1 /tmp/other-yelk/
for object in build/read-slide /usr/bin/tqf-convert /usr/lib/python3/dist-packages/_tqfReader.*.so; do
  libraries=\$(LD_LIBRARY_PATH=/tmp/other-yelk ldd \$object)
  grep -q '/tmp/other-yelk/libyelk.so.1' <<<\"\$libraries\" ||
    { echo \"LD_LIBRARY_PATH does not replace libyelk.so.1 for \$object\" >&2; exit 1; }
done
echo 'LD_LIBRARY_PATH replaces libyelk.so.1'
"
echo "the package installs and works on a fresh Debian 12"
