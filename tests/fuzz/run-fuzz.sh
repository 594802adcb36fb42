#!/usr/bin/env bash
# Builds the libFuzzer targets of the engine with clang (AddressSanitizer and UBSan) and runs
# each for a bounded time against the committed seed corpus.
#
#   tests/fuzz/run-fuzz.sh SOURCE_DIR BUILD_DIR SECONDS_PER_TARGET
#
# The test command runs it for 20 seconds a target. For a longer run by hand:
#   tests/fuzz/run-fuzz.sh . build-fuzz 1800
# New inputs go to BUILD_DIR/corpus-<target>; a crash leaves BUILD_DIR/crash-* and fails.
set -euo pipefail
src=$(cd "$1" && pwd)
out=$2
seconds=${3:-20}
mkdir -p "$out"
out=$(cd "$out" && pwd)

cxx=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || true)}
if [ -z "$cxx" ]; then
  echo "run-fuzz: clang++ not found (scripts/install-deps.sh installs clang and libclang-rt-14-dev)"
  exit 1
fi
flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=all -Wall -Wextra -Werror -I"$src")
core=(engine/line_replace.cpp engine/encoding.cpp engine/text_copy.cpp engine/file_rewrite.cpp engine/temp_file.cpp engine/content_hash.cpp
      engine/paths.cpp log/log.cpp
      platform/os_posix.cpp platform/os_inject.cpp)

# An object is built again when its source, a header it may include, or this script changed.
newest_header=$(find "$src/engine" "$src/log" "$src/platform" -name '*.h' -printf '%T@ %p\n' |
                sort -n | tail -n 1 | cut -d' ' -f2-)
objs=()
for f in "${core[@]}"; do
  o="$out/$(echo "$f" | tr / _).o"
  if [ ! -f "$o" ] || [ "$src/$f" -nt "$o" ] || [ "$0" -nt "$o" ] ||
     [ "$newest_header" -nt "$o" ]; then
    "$cxx" "${flags[@]}" -c "$src/$f" -o "$o"
  fi
  objs+=("$o")
done

status=0
for target in fuzz_line_replace fuzz_file_rewrite fuzz_encoded_rewrite; do
  "$cxx" "${flags[@]}" -fsanitize=fuzzer "$src/tests/fuzz/$target.cpp" "${objs[@]}" -o "$out/$target"
  mkdir -p "$out/corpus-$target"
  echo "run-fuzz: $target for ${seconds}s"
  # One input in 64 that runs past the reference's budget is handed to the engine, which then
  # works up to its runaway guard: about 3 s optimised, up to 15 s in this build, more on a
  # busy machine. The timeout leaves room for that; a hang still ends the run.
  if ! (cd "$out" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./$target" -max_total_time="$seconds" -max_len=4096 -timeout=120 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/" \
        "$out/corpus-$target" "$src/tests/fuzz/corpus" 2>"$target.log"); then
    tail -n 60 "$out/$target.log"
    status=1
  else
    grep -E '^(stat::number_of_executed_units|Done)' "$out/$target.log" || tail -n 3 "$out/$target.log"
  fi
done
exit $status
