#!/usr/bin/env bash
# The main job: installs what is missing, builds everything natively and shows the
# firmware package that the programs embed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)"
build/linux/bin/klvpkg inspect build/linux/res/demo/demo.klvpkg
