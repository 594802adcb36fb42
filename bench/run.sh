#!/usr/bin/env bash
# The benchmark: sarvelt-cli against the tools a user would pick instead, on generated corpora.
#
#   bench/run.sh                 full run: generates the corpora (once) under /work/bench-data,
#                                times every tool, writes docs/benchmarks.md
#   bench/run.sh --smoke         tiny corpora in a temporary folder, one run each, checks the
#                                bytes and writes nothing (a CTest test runs this)
#
# Options: --cli PATH (sarvelt-cli; default: build-bench-native/cli/sarvelt-cli), --baseline
# PATH (an earlier sarvelt-cli, timed in the same run for its CPU seconds), --runs N
# (runs per tool, the median is reported; default 3), --data DIR, --corpora "tree big ...",
# --out FILE (default docs/benchmarks.md), --no-write, --limit SECS (a run that takes longer
# is stopped and the tool is not run again on that corpus; default 40), --slow SECS (a tool
# whose first run takes longer is not repeated; default 10).
#
# Every run of every tool starts from a fresh copy of the corpus in a folder of its own (cp -a
# from the pristine tree, then sync, so no write-back of an earlier run is left pending), with
# the page cache warm. After each run the tree's bytes are compared with the listing that the
# generator computed on its own: every file, every byte, no file more or less. On a corpus whose
# files no peer rewrites as sarvelt-cli does (mixed, with its UTF-16 files), the peers are not
# run and the tables say why: their times would be for other work.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")

mode=full
cli=""
baseline=""
runs=""
data=/work/bench-data
corpora="tree big dense longline growth mixed"
out="$repo/docs/benchmarks.md"
write=1
limit=40
slow=10

usage() { sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) mode=smoke ;;
    --cli) cli=$2; shift ;;
    --baseline) baseline=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift ;;
    --runs) runs=$2; shift ;;
    --data) data=$2; shift ;;
    --corpora) corpora=$2; shift ;;
    --out) out=$2; shift ;;
    --no-write) write=0 ;;
    --limit) limit=$2; shift ;;
    --slow) slow=$2; shift ;;
    -h|--help) usage ;;
    *) echo "run.sh: unknown option $1" >&2; usage ;;
  esac
  shift
done

cleanup_dirs=()
cleanup() { for d in "${cleanup_dirs[@]}"; do rm -rf "$d"; done; }
trap cleanup EXIT

if [ "$mode" = smoke ]; then
  data=$(mktemp -d /tmp/sarvelt-bench-smoke.XXXXXX)
  cleanup_dirs+=("$data")
  runs=${runs:-1}
  write=0
  scale=smoke
else
  runs=${runs:-3}
  scale=full
fi

if [ -z "$cli" ]; then
  for c in "$repo/build-bench-native/cli/sarvelt-cli" "$repo/build-bench-native/sarvelt-cli"; do
    [ -x "$c" ] && cli=$c && break
  done
fi
if [ -n "$cli" ]; then
  cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
  [ -x "$cli" ] || { echo "run.sh: $cli is not executable" >&2; exit 2; }
else
  echo "run.sh: no sarvelt-cli found (give --cli PATH): timing the other tools only" >&2
fi

corpus_dir="$data/corpora-$scale"
work="$data/work"
scratch="$data/scratch"
mkdir -p "$corpus_dir" "$work" "$scratch"
tmp=$(mktemp -d /tmp/sarvelt-bench.XXXXXX)
cleanup_dirs+=("$tmp")

echo "run.sh: corpora ($scale) in $corpus_dir"
python3 "$here/gen_corpus.py" --out "$corpus_dir" --scale "$scale" --only "${corpora// /,}"

# sd's literal mode is -F in newer versions, -s in older ones.
if sd --help 2>&1 | grep -q -- '--fixed-strings'; then sd_literal=-F; else sd_literal=-s; fi

