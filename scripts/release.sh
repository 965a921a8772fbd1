#!/usr/bin/env bash
# Makes what a maker ships, from this tree:
#   <out>/klv-tools_<version>_<arch>.deb            the Linux tools as a Debian package
#   <out>/KLV-Updater_<version>_windows.zip         the Windows folder: the updater (and
#                                                   klvflash.exe, klvpkg.exe once the cross
#                                                   build makes them), README.txt, SHA256SUMS
#
#   bash scripts/release.sh [--package FILE] [--out DIR] [--allow-dirty]
#
#   --package FILE  the firmware package the programs carry (default: the demo package)
#   --out DIR       where the two files go (default: build/release)
#   --allow-dirty   make them from a tree with uncommitted changes (their programs say
#                   "-dirty"); without it such a tree is refused
#
# It installs the Debian packages it needs first (scripts/setup.sh) and builds in
# build/release-build/{linux,windows}, apart from the developer's own build folders.
# Exit status: 0 made; 1 a step failed; 2 usage or a refused input.
set -euo pipefail
cd "$(dirname "$0")/.."
me=release.sh

usage() {
  echo "usage: bash scripts/release.sh [--package FILE] [--out DIR] [--allow-dirty]" >&2
  [ -z "${1:-}" ] || echo "$me: $1" >&2
  exit 2
}

package="" out=build/release allow_dirty=0
while [ $# -gt 0 ]; do
  case $1 in
    --package|--out)
      [ $# -ge 2 ] || usage "$1 needs a value"
      [ -n "$2" ] || usage "$1 is empty"
      if [ "$1" = --package ]; then package=$2; else out=$2; fi
      shift 2 ;;
    --allow-dirty) allow_dirty=1; shift ;;
    -h|--help) sed -n '2,19s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) usage "unknown argument '$1'" ;;
  esac
done

if [ -n "$package" ]; then
  [ -f "$package" ] || usage "--package $package: no such file; give the .klvpkg to ship"
  [ -r "$package" ] || usage "--package $package: cannot be read"
  package=$(realpath "$package")
fi
if [ -e "$out" ] && [ ! -d "$out" ]; then
  usage "--out $out exists and is not a folder; name a folder"
fi

if git rev-parse --show-toplevel >/dev/null 2>&1 && [ "$(git rev-parse --show-toplevel)" = "$(pwd -P)" ]; then
  changes=$(git status --porcelain --untracked-files=no)
  if [ -n "$changes" ] && [ $allow_dirty -eq 0 ]; then
    echo "$me: the tree has uncommitted changes:" >&2
    echo "$changes" | head -n 10 >&2
    echo "$me: commit them first, or pass --allow-dirty for a trial release (its programs say -dirty)" >&2
    exit 2
  fi
else
  echo "$me: not a git checkout: the programs will say 'commit unknown'" >&2
fi

bash scripts/setup.sh
trees=build/release-build
mkdir -p "$trees"
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

echo "=== native tools and the Debian package"
cmake --preset linux -B "$trees/linux" -DKLV_TESTS=OFF -DKLV_BENCHMARKS=OFF \
      -DKLV_PACKAGE="$package" >"$trees/linux-configure.log" 2>&1 ||
  { tail -n 30 "$trees/linux-configure.log"; exit 1; }
cmake --build "$trees/linux" -j "$jobs" --target klvpkg klv_embedded_package_file

# A package the updater would refuse (ERROR! 96) or could never find is not worth shipping.
embedded=${package:-$trees/linux/res/demo/demo.klvpkg}
"$trees/linux/bin/klvpkg" inspect --json "$embedded" >"$trees/package.json"
refusal=$(python3 -c '
import json, sys
p = json.load(open(sys.argv[1]))
if not p["usable"]:
    print("is not a usable package (invalid, or no image 1)")
elif not p["usbIds"]:
    print("lists no USB ids: the updater could never find the instrument")
' "$trees/package.json")
if [ -n "$refusal" ]; then
  echo "$me: $embedded $refusal; nothing made" >&2
  exit 2
fi

cmake --build "$trees/linux" -j "$jobs" --target deb

echo "=== Windows program and the zip"
cmake --preset windows -B "$trees/windows" -DKLV_TESTS=OFF -DKLV_PACKAGE="$package" \
      >"$trees/windows-configure.log" 2>&1 ||
  { tail -n 30 "$trees/windows-configure.log"; exit 1; }
cmake --build "$trees/windows" -j "$jobs" --target release

version=$(sed -n 's/^version=//p' "$trees/linux/generated/klv_version.txt")
commit=$(sed -n 's/^commit=//p' "$trees/linux/generated/klv_version.txt")
deb=$trees/linux/release/klv-tools_${version}_$(dpkg --print-architecture).deb
zip=$trees/windows/release/KLV-Updater_${version}_windows.zip
mkdir -p "$out"
cp -f "$deb" "$zip" "$out/"
echo "=== made, version $version, commit $commit:"
(cd "$out" && sha256sum "$(basename "$deb")" "$(basename "$zip")")
echo "in $out/"
