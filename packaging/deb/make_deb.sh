#!/usr/bin/env bash
# Makes the Debian package of the Linux tools from a native build:
#   klvflash, klvpkg, klvsim in /usr/bin, a manual page for each (made by help2man from
#   the tool's own --help and --version, with the sections of packaging/man/*.h2m),
#   the udev rule for the instrument (from the USB ids of the package klvflash carries),
#   copyright and changelog; Depends found by dpkg-shlibdeps.
#
#   make_deb.sh OUT.deb BIN_DIR EMBEDDED_PACKAGE VERSION_FILE WORK_DIR
#
# VERSION_FILE is <build>/generated/klv_version.txt (version, commit, epoch). Every file's
# time is the commit's (SOURCE_DATE_EPOCH). WORK_DIR is emptied and reused.
# KLV_DEB_MAINTAINER names the maintainer.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
me=make_deb.sh

if [ $# -ne 5 ]; then
  echo "usage: $me OUT.deb BIN_DIR EMBEDDED_PACKAGE VERSION_FILE WORK_DIR" >&2
  exit 2
fi
out=$1 bin=$2 package=$3 version_file=$4 work=$5
for arg in "$out" "$bin" "$package" "$version_file" "$work"; do
  [ -n "$arg" ] || { echo "$me: an argument is empty" >&2; exit 2; }
done
[ "$work" != / ] || { echo "$me: WORK_DIR must not be /" >&2; exit 2; }

missing=()
for tool in help2man:help2man dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev gzip:gzip \
            strip:binutils python3:python3; do
  command -v "${tool%%:*}" >/dev/null || missing+=("${tool%%:*} (Debian package ${tool#*:})")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "$me: missing ${missing[*]}; run scripts/setup.sh" >&2
  exit 1
fi
for t in klvflash klvpkg klvsim; do
  [ -x "$bin/$t" ] || { echo "$me: $bin/$t is missing; build the linux preset first" >&2; exit 1; }
done
[ -f "$package" ] || { echo "$me: the embedded package $package is missing" >&2; exit 1; }
[ -f "$version_file" ] || { echo "$me: $version_file is missing" >&2; exit 1; }

fact() { sed -n "s/^$1=//p" "$version_file"; }
version=$(fact version) commit=$(fact commit) epoch=$(fact epoch)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "$me: bad version '$version'" >&2; exit 1; }
[[ $epoch =~ ^[0-9]+$ ]] || { echo "$me: bad epoch '$epoch'" >&2; exit 1; }
export SOURCE_DATE_EPOCH=$epoch LC_ALL=C.UTF-8 TZ=UTC
maintainer=${KLV_DEB_MAINTAINER:-KLV-Series FW Updater developers <klv-tools@example.com>}
arch=$(dpkg --print-architecture)
umask 022

rm -rf "$work"
root=$work/root
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" \
         "$root/usr/share/doc/klv-tools" "$root/lib/udev/rules.d" "$work/man"

# The programs, without symbols and the compiler's notes.
for t in klvflash klvpkg klvsim; do
  install -m 0755 "$bin/$t" "$root/usr/bin/$t"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/$t"
done

# Manual pages from the programs' own help. klvpkg's subcommands (as its --help lists
# them) have help of their own, which goes in as a section of preformatted text.
roff_verbatim() { sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"; }
subcommands=$("$root/usr/bin/klvpkg" --help |
              awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } /^$/ { on = 0 }')
[ -n "$subcommands" ] || { echo "$me: klvpkg --help lists no subcommands" >&2; exit 1; }
{
  echo "[COMMANDS]"
  for sub in $subcommands; do
    echo ".SS \"klvpkg $sub\""
    echo ".nf"
    "$root/usr/bin/klvpkg" "$sub" --help | roff_verbatim
    echo ".fi"
  done
} >"$work/man/klvpkg-commands.h2m"
declare -A names=(
  [klvflash]="install firmware into a KLV-series instrument over its USB serial port"
  [klvpkg]="build and inspect KLV firmware packages"
  [klvsim]="simulated KLV-series instrument on a pseudo-terminal"
)
for t in klvflash klvpkg klvsim; do
  includes=()
  [ "$t" != klvpkg ] || includes+=(--include "$work/man/klvpkg-commands.h2m")
  includes+=(--include "$here/man/$t.h2m")
  help2man --no-info --section 1 --name "${names[$t]}" --source "klv-tools $version" \
           "${includes[@]}" \
           --output "$work/man/$t.1" "$root/usr/bin/$t"
  gzip -9n <"$work/man/$t.1" >"$root/usr/share/man/man1/$t.1.gz"
done

# The udev rule, from the package klvflash carries.
"$bin/klvpkg" inspect --json "$package" >"$work/package.json"
python3 "$here/make_udev_rule.py" "$work/package.json" "$root/lib/udev/rules.d/70-klv-instrument.rules"

# Documents: copyright, and the changelog of a native package.
install -m 0644 "$here/deb/copyright" "$root/usr/share/doc/klv-tools/copyright"
{
  echo "klv-tools ($version) unstable; urgency=medium"
  echo
  echo "  * Release $version, built from commit $commit."
  echo
  echo " -- $maintainer  $(date -u -R -d "@$epoch")"
} | gzip -9n >"$root/usr/share/doc/klv-tools/changelog.gz"

# Depends: what the programs link, as dpkg-shlibdeps finds it. It wants a
# debian/control to read; a minimal one in a folder of its own.
mkdir -p "$work/shlibs/debian"
printf 'Source: klv-tools\n\nPackage: klv-tools\nArchitecture: any\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O -e"$root/usr/bin/klvflash" \
            -e"$root/usr/bin/klvpkg" -e"$root/usr/bin/klvsim" | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "$me: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

installed_kib=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$installed_kib/" \
    -e "s|@DEPENDS@|$depends|" -e "s|@MAINTAINER@|$maintainer|" \
    "$here/deb/control.in" >"$root/DEBIAN/control"
(cd "$root" && find . -type f ! -path './DEBIAN/*' -printf '%P\n' | LC_ALL=C sort |
   xargs -d '\n' md5sum) >"$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f ! -path "$root/usr/bin/*" -exec chmod 0644 {} +

mkdir -p "$(dirname "$out")"
dpkg-deb --root-owner-group -Zxz --build "$root" "$out.tmp" >/dev/null
mv -f "$out.tmp" "$out"
echo "$me: wrote $out (klv-tools $version, commit $commit)"
