#!/usr/bin/env bash
# Makes sample.rec, the bundled legacy recording: 10 s of 640x360 H.264 at
# 25 fps (1 s GOP, no B-frames, SPS and PPS before every IDR) with 8 kHz
# mu-law audio, packed by the project's own tool.
# Usage: make_sample.sh PATH/TO/recfile-convert
set -euo pipefail
tool=$(realpath "${1:?usage: make_sample.sh PATH/TO/recfile-convert}")
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=640x360:rate=25" -t 10 \
  -c:v libx264 -preset veryfast -profile:v main -pix_fmt yuv420p -bf 0 -b:v 300k -maxrate 400k -bufsize 400k \
  -x264-params "repeat-headers=1:scenecut=0:keyint=25:min-keyint=25" -f h264 "$work/video.h264"
ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=10" \
  -ac 1 -ar 8000 -f mulaw "$work/audio.ul"
"$tool" pack --video "$work/video.h264" --audio "$work/audio.ul" --fps 25 -o sample.rec
