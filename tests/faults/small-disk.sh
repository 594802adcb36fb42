#!/usr/bin/env bash
# Runs a command with a small tmpfs (1 MB) mounted for it and named in SARVELT_SMALL_DISK: the
# disk-full scenario under Wine, whose programs cannot mount one themselves. Without the right
# to mount, the command runs without one and the scenario skips itself.
#
#   tests/faults/small-disk.sh COMMAND ARGS...
set -u
dir=$(mktemp -d "${TMPDIR:-/tmp}/sarvelt-small-disk-XXXXXX") || exit 1
mounted=0
if mount -t tmpfs -o size=1m tmpfs "$dir" 2>/dev/null; then
  export SARVELT_SMALL_DISK=$dir
  mounted=1
fi
"$@"
status=$?
[ "$mounted" = 1 ] && umount -l "$dir"
rmdir "$dir"
exit $status
