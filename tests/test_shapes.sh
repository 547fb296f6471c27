#!/usr/bin/env bash
# Ordinary MP4 and QuickTime inputs of the shapes other programs write, each
# converted and its output decoded by ffmpeg to the same pictures and sound
# as the input itself (a file cut short: as the whole file's first samples),
# or refused with its reason, exit status 1 and no output. info lists every
# track, extract refuses what convert refuses.
# Usage: test_shapes.sh RECFILE_CONVERT DATA_DIR
set -euo pipefail
tool=$1
for needed in ffmpeg ffprobe; do
  command -v $needed >/dev/null || { echo "SKIP: $needed missing: the input shapes are not checked"; exit 0; }
done
ffmpeg -hide_banner -encoders 2>/dev/null | grep libx264 >/dev/null ||
  { echo "SKIP: ffmpeg has no H.264 encoder to make the inputs with"; exit 0; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

pictures="-f lavfi -i testsrc=size=160x120:rate=25"
sound="-f lavfi -i sine=f=440:r=8000"
h264="-c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p"
make() { ffmpeg -nostdin -v error -y "$@"; }
# AAC-LTP: a configuration that only a copy of the input's own reproduces.
make $pictures $sound -t 4 $h264 -c:a aac -profile:a aac_ltp -strict -2 -ac 1 -f mov "$dir/mov_aac.mov"
make $pictures $sound -t 4 $h264 -c:a aac -ac 1 -timecode 10:00:00:00 -f mov "$dir/mov_timecode.mov"
make $pictures $sound -t 4 $h264 -c:a pcm_mulaw -ac 1 -f mov "$dir/mov_mulaw.mov"
make $pictures -f lavfi -i testsrc2=size=96x64:rate=25 $sound -t 4 -map 0 -map 1 -map 2 $h264 -c:a aac -ac 1 \
  "$dir/two_video.mp4"
make $sound -t 4 -c:a aac -ac 1 "$dir/sound_only.mp4"
make $pictures $sound -t 4 $h264 -c:a aac -ac 1 -movflags faststart "$dir/whole.mp4"
head -c $(($(stat -c %s "$dir/whole.mp4") * 6 / 10)) "$dir/whole.mp4" >"$dir/cut.mp4"  # a download that stopped
make $pictures -t 1 -c:v libx265 -x265-params log-level=none -tag:v hvc1 "$dir/h265.mp4" 2>/dev/null ||
  echo "(ffmpeg has no H.265 encoder: that case is left out)"
# GStreamer's QuickTime muxer ends the avc1 entry with a 4-byte terminator.
if command -v gst-launch-1.0 >/dev/null &&
  gst-launch-1.0 -q filesrc location="$dir/mov_aac.mov" ! qtdemux ! video/x-h264 ! qtmux ! \
    filesink location="$dir/qtmux.mov" 2>/dev/null; then :; else
  echo "(no GStreamer QuickTime muxer: that case is left out)"; rm -f "$dir/qtmux.mov"
fi

# Pictures with their presentation times, and the sound as one checksum of
# its decoded samples (packets may be gathered differently).
shown() { ffmpeg -nostdin -v error -i "$1" -map 0:v:0 -f framemd5 - | grep -v '^#' | cut -d, -f3,6; }
# The AAC configuration (extradata) comes with it: the input's own, copied.
heard() {
  ffmpeg -nostdin -v error -i "$1" -map 0:a? -f md5 -
  ffprobe -v error -select_streams a -show_streams -show_data "$1" | grep -A2 '^extradata=' || true
}
first() { head -n "$2" <(shown "$1"); }
# Where the first picture and the first sound play (the edit lists applied).
starts() {
  for stream in v:0 a:0; do
    ffprobe -v error -select_streams $stream -show_entries stream=start_time -of csv=p=0 "$1"
  done
}

# input | expected: same (pictures and sound), "cut N" (the whole file's
# first N pictures), or "refused REASON"; what the line must say.
while IFS='|' read -r name expect says; do
  [ -e "$dir/$name" ] || continue
  out="$dir/$name.out.mp4" status=0
  "$tool" -y -o "$out" "$dir/$name" >"$dir/line" 2>&1 || status=$?
  grep -q -- "$says" "$dir/line" || fail "$name: the line does not say '$says': $(cat "$dir/line")"
  case $expect in
    refused)
      [ $status -eq 1 ] && [ ! -e "$out" ] || fail "$name: status $status, or an output left" ;;
    same) [ $status -eq 0 ] || fail "$name: status $status: $(cat "$dir/line")"
      cmp -s <(shown "$dir/$name") <(shown "$out") || fail "$name: other pictures or times"
      [ "$(heard "$dir/$name")" = "$(heard "$out")" ] || fail "$name: other sound"
      [ "$(starts "$dir/$name")" = "$(starts "$out")" ] || fail "$name: starts at $(starts "$out" | tr '\n' ' ')" ;;
    cut*) [ $status -eq 0 ] || fail "$name: status $status: $(cat "$dir/line")"
      cmp -s <(first "$dir/whole.mp4" "${expect#cut }") <(shown "$out") || fail "$name: not the first pictures" ;;
  esac
  echo "$name: $expect"
