#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine for ctest. WINEPREFIX comes from the
# caller (scripts/test.sh makes a throw-away one); the exit status is the program's.
export WINEDEBUG=${WINEDEBUG:--all}
exec wine "$@"
