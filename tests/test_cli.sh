#!/usr/bin/env bash
# The recfile-convert command as a user runs it: pack, convert several files
# at once, read MP4 files back with info and extract, exit codes, and the
# library's lines kept out of the way.
# Usage: test_cli.sh RECFILE_CONVERT DATA_DIR
set -euo pipefail
tool=$1 data=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

help=$("$tool" --help)
for command in convert pack info extract; do
  grep -q "^usage: recfile-convert $command" <<<"$help" || fail "--help lacks $command"
done

"$tool" pack --video "$data/cam_320x240_25fps.h264" --audio "$data/tone_8000hz_mulaw.ul" -o "$dir/a.rec" >/dev/null
cp "$dir/a.rec" "$dir/b.rec"

set +e
out=$("$tool" convert -j 2 "$dir/a.rec" "$dir/b.rec" "$dir/missing.rec")
status=$?
set -e
[ "$status" -eq 1 ] || fail "exit status $status with a missing input"
[ "$(grep -c '^ok ' <<<"$out")" -eq 2 ] || fail "two ok lines expected: $out"
grep -q "^FAILED  $dir/missing.rec" <<<"$out" || fail "no FAILED line: $out"
grep -q '^2 converted, 1 failed, ' <<<"$out" || fail "no summary: $out"
grep -q 'open is succeed' <<<"$out" && fail "library lines shown without --verbose"
[ -s "$dir/a.rec.mp4" ] && [ -s "$dir/b.rec.mp4" ] || fail "no output files"

out=$("$tool" --verbose "$dir/a.rec") || fail "short form failed"
grep -q 'open is succeed' <<<"$out" || fail "--verbose hides the library's lines"
grep -q '^1 converted, 0 failed' <<<"$out" || fail "short form summary: $out"

set +e
"$tool" convert --bogus "$dir/a.rec" 2>/dev/null
status=$?
set -e
[ "$status" -eq 2 ] || fail "unknown option gave $status"
# info: one JSON object per file; a file that is no MP4 gets its reason.
set +e
"$tool" info --json "$dir/a.rec.mp4" "$data/ffmpeg_aac16k_mono.mp4" "$dir/a.rec" >"$dir/info.json" 2>"$dir/info.err"
status=$?
set -e
[ "$status" -eq 1 ] || fail "info exit status $status with a file that is no MP4"
[ "$(wc -l <"$dir/info.json")" -eq 3 ] || fail "three JSON lines expected: $(cat "$dir/info.json")"
grep -q "recfile-convert info: $dir/a.rec: not an MP4" "$dir/info.err" || fail "no reason: $(cat "$dir/info.err")"
grep -q "^{\"file\":\"$dir/a.rec\",\"probe\":[0-9]*,\"error\":" "$dir/info.json" || fail "no error object"
grep -q '"probe":100,"mode":"table",.*"codec":"h264",.*"width":320,"height":240,"frames":50,"key_frames":2}' \
  "$dir/info.json" || fail "converted file: $(head -1 "$dir/info.json")"
grep -q '"creation_time":1704067200,"created":"2024-01-01 00:00:00",.*"codec":"aac",.*"sample_rate":16000,"channels":1,"frames":33}' \
  "$dir/info.json" || fail "ffmpeg file: $(sed -n 2p "$dir/info.json")"

# extract: the mu-law comes back as packed; a seek lands on the second key
# frame whatever the host's zone; times outside the recording exit with 3.
"$tool" extract "$dir/a.rec.mp4" --video "$dir/v.h264" --audio "$dir/a.ul" >/dev/null || fail "extract failed"
cmp -s "$dir/a.ul" "$data/tone_8000hz_mulaw.ul" || fail "extracted audio differs from the packed tone"
[ "$(head -c 4 "$dir/v.h264" | od -An -tx1 | tr -d ' ')" = 00000001 ] || fail "video is no Annex B stream"
for zone in UTC CST-8 EST5EDT,M3.2.0,M11.1.0; do
  out=$(TZ=$zone "$tool" extract "$dir/a.rec.mp4" --from "2024-01-01 08:00:01 +08:00" --json)
  grep -q '"first_video_timestamp":1000,"first_video_utctime":1704067201' <<<"$out" || fail "TZ=$zone seek: $out"
done
set +e
"$tool" extract "$dir/a.rec.mp4" --from "2023-12-31 23:59:59" 2>"$dir/extract.err"
status=$?
"$tool" extract "$dir/a.rec.mp4" --from "2024-02-30 00:00:00" 2>/dev/null
bad_time=$?
set -e
[ "$status" -eq 3 ] || fail "seek before the recording gave $status"
grep -q 'runs from 2024-01-01 00:00:00 to 2024-01-01 00:00:02 UTC' "$dir/extract.err" || fail "$(cat "$dir/extract.err")"
[ "$bad_time" -eq 2 ] || fail "a day that does not exist gave $bad_time"
echo "recfile-convert: pack, convert -j, info, extract, exit codes and quiet output as expected"
