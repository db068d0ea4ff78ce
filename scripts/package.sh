#!/usr/bin/env bash
# Builds the release archive dist/OBKzcomp-VERSION.zip: the module for the
# 32- and 64-bit Windows builds of the host and for Linux x86-64, each in its
# own folder, with a text on which file to pick and how to add it to a host.
# The Linux folder also holds zbuf.imageio.so, the depth file format for
# OpenImageIO programs.
# VERSION is the project version in CMakeLists.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh package

version=$(sed -n 's/^project(obkzcomp VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
  echo "package: no project version in CMakeLists.txt" >&2
  exit 1
fi
if [ "$(uname -m)" != x86_64 ]; then
  echo "package: the Linux module must be built on x86-64, not $(uname -m)" >&2
  exit 1
fi

echo "== Linux module and OpenImageIO plug-in"
scripts/build.sh build-package -DCMAKE_BUILD_TYPE=Release \
  -DOBK_BUILD_PROGRAM=OFF -DOBK_BUILD_OIIO_PLUGIN=ON -DOBK_BUILD_BENCH=OFF -DOBK_BUILD_TESTS=OFF
echo "== Windows modules"
scripts/build-windows.sh

name=OBKzcomp-$version
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name"/{windows-32bit,windows-64bit,linux-x86_64}
# Copies without symbol tables; the exported record stays, as the check of
# the export and import tables confirms for the Windows files.
strip -o "$stage/$name/linux-x86_64/OBKzcomp.p" build-package/bin/OBKzcomp.p
strip -o "$stage/$name/linux-x86_64/zbuf.imageio.so" build-package/bin/zbuf.imageio.so
for target in windows-32bit:build-win32:i686-w64-mingw32:pei-i386 \
              windows-64bit:build-win64:x86_64-w64-mingw32:pei-x86-64; do
  IFS=: read -r folder dir triple format <<<"$target"
  module=$stage/$name/$folder/OBKzcomp.p
  "$triple-strip" -o "$module" "$dir/bin/OBKzcomp.p"
  cmake -DMODULE="$module" -DOBJDUMP="$triple-objdump" -DFORMAT="$format" -P tests/check_pe_tables.cmake
done
# Windows line ends: the text is read on Windows first of all.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' packaging/README.txt > "$stage/$name/README.txt"

mkdir -p dist
rm -f "dist/$name.zip"
(cd "$stage" && zip -q -r -X "$root/dist/$name.zip" "$name")
unzip -l "dist/$name.zip"
echo "built dist/$name.zip"
