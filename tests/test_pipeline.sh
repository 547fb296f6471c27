#!/usr/bin/env bash
# Recordings by time, read back by ffprobe and ffmpeg: clips by calendar
# time from a legacy recording and from its MP4 conversion, segments that
# add up to the whole, and joins: of three consecutive recordings with the
# pauses between them kept, and of two picture sizes.
# Usage: test_pipeline.sh RECFILE_CONVERT DATA_DIR
set -euo pipefail
tool=$1 data=$2
for needed in ffmpeg ffprobe; do
  command -v $needed >/dev/null || { echo "SKIP: $needed missing: clips, segments and joins are not checked"; exit 0; }
done
ffmpeg -hide_banner -encoders 2>/dev/null | grep libx264 >/dev/null ||
  { echo "SKIP: ffmpeg has no H.264 encoder to make a long recording with"; exit 0; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
run() { status=0; "$tool" "$@" >"$dir/out" 2>"$dir/err" || status=$?; }
expect() { [ "$status" -eq "$1" ] || fail "exit status $status, not $1: $(cat "$dir/out" "$dir/err")"; }
# The decoded video frames' checksums, one a line.
frames() { ffmpeg -nostdin -v error -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | cut -d, -f6; }
probe() { ffprobe -v error -show_entries "$2" -of csv=p=0 "$1"; }

# 30 s at 25 fps from 2024-01-01 00:00:00 UTC, a key frame every 2.4 s, an
# 8000 Hz tone; packed three times, 35 s apart (5 s pauses).
ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=25 -t 30 -c:v libx264 -g 60 -keyint_min 60 -sc_threshold 0 \
  -bf 0 -pix_fmt yuv420p -f h264 "$dir/v.h264"
ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=8000 -t 30 -f mulaw "$dir/a.ul"
for n in 0 1 2; do
  "$tool" pack --video "$dir/v.h264" --audio "$dir/a.ul" --start $((1704067200 + 35 * n)) -o "$dir/p$n.rec" >/dev/null
done
"$tool" -q "$dir/p0.rec" "$dir/p1.rec" "$dir/p2.rec"
frames "$dir/p0.mp4" >"$dir/whole"

# Clips: FROM TO (seconds into p0; "-" for --for 7s) and the frames they
# show. Each plays from FROM exactly, its first picture the one at FROM,
# audio and video together, and lasts until TO or the end of the recording;
# p0's MP4 conversion gives the same clip.
at() { date -u -d "@$((1704067200 + $1))" '+%F %T'; }
while read -r from to shown; do
  args=(--from "$(at "$from")" --for 7s)
  [ "$to" = - ] || args=(--from "$(at "$from")" --to "$(at "$to")")
  for input in p0.rec p0.mp4; do
    run -y "${args[@]}" -o "$dir/clip.mp4" "$dir/$input"
    expect 0
    frames "$dir/clip.mp4" >"$dir/clip"
    [ "$(wc -l <"$dir/clip")" -eq "$shown" ] || fail "$input $from..$to: $(wc -l <"$dir/clip") frames, not $shown"
    cmp -s "$dir/clip" <(tail -n +$((from * 25 + 1)) "$dir/whole" | head -n "$shown") ||
      fail "$input $from..$to: not the frames from $from s on"
    [ "$(probe "$dir/clip.mp4" stream=start_time | sort -u)" = 0.000000 ] || fail "$input $from..$to: tracks apart"
    awk -v d="$(probe "$dir/clip.mp4" format=duration)" -v n="$shown" 'BEGIN { exit d != n / 25 }' ||
      fail "$input $from..$to: lasts $(probe "$dir/clip.mp4" format=duration) s"
    # It holds the pictures from the key frame at or before FROM (every 60th) on.
    held=$("$tool" info "$dir/clip.mp4" | sed -n 's/.* video h264 [0-9x]*, \([0-9]*\) frames.*/\1/p')
    [ "$held" -eq $((shown + from * 25 % 60)) ] || fail "$input $from..$to: holds $held pictures"
  done
done <<'TABLE'
10 20 250
12 14 50
11 12 25
0 3 75
25 - 125
TABLE
# Milliseconds, as the command prints times: the clip's first picture is
# the one at 10.960 s.
run -y --from "$(at 10).96" --to "$(at 12)" -o "$dir/clip.mp4" "$dir/p0.rec"
expect 0
frames "$dir/clip.mp4" | cmp -s - <(sed -n '275,300p' "$dir/whole") || fail "a clip from 10.960 s"
# 25 minutes (17 MB): the clip's start is found by halving the bytes, and
# its pictures are those ffmpeg finds at that time in the whole.
for _ in $(seq 50); do cat "$dir/v.h264"; done >"$dir/long.h264"
for _ in $(seq 50); do cat "$dir/a.ul"; done >"$dir/long.ul"
"$tool" pack --video "$dir/long.h264" --audio "$dir/long.ul" -o "$dir/long.rec" >/dev/null
"$tool" -q "$dir/long.rec"
run -y --from "$(at 1201)" --for 10s -o "$dir/clip.mp4" "$dir/long.rec"
expect 0
frames "$dir/clip.mp4" | cmp -s - <(ffmpeg -nostdin -v error -ss 1201 -i "$dir/long.mp4" -t 10 -map 0:v \
  -f framemd5 - | grep -v '^#' | cut -d, -f6) || fail "a clip out of a long recording"
run --from "2024-01-01 00:01:00" --for 10m -o "$dir/none.mp4" "$dir/p0.rec"
expect 3
grep -q "no frame between 2024-01-01 00:01:00.000 and 2024-01-01 00:11:00.000 UTC: the recording spans 2024-01-01 00:00:00.000 to 2024-01-01 00:00:29.960 UTC" \
  "$dir/out" && [ ! -e "$dir/none.mp4" ] || fail "a range outside the recording: $(cat "$dir/out")"

# Segments of 10 s on the UTC clock and in a zone 7 minutes east: each one
# starts with a key frame, named by its start; together they are the whole.
for zone in "" +00:07; do
  rm -f "$dir"/s-*
  run --segment 10s ${zone:+--zone $zone} --name 's-%H%M%S.mp4' -o "$dir/x.mp4" "$dir/p0.rec"
  expect 0
  names=$(cd "$dir" && echo s-*)
  [ "$names" = "s-000000.mp4 s-000010.mp4 s-000020.mp4" ] || [ -n "$zone" ] || fail "names: $names"
  [ "$names" = "s-000700.mp4 s-000710.mp4 s-000720.mp4" ] || [ -z "$zone" ] || fail "names in $zone: $names"
  for s in "$dir"/s-*; do
    [ "$(ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 "$s" | head -1)" = K_ ] ||
      fail "$s does not start with a key frame"
    frames "$s"
  done | cmp -s - "$dir/whole" || fail "the segments are not the whole, frame for frame"
done

# A join in time order, whatever the order given; the pauses stay.
run --join -o "$dir/day.mp4" "$dir/p2.rec" "$dir/p0.rec" "$dir/p1.rec"
expect 0
frames "$dir/day.mp4" | cmp -s - <(cat "$dir/whole" "$dir/whole" "$dir/whole") || fail "the join's frames"
[ "$(ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "$dir/day.mp4" |
     sed -n '750,751p;1500,1501p' | tr '\n' ' ')" = "29.960000 35.000000 64.960000 70.000000 " ] ||
  fail "the pauses between the recordings"
"$tool" pack --video "$data/cam_320x240_25fps.h264" --start 1704067400 -o "$dir/other.rec" >/dev/null
# Another picture size goes on under a sample description of its own.
run --join -o "$dir/sizes.mp4" "$dir/p0.rec" "$dir/other.rec"
expect 0
[ -z "$(ffmpeg -nostdin -v error -i "$dir/sizes.mp4" -f null - 2>&1)" ] &&
  [ "$(frames "$dir/sizes.mp4" | wc -l)" -eq 800 ] || fail "a join of two picture sizes"
# A join refused names the recording that does not fit and how.
run --join -o "$dir/bad.mp4" "$dir/p0.rec" "$dir/p2.mp4" "$dir/p0.mp4"
expect 1 && grep -q "overlap in time: $dir/p0.mp4 begins 29.960 s before $dir/p0.rec ends" "$dir/err" &&
  [ ! -e "$dir/bad.mp4" ] || fail "overlap: $(cat "$dir/err")"
# Parts that a recorder cut seamlessly, their creation times whole seconds:
# joined without a hole or a repeat however the seconds fall; a pause of
# seconds stays. The first video packet of the second part is the 301st.
ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=8000 -t 24 -c:v libx264 \
  -g 60 -keyint_min 60 -sc_threshold 0 -bf 0 -pix_fmt yuv420p -c:a aac "$dir/w.mp4"
ffmpeg -v error -i "$dir/w.mp4" -t 12 -c copy -metadata creation_time=2024-01-01T00:00:00Z "$dir/w00.mp4"
for part in 11:12.000000 13:12.000000 15:15.000000; do
  second=${part%:*}
  ffmpeg -v error -ss 12 -i "$dir/w.mp4" -c copy -metadata creation_time="2024-01-01T00:00:${second}Z" "$dir/w$second.mp4"
  run --join -o "$dir/j$second.mp4" "$dir/w00.mp4" "$dir/w$second.mp4"
  expect 0
  [ "$(ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "$dir/j$second.mp4" |
       sed -n '300,301p' | tr '\n' ' ')" = "11.960000 ${part#*:} " ] &&
    [ -z "$(ffmpeg -nostdin -v error -i "$dir/j$second.mp4" -f null - 2>&1)" ] || fail "parts joined, the next at $second s"
done
frames "$dir/j13.mp4" | cmp -s - <(frames "$dir/w.mp4") || fail "parts joined seamlessly: not the whole, frame for frame"
run --audio aac -o "$dir/p1aac.mp4" "$dir/p1.rec"
if [ "$status" -eq 0 ]; then
  run --join -o "$dir/bad.mp4" "$dir/p0.rec" "$dir/p1aac.mp4"
  expect 1 && grep -q "sound differs: $dir/p1aac.mp4 holds AAC, $dir/p0.rec mu-law" "$dir/err" || fail "$(cat "$dir/err")"
fi
echo "recfile-convert: clips, segments and joins read back as cut"
