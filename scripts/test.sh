#!/usr/bin/env bash
# Runs every test of the project from a fresh clone:
#   linux     native g++ build: unit, integration (pseudo-terminals) and tool tests
#   windows   MinGW-w64 cross build: the same unit tests and the Windows-only tests under Wine
#   sanitize  clang with AddressSanitizer + UndefinedBehaviorSanitizer, and a short fuzzer run
#   tsan      clang with ThreadSanitizer, the tests that use threads and the protocol tests
# Installs what it needs first (scripts/setup.sh). Ends with one line "total: N passed, M failed"
# over all presets and exits non-zero when anything failed or did not build.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || { echo "setup failed"; exit 1; }

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux windows sanitize tsan)

# One throw-away Wine prefix for the whole run; tests that need a prefix of their own
# make one themselves.
wine_root=$(mktemp -d /tmp/klv-wine.XXXXXX)
export WINEPREFIX=$wine_root/prefix WINEDEBUG=-all
cleanup() {
  WINEPREFIX=$wine_root/prefix wineserver -k >/dev/null 2>&1 || true
  rm -rf "$wine_root"
}
trap cleanup EXIT

passed=0
failed=0
broken=()
logdir=build/test-logs
mkdir -p "$logdir"

for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  start=$(date +%s)
  if [ "$preset" = windows ] && [ ! -d "$WINEPREFIX" ]; then
    wineboot -i >/dev/null 2>&1 || true
  fi
  if ! cmake --preset "$preset" >"$logdir/$preset-configure.log" 2>&1; then
    tail -n 40 "$logdir/$preset-configure.log"
    echo "=== $preset: configure FAILED"
    broken+=("$preset")
    continue
  fi
  if ! cmake --build --preset "$preset" -j "$(nproc)" >"$logdir/$preset-build.log" 2>&1; then
    grep -E "error|Error" "$logdir/$preset-build.log" | head -n 40
    echo "=== $preset: build FAILED"
    broken+=("$preset")
    continue
  fi
  echo "=== $preset: test"
  retry=()
  # Under Wine a test that starts its own X server and window can lose its start to the
  # machine's load (seen once: the dialog never came up, at 10 s). Such a test gets one
  # more run; a real fault fails both.
  [ "$preset" = windows ] && retry=(--repeat until-pass:2)
  ctest --preset "$preset" -j 2 --timeout 900 "${retry[@]}" 2>&1 | tee "$logdir/$preset-ctest.log"
  summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$logdir/$preset-ctest.log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "=== $preset: no test summary"
    broken+=("$preset")
    continue
  fi
  nfail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  ntotal=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")
  passed=$((passed + ntotal - nfail))
  failed=$((failed + nfail))
  echo "=== $preset: $((ntotal - nfail)) passed, $nfail failed ($(( $(date +%s) - start )) s)"
done

if [ ${#broken[@]} -gt 0 ]; then
  echo "presets that did not build or run: ${broken[*]}"
  failed=$((failed + ${#broken[@]}))
fi
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