# --- the tools -----------------------------------------------------------------------------
# Each is a bash snippet run with D (the tree), S (search) and R (replacement) in the
# environment. The order here is the order of the table.
rows=()
declare -A cmd need kind
add() { rows+=("$1"); kind[$1]=$2; need[$1]=$3; cmd[$1]=$4; }
if [ -n "$cli" ]; then
  add "sarvelt-cli" sarvelt "" \
    'cd "$SCRATCH" && "$CLI" --path "$D" --type "*.*" --size 0 --search "$S" --replace "$R" --delay 0 >/dev/null'
  add "sarvelt-cli (eatmydata)" sarvelt eatmydata \
    'cd "$SCRATCH" && eatmydata "$CLI" --path "$D" --type "*.*" --size 0 --search "$S" --replace "$R" --delay 0 >/dev/null'
  # The undo store on another volume than the tree: each original is copied into it, not
  # linked (run only where such a volume is at hand, see OTHER_STATE below).
  add "sarvelt-cli (store on another volume)" sarvelt "" \
    'cd "$SCRATCH" && XDG_STATE_HOME="$OTHER_STATE" "$CLI" --path "$D" --type "*.*" --size 0 --search "$S" --replace "$R" --delay 0 >/dev/null'
  add "sarvelt-cli --no-undo" sarvelt "" \
    'cd "$SCRATCH" && "$CLI" --path "$D" --type "*.*" --size 0 --search "$S" --replace "$R" --delay 0 --no-undo >/dev/null'
  # The preview writes nothing: timed beside rg -c, which reads and counts as much.
  add "sarvelt-cli --preview" floor "" \
    'cd "$SCRATCH" && "$CLI" --path "$D" --type "*.*" --size 0 --search "$S" --replace "$R" --delay 0 --preview >/dev/null'
fi
if [ -n "$baseline" ]; then
  add "baseline sarvelt-cli" baseline "" \
    'cd "$SCRATCH" && "$BASELINE" --path "$D" --type "*.*" --size 0 --search "$S" --replace "$R" --delay 0 >/dev/null'
  add "baseline sarvelt-cli (eatmydata)" baseline eatmydata \
    'cd "$SCRATCH" && eatmydata "$BASELINE" --path "$D" --type "*.*" --size 0 --search "$S" --replace "$R" --delay 0 >/dev/null'
fi
add "sd $sd_literal" peer sd 'find "$D" -type f -print0 | xargs -0 sd '"$sd_literal"' "$S" "$R"'
add "rpl -R -F" peer rpl 'rpl -R -F -q "$S" "$R" "$D"'
add "sed -i" peer sed 'find "$D" -type f -print0 | xargs -0 sed -i "s/$S/$R/g"'
add "perl -pi" peer perl 'find "$D" -type f -print0 | xargs -0 perl -pi -e "s/$S/$R/g"'
add "rg -l + sd $sd_literal" peer "rg sd" \
  'rg -l -F -0 "$S" "$D" | xargs -0 -r sd '"$sd_literal"' "$S" "$R"'
add "rg -l + rpl -F" peer "rg rpl" 'rg -l -F -0 "$S" "$D" | xargs -0 -r rpl -F -q "$S" "$R"'
add "rg -l + sed -i" peer "rg sed" 'rg -l -F -0 "$S" "$D" | xargs -0 -r sed -i "s/$S/$R/g"'
add "rg -l + perl -pi" peer "rg perl" 'rg -l -F -0 "$S" "$D" | xargs -0 -r perl -pi -e "s/$S/$R/g"'
add "floor: rg -c" floor rg 'rg -c -F "$S" "$D" >/dev/null || true'
add "floor: read (cat)" floor "" 'find "$D" -type f -print0 | xargs -0 cat >/dev/null'
add "floor: copy (cp -a)" floor "" 'cp -a "$D" "$D.copy"'

# Corpora the peers are not run on, and why (the tables show it). On mixed every peer row was
# run once (smoke scale) and checked: each got the windows-1252 and UTF-8 files right and every
# UTF-16 file with an occurrence wrong (sd, sed and perl, alone or after rg -l, left them as they
# were; rpl replaced the text but put a stray BOM, FF FE, after every replacement).
declare -A no_peers=(
  [mixed]="no peer rewrites the UTF-16 files as text (run once and checked: sd, sed and perl, alone or after rg -l, leave them as they are; rpl puts a stray BOM after every replacement in them), so none is timed here"
)
# Is tool $2 run on corpus $1?
runs_on() { [ "${kind[$2]}" != peer ] || [ -z "${no_peers[$1]:-}" ]; }

