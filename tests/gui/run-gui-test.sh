#!/usr/bin/env bash
# Runs one GUI test under Wine on a virtual display of its own, and cleans up after itself.
#
#   run-gui-test.sh <build folder> driver <scenario> [<screenshot file>]
#   run-gui-test.sh <build folder> exe <test program.exe>
#
# Starts Xvfb on a free display number, uses a Wine prefix of the GUI tests' own in the build
# folder (made once, under a lock), runs the driver scenario (which starts sarvelt.exe in a
# fresh temporary folder) or the test program, then stops the prefix's wineserver and Xvfb
# and removes the temporary folder. For the scenario "screenshot" it saves the main window as
# a PNG once the driver has the window ready. A scenario whose name ends in "_144dpi" gets a
# prefix of its own set to 144 DPI (Wine's LogPixels), on a screen large enough for it.
set -uo pipefail

build=$(cd "$1" && pwd)
kind=$2
what=$3
shot=${4:-}
if [ "$kind" = exe ]; then
  what="$(cd "$(dirname "$what")" && pwd)/$(basename "$what")"
fi

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

export WINEPREFIX="$build/gui-wineprefix"
dpi=""
screen=1280x1024x24
if [ "${what%_144dpi}" != "$what" ]; then
  dpi=144
  screen=1920x1536x24
  export WINEPREFIX="$build/gui-wineprefix-144dpi"
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

work=$(mktemp -d /tmp/sarvelt-gui.XXXXXX)
xvfb_pid=
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A free display number: no lock file and no socket, and Xvfb must actually come up on it
# (another test may take the same number at the same moment: then try the next one).
start_xvfb() {
  local n
  for n in $(seq 90 189); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 "$screen" -nolisten tcp >/dev/null 2>&1 </dev/null &
    xvfb_pid=$!
    for _ in $(seq 1 50); do
      if [ -e "/tmp/.X11-unix/X$n" ]; then
        export DISPLAY=":$n"
        return 0
      fi
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  done
  echo "gui test: could not start Xvfb" >&2
  return 1
}

start_xvfb || exit 1

# The prefix: made once. Wine draws the window frames itself (no window manager here), so the
# screenshot shows the caption; and no visual theme is active, as for a program whose manifest
# asks for no common-controls version (so the progress bar shows the colour it is given).
if [ ! -f "$WINEPREFIX/.sarvelt-gui-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.sarvelt-gui-ready" ]; then
      [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1
      "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      "$wine" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive /d 0 /f >/dev/null 2>&1
      if [ -n "$dpi" ]; then
        # Where Wine versions read the screen's DPI: the user's desktop, and the older place.
        "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
        "$wine" reg add 'HKEY_CURRENT_CONFIG\Software\Fonts' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
      fi
      "$wineserver" -w
      touch "$WINEPREFIX/.sarvelt-gui-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# A Linux path as Wine sees it (drive Z: is the root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

cd "$work"
case "$kind" in
  exe)
    "$wine" "$(winpath "$what")" </dev/null
    rc=$?
    ;;
  driver)
    if [ "$what" = screenshot ] || [ "${what#screenshot_}" != "$what" ]; then
      mkdir -p "$work/handshake"
      "$wine" "$(winpath "$build/tests/gui/gui_driver.exe")" "$what" "$(winpath "$build/sarvelt.exe")" \
        "$(winpath "$work/handshake")" </dev/null &
      driver_pid=$!
      for _ in $(seq 1 600); do
        [ -f "$work/handshake/rect" ] && break
        kill -0 "$driver_pid" 2>/dev/null || break
        sleep 0.1
      done
      if [ -f "$work/handshake/rect" ]; then
        geometry=$(tr -d '\r\n' <"$work/handshake/rect")
        mkdir -p "$(dirname "$shot")"
        if import -window root -crop "$geometry" +repage "$work/shot.png" && [ -s "$work/shot.png" ]; then
          cp "$work/shot.png" "$shot"
          echo "gui test: saved the main window ($geometry) to $shot"
        else
          echo "gui test: taking the screenshot failed" >&2
        fi
      fi
      touch "$work/handshake/done"
      wait "$driver_pid"
      rc=$?
      [ -s "$shot" ] || rc=1
    else
      "$wine" "$(winpath "$build/tests/gui/gui_driver.exe")" "$what" "$(winpath "$build/sarvelt.exe")" </dev/null
      rc=$?
    fi
    ;;
  *)
    echo "usage: run-gui-test.sh <build folder> driver <scenario> [<screenshot>] | exe <program.exe>" >&2
    rc=2
    ;;
esac
exit "$rc"
