#!/usr/bin/env bash
# Names a Windows user types, through the Windows build of the command under
# Wine: accented Latin, Chinese, spaces, and a tree deeper than 260
# characters with a recording on each level, through pack, convert (a file,
# -o, -d, -r -d), info --json and extract. Every output must stand under the
# name given, equal to what the Linux build makes of the same recording, and
# JSON must name the paths as given.
# Usage: test_windows_paths.sh WINE RECFILE_CONVERT.EXE DATA_DIR [LINUX_RECFILE_CONVERT]
set -euo pipefail
wine=$1 tool=$2 data=$3 linux=${4:-}
export LC_ALL=C.UTF-8  # Wine hands over arguments and names in the locale's encoding
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
fail() { echo "FAIL: $*"; exit 1; }
win() { "$wine" "$tool" "$@" >out 2>err || fail "$* -> exit $?: $(cat out err)"; }
same() { cmp -s "$1" "$2" || fail "$1 differs from $2"; }
json_names() {  # the given JSON key of every line of out, one a line
  python3 -c 'import json, sys; [print(json.loads(l)[sys.argv[1]]) for l in open("out") if "\"type\":\"summary\"" not in l]' "$1"
}
pack_args=(pack --video "$data/cam_320x240_25fps.h264" --audio "$data/tone_8000hz_mulaw.ul")

deep=deep
for level in 1 2 3 4 5 6 7; do deep+="/niveau $level été 中文目录 $(printf '%040d' 0)"; done
names=("Café/caméra 1" "中文目录/摄像机 1" "my files é 中/cam 2 ü" "$deep/cam 7")
if [ -n "$linux" ]; then
  "$linux" "${pack_args[@]}" -o ref.rec >/dev/null && "$linux" ref.rec -o ref.mp4 >/dev/null
  "$linux" extract ref.mp4 --video ref.h264 --audio ref.ul >/dev/null
else
  echo "no Linux build given: outputs compared with this build's own of ASCII names"
  win "${pack_args[@]}" -o ref.rec && win ref.rec -o ref.mp4 && win extract ref.mp4 --video ref.h264 --audio ref.ul
fi

recs=() mp4s=()
for name in "${names[@]}"; do
  mkdir -p "$(dirname "$name")"
  win "${pack_args[@]}" -o "$name.rec" && same "$name.rec" ref.rec
  win "$name.rec" -o "$name -o.mp4" && same "$name -o.mp4" ref.mp4
  win extract "$name -o.mp4" --video "$name.h264" --audio "$name.ul"
  same "$name.h264" ref.h264 && same "$name.ul" ref.ul
  recs+=("$name.rec") mp4s+=("$name.mp4")
done
win --json "${recs[@]}"
[ "$(json_names input)" = "$(printf '%s\n' "${recs[@]}")" ] || fail "convert --json: $(cat out)"
win -d "$deep/-d é" "${recs[@]}"
for name in "${names[@]}"; do same "$name.mp4" ref.mp4 && same "$deep/-d é/$(basename "$name").mp4" ref.mp4; done
win info --json "${mp4s[@]}"
[ "$(json_names file)" = "$(printf '%s\n' "${mp4s[@]}")" ] || fail "info --json: $(cat out)"

# A recording on every level of the deep tree, and all of them converted at once.
for (( ; ${#deep} > 4; )); do cp ref.rec "$deep/level.rec" && deep=$(dirname "$deep"); done
win -r -d "输出 -r" .
recordings=$(find . -name '*.rec' | wc -l)
grep -q "^$recordings converted, 0 skipped, 0 failed" out || fail "-r: $(cat out err)"
find . -name '*.rec' -printf '%P\n' | while read -r rec; do same "输出 -r/${rec%.rec}.mp4" ref.mp4; done
longest=$(find . -printf '%P\n' | python3 -c 'import sys; print(max(len(l) - 1 for l in sys.stdin))')
echo "recfile-convert.exe: ${#names[@]} names and $recordings recordings, paths up to $longest characters, as given"