active=()
# Another volume for the undo store: the memory file system, where it is not the corpora's.
other_state=""
if [ -d /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$data")" ]; then
  other_state=$(mktemp -d /dev/shm/sarvelt-bench-state.XXXXXX)
  cleanup_dirs+=("$other_state")
fi
export OTHER_STATE="$other_state"

for t in "${rows[@]}"; do
  ok=1
  if [ "$t" = "sarvelt-cli (store on another volume)" ] && [ -z "$other_state" ]; then
    echo "run.sh: $t skipped (no other volume at hand)" >&2
    continue
  fi
  for n in ${need[$t]}; do command -v "$n" >/dev/null || ok=0; done
  if [ $ok = 1 ]; then active+=("$t"); else echo "run.sh: $t skipped (${need[$t]} not installed)" >&2; fi
done

export CLI="$cli" BASELINE="$baseline" SCRATCH="$scratch"
# sarvelt-cli keeps each run's originals for undo in a store of the user's: here one of the
# bench's own, on the corpora's volume as a user's home usually is (so the originals are hard
# links), which goes with the scratch folder.
export XDG_STATE_HOME="$scratch/state"

# Each run gets a copy of its own, and the copies are only removed when every tool has run on
# the corpus. On ext4 without a journal, creating a file right after thousands were deleted is
# slow: a new file's inode is found by passing over the recently freed ones of its group one by
# one (freed in the last minute, or in the last six while their inode table block has unwritten
# changes, which any file made in that block since gives it). Removing the last run's copy just
# before a run would time the file system's bookkeeping, not the tool.
copies=0
restore() {  # $1 corpus; sets D
  copies=$((copies + 1))
  D="$work/$1.run$copies"
  export D
  rm -rf "$D" "$D.copy"
  cp -a "$corpus_dir/$1/data" "$D"
  removals_done
  if [ "$mode" = full ]; then
    sync
    warm_memory
  fi
}

# A run of sarvelt-cli's that pushed the oldest run out of a full undo store hands the removal
# of that run's files to a process of its own, which goes on after the run has ended. The next
# run of any tool starts once it is done (untimed), so that none pays for it.
removals_done() {
  local i
  for ((i = 0; i < 600; i++)); do
    compgen -G "$XDG_STATE_HOME/sarvelt/undo/*.gone" >/dev/null ||
      { [ -n "$OTHER_STATE" ] && compgen -G "$OTHER_STATE/sarvelt/undo/*.gone" >/dev/null; } ||
      return 0
    sleep 0.05
  done
}

# In a virtual machine whose host takes back the memory the guest leaves free (a balloon that
# is told of free pages), the first write to such a page waits for the host: here about 2.6 ms
# a MiB, 0.2 s of system time for a run that writes 72 MiB, charged to whichever tool happens
# to need fresh pages (one that keeps the replaced files, as the undo does, more often).
# Before each run, twice the corpus's size is written into the memory file system and removed,
# so the run finds its pages freed a moment ago, as on a machine of its own.
warm_memory() {
  [ -d /dev/shm ] || return 0
  local mib=$((2 * BYTES / 1048576 + 64))
  local free_mib
  free_mib=$(awk '/^MemAvailable:/ {print int($2 / 1024)}' /proc/meminfo)
  [ "$mib" -lt $((free_mib / 2)) ] || mib=$((free_mib / 2))
  dd if=/dev/zero of=/dev/shm/sarvelt-bench-warm bs=1M count="$mib" status=none 2>/dev/null || true
  rm -f /dev/shm/sarvelt-bench-warm
}

# Removes the copies of the last corpus; in a full run, then waits until ext4 no longer counts
# the freed inodes as recently deleted, so that the next corpus is timed on a settled disk
# (after a wait of a minute they were a third to a half of the CPU samples of a run over growth).
remove_copies() {  # $1: "wait" to wait after removing
  local found
  found=$(find "$work" -maxdepth 1 -name "*.run*" | head -n 1)
  [ -n "$found" ] || return 0
  find "$work" -maxdepth 1 -name "*.run*" -exec rm -rf {} +
  if [ "$mode" = full ] && [ "$1" = wait ]; then
    sync
    echo "run.sh: waiting 365 s for the removed copies to age"
    sleep 365
  fi
}

