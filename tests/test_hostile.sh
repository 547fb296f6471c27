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

# ---- damage the conversion must report: a recording cut inside its last picture
cut_last_picture() {
  "$tool" pack --video "$data/cam_320x240_25fps.h264" --cut-last 300 -o "$dir/cut.rec" >/dev/null
  run "$dir/cut.rec"; expect 0
  grep -q ', [0-9]* damaged bytes skipped)' "$dir/out" || fail "the cut picture goes unreported: $(cat "$dir/out")"
  command -v ffmpeg >/dev/null || { skip "ffmpeg is missing: the decoding is not checked"; return; }
  [ -z "$(ffmpeg -v error -i "$dir/cut.mp4" -f null - 2>&1)" ] || fail "the cut picture is in the MP4"
}
rows+=(cut_last_picture)

# ---- run every row ----------------------------------------------------------
failures=0
for row in "${rows[@]}"; do
  dir=$top/$row
  mkdir -p "$dir"
  ( set -e; "$row" ) || failures=$((failures + 1))
done
[ "$failures" -eq 0 ] || { echo "$failures hostile situation(s) mishandled"; exit 1; }
echo "recfile-convert: ${#rows[@]} hostile situations handled"
