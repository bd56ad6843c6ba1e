#!/bin/sh
# Refreshes the copy of OpenSeadragon (BSD-3-Clause) that the viewer serves,
# kept in the repository so that neither the build nor the Debian package
# needs npm: the built script, its button images and its licence, from the
# npm registry's package.
#
#   scripts/fetch-openseadragon.sh [VERSION]     (default: the version kept)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
VERSION=${1:-6.1.1}
TARGET=$ROOT/python/tqfslide/viewer/static/openseadragon
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

cd "$WORK"
npm pack --silent "openseadragon@$VERSION" >/dev/null
tar -xzf "openseadragon-$VERSION.tgz"
rm -rf "$TARGET"
mkdir -p "$TARGET"
cp package/build/openseadragon/openseadragon.min.js "$TARGET/"
cp -r package/build/openseadragon/images "$TARGET/"
cp package/LICENSE.txt "$TARGET/"
echo "OpenSeadragon $VERSION in $TARGET"
