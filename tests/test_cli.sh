#!/usr/bin/env bash
# The recfile-convert command as a user runs it: pack, convert several files
# at once, exit codes, and the library's lines kept out of the way.
# Usage: test_cli.sh RECFILE_CONVERT DATA_DIR
set -euo pipefail
tool=$1 data=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$tool" --help | grep -q '^usage: recfile-convert convert' || fail "--help lacks convert"
"$tool" --help | grep -q '^usage: recfile-convert pack' || fail "--help lacks pack"

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
echo "recfile-convert: pack, convert -j, exit codes and quiet output as expected"