listing() {  # the sha1sum listing of a tree, as the generator writes it
  (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r sha1sum)
}

failures=0
declare -A times cpus rss verdict stopped

median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else printf "%.3f\n", (a[NR/2]+a[NR/2+1])/2}'; }

for c in $corpora; do
  # shellcheck disable=SC1090
  . "$corpus_dir/$c/params.sh"
  export S="$SEARCH" R="$REPLACE"
  remove_copies wait  # the last corpus's, or what a broken-off run left
  echo "run.sh: $c: $FILES files, $BYTES bytes, $OCCURRENCES occurrences"
  for ((i = 1; i <= runs; i++)); do
    for t in "${active[@]}"; do
      # a tool that was stopped, or whose first run was slow, is not run again
      [ -n "${stopped["$c|$t"]:-}" ] && continue
      runs_on "$c" "$t" || continue
      restore "$c"
      rm -f "$scratch/logging.log"
      start=$(date +%s%N)
      set +e
      /usr/bin/time -f '%M %U %S' -o "$tmp/rss" timeout "$limit" bash -o pipefail -c "${cmd[$t]}" >"$tmp/out" 2>&1
      rc=$?
      set -e
      end=$(date +%s%N)
      secs=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", (b - a) / 1e9}')
      kb=$(tail -n 1 "$tmp/rss" | awk '{print $1}')
      # CPU seconds (user + system) of the tool and everything it started: the work done,
      # whatever number of cores it was spread over.
      cpu=$(tail -n 1 "$tmp/rss" | awk '{printf "%.2f", $2 + $3}')
      if [ -z "${rss["$c|$t"]:-}" ] || [ "$kb" -gt "${rss["$c|$t"]}" ]; then rss["$c|$t"]=$kb; fi
      v=ok
      if [ $rc -eq 124 ]; then
        v="stopped after $limit s"
        stopped["$c|$t"]=1
        secs=$limit
      elif [ $rc -ne 0 ]; then
        v="exit $rc"
        sed -n '1,5p' "$tmp/out" >&2
      elif [ "${kind[$t]}" != floor ]; then
        listing "$D" >"$tmp/got.sha1"
        if ! cmp -s "$tmp/got.sha1" "$corpus_dir/$c/expected.sha1"; then
          v="WRONG BYTES"
          diff "$corpus_dir/$c/expected.sha1" "$tmp/got.sha1" | head -n 6 >&2 || true
        fi
        if [ "${kind[$t]}" != peer ] && grep -q '^ERROR' "$scratch/logging.log" 2>/dev/null; then
          v="errors logged"
          grep '^ERROR' "$scratch/logging.log" | head -n 3 >&2
        fi
      fi
      times["$c|$t"]+="$secs "
      cpus["$c|$t"]+="$cpu "
      if awk -v a="$secs" -v b="$slow" 'BEGIN {exit !(a > b)}'; then stopped["$c|$t"]=1; fi
      if [ "$v" != ok ]; then
        verdict["$c|$t"]=$v
        if [ $rc -ne 124 ] || [ "${kind[$t]}" = sarvelt ]; then
          failures=$((failures + 1))
          echo "run.sh: $c: $t: $v" >&2
        fi
      fi
      printf '  run %d  %-26s %8s s  %s\n' "$i" "$t" "$secs" "$v"
    done
  done
done
remove_copies nowait

# --- the tables ------------------------------------------------------------------------------
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}'; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

