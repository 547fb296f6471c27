#!/usr/bin/env bash
# A host without FFmpeg's libraries: the command converts mu-law as ever,
# without even trying to open them, and a conversion to AAC fails alone,
# naming the library that cannot be loaded (exit 1), with no output written.
# On Linux a preload hides each library from dlopen in turn; on Windows the
# command runs from a folder that holds the library's DLL and lacks both
# FFmpeg DLLs, then avutil only.
# Usage: test_aac_missing.sh RECFILE_CONVERT DATA_DIR HIDE_PRELOAD
#        test_aac_missing.sh RECFILE_CONVERT.exe DATA_DIR WINE
set -euo pipefail
tool=$1 data=$2 helper=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Each case: what is hidden, and the file the refusal names (a pattern).
if [[ $tool == *.exe ]]; then
  cases=("avcodec avutil" 'avcodec-[0-9]+\.dll' "avutil" 'avcodec-[0-9]+\.dll')
  launch=("$helper" "$dir/bare/$(basename "$tool")")
else
  cases=("libavcodec.so" 'libavcodec\.so\.[0-9]+' "libavutil.so" 'libavutil\.so\.[0-9]+')
  launch=(env LD_PRELOAD="$helper" "$tool")
  # ASan wants its runtime first in the process; the preload comes before it.
  export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
fi
# Runs the command with $hidden out of its reach; sets $status.
run() { status=0; VRC_TEST_HIDE=$hidden "${launch[@]}" "$@" >"$dir/out" 2>"$dir/err" || status=$?; }

for ((i = 0; i < ${#cases[@]}; i += 2)); do
  hidden=${cases[i]} named=${cases[i + 1]}
  if [[ $tool == *.exe ]]; then
    rm -rf "$dir/bare" && mkdir "$dir/bare"
    cp "$tool" "$(dirname "$tool")"/{librecfile_convert,avcodec-*,avutil-*}.dll "$dir/bare/"
    for name in $hidden; do rm "$dir/bare/$name"-*.dll; done
  fi
  rm -f "$dir"/*.mp4
  run pack --video "$data/cam_320x240_25fps.h264" --audio "$data/tone_8000hz_mulaw.ul" -o "$dir/a.rec"
  [ "$status" -eq 0 ] || fail "pack without $hidden: exit $status $(cat "$dir/err")"
  run convert "$dir/a.rec" -o "$dir/mulaw.mp4"
  [ "$status" -eq 0 ] && [ -s "$dir/mulaw.mp4" ] || fail "mu-law without $hidden: exit $status $(cat "$dir/out" "$dir/err")"
  ! grep -q 'hidden' "$dir/err" || fail "a mu-law conversion tried to open $(cat "$dir/err")"
  run convert --audio aac "$dir/a.rec" -o "$dir/aac.mp4"
  [ "$status" -eq 1 ] || fail "AAC without $hidden: exit $status, not 1: $(cat "$dir/out" "$dir/err")"
  grep -Eq "^FAILED  .*a\.rec: AAC audio: $named cannot be loaded: ." "$dir/err" ||
    fail "AAC without $hidden: no reason naming $named: $(cat "$dir/err")"
  [ ! -e "$dir/aac.mp4" ] || fail "AAC without $hidden: an output was written"
done
echo "without FFmpeg's libraries: mu-law converts, AAC fails naming the library"
