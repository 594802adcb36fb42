#!/usr/bin/env bash
# Builds the 64-bit Windows program and starts it under Wine (it needs a display).
set -euo pipefail
cd "$(dirname "$0")/.."
# Everything it needs first, xvfb-run included, so that the advice below can be followed.
bash scripts/install-deps.sh
if [ -z "${DISPLAY:-}" ]; then
  echo "run: no display (DISPLAY is not set): the program is a window and needs one."
  echo "     Start it from a desktop session, or give it a virtual display:"
  echo "       xvfb-run -a scripts/run.sh          (the window is then invisible, e.g. for a screenshot)"
  echo "     or forward a display over SSH:  ssh -X <this machine>, then scripts/run.sh"
  exit 1
fi
# The same build folder as the tests; its options (tests on or off) are left as they are.
cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build build/win64 -j "$(nproc)" --target sarvelt
exec scripts/wine-run build/win64/sarvelt.exe