report=$tmp/report.md
summary=$tmp/summary.md
{
  echo "| corpus | sarvelt-cli | sarvelt-cli (eatmydata) | fastest peer | read floor | copy floor | sarvelt ÷ fastest peer | eatmydata ÷ fastest peer | sarvelt ÷ read floor | eatmydata ÷ read floor | CPU s: eatmydata / fastest peer | CPU s: sarvelt / baseline | sarvelt peak RSS |"
  echo "|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
} >"$summary"
: >"$report"
for c in $corpora; do
  . "$corpus_dir/$c/params.sh"
  declare -A med=() medcpu=()
  best=""; best_t=""
  for t in "${active[@]}"; do
    runs_on "$c" "$t" || continue
    med[$t]=$(echo "${times["$c|$t"]}" | median)
    medcpu[$t]=$(echo "${cpus["$c|$t"]}" | median)
    if [ "${kind[$t]}" = peer ] && [ -z "${verdict["$c|$t"]:-}" ]; then
      if [ -z "$best" ] || awk -v a="${med[$t]}" -v b="$best" 'BEGIN {exit !(a < b)}'; then
        best=${med[$t]}; best_t=$t
      fi
    fi
  done
  read_t=${med["floor: read (cat)"]}
  {
    echo
    echo "### $c: $FILES files, $(awk -v b="$BYTES" 'BEGIN {printf "%.1f MiB", b / 1048576}'), $OCCURRENCES occurrences"
    echo
    if [ -n "${no_peers[$c]:-}" ]; then
      echo "Peers: ${no_peers[$c]}."
      echo
    fi
    echo "| tool | median s | runs (s) | ÷ fastest peer | ÷ read floor | CPU s (median) | peak RSS MiB | bytes |"
    echo "|---|---:|---|---:|---:|---:|---:|---|"
    for t in "${active[@]}"; do
      runs_on "$c" "$t" || continue
      v=${verdict["$c|$t"]:-same as expected}
      [ "${kind[$t]}" = floor ] && v="(not a rewrite)"
      shown=${med[$t]}; more=""
      case "$v" in stopped*) shown="> $limit"; more="> " ;; esac
      echo "| $t | $shown | ${times["$c|$t"]% } | $more$(ratio "${med[$t]}" "$best") | $more$(ratio "${med[$t]}" "$read_t") | ${medcpu[$t]} | $(mib "${rss["$c|$t"]}") | $v |"
    done
  } >>"$report"
  peer_shown="$best_t ($best)"
  [ -n "$best_t" ] || peer_shown="none"
  [ -z "${no_peers[$c]:-}" ] || peer_shown="none (see $c below)"
  peer_cpu=-
  [ -z "$best_t" ] || peer_cpu=${medcpu[$best_t]}
  if [ -n "$cli" ]; then
    s=${med["sarvelt-cli"]}
    e=${med["sarvelt-cli (eatmydata)"]:--}
    echo "| $c | $s | $e | $peer_shown | $read_t | ${med["floor: copy (cp -a)"]} | $(ratio "$s" "$best") | $(ratio "$e" "$best") | $(ratio "$s" "$read_t") | $(ratio "$e" "$read_t") | ${medcpu["sarvelt-cli (eatmydata)"]:--} / $peer_cpu | ${medcpu["sarvelt-cli"]:--} / ${medcpu["baseline sarvelt-cli"]:--} | $(mib "${rss["$c|sarvelt-cli"]}") MiB |" >>"$summary"
  else
    echo "| $c | - | - | $peer_shown | $read_t | ${med["floor: copy (cp -a)"]} | - | - | - | - | - | - | - |" >>"$summary"
  fi
  unset med medcpu
done

echo
cat "$summary" "$report"

