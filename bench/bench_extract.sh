#!/usr/bin/env bash
# Times reading a converted recording of about 100 MB back through
# `recfile-convert extract` next to `ffmpeg -c copy -f null` on the same
# file: runs interleaved, medians of the wall times in milliseconds, and
# each program's peak resident memory (GNU time's maximum resident set size).
#
# Usage: bench_extract.sh RECFILE_CONVERT [MIB] [RUNS]
set -euo pipefail
tool=$(realpath "$1") mib=${2:-100} runs=${3:-5}
data=$(cd "$(dirname "$0")/../tests/data" && pwd)
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# The 1080p fixture's pictures over and over (each copy opens with its own
# SPS, PPS and IDR picture), with mu-law audio for as long.
picture="$data/cam_1920x1080_large_i.h264"
copies=$(( (mib << 20) / $(stat -c %s "$picture") + 1 ))
for _ in $(seq "$copies"); do cat "$picture"; done >"$dir/video.h264"
for _ in $(seq $(( copies * 4 / 25 / 2 + 1 ))); do cat "$data/tone_8000hz_mulaw.ul"; done >"$dir/audio.ul"
"$tool" pack --video "$dir/video.h264" --audio "$dir/audio.ul" -o "$dir/large.rec" >/dev/null
"$tool" convert "$dir/large.rec" >/dev/null
file=$dir/large.rec.mp4
echo "$(stat -c %s "$file") bytes: $("$tool" info "$file" | tr '\n' ' ')"

declare -A times peaks
cmd_extract=("$tool" extract "$file")
cmd_extract_to_null=("$tool" extract "$file" --video /dev/null --audio /dev/null)
cmd_ffmpeg=(ffmpeg -v error -i "$file" -c copy -f null -)
commands=(extract extract_to_null ffmpeg)
for name in "${commands[@]}"; do
  declare -n cmd="cmd_$name"
  "${cmd[@]}" >/dev/null  # page cache warm
done
for _ in $(seq "$runs"); do
  for name in "${commands[@]}"; do
    declare -n cmd="cmd_$name"
    start=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$dir/time" "${cmd[@]}" >/dev/null
    end=$(date +%s%N)
    read -r kib <"$dir/time"
    times[$name]+="$(( (end - start) / 1000000 )) "
    peaks[$name]+="$kib "
  done
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
ffmpeg_median=$(median <<<"${times[ffmpeg]}")
for name in "${commands[@]}"; do
  m=$(median <<<"${times[$name]}")
  peak=$(tr ' ' '\n' <<<"${peaks[$name]}" | grep . | sort -g | tail -1)
  printf '%-16s median %7.1f ms (runs: %s) peak RSS %6d KiB  ffmpeg/this %.2f\n' \
    "$name" "$m" "${times[$name]% }" "$peak" "$(awk -v a="$ffmpeg_median" -v b="$m" 'BEGIN {print a / b}')"
done
