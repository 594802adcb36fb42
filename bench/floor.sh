#!/usr/bin/env bash
# The yardstick: bench/floor.c, the least work a rewrite of a corpus takes, timed in alternating
# rounds against sarvelt-cli and a peer, all with the flush off (eatmydata).
#
#   bench/floor.sh [--rounds N] [--corpus NAME] [--data DIR] [--cli PATH]
#   bench/floor.sh --smoke --cli PATH   one round on a tiny tree in a temporary folder (a test)
#
# Each round times, each on a fresh copy of the corpus made just before it (cp -a, sync):
#   floor          one floor process
#   floor x2       two floor processes sharing the tree, the replaced files closed apart (-k)
#   floor x2 +     the same with the last look, the time kept, the count and the log
#   sarvelt-cli    as the benchmark runs it
#   rg -l + sed -i the peer
# and prints wall seconds and CPU seconds (user + system). After each run the tree's bytes must
# be those the corpus generator expects. The copies are removed at the end; runs made within
# six minutes of a removal are slower for every tool (see bench/run.sh), so wait that long
# before timing again.
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
rounds=3
corpus=tree
data=/work/bench-data
cli="$repo/build-bench-native/cli/sarvelt-cli"
smoke=0
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift ;;
    --corpus) corpus=$2; shift ;;
    --data) data=$2; shift ;;
    --cli) cli=$2; shift ;;
    --smoke) smoke=1 ;;
    *) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
  shift
done
if [ $smoke = 1 ]; then
  rounds=1
  data=$(mktemp -d /tmp/sarvelt-floor-smoke.XXXXXX)
  trap 'rm -rf "$data"' EXIT
  python3 "$here/gen_corpus.py" --out "$data/corpora-full" --scale smoke --only "$corpus" >/dev/null
fi
src="$data/corpora-full/$corpus"
[ -d "$src/data" ] || { echo "floor.sh: no corpus at $src (bench/run.sh generates it)" >&2; exit 2; }
[ -x "$cli" ] || { echo "floor.sh: no sarvelt-cli at $cli" >&2; exit 2; }
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
for t in eatmydata rg sed cc; do
  command -v $t >/dev/null || { echo "floor.sh: $t is missing" >&2; exit 2; }
done
. "$src/params.sh"
export S="$SEARCH" R="$REPLACE" CLI="$cli"
work=$(mktemp -d "$data/floor.XXXXXX")
trap 'rm -rf "$work"; [ $smoke = 0 ] || rm -rf "$data"' EXIT
cc -O2 -o "$work/floor" "$here/floor.c" -lpthread
export FLOOR="$work/floor" LOGS="$work"
two='( $FLOOR $O -p 0/2 "$D" "$S" "$R" ) & ( $FLOOR $O2 -p 1/2 "$D" "$S" "$R" ); wait'
n=0
one() {  # label, command using $D
  n=$((n + 1))
  export D="$work/copy$n"
  cp -a "$src/data" "$D"
  sync
  if ! (cd "$work" && /usr/bin/time -o "$work/time" -f '%e %U %S' bash -c "$2" >/dev/null 2>&1); then
    echo "floor.sh: $1 failed: $(head -n 1 "$work/time")" >&2
    exit 1
  fi
  (cd "$D" && find . -type f -print0 | sort -z | xargs -0 -r sha1sum) >"$work/got.sha1"
  if ! cmp -s "$work/got.sha1" "$src/expected.sha1"; then
    echo "floor.sh: $1 left other bytes than expected in $D" >&2
    exit 1
  fi
  tail -n 1 "$work/time" | awk -v l="$1" '{printf "%-16s %5.2f s  CPU %5.2f s\n", l, $1, $2 + $3}'
}
for r in $(seq "$rounds"); do
  echo "round $r"
  one "floor" '$FLOOR "$D" "$S" "$R"'
  one "floor x2" "O=-k O2=-k; $two"
  one "floor x2 +" "O='-k -l -t -c -g $LOGS/a.log' O2='-k -l -t -c -g $LOGS/b.log'; $two"
  one "sarvelt-cli" 'eatmydata "$CLI" --path "$D" --type "*.*" --size 0 --search "$S" --replace "$R" --delay 0'
  one "rg -l + sed -i" 'eatmydata bash -c '\''rg -l -F -0 "$S" "$D" | xargs -0 -r sed -i "s/$S/$R/g"'\'''
done
