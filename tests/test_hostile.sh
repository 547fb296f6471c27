#!/usr/bin/env bash
# Hostile situations a real archive meets, run through the command: each row
# of the table below is a function that sets the scene in its own directory
# and checks that nothing was lost and nothing misreported. A row that needs
# what this machine lacks (root, loop devices, ffmpeg) says so in one line and
# the run goes on.
# Usage: test_hostile.sh RECFILE_CONVERT DATA_DIR
set -euo pipefail
tool=$1 data=$2
top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT
# Every row runs in a subshell of its own: fail ends the row, not the table.
fail() { echo "FAIL [$row]: $*"; exit 1; }
skip() { echo "SKIP [$row]: $*"; }
# Runs the tool with stdout and stderr in $dir/out and $dir/err; sets $status.
run() { status=0; "$tool" "$@" >"$dir/out" 2>"$dir/err" || status=$?; }
expect() { [ "$status" -eq "$1" ] || fail "exit status $status, not $1: $(cat "$dir/out" "$dir/err")"; }
# A small recording with both tracks, packed from the fixtures.
pack_sample() { "$tool" pack --video "$data/cam_320x240_25fps.h264" --audio "$data/tone_8000hz_mulaw.ul" -o "$1" >/dev/null; }

# ---- the table: one function per row -------------------------------------

rows=()

# ---- durability: power cuts, -n over broken outputs, closed descriptors, stop signals
# Outputs of one recording, all alike: each must equal a reference conversion.
all_whole() { for f in "$@"; do cmp -s "$f" "$dir/ref.mp4" || fail "$f is not whole ($(wc -c <"$f") bytes)"; done; }
reference() { pack_sample "$dir/a.rec" && "$tool" -q -o "$dir/ref.mp4" "$dir/a.rec"; }
# links N [FILE]: N names of FILE (the sample) in $dir/in.
links() { mkdir -p "$dir/in" && for i in $(seq "$1"); do ln "${2:-$dir/a.rec}" "$dir/in/c$i.rec"; done; }

# The disk image is copied without syncing, as a power cut leaves it; the
# journal commits every second, so names reach it long before unsynced data.
power_cut() {
  [ "$(id -u)" -eq 0 ] && command -v mkfs.ext4 >/dev/null && command -v losetup >/dev/null ||
    { skip "needs root, mkfs.ext4 and loop devices"; return; }
  reference && links 4 && mkdir "$dir/disk" "$dir/cut"
  truncate -s 32M "$dir/image" && mkfs.ext4 -q "$dir/image"
  trap 'umount "$dir/cut" "$dir/disk" 2>/dev/null' EXIT
  mount -o loop,commit=1 "$dir/image" "$dir/disk" 2>/dev/null || { skip "cannot mount a loop device"; return; }
  run -d "$dir/disk" "$dir"/in/*.rec
  expect 0
  sleep 2
  cp "$dir/image" "$dir/copy" && mount -o loop "$dir/copy" "$dir/cut" || fail "cannot mount the copy"
  [ "$(ls "$dir/cut"/*.mp4 | wc -l)" -eq 4 ] || fail "outputs reported converted are missing: $(ls "$dir/cut")"
  all_whole "$dir"/cut/*.mp4
  ! command -v ffprobe >/dev/null || for f in "$dir"/cut/*.mp4; do ffprobe -v error "$f" || fail "ffprobe $f"; done
}
rows+=(power_cut)

# -n remakes what a power cut or a full disk left under an output's name.
skip_broken_outputs() {
  reference && mkdir "$dir/in" "$dir/mp4"
  for name in empty cut whole; do ln "$dir/a.rec" "$dir/in/$name.rec"; done
  : >"$dir/mp4/empty.mp4"
  head -c 30000 "$dir/ref.mp4" >"$dir/mp4/cut.mp4"
  cp "$dir/ref.mp4" "$dir/mp4/whole.mp4" && touch -d 2000-01-01 "$dir/mp4/whole.mp4"
  run -n --json -d "$dir/mp4" "$dir"/in/*.rec
  expect 0
  [ "$(grep -c '"status":"converted".*"remade_incomplete":true' "$dir/out")" -eq 2 ] &&
    grep -q '"status":"skipped"' "$dir/out" || fail "$(cat "$dir/out")"
  all_whole "$dir"/mp4/*.mp4
  [ "$(stat -c %Y "$dir/mp4/whole.mp4")" -lt 1000000000 ] || fail "a whole output was made again"
}
rows+=(skip_broken_outputs)

# Report lines must land on the null device, never in a file opened later.
closed_descriptors() {
  reference && links 24
  "$tool" --no-sync -v -j 8 -d "$dir/mp4" "$dir"/in/*.rec >&- 2>&- || fail "exit status $?"
  [ "$(ls "$dir"/mp4/*.mp4 | wc -l)" -eq 24 ] || fail "outputs missing"
  all_whole "$dir"/mp4/*.mp4
}
rows+=(closed_descriptors)

# SIGTERM midway: conversions under way abandoned, nothing half-written left.
sigterm_midway() {
  pack_sample "$dir/a.rec" && cp "$dir/a.rec" "$dir/big.rec"
  for _ in $(seq 8); do cat "$dir/big.rec" "$dir/big.rec" >"$dir/twice" && mv "$dir/twice" "$dir/big.rec"; done
  links 8 "$dir/big.rec"
  "$tool" -j 2 -d "$dir/mp4" "$dir"/in/*.rec >/dev/null 2>"$dir/err" &
  local pid=$! parts=()
  shopt -s nullglob
  while [ ${#parts[@]} -eq 0 ] && kill -0 $pid 2>/dev/null; do parts=("$dir"/mp4/.*.part); done
  kill -TERM $pid 2>/dev/null || true
  status=0 && wait $pid || status=$?
  expect 143
  [ "$(wc -l <"$dir/err")" -eq 1 ] && grep -q 'stopped by SIGTERM' "$dir/err" || fail "stderr: $(cat "$dir/err")"
  [ -z "$(find "$dir/mp4" -name '*.part')" ] || fail "a .part file was left"
}
rows+=(sigterm_midway)

# A reader that goes away (| head -1) stops the run as a signal does; the
# files are many, so that the reader is gone long before the run ends.
closed_pipe() {
  pack_sample "$dir/a.rec" && links 40
  set +o pipefail
  "$tool" -r -d "$dir/mp4" "$dir/in" 2>"$dir/err" | head -1 >/dev/null
  status=${PIPESTATUS[0]}
  expect 141
  [ "$(wc -l <"$dir/err")" -eq 1 ] && grep -q 'stopped by SIGPIPE' "$dir/err" || fail "stderr: $(cat "$dir/err")"
  [ -z "$(find "$dir/mp4" -name '*.part')" ] || fail "a .part file was left"
}
rows+=(closed_pipe)

# ---- run every row ----------------------------------------------------------
failures=0
for row in "${rows[@]}"; do
  dir=$top/$row
  mkdir -p "$dir"
  ( set -e; "$row" ) || failures=$((failures + 1))
done
[ "$failures" -eq 0 ] || { echo "$failures hostile situation(s) mishandled"; exit 1; }
echo "recfile-convert: ${#rows[@]} hostile situations handled"
