#!/usr/bin/env bash
# Makes the H.264 and G.711 fixtures in this folder the way a surveillance
# camera writes its streams: Annex B byte stream, no B-frames, SPS and PPS in
# front of every IDR picture, a short fixed GOP; audio as 8 kHz mono mu-law.
# The outputs are committed, so the core tests never need ffmpeg; rerun this
# only to change a fixture (x264 versions differ, so the bytes will too).
set -euo pipefail
cd "$(dirname "$0")"
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed" >&2; exit 1; }

# video NAME SIZE FRAMES GOP QUALITY [EXTRA_X264_PARAMS] [FILTER]
video() {
  local name=$1 size=$2 frames=$3 gop=$4 quality=$5 extra=${6:-} filter=${7:-}
  local params="repeat-headers=1:scenecut=0:keyint=$gop:min-keyint=$gop${extra:+:$extra}"
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=$size:rate=25${filter:+,$filter}" -frames:v "$frames" \
    -c:v libx264 -preset veryfast -profile:v main -pix_fmt yuv420p -bf 0 $quality \
    -x264-params "$params" -f h264 "$name"
}

video cam_320x240_25fps.h264    320x240   50 25 "-crf 30"
video cam_320x240_slices4.h264  320x240   25 10 "-crf 30" "slices=4"
video cam_320x240_aud.h264      320x240   25 10 "-crf 30" "aud=1"
video cam_704x576_4x3.h264      704x576   25 12 "-crf 32"
# Still noise on the test card keeps the I-picture above 262144 bytes, as
# 1080p cameras write them, while the P-pictures stay small.
video cam_1920x1080_large_i.h264 1920x1080 4  25 "-qp 17" "" "noise=alls=3"

ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=2" \
  -ac 1 -ar 8000 -f mulaw tone_8000hz_mulaw.ul

# Ordinary MP4 files as ffmpeg writes them, for the MP4 reader: 2 s of
# 320x240 at 25 fps, GOP 25, parameter sets only in avcC, ffmpeg's usual
# timescales (12800 for video, the sampling rate for audio) and AAC priming.
# mp4 NAME AUDIO_SOURCE|"" [OUTPUT_OPTIONS...]
mp4() {
  local name=$1 audio=$2
  shift 2
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=320x240:rate=25" \
    ${audio:+-f lavfi -i "$audio"} -t 2 \
    -c:v libx264 -preset veryfast -profile:v main -pix_fmt yuv420p -crf 36 -g 25 \
    -metadata creation_time=2024-01-01T00:00:00Z "$@" "$name"
}
# Two different tones, so that swapped or merged channels show.
stereo="aevalsrc=sin(440*2*PI*t)|sin(660*2*PI*t):s=48000"

mp4 ffmpeg_aac16k_mono.mp4    "sine=frequency=440:sample_rate=16000" -bf 0 -c:a aac -ar 16000 -ac 1 -b:a 24k
mp4 ffmpeg_aac48k_stereo.mp4  "$stereo" -bf 0 -c:a aac -ar 48000 -ac 2 -b:a 64k
mp4 ffmpeg_video_only.mp4     "" -bf 0
mp4 ffmpeg_faststart.mp4      "sine=frequency=440:sample_rate=44100" -bf 0 -c:a aac -ar 44100 -ac 1 -b:a 32k \
  -movflags faststart
mp4 ffmpeg_bframes_slices4.mp4 "sine=frequency=440:sample_rate=16000" -bf 2 -x264-params slices=4 \
  -c:a aac -ar 16000 -ac 1 -b:a 24k

# The timeline of an ordinary MP4 file, for the reader's sample times:
# x264's defaults (B-frames in a pyramid: ctts), AAC mono at 8 kHz (its
# priming edit), cut with -ss at a picture (0.48 s) so that both edit lists
# start inside the media; and one video track whose picture size changes
# (160x120, then 320x240): two sample descriptions, joined by
# two_descriptions.py, as ffmpeg writes only one.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=160x120:rate=25" \
  -f lavfi -i "sine=frequency=440:sample_rate=8000" -t 1.2 -c:v libx264 -crf 45 -pix_fmt yuv420p -g 25 \
  -c:a aac -ac 1 -ar 8000 -b:a 12k -metadata creation_time=2024-01-01T00:00:00Z "$scratch/x264.mp4"
ffmpeg -hide_banner -loglevel error -y -ss 0.48 -i "$scratch/x264.mp4" -c copy ffmpeg_x264_cut.mp4
for size in 160x120 320x240; do
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=25" -t 0.4 -c:v libx264 -crf 45 \
    -pix_fmt yuv420p -g 5 "$scratch/$size.mp4"
done
python3 two_descriptions.py "$scratch/160x120.mp4" "$scratch/320x240.mp4" two_picture_sizes.mp4
ls -l ./*.h264 ./*.ul ./*.mp4
