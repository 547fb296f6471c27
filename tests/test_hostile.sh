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

# ---- messages: reasons in the system's words, nothing ignored silently ------
# info and extract name the reason: missing, not a directory, a directory, no
# permission (as nobody when run as root), an output that takes no byte.
reasons() {
  pack_sample "$dir/a.rec" && "$tool" -q "$dir/a.rec" && chmod a+x "$top" "$dir"
  "$tool" extract "$dir/a.mp4" --video /dev/full 2>"$dir/err" && fail "extract to /dev/full"
  "$tool" extract "$dir/a.mp4" --audio "$dir" 2>>"$dir/err" && fail "extract to a directory"
  local as=()
  [ "$(id -u)" -ne 0 ] || as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod 000 "$dir/a.mp4" && "${as[@]}" "$tool" info "$dir/no.mp4" "$dir/a.rec/x" "$dir" "$dir/a.mp4" 2>>"$dir/err" &&
    fail "info of files it cannot read"
  for reason in "cannot write /dev/full: No space left" "cannot write $dir: Is a directory" "$dir: is a directory" \
      "no.mp4: cannot open: No such file" "a.rec/x: cannot open: Not a directory" "a.mp4: cannot open: Permission"; do
    grep -q "$reason" "$dir/err" || fail "no \"$reason\": $(cat "$dir/err")"
  done
}
# An output that is a directory fails, whether or not -y or -n is given; -r
# that finds no recording (a mistyped --ext) fails; an empty value is refused.
refusals() {
  pack_sample "$dir/a.rec" && mkdir "$dir/a.mp4"
  for flag in --json -y -n; do
    run "$flag" "$dir/a.rec"
    expect 1 && grep -q "output $dir/a.mp4 is a directory" "$dir/err" || fail "$flag: $(cat "$dir/err")"
  done
  run -r --ext .rce "$dir"
  expect 1 && grep -q "FAILED  $dir: no recording named \*.rce" "$dir/err" || fail "-r found nothing: $(cat "$dir/err")"
  for empty in "extract $dir/a.rec --from" "-o" "-d" "--ext"; do
    run $empty "" "$dir/a.rec"
    expect 2
  done
}
# The normal end of a recording is not shown as a failure under -v.
verbose_end() {
  pack_sample "$dir/a.rec" && run -v "$dir/a.rec"
  expect 0 && grep -q 'end of the recording' "$dir/err" && ! grep -qi 'fail\|error' "$dir/err" || fail "$(cat "$dir/err")"
}
# --json lines are UTF-8 JSON whatever the names: a byte that is not UTF-8
# shows as U+FFFD, and the exact name comes back from its _hex field.
json_names() {
  pack_sample "$dir/caf"$'\xe9'".rec" && pack_sample "$dir/café.rec"
  run --json -d "$dir/mp4" "$dir"/caf*.rec
  expect 0
  "$tool" info --json "$dir"/mp4/* >>"$dir/out"
  python3 -c '
import json, os, sys
names = set()
for line in open(sys.argv[1], "rb"):
    record = json.loads(line.decode("utf-8"))
    for key in ("input", "output", "file"):
        if key in record:
            names.add(bytes.fromhex(record[key + "_hex"]) if key + "_hex" in record else os.fsencode(record[key]))
assert all(os.path.exists(name) for name in names) and len(names) == 4, names
' "$dir/out" || fail "$(cat "$dir/out")"
}
rows+=(reasons refusals verbose_end json_names)

# ---- extract, pack and info: their own inputs, what they cannot read, QuickTime files ----
convert_sample() { pack_sample "$dir/s.rec" && "$tool" -o "$dir/s.mp4" "$dir/s.rec" >/dev/null; }
no_outputs() { [ -z "$(find "$dir" -name "$1" -o -name '*.part')" ] || fail "left $(ls -A "$dir")"; }

# An output that is the input, or the other output, under any name: refused, the input intact.
self_overwrite() {
  convert_sample && cp "$dir/s.mp4" "$dir/ref.mp4" && cp "$data/cam_320x240_25fps.h264" "$dir/c.h264"
  ln "$dir/s.mp4" "$dir/hard.mp4" && ln -s s.mp4 "$dir/sym.mp4" && ln -s c.h264 "$dir/sym.h264"
  for out in s.mp4 hard.mp4 sym.mp4; do run extract "$dir/s.mp4" --video "$dir/$out"; expect 1; done
  run extract "$dir/s.mp4" --video "$dir/f" --audio "$dir/./f"; expect 1
  for out in c.h264 sym.h264; do run pack --video "$dir/c.h264" -o "$dir/$out"; expect 1; done
  cmp -s "$dir/s.mp4" "$dir/ref.mp4" && cmp -s "$dir/c.h264" "$data/cam_320x240_25fps.h264" || fail "an input changed"
  no_outputs f
}
rows+=(self_overwrite)

# A file ending past 4 GiB (a sparse free box behind moov; the end's low 32
# bits lie in front of every sample): every byte read back exact.
past_4gib() {
  convert_sample && cp "$dir/s.mp4" "$dir/big.mp4"
  local end=$(((1 << 32) + 8)) pad
  pad=$((end - $(stat -c %s "$dir/s.mp4")))
  printf "$(printf '\\x%02x' $((pad >> 24)) $((pad >> 16 & 255)) $((pad >> 8 & 255)) $((pad & 255)))free" >>"$dir/big.mp4"
  truncate -s $end "$dir/big.mp4" || { skip "no sparse files here"; return; }
  run extract "$dir/s.mp4" --video "$dir/v" --audio "$dir/a"; expect 0
  run extract "$dir/big.mp4" --video "$dir/big_v" --audio "$dir/big_a"; expect 0
  cmp -s "$dir/v" "$dir/big_v" && cmp -s "$dir/a" "$dir/big_a" || fail "the frames read back differ"
}
rows+=(past_4gib)

# A download cut off before its moov: nothing to read, said so, nothing written;
# one with moov first, cut in its samples: read as far as its whole samples
# go, and said to be cut short.
cut_download() {
  convert_sample && head -c 30000 "$dir/s.mp4" >"$dir/cut.mp4"
  run info "$dir/cut.mp4"; expect 1
  run extract "$dir/cut.mp4" --video "$dir/v" --audio "$dir/a"; expect 1
  no_outputs '[va]'
  head -c 20000 "$data/ffmpeg_faststart.mp4" >"$dir/half.mp4"
  run extract "$dir/half.mp4" --video "$dir/v"; expect 0
  grep -q "cut short: 19 of 50 video" "$dir/out" || fail "not said: $(cat "$dir/out")"
}
rows+=(cut_download)

# A pipe named as an MP4 file: refused at once, not waited on.
pipe_input() {
  mkfifo "$dir/p.mp4"
  for command in info extract; do
    status=0; timeout 10 "$tool" "$command" "$dir/p.mp4" >"$dir/out" 2>"$dir/err" || status=$?
    expect 1
  done
}
rows+=(pipe_input)

# ffmpeg stores mu-law only in QuickTime files, whose minf holds a data
# handler of its own: both tracks are still read, the audio exact.
quicktime_mulaw() {
  command -v ffmpeg >/dev/null || { skip "ffmpeg is not installed"; return; }
  ffmpeg -nostdin -v error -r 25 -i "$data/cam_320x240_25fps.h264" -f mulaw -ar 8000 \
    -i "$data/tone_8000hz_mulaw.ul" -c copy -f mov "$dir/m.mov"
  run info "$dir/m.mov"; expect 0
  grep -q 'video h264' "$dir/out" && grep -q 'audio g711u' "$dir/out" || fail "tracks lost: $(cat "$dir/out")"
  run extract "$dir/m.mov" --audio "$dir/a.ul"; expect 0
  cmp -s "$dir/a.ul" "$data/tone_8000hz_mulaw.ul" || fail "the audio read back differs"
}
rows+=(quicktime_mulaw)
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

# SIGTERM once the output is in place (the run held in its report's first
# write by a full pipe) stops nothing: the file's line, the summary and the
# exit status all say converted.
sigterm_at_end() {
  pack_sample "$dir/a.rec" && "$tool" pack --video "$data/cam_320x240_25fps.h264" --start 1704067300 -o "$dir/b.rec" >/dev/null
  mkfifo "$dir/pipe"
  for args in "--faststart $dir/a.rec" "--join $dir/a.rec $dir/b.rec"; do
    rm -f "$dir/f.mp4" && exec 3<>"$dir/pipe"
    dd if=/dev/zero of=/dev/fd/3 bs=4096 count=64 oflag=nonblock 2>/dev/null || true
    "$tool" -o "$dir/f.mp4" $args >"$dir/pipe" 2>"$dir/err" 3>&- &
    local pid=$!
    for _ in $(seq 1000); do [ ! -e "$dir/f.mp4" ] || break; sleep 0.01; done
    kill -TERM $pid
    tr -d '\0' <"$dir/pipe" >"$dir/out" 3>&- &
    exec 3>&-
    status=0 && wait $pid || status=$?
    wait
    expect 0
    grep -q '^ok .*f.mp4' "$dir/out" && grep -q '^1 converted' "$dir/out" && [ ! -s "$dir/err" ] ||
      fail "$args: $(cat "$dir/out" "$dir/err")"
  done
}
rows+=(sigterm_at_end)

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
# ---- damage the conversion must report: a recording cut inside its last picture
cut_last_picture() {
  "$tool" pack --video "$data/cam_320x240_25fps.h264" --cut-last 300 -o "$dir/cut.rec" >/dev/null
  run "$dir/cut.rec"; expect 0
  grep -q ', [0-9]* damaged bytes skipped)' "$dir/out" || fail "the cut picture goes unreported: $(cat "$dir/out")"
  command -v ffmpeg >/dev/null || { skip "ffmpeg is missing: the decoding is not checked"; return; }
  [ -z "$(ffmpeg -v error -i "$dir/cut.mp4" -f null - 2>&1)" ] || fail "the cut picture is in the MP4"
}
rows+=(cut_last_picture)

# ---- faststart: a disk that fills while mdat moves behind moov leaves nothing;
# the null device as the output
faststart_full_disk() {
  pack_sample "$dir/a.rec" && "$tool" -q --no-sync -o "$dir/plain.mp4" "$dir/a.rec"
  local size moov_at limit
  size=$(stat -c %s "$dir/plain.mp4") moov_at=$(($(grep -abo moov "$dir/plain.mp4" | tail -1 | cut -d: -f1) - 4))
  limit=$(((size - 1) / 1024))  # KiB that hold the media data but not moov in front of them
  [ $((limit * 1024)) -ge $moov_at ] || fail "moov is too small to aim at"
  status=0; (trap '' XFSZ; ulimit -f $limit; exec "$tool" --faststart -o "$dir/a.mp4" "$dir/a.rec") \
    >"$dir/out" 2>"$dir/err" || status=$?
  expect 1 && grep -q "cannot write $dir/a.mp4: File too large" "$dir/err" || fail "$(cat "$dir/err")"
  no_outputs a.mp4
  run --faststart -y -o /dev/null "$dir/a.rec"; expect 1
  grep -q "/dev/null is no regular file: moov cannot be moved in front there" "$dir/err" || fail "$(cat "$dir/err")"
  # Without it the null device takes a conversion as a test that reads (no -y
  # needed: nothing is replaced); segments are never put beside it.
  run -o /dev/null "$dir/a.rec"; expect 0
  run --segment 1s -o /dev/null "$dir/a.rec"; expect 2
  grep -q "/dev/null is a device" "$dir/err" && ! compgen -G '/dev/null?*' >/dev/null || fail "$(cat "$dir/err")"
}
rows+=(faststart_full_disk)

# ---- by time: bad values are usage errors, a pattern that names two segments
# alike and a join into one of its inputs fail, a damaged recording is clipped
by_time() {
  pack_sample "$dir/a.rec"
  for args in "--from 2024-02-30T00:00:00" "--from 2024-01-01T00:00:01 --to 2024-01-01T00:00:00" "--for 10m" \
      "--segment 0s" "--segment 10x" "--name x.mp4" "--zone +8" "--join"; do
    run $args "$dir/a.rec"; expect 2
  done
  run --segment 1s --name same.mp4 "$dir/a.rec"; expect 1
  grep -q "two segments would both be named $dir/same.mp4" "$dir/err" || fail "names alike: $(cat "$dir/err")"
  cp "$dir/a.rec" "$dir/keep.rec"
  run --join -y -o "$dir/a.rec" "$dir/keep.rec" "$dir/a.rec"; expect 1
  cmp -s "$dir/a.rec" "$dir/keep.rec" || fail "a join wrote over its input"
  "$tool" pack --video "$data/cam_320x240_25fps.h264" --foreign-gap 7 --cut-last 300 -o "$dir/d.rec" >/dev/null
  run --from 2024-01-01T00:00:01 -o "$dir/d.mp4" "$dir/d.rec"; expect 0
  command -v ffmpeg >/dev/null || { skip "ffmpeg is missing: the damaged clip is not decoded"; return; }
  [ -z "$(ffmpeg -v error -i "$dir/d.mp4" -f null - 2>&1)" ] || fail "the damaged clip does not decode cleanly"
}
rows+=(by_time)

# ---- segment names: all of a run's are known before its first output is
# written; a name two recordings' segments share, or two segments of one
# (here the 00 of the first and of the third), fails and nothing is written
segment_names() {
  mkdir "$dir/in" && cat "$data/cam_320x240_25fps.h264" "$data/cam_320x240_25fps.h264" >"$dir/v.h264"
  for i in 0 1 2; do
    "$tool" pack --video "$data/cam_320x240_25fps.h264" --start $((1704067200 + 600 * i)) -o "$dir/in/r$i.rec" >/dev/null
  done
  run -y -r --segment 1h --name 'cam-%Y%m%d-%H.mp4' -d "$dir/mp4" "$dir/in"; expect 1
  for i in 1 2; do
    grep -q "^FAILED  $dir/in/r$i.rec: same output $dir/mp4/cam-20240101-00.mp4 as $dir/in/r0.rec" "$dir/err" ||
      fail "r$i: $(cat "$dir/err")"
  done
  [ "$(ls "$dir/mp4")" = cam-20240101-00.mp4 ] && grep -q "^ok .*r0.rec" "$dir/out" || fail "$(cat "$dir/out")"
  "$tool" pack --video "$dir/v.h264" --fps 1 -o "$dir/long.rec" >/dev/null
  run -y --segment 30s --name 'n-%S.mp4' -o "$dir/x.mp4" "$dir/long.rec"; expect 1
  grep -q "two segments would both be named $dir/n-00.mp4" "$dir/err" || fail "$(cat "$dir/err")"
  no_outputs 'n-*'
}
rows+=(segment_names)

# ---- segmented runs resume: -n keeps the whole segments and makes missing
# and cut ones again, as a whole run makes them; a stop names what it made
segment_resume() {
  cat "$data/cam_320x240_25fps.h264" "$data/cam_320x240_25fps.h264" >"$dir/v.h264"
  "$tool" pack --video "$dir/v.h264" --fps 1 -o "$dir/long.rec" >/dev/null
  "$tool" -q --segment 25s -o "$dir/ref/x.mp4" "$dir/long.rec" && mkdir "$dir/run" && cp "$dir"/ref/* "$dir/run"
  rm "$dir/run/x-20240101-000050.mp4" && touch -d 2000-01-01 "$dir/run/x-20240101-000000.mp4"
  head -c 3000 "$dir/ref/x-20240101-000115.mp4" >"$dir/run/x-20240101-000115.mp4"
  run -n --segment 25s -o "$dir/run/x.mp4" "$dir/long.rec"; expect 0
  grep -q 'replaced an incomplete output, 4 segments: .* (2 kept as they were)' "$dir/out" || fail "$(cat "$dir/out")"
  for f in "$dir"/ref/*; do cmp -s "$f" "$dir/run/${f##*/}" || fail "${f##*/} differs"; done
  [ "$(stat -c %Y "$dir/run/x-20240101-000000.mp4")" -lt 1000000000 ] || fail "a whole segment was made again"
  run --segment 25s -o "$dir/run/x.mp4" "$dir/long.rec"; expect 1
  grep -q "the output $dir/run/x-20240101-000000.mp4 exists" "$dir/err" || fail "$(cat "$dir/err")"
  # Stopped (frozen as its first segment appears, so that it cannot end first), then resumed.
  for _ in $(seq 250); do cat "$data/cam_1920x1080_large_i.h264"; done >"$dir/big.h264"
  "$tool" pack --video "$dir/big.h264" -o "$dir/big.rec" >/dev/null
  "$tool" --segment 1s -o "$dir/stop/x.mp4" "$dir/big.rec" >"$dir/out" 2>"$dir/err" &
  local pid=$! made=()
  shopt -s nullglob
  while [ ${#made[@]} -eq 0 ] && kill -0 $pid 2>/dev/null; do made=("$dir"/stop/x-*); done
  kill -STOP $pid && kill -TERM $pid && kill -CONT $pid
  status=0 && wait $pid || status=$?
  expect 143
  made=("$dir"/stop/x-*)
  grep -q "^stopped $dir/big.rec -> .* (.*, ${#made[@]} segments\?: ${made[0]}" "$dir/out" ||
    fail "the segments made before the stop: ${#made[@]}, $(cat "$dir/out")"
  run -n --segment 1s -o "$dir/stop/x.mp4" "$dir/big.rec"; expect 0
  grep -q "40 segments: .* (${#made[@]} kept as they were)" "$dir/out" || fail "$(cat "$dir/out")"
}
rows+=(segment_resume)

# ---- run every row ----------------------------------------------------------
failures=0
for row in "${rows[@]}"; do
  dir=$top/$row
  mkdir -p "$dir"
  ( set -e; "$row" ) || failures=$((failures + 1))
done
[ "$failures" -eq 0 ] || { echo "$failures hostile situation(s) mishandled"; exit 1; }
echo "recfile-convert: ${#rows[@]} hostile situations handled"
