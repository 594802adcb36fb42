#!/usr/bin/env bash
# Builds the 64-bit Windows program and starts it under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DSARVELT_TESTS=OFF >/dev/null
cmake --build build/win64 -j "$(nproc)" --target sarvelt
if [ -z "${DISPLAY:-}" ]; then
  echo "run: no display (DISPLAY is not set). Start the program on a desktop session, or run it"
  echo "     under a virtual display:  xvfb-run -a scripts/run.sh"
  exit 1
fi
exec scripts/wine-run build/win64/sarvelt.exe
