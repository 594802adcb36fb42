#!/usr/bin/env bash
# Checks what scripts/package.sh wrote, as a user would meet it:
#   tests/packages/check-packages.sh <folder with the packages>
# The win64 MSI is installed, run, upgraded and removed under Wine (a throwaway prefix, an Xvfb
# of its own); the win32 MSI (32-bit code cannot run here), the zips and the .deb are checked
# by their contents, the .deb's sarvelt-cli by a run. Prints "ok" or "FAIL" per check, then
# "packages: N passed, N failed"; exit status 0 only if every check passed.
set -uo pipefail
dist=$(cd "${1:?usage: check-packages.sh <folder with the packages>}" && pwd) || exit 2
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(sarvelt VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$root/CMakeLists.txt")
upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/{\1}/p' "$root/packaging/sarvelt.wxs")

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
work=$(mktemp -d /tmp/sarvelt-packages.XXXXXX)
WINEPREFIX=$work/prefix
xvfb_pid=
cleanup() {
  "$wineserver" -k 2>/dev/null; "$wineserver" -w 2>/dev/null
  [ -z "$xvfb_pid" ] || { kill "$xvfb_pid"; wait "$xvfb_pid"; } 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A check fails when its command fails or when any step of it called why.
passed=0 failed=0 bad=0
why() { echo "     $*"; bad=1; return 1; }
check() {  # name, command...
  local name=$1; shift
  bad=0
  "$@" || bad=1
  if [ "$bad" -eq 0 ]; then echo "ok   $name"; passed=$((passed + 1)); else echo "FAIL $name"; failed=$((failed + 1)); fi
  [ "$bad" -eq 0 ]
}

winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
w() { "$wine" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
msi() { w msiexec "$1" "$(winpath "$2")" /qn || why "msiexec $1 $(basename "$2"): exit status $?"; }
# A product's value under the installed-programs key (64-bit view); empty if there is none.
arp() { w reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
product_code() { msiinfo export "$1" Property | sed -n 's/^ProductCode\t//p' | tr -d '\r'; }
pe_format() { x86_64-w64-mingw32-objdump -f "$1" | sed -n 's/.*file format //p'; }
program_files=$WINEPREFIX/drive_c/Program\ Files/Sarvelt

# A scratch tree with one file to rewrite and one without the search text; after the run
# the first holds the replacements with CR LF line ends, the second is as it was.
make_tree() { mkdir -p "$1" && printf 'one alpha\ntwo\nalpha alpha\n' >"$1/a.txt" && printf 'nothing\n' >"$1/b.txt"; }
tree_rewritten() {
  cmp -s "$1/a.txt" <(printf 'one beta\r\ntwo\r\nbeta beta\r\n') || why "a.txt: $(od -An -c "$1/a.txt" | tr -s ' \n' ' ')"
  cmp -s "$1/b.txt" <(printf 'nothing\n') || why "b.txt changed"
}

# A zip: its folder holds the two programs for its architecture, README and LICENSE (CR LF).
zip_ok() {  # arch, PE format
  local d=$work/zip-$1 top=Sarvelt-$version-$1
  unzip -q "$dist/$top.zip" -d "$d" || why "cannot unzip $top.zip"
  [ "$(cd "$d" && find . -type f | sort | tr '\n' ' ')" = "./$top/LICENSE.txt ./$top/README.txt ./$top/sarvelt-cli.exe ./$top/sarvelt.exe " ] \
    || why "unexpected files: $(cd "$d" && find . -type f | tr '\n' ' ')"
  [ "$(pe_format "$d/$top/sarvelt.exe")$(pe_format "$d/$top/sarvelt-cli.exe")" = "$2$2" ] || why "programs are not $2"
  cmp -s <(tr -d '\r' <"$d/$top/LICENSE.txt") "$root/LICENSE" && grep -q $'\r$' "$d/$top/LICENSE.txt" \
    || why "LICENSE.txt is not LICENSE with CR LF line ends"
}

# An MSI's tables: product, publisher, version, upgrade code, folder, and the same programs as
# the zip of its architecture. (No "grep -q" at the end of a pipe: under pipefail, the writer
# it cuts off can fail the pipe.)
msi_tables_ok() {  # arch, template, program files folder
  local m=$dist/Sarvelt-$version-$1.msi props
  props=$(msiinfo export "$m" Property | tr -d '\r')
  for p in "ProductName	Sarvelt" "Manufacturer	Corvane" "ProductVersion	$version" \
           "UpgradeCode	$upgrade_code" "ALLUSERS	1"; do
    grep -qx "$p" <<<"$props" || why "property missing: $p"
  done
  msiinfo suminfo "$m" | grep -x >/dev/null "Template: $2" || why "template is not $2"
  msiinfo export "$m" Directory | grep -P >/dev/null "^INSTALLDIR\t$3\tSarvelt\r?$" || why "not installed into $3"
  msiinfo export "$m" Shortcut | grep -P >/dev/null "^\w+\tProgramMenuFolder\tSarvelt\t" || why "no Start menu shortcut"
  # msiextract puts the files of an unknown root folder (ProgramFiles64Folder) at the top.
  msiextract -C "$work/msi-$1" "$m" >/dev/null || why "cannot extract $m"
  for f in sarvelt.exe sarvelt-cli.exe README.txt LICENSE.txt; do
    cmp -s "$(find "$work/msi-$1" -path "*/Sarvelt/$f")" "$work/zip-$1/Sarvelt-$version-$1/$f" || why "$f differs from the zip's"
  done
}

installed_ok() {  # product code
  for f in sarvelt.exe sarvelt-cli.exe README.txt LICENSE.txt; do
    cmp -s "$program_files/$f" "$work/zip-win64/Sarvelt-$version-win64/$f" || why "$f not installed"
  done
  compgen -G "$WINEPREFIX/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Sarvelt.lnk" >/dev/null \
    || compgen -G "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Sarvelt.lnk" >/dev/null \
    || why "no Sarvelt.lnk in a Start menu"
  [ "$(arp "$1" DisplayName)|$(arp "$1" Publisher)|$(arp "$1" DisplayVersion)" = "Sarvelt|Corvane|$version" ] \
    || why "installed-programs entry: '$(arp "$1" DisplayName)|$(arp "$1" Publisher)|$(arp "$1" DisplayVersion)'"
}

# The installed program shows a window of its own, titled with its version, within 30 s.
window_shows() {
  local pid id title=
  (cd "$work" && exec "$wine" 'C:\Program Files\Sarvelt\sarvelt.exe' </dev/null >/dev/null 2>&1) &
  pid=$!
  for _ in $(seq 1 150); do
    for id in $(xdotool search --onlyvisible --classname '^sarvelt\.exe$' 2>/dev/null); do
      title=$(xdotool getwindowname "$id")
      [ "$title" = "Sarvelt Vers $version" ] && break 2
    done
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  [ "$title" = "Sarvelt Vers $version" ] \
    || why "no visible window 'Sarvelt Vers $version' (last seen: '$title'; the program's version is in ui/main_window.cpp)"
}

installed_cli_rewrites() {
  make_tree "$work/tree-win"
  (cd "$work" && "$wine" 'C:\Program Files\Sarvelt\sarvelt-cli.exe' --path "$(winpath "$work/tree-win")" \
     --search alpha --replace beta </dev/null >/dev/null 2>&1) || why "exit status $?"
  tree_rewritten "$work/tree-win"
  [ -s "$work/logging.log" ] || why "no logging.log"
}

# What the installer put on the machine, less the undo store a run made in the user's own
# folder (%LOCALAPPDATA%\Sarvelt): the user's data, which no uninstall takes away.
installed_traces() {
  find "$WINEPREFIX/drive_c" -iname '*sarvelt*' -not -ipath '*/AppData/Local/Sarvelt*'
}

nothing_left() {  # product code
  [ -z "$(installed_traces)" ] || why "left: $(installed_traces)"
  [ ! -e "$WINEPREFIX/drive_c/windows/Installer/$1" ] || why "installer cache of $1 left"
  [ -z "$(arp "$1" DisplayName)" ] || why "installed-programs entry left"
  ! w reg query 'HKLM\Software\Corvane\Sarvelt' >/dev/null || why "HKLM\\Software\\Corvane\\Sarvelt left"
}

# A later version (the same source, minor + 1) replaces this one; this one is then refused.
upgrade_replaces() {  # shipped msi, its product code
  local later=${version%%.*}.$(( $(cut -d. -f2 <<<"$version") + 1 )) d=$work/later code
  mkdir -p "$d/bin" "$d/doc" && cp "$program_files"/*.exe "$d/bin/" && cp "$program_files"/*.txt "$d/doc/" \
    && cp "$root/resources/sarvelt.ico" "$d/" || why "cannot stage the later version"
  (cd "$d" && wixl -a x64 -D Version="$later" -D Win64=yes -D BinDir=bin -D DocDir=doc -D IconFile=sarvelt.ico \
     -o later.msi "$root/packaging/sarvelt.wxs") || why "wixl failed"
  code=$(product_code "$d/later.msi")
  msi /i "$d/later.msi"
  [ -z "$(arp "$2" DisplayName)" ] && [ "$(arp "$code" DisplayVersion)" = "$later" ] || why "$later did not replace $version"
  ! w msiexec /i "$(winpath "$1")" /qn || why "$version was installed over $later"
  [ -f "$program_files/sarvelt.exe" ] && [ "$(arp "$code" DisplayVersion)" = "$later" ] || why "refusing $version broke $later"
  msi /x "$d/later.msi" && nothing_left "$code"
}

deb_ok() {
  local deb=$dist/sarvelt-cli_${version}_amd64.deb x=$work/deb
  [ "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort | tr '\n' ' ')" = \
    "./usr/bin/sarvelt-cli ./usr/share/doc/sarvelt-cli/copyright ./usr/share/man/man1/sarvelt-cli.1.gz " ] \
    || why "unexpected contents: $(dpkg-deb -c "$deb")"
  [ "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = "Package: sarvelt-cli Version: $version Architecture: amd64 " ] \
    || why "control fields: $(dpkg-deb -f "$deb" Package Version Architecture)"
  dpkg-deb -x "$deb" "$x" && "$x/usr/bin/sarvelt-cli" --help | grep '^Usage: sarvelt-cli' >/dev/null || why "--help failed"
  make_tree "$work/tree-deb"
  (cd "$work" && XDG_STATE_HOME="$work/state" "$x/usr/bin/sarvelt-cli" --path tree-deb --search alpha --replace beta >/dev/null) || why "exit status $?"
  tree_rewritten "$work/tree-deb"
}

# The manual page renders without warnings, has its sections, and names every option that
# --help names.
man_page_ok() {
  local page=$work/deb/usr/share/man/man1/sarvelt-cli.1.gz text opt
  text=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$page" 2>"$work/man.err") && [ ! -s "$work/man.err" ] \
    || why "man: $(cat "$work/man.err")"
  grep -qx '       sarvelt-cli - replace a text in many files at once' <<<"$text" || why "no NAME line"
  for s in SYNOPSIS OPTIONS 'EXIT STATUS' FILES; do grep -qx "$s" <<<"$text" || why "no section $s"; done
  for opt in $("$work/deb/usr/bin/sarvelt-cli" --help | grep -o -- '--[a-z-]*' | sort -u); do
    grep -q -- "$opt" <<<"$text" || why "$opt is not documented"
  done
  grep -q "^Sarvelt $version " <<<"$text" || why "the footer does not name version $version"
}

# Xvfb picks a free display number itself (-displayfd), so no other server can take it first.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 </dev/null &
  xvfb_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$work/display" ] && { export DISPLAY=:$(head -n 1 "$work/display"); return 0; }
    kill -0 "$xvfb_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

shipped=$dist/Sarvelt-$version-win64.msi
code=$(product_code "$shipped")
check "win64 zip" zip_ok win64 pei-x86-64
check "win32 zip" zip_ok win32 pei-i386
check "win64 MSI tables" msi_tables_ok win64 'x64;1033' ProgramFiles64Folder
check "win32 MSI tables" msi_tables_ok win32 'Intel;1033' ProgramFilesFolder
check "deb contents and its sarvelt-cli" deb_ok
check "manual page" man_page_ok
if start_xvfb && "$wine" wineboot -i >/dev/null 2>&1 </dev/null; then
  if check "win64 MSI installs" msi /i "$shipped" && check "installed files, shortcut, entry" installed_ok "$code"; then
    check "installed sarvelt.exe shows its window" window_shows
    check "installed sarvelt-cli.exe rewrites a file" installed_cli_rewrites
    check "uninstall leaves nothing" eval 'msi /x "$shipped" && nothing_left "$code"'
    check "a later version replaces it" eval 'msi /i "$shipped" && upgrade_replaces "$shipped" "$code"'
  fi
else
  echo "FAIL no Xvfb or no Wine prefix"; failed=$((failed + 1))
fi
echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
