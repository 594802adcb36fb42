#!/usr/bin/env bash
# Installs what is missing, builds every target (native, native with sanitizers, the threaded
# parts with ThreadSanitizer, 64-bit and 32-bit Windows) and runs every test: natively, under
# the sanitizers, and under Wine; then
# builds the packages (MSI, zip, deb) and checks them, installing the MSI under Wine.
# Ends with one line "N passed, N failed"; the exit status is 0 only if nothing failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh || { echo "test: installing the dependencies failed"; exit 1; }

jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1
# Windows tests run in a throwaway Wine prefix of their own.
export WINEPREFIX="$root/build/wineprefix"

passed=0
failed=0
problems=()

configure_and_build() {  # name, cmake args... (TARGETS="a b" builds only those)
  local name=$1; shift
  echo "=== build $name"
  cmake -S . -B "build/$name" -G "Unix Makefiles" "$@" >"build/$name.configure.log" 2>&1 \
    || { cat "build/$name.configure.log"; problems+=("configure $name"); return 1; }
  local targets=()
  for t in ${TARGETS:-}; do targets+=(--target "$t"); done
  cmake --build "build/$name" -j "$jobs" "${targets[@]}" >"build/$name.build.log" 2>&1 \
    || { tail -n 80 "build/$name.build.log"; problems+=("build $name"); return 1; }
}

run_tests() {  # name, extra ctest args...
  local name=$1; shift
  echo "=== test $name"
  local log="build/$name.ctest.log"
  ctest --test-dir "build/$name" -j "$jobs" "$@" 2>&1 | tee "$log" | grep -E -v '^\s*(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+: .* +Passed )' || true
  local total fails
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  fails=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
  if [ -z "$total" ]; then
    problems+=("ctest $name did not finish")
    failed=$((failed + 1))
    return
  fi
  passed=$((passed + total - fails))
  failed=$((failed + fails))
  [ "$fails" -eq 0 ] || problems+=("$fails failing in $name")
}

# The packages a user installs: scripts/package.sh makes them from release builds of its own
# (build/release-*) into build/dist, and tests/packages installs and checks them.
check_packages() {
  echo "=== packages"
  if ! bash scripts/package.sh --out build/dist >build/package.log 2>&1; then
    tail -n 40 build/package.log
    problems+=("scripts/package.sh failed (build/package.log)")
    return
  fi
  local log=build/packages.check.log p f
  bash tests/packages/check-packages.sh build/dist 2>&1 | tee "$log" | grep -v '^ok ' || true
  read -r p f < <(sed -n 's/^packages: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$log")
  if [ -z "${f:-}" ]; then
    problems+=("package checks did not finish")
    failed=$((failed + 1))
    return
  fi
  passed=$((passed + p))
  failed=$((failed + f))
  [ "$f" -eq 0 ] || problems+=("$f failing in packages")
}

mkdir -p build
if configure_and_build native -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  run_tests native
fi
if configure_and_build asan -DCMAKE_BUILD_TYPE=Debug -DSARVELT_SANITIZE=ON; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests asan
fi
# The threaded parts (the work ahead of the walk, and the runs that drive it) under
# ThreadSanitizer.
if TARGETS=scan_tests configure_and_build threads -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSARVELT_THREADS_CHECK=ON; then
  TSAN_OPTIONS=halt_on_error=1 run_tests threads -R '^(Pipeline|Injection|Commands|Walk)\.'
fi
if configure_and_build win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake; then
  run_tests win64
  /usr/lib/wine/wineserver -k 2>/dev/null || true
fi
configure_and_build win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w32.cmake || true
check_packages

echo
if [ ${#problems[@]} -gt 0 ]; then
  printf 'test: problem: %s\n' "${problems[@]}"
  failed=$((failed > 0 ? failed : 1))
fi
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ ${#problems[@]} -eq 0 ]
