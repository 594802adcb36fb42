#!/usr/bin/env bash
# Builds the release programs and the packages a user installs:
#
#   Sarvelt-<version>-win64.msi  Sarvelt-<version>-win32.msi   installers (wixl)
#   Sarvelt-<version>-win64.zip  Sarvelt-<version>-win32.zip   both programs, README, LICENSE
#   sarvelt-cli_<version>_amd64.deb                             sarvelt-cli and its manual page
#
#   scripts/package.sh [--out DIR]      (DIR defaults to dist/ in the repository)
#
# Installs what it needs first (as root, or with sudo). The version is read from the project()
# line of the root CMakeLists.txt. The release builds go to build/release-win64,
# build/release-win32 and build/release-native (tests off) and are rebuilt only where a source
# changed. The packages are made in a staging folder and copied into DIR only when all of them
# are complete, each under a temporary name first and then renamed: a failing step stops the
# script with the step's name and a non-zero status, and leaves DIR as it was.
set -Eeuo pipefail

out=
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    --out=*) out=${1#--out=}; shift ;;
    -h|--help) sed -n '2,/^set /s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "package: unknown argument: $1" >&2; exit 2 ;;
  esac
done
# DIR is taken relative to the folder the script was started in.
case $out in
  '') out=$(cd "$(dirname "$0")/.." && pwd)/dist ;;
  /*) ;;
  *) out=$PWD/$out ;;
esac
cd "$(dirname "$0")/.."
root=$(pwd)

step=start
stage=
part=
fail() {
  # A failing subshell runs this too: only the script itself says it.
  [ "$BASHPID" != "$$" ] || echo "package: FAILED at step: $step" >&2
  exit 1
}
trap fail ERR
trap 'rm -rf "${stage:-/nonexistent}" "${part:-/nonexistent}"' EXIT

begin() { step=$1; echo "=== $step"; }

# Runs a command with its output in a log file; on failure shows the end of the log.
logged() {  # log file, command...
  local log=$1; shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    return 1
  fi
}

begin "install dependencies"
bash scripts/install-deps.sh

begin "read the version"
version=$(sed -n 's/^project(sarvelt VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
if ! [[ $version =~ ^[0-9]+\.[0-9]+(\.[0-9]+)?$ ]]; then
  echo "package: no version of the form x.y or x.y.z in the project() line of CMakeLists.txt" >&2
  false
fi
echo "version $version"
if commit=$(git rev-parse --short HEAD 2>/dev/null); then
  if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
    echo "package: NOTE: the working tree has uncommitted changes; the packages are built from the"
    echo "         files as they are now, not from commit $commit"
  else
    echo "from commit $commit"
  fi
else
  echo "package: NOTE: not a git checkout; the packages are built from the files as they are"
fi

mkdir -p build
stage=$(mktemp -d "$root/build/package-stage.XXXXXX")
mkdir "$stage/done"

# Configures (once) and builds a release folder; only the named targets are built.
release_build() {  # name, targets (space-separated), cmake args...
  local name=$1 targets=$2; shift 2
  local dir=build/release-$name
  logged "build/release-$name.configure.log" \
    cmake -S . -B "$dir" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DSARVELT_TESTS=OFF "$@"
  # shellcheck disable=SC2086  # the targets are words
  logged "build/release-$name.build.log" cmake --build "$dir" -j "$(nproc)" --target $targets
}

begin "build release-win64"
release_build win64 "sarvelt sarvelt-cli" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
begin "build release-win32"
release_build win32 "sarvelt sarvelt-cli" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w32.cmake
begin "build release-native"
release_build native "sarvelt-cli"

# The README and the license as Windows text files (CR LF), for the zips and the installers.
begin "prepare the documents"
mkdir -p "$stage/doc"
sed 's/\r*$/\r/' README.md >"$stage/doc/README.txt"
sed 's/\r*$/\r/' LICENSE >"$stage/doc/LICENSE.txt"

# Stripped copies of the programs: the symbols triple their size and serve no user.
stage_windows_programs() {  # arch (win64 | win32), strip command
  local arch=$1 strip=$2
  mkdir -p "$stage/$arch"
  "$strip" -o "$stage/$arch/sarvelt.exe" "build/release-$arch/sarvelt.exe"
  "$strip" -o "$stage/$arch/sarvelt-cli.exe" "build/release-$arch/cli/sarvelt-cli.exe"
}

# A finished package waits in the staging folder until every package is done.
publish() {  # file in the staging folder
  mv "$1" "$stage/done/"
}

make_zip() {  # arch
  local arch=$1 top="Sarvelt-$version-$1"
  rm -rf "${stage:?}/zip-$arch"
  mkdir -p "$stage/zip-$arch/$top"
  cp "$stage/$arch/sarvelt.exe" "$stage/$arch/sarvelt-cli.exe" \
     "$stage/doc/README.txt" "$stage/doc/LICENSE.txt" "$stage/zip-$arch/$top/"
  (cd "$stage/zip-$arch" && zip -q -X -9 -r "../$top.zip" "$top")
  publish "$stage/$top.zip"
}

# wixl reads the sources named in the .wxs relative to the folder it runs in.
make_msi() {  # arch, wixl architecture, Win64 (yes | no)
  local arch=$1 wixl_arch=$2 win64=$3
  cp resources/sarvelt.ico "$stage/sarvelt.ico"
  (cd "$stage" && wixl -a "$wixl_arch" -D Version="$version" -D Win64="$win64" \
     -D BinDir="$arch" -D DocDir=doc -D IconFile=sarvelt.ico \
     -o "Sarvelt-$version-$arch.msi" "$root/packaging/sarvelt.wxs")
  publish "$stage/Sarvelt-$version-$arch.msi"
}

begin "stage the win64 programs"
stage_windows_programs win64 x86_64-w64-mingw32-strip
begin "stage the win32 programs"
stage_windows_programs win32 i686-w64-mingw32-strip

begin "zip win64"
make_zip win64
begin "zip win32"
make_zip win32
begin "msi win64"
make_msi win64 x64 yes
begin "msi win32"
make_msi win32 x86 no

begin "deb sarvelt-cli"
deb_arch=$(dpkg --print-architecture)
man_date=$(git log -1 --format=%cs 2>/dev/null || date -u +%F)
pkg=$stage/deb/debian/sarvelt-cli
install -d -m 0755 "$pkg/DEBIAN" "$pkg/usr/bin" "$pkg/usr/share/man/man1" "$pkg/usr/share/doc/sarvelt-cli"
install -m 0755 -s build/release-native/cli/sarvelt-cli "$pkg/usr/bin/sarvelt-cli"
sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$man_date/g" packaging/sarvelt-cli.1 \
  | gzip -9 -n >"$pkg/usr/share/man/man1/sarvelt-cli.1.gz"
chmod 0644 "$pkg/usr/share/man/man1/sarvelt-cli.1.gz"
{
  echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
  echo "Upstream-Name: Sarvelt"
  echo
  echo "Files: *"
  echo "Copyright: 2026 Corvane"
  echo "License: Expat"
  echo
  echo "License: Expat"
  sed -n '/^Permission is hereby granted/,$p' LICENSE | sed -e 's/^$/./' -e 's/^/ /'
} >"$pkg/usr/share/doc/sarvelt-cli/copyright"
chmod 0644 "$pkg/usr/share/doc/sarvelt-cli/copyright"
# The library dependencies, as dpkg-shlibdeps finds them from the program's dynamic section
# (it wants a debian/control beside the package folder; an empty one does).
touch "$stage/deb/debian/control"
depends=$(cd "$stage/deb" && dpkg-shlibdeps -O debian/sarvelt-cli/usr/bin/sarvelt-cli 2>"$stage/shlibdeps.log" \
          | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { cat "$stage/shlibdeps.log" >&2; false; }
cat >"$pkg/DEBIAN/control" <<EOF
Package: sarvelt-cli
Version: $version
Architecture: $deb_arch
Maintainer: Corvane <dev@corvane.example>
Installed-Size: $(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
Depends: $depends
Section: utils
Priority: optional
Description: replace a text in many files at once
 sarvelt-cli walks a folder and replaces a text in every selected file below
 it (by extension, least size, name length and age), each file rewritten
 through a temporary file that replaces it only when complete, its last-write
 time kept. Rewritten files get Windows line ends (CR LF). It is the
 command-line form of Sarvelt, a Windows program by Corvane; every run writes
 a session log, logging.log.
EOF
logged "$stage/dpkg-deb.log" dpkg-deb --root-owner-group -Zxz --build "$pkg" "$stage/sarvelt-cli_${version}_$deb_arch.deb"
publish "$stage/sarvelt-cli_${version}_$deb_arch.deb"

# Into DIR: each copied beside its final name first, then renamed, so that DIR never holds a
# partly written package under a package's name.
begin "copy into $out"
mkdir -p "$out"
for f in "$stage"/done/*; do
  name=$(basename "$f")
  part=$out/.$name.part
  cp "$f" "$part"
  mv -f "$part" "$out/$name"
  part=
  echo "wrote $out/$name ($(stat -c %s "$out/$name") bytes)"
done
step=done
echo "package: done: Sarvelt $version"