if [ $write = 1 ]; then
  cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')
  mem=$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
  fs=$(df -T "$data" | awk 'NR == 2 {print $2 " on " $1}')
  cli_rev=$(git -C "$repo" log -1 --format='%h %s' 2>/dev/null || echo unknown)
  baseline_rev=${SARVELT_BASELINE_REV:-$baseline}
  {
    echo "# Benchmarks"
    echo
    echo "Generated by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'); every number in the tables comes from that run. \"What bounds the times\" is \`bench/bounds.md\`: profiles and timings taken on their own, each with how it was measured."
    echo "Median of $runs runs per tool; before every run the corpus is restored from its pristine copy"
    echo "(\`cp -a\` into a folder of its own, then \`sync\`), so the page cache is warm and no earlier"
    echo "write-back is pending. The copies of a corpus are removed only after all its runs, and the"
    echo "next corpus waits six minutes after that removal: an ext4 without a journal (as here)"
    echo "passes over recently freed inodes one by one when it creates a file (freed in the last"
    echo "minute, or the last six while their inode table block has unwritten changes), which would"
    echo "otherwise time the file system's bookkeeping rather than the tools. Just before each run,"
    echo "twice the corpus's size is written into the memory file system and removed: this virtual"
    echo "machine's host takes back the memory its guest leaves free, and the first write to such a"
    echo "page waits for it (about 2.6 ms a MiB here), a cost that would fall on whichever tool needs"
    echo "fresh pages first."
    echo "After every run the tree is compared, file by file and byte by byte, with the result the"
    echo "corpus generator computed on its own; the \"bytes\" column says whether it matched."
    echo
    echo "## Summary"
    echo
    echo "Times in seconds (median). The fastest peer is the fastest of the rewriting tools below"
    echo "(the floors are not peers). \"eatmydata\" runs the same sarvelt-cli with fsync turned into"
    echo "a no-op: the difference to the plain row is the cost of flushing every rewritten file to"
    echo "the disk before it is swapped in. \"CPU s\" is user plus system time of the tool and"
    echo "everything it started (median): ripgrep and sd spread their work over all $(nproc) cores,"
    echo "and so does sarvelt-cli (worker threads prepare files ahead of its walk). \"baseline\" is"
    echo "an earlier sarvelt-cli (\`--baseline\`), timed in the same run for its CPU seconds."
    echo "The undo store is the bench's own, on the corpora's volume (the originals are hard"
    echo "links); \"store on another volume\" puts it on the memory file system, where every"
    echo "original is copied."
    echo
    cat "$summary"
    if [ -f "$here/bounds.md" ]; then
      echo
      cat "$here/bounds.md"
    fi
    echo
    echo "## Machine"
    echo
    echo "- CPU: $cpu, $(nproc) cores; memory $mem; file system $fs; kernel $(uname -r)"
    echo "- load average before the table was written: $(cut -d' ' -f1-3 /proc/loadavg) (the machine is shared; other work on it makes the times noisy)"
    echo "- sarvelt-cli: built from \`$cli_rev\`"
    [ -n "$baseline" ] && echo "- baseline sarvelt-cli: $baseline_rev"
    echo "- $(sd --version | head -n1); rpl $(rpl --version 2>&1 | head -n1 | awk '{print $2}'); $(sed --version | head -n1); perl $(perl -e 'print $^V'); $(rg --version | head -n1); $(find --version | head -n1); $(cp --version | head -n1)"
    echo
    echo "## Corpora"
    echo
    echo "Generated by \`bench/gen_corpus.py\` with a fixed seed; every line ends in CR LF. Scale: $scale."
    echo
    echo "| corpus | what |"
    echo "|---|---|"
    echo "| tree | about 20,000 files of 1–50 KB (sizes spread evenly on a log scale), in folders 5 deep; one file in ten holds the search text 1–5 times |"
    echo "| big | 2 files of 100 MiB with 5 occurrences each (scaled down from \"a few files\" to keep the run short) |"
    echo "| dense | 300 files of 1 MiB, an occurrence on 85 % of the lines |"
    echo "| longline | 6 files, each with 3 lines of 2–6 MiB (minified-code style) holding an occurrence every 32–96 KiB, and some short lines |"
    echo "| growth | 1,000 files of 16 KiB, an occurrence on one line in 20; the search text has 9 bytes, the replacement 900 |"
    echo "| mixed | tree's shape and sizes (of the text in UTF-8), a tenth of the files UTF-16LE with BOM and a tenth windows-1252, both with letters beyond ASCII (ä, ß, é, ñ, ...), the search text and its replacement in each file's own encoding; the rest plain ASCII as in tree |"
    echo
    echo "## The tools"
    echo
    echo "| row | command (D the tree, S the search text, R the replacement) |"
    echo "|---|---|"
    for t in "${active[@]}"; do
      echo "| $t | \`${cmd[$t]//|/\\|}\` |"
    done
    echo
    echo "## Every tool, per corpus"
    cat "$report"
  } >"$out"
  echo "run.sh: wrote $out"
fi

if [ $failures -gt 0 ]; then
  echo "run.sh: $failures run(s) failed or produced wrong bytes" >&2
  exit 1
fi
echo "run.sh: all tools produced the expected bytes"
