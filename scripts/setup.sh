#!/usr/bin/env bash
# Installs every Debian package that the build, the tools and the tests need.
# Safe to run again: packages already present are left alone. Nothing else is downloaded.
set -euo pipefail

packages=(
  # native build
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format
  # Windows cross build (posix thread model: std::thread and std::mutex)
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # libraries of the tools: argument parsing, JSON, SHA-256
  libcli11-dev nlohmann-json3-dev libssl-dev
  # running and driving the Windows program
  wine wine64 xvfb xdotool imagemagick xauth
  # icon generation at build time
  python3 socat
  # a stepped wall clock for the lock-wait test
  faketime
  # releases: the Debian package, its manual pages and checks, the Windows zip's checks
  dpkg-dev lintian help2man man-db unzip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
