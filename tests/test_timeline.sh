#!/usr/bin/env bash
# One timeline through every path: a recording whose sound starts 200 ms
# after its pictures, with a white picture and a click at the same moment,
# goes through plain, AAC, faststart, a clip and segments joined back, and
# each result through the command once more (plain and --web). In every
# output ffmpeg must play the click within 5 ms of the white picture.
# Ordinary MP4 inputs (B-frames, an edit list, mono AAC; fragmented ones)
# keep their pictures, their presentation times and their sound's
# configuration.
# Usage: test_timeline.sh RECFILE_CONVERT DATA_DIR
set -euo pipefail
tool=$1 data=$2
for needed in ffmpeg ffprobe; do
  command -v $needed >/dev/null || { echo "SKIP: $needed missing: the timeline is not checked"; exit 0; }
done
ffmpeg -hide_banner -encoders 2>/dev/null | grep libx264 >/dev/null ||
  { echo "SKIP: ffmpeg has no H.264 encoder to make the recording with"; exit 0; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
convert() { "$tool" -q -y "$@" || fail "recfile-convert $*"; }

# 6 s at 25 fps, key frames every second, picture 75 (3.000 s) white; the
# sound, 200 ms late, clicks 2.8 s into itself: at 3.000 s too.
ffmpeg -v error -f lavfi -i "color=black:s=160x120:r=25,drawbox=c=white:t=fill:enable='eq(n,75)'" -t 6 \
  -c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p -f h264 "$dir/v.h264"
ffmpeg -v error -f lavfi -i "aevalsrc='0.9*sin(2*PI*1000*t)*between(t,2.8,2.81)':s=8000:d=5.8" -f mulaw "$dir/a.ul"
"$tool" pack --video "$dir/v.h264" --audio "$dir/a.ul" --audio-delay 200 -o "$dir/cam.rec" >/dev/null

# When the white picture and the click play, in seconds on the movie's
# timeline as ffmpeg presents it (edit lists applied): the first picture
# brighter than mid-grey, and the first 5 ms of sound within 6 dB of the
# loudest.
picture_at() {
  ffprobe -v error -f lavfi -i "movie='$1',signalstats" -show_entries frame=pts_time:frame_tags=lavfi.signalstats.YAVG \
    -of csv=p=0 | awk -F, '$2 > 128 { print $1; exit }'
}
click_at() {
  ffprobe -v error -f lavfi -i "amovie='$1',aresample=8000,asetnsamples=n=40:p=0,astats=metadata=1:reset=1" \
    -show_entries frame=pts_time:frame_tags=lavfi.astats.Overall.Peak_level -of csv=p=0 |
    awk -F, '$2 != "-inf" { t[NR] = $1; p[NR] = $2; if ($2 > max) max = $2 }
             END { for (i = 1; i <= NR; i++) if (i in p && p[i] > max - 6) { print t[i]; exit } }' max=-1000
}
check() {
  local name=$1 picture click
  picture=$(picture_at "$dir/$name") click=$(click_at "$dir/$name")
  [ -n "$picture" ] && [ -n "$click" ] || fail "$name: no white picture ($picture) or no click ($click)"
  awk -v p="$picture" -v c="$click" 'BEGIN { d = c - p; exit !(d <= 0.005 && d >= -0.005) }' ||
    fail "$name: the click plays at $click s, the white picture at $picture s"
  echo "$name: picture $picture s, click $click s"
}

convert -o "$dir/plain.mp4" "$dir/cam.rec"
convert --audio aac -o "$dir/aac.mp4" "$dir/cam.rec"
convert --faststart -o "$dir/faststart.mp4" "$dir/cam.rec"
convert --from "2024-01-01 00:00:01" --to "2024-01-01 00:00:05" -o "$dir/clip.mp4" "$dir/cam.rec"
convert --segment 2s --name 'part-%S.mp4' -o "$dir/parts.mp4" "$dir/cam.rec"
convert --join -o "$dir/joined.mp4" "$dir"/part-*.mp4
for name in plain aac faststart clip joined; do
  check $name.mp4
  convert -o "$dir/$name.again.mp4" "$dir/$name.mp4"
  check $name.again.mp4
  convert --web -o "$dir/$name.web.mp4" "$dir/$name.mp4"
  check $name.web.mp4
done

# Decoded pictures with their presentation times, and what ffmpeg says
# while decoding (nothing, for a whole stream).
shown() { ffmpeg -nostdin -v error -i "$1" -map 0:v -f framemd5 - 2>&1 | grep -v '^#' | cut -d, -f3,6; }
# The sound's channels and its AudioSpecificConfig, as a decoder sees them.
sound_config() { ffprobe -v error -select_streams a -show_streams -show_data "$1" | grep -A2 -e '^extradata=' -e '^channels='; }
ffmpeg -v error -ss 1.3 -i "$data/ffmpeg_bframes_slices4.mp4" -c copy "$dir/edited.mp4"
for input in "$data/ffmpeg_bframes_slices4.mp4" "$dir/edited.mp4" "$data/ffmpeg_aac16k_mono.mp4"; do
  convert -o "$dir/out.mp4" "$input"
  cmp -s <(shown "$input") <(shown "$dir/out.mp4") ||
    fail "$(basename "$input"): other pictures or times: $(diff <(shown "$input") <(shown "$dir/out.mp4") | head -4)"
  [ "$(sound_config "$dir/out.mp4")" = "$(sound_config "$input")" ] ||
    fail "$(basename "$input"): the sound's configuration changed: $(sound_config "$dir/out.mp4")"
done

# Fragmented inputs as browsers, cameras and live recorders write them:
# samples in moov and fragments behind it; an empty moov with the moof as
# base, with sidx, with no base at all (the moof, then the previous data's
# end); mu-law in a .mov. Each converts to the pictures and sound ffmpeg
# decodes from it and its key frames, info counts its packets and key
# frames as ffprobe does, and a clip of its middle (a seek through
# fragments) has the pictures of the same clip of its conversion (through
# moov's tables).
# Pictures with their times; the sound's blocks (its start may move by a
# sample, rounded to the movie's timescale).
frames() { ffmpeg -nostdin -v error -i "$1" -map "0:$2" -f framemd5 - 2>&1 | grep -v '^#' | cut -d, -f"$3"; }
packets() { ffprobe -v error -select_streams "$2" -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1"; }
key_flags() { ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 "$1" | cut -c1; }
clip() { convert --from "2024-01-01 00:00:01" --to "2024-01-01 00:00:03" -o "$2" "$1"; }
while read -r name sound flags; do
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=8000 \
    -t 4 -c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p -c:a "$sound" -ar 8000 -ac 1 -movflags "$flags" \
    -metadata creation_time=2024-01-01T00:00:00Z "$dir/$name"
  convert -o "$dir/$name.out.mp4" "$dir/$name"
  for m in v,3,6 a,6; do
    cmp -s <(frames "$dir/$name" ${m%%,*} ${m#*,}) <(frames "$dir/$name.out.mp4" ${m%%,*} ${m#*,}) ||
      fail "$name: not the input's ${m%%,*} frames"
  done
  info=$("$tool" info "$dir/$name")
  cmp -s <(key_flags "$dir/$name") <(key_flags "$dir/$name.out.mp4") || fail "$name: other key frames"
  grep -q "video .* $(packets "$dir/$name" v) frames ($(key_flags "$dir/$name" | grep -c K) key)" <<<"$info" &&
    grep -q "audio .* $(packets "$dir/$name" a) frames" <<<"$info" || fail "$name: info counts otherwise: $info"
  clip "$dir/$name" "$dir/$name.clip.mp4"
  clip "$dir/$name.out.mp4" "$dir/$name.out.clip.mp4"
  cmp -s <(frames "$dir/$name.clip.mp4" v 3,6) <(frames "$dir/$name.out.clip.mp4" v 3,6) ||
    fail "$name: its clip differs from the clip of its conversion"
done <<'TABLE'
frag-behind-moov.mp4 aac frag_keyframe
frag-empty-moov.mp4 aac frag_keyframe+empty_moov+default_base_moof
frag-dash.mp4 aac frag_keyframe+empty_moov+default_base_moof+dash+global_sidx
frag-no-base.mp4 aac frag_keyframe+empty_moov+omit_tfhd_offset+frag_discont
frag-mulaw.mov pcm_mulaw frag_keyframe+empty_moov+separate_moof
TABLE

# Re-encoded sound plays as long as the mu-law it was made from, not into
# the padding of its last AAC frame.
"$tool" pack --video "$data/cam_320x240_25fps.h264" --audio "$data/tone_8000hz_mulaw.ul" -o "$dir/two.rec" >/dev/null
convert --audio aac -o "$dir/two.mp4" "$dir/two.rec"
[ "$(ffprobe -v error -select_streams a -show_entries stream=duration -of csv=p=0 "$dir/two.mp4")" = 2.000000 ] ||
  fail "the AAC sound of 2 s of mu-law lasts $(ffprobe -v error -select_streams a -show_entries stream=duration \
    -of csv=p=0 "$dir/two.mp4") s"

# A camera that switches resolution twice (160x120, 320x240 high profile,
# 160x120): every output decodes silently to the pictures of the stream
# itself, across the changes.
ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p -f h264 "$dir/s1"
ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p -f h264 "$dir/s2"
cat "$dir/s1" "$dir/s2" "$dir/s1" >"$dir/change.h264"
"$tool" pack --video "$dir/change.h264" --audio "$dir/a.ul" -o "$dir/change.rec" >/dev/null
# At one size, so that a part decoded alone compares with the whole.
pictures() { ffmpeg -nostdin -v error -i "$1" -map 0:v -vf scale=320:240 -f framemd5 - 2>&1 | grep -v '^#' | cut -d, -f6; }
pictures "$dir/change.h264" >"$dir/change.want"
convert -o "$dir/change.mp4" "$dir/change.rec"
convert --web -o "$dir/change.web.mp4" "$dir/change.rec"
convert -o "$dir/change.again.mp4" "$dir/change.mp4"
rm -f "$dir"/part-*
convert --segment 1s --name 'part-%S.mp4' -o "$dir/parts.mp4" "$dir/change.mp4"
for name in change change.web change.again; do
  pictures "$dir/$name.mp4" | cmp -s - "$dir/change.want" || fail "$name.mp4: not the stream's pictures, silently"
done
for part in "$dir"/part-*; do pictures "$part"; done | cmp -s - "$dir/change.want" ||
  fail "the segments across the changes: not the stream's pictures, silently"
convert --from "2024-01-01 00:00:01" --to "2024-01-01 00:00:05" -o "$dir/change.clip.mp4" "$dir/change.rec"
pictures "$dir/change.clip.mp4" | cmp -s - <(sed -n 26,125p "$dir/change.want") ||
  fail "a clip across the changes: not the stream's pictures, silently"
echo "recfile-convert: the click plays with its picture in every output; MP4 inputs keep their timeline;" \
  "pictures that change size decode in every output"