done <<'TABLE'
mov_aac.mov|same|ok
whole.mp4|same|ok
mov_timecode.mov|same|read track 0 (video h264) and track 1 (audio aac) of 3
mov_mulaw.mov|same|ok
two_video.mp4|same|read track 0 (video h264) and track 2 (audio aac) of 3
qtmux.mov|same|ok
cut.mp4|cut 50|cut short: 50 of 100 video and 17 of 33 audio samples kept
sound_only.mp4|refused|holds no video track
h265.mp4|refused|holds H.265 (sample entry 'hvc1'), which this program does not read
TABLE

# Mu-law a sample per byte comes out in the recorder's 40 ms frames (the
# last of each chunk shorter), lasting exactly what the input lasts.
sizes=$(ffprobe -v error -select_streams a -show_entries packet=size -of csv=p=0 "$dir/mov_mulaw.mov.out.mp4" | sort -nu)
[ "$(echo "$sizes" | tail -1)" = 320 ] || fail "mu-law frames of $(echo $sizes) bytes"
duration() { ffprobe -v error -select_streams a -show_entries stream=duration -of csv=p=0 "$1"; }
[ "$(duration "$dir/mov_mulaw.mov.out.mp4")" = "$(duration "$dir/mov_mulaw.mov")" ] ||
  fail "mu-law lasts $(duration "$dir/mov_mulaw.mov.out.mp4") s, not $(duration "$dir/mov_mulaw.mov") s"

# info names every track; extract takes QuickTime's sound and refuses H.265.
"$tool" info "$dir/mov_timecode.mov" | grep -q "track 2: handler 'tmcd', sample entry 'tmcd'" ||
  fail "info: $("$tool" info "$dir/mov_timecode.mov")"
"$tool" extract --audio "$dir/sound.aac" "$dir/mov_aac.mov" >/dev/null
# (ADTS has no edit list: its decoder's lead-in stays, as in the input without its own.)
[ "$(ffmpeg -nostdin -v error -i "$dir/sound.aac" -f md5 -)" = \
  "$(ffmpeg -nostdin -v error -ignore_editlist 1 -i "$dir/mov_aac.mov" -map 0:a -f md5 -)" ] ||
  fail "extract: other sound from QuickTime's AAC"
# A file cut short reads as far as its whole samples go, and says so.
for command in info extract; do
  "$tool" $command "$dir/cut.mp4" | grep -q "cut short: 50 of 100 video and 17 of 33 audio samples kept" ||
    fail "$command of a file cut short: $("$tool" $command "$dir/cut.mp4" 2>&1)"
  "$tool" $command --json "$dir/cut.mp4" |
    grep -q '"cut_short":{"video_kept":50,"video_declared":100,"audio_kept":17,"audio_declared":33}' ||
    fail "$command --json of a file cut short: $("$tool" $command --json "$dir/cut.mp4" 2>&1)"
done
if [ -e "$dir/h265.mp4" ]; then
  "$tool" info "$dir/h265.mp4" | grep -q "video H.265 ('hvc1') 160x120, 25 samples, not read" ||
    fail "info: $("$tool" info "$dir/h265.mp4")"
  status=0
  "$tool" extract --video "$dir/x.h264" "$dir/h265.mp4" 2>"$dir/err" || status=$?
  [ $status -eq 1 ] && [ ! -e "$dir/x.h264" ] && grep -q "holds H.265" "$dir/err" ||
    fail "extract of H.265: status $status, $(cat "$dir/err")"
fi
echo "recfile-convert: every input shape converts to its own pictures and sound, or is refused with its reason"
