#!/usr/bin/env bash
# The recfile-convert command as a user runs it on an archive: a tree of
# recordings, the bundled one among them, converted with -r -d, re-run with
# -n, failures with their reasons, JSON, exit codes, MP4 files read back
# with info and extract, and a conversion killed midway.
# Usage: test_cli.sh RECFILE_CONVERT DATA_DIR
set -euo pipefail
tool=$1 data=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Runs the tool with stdout and stderr in $dir/out and $dir/err; sets $status.
run() { status=0; "$tool" "$@" >"$dir/out" 2>"$dir/err" || status=$?; }
expect() { [ "$status" -eq "$1" ] || fail "exit status $status, not $1: $(cat "$dir/out" "$dir/err")"; }

run --help
for command in convert pack info extract repair; do
  grep -q "^usage: recfile-convert $command" "$dir/out" || fail "--help lacks $command"
done
run -j 2 x.rec -h && grep -q '^Exit status: 0' "$dir/out" || fail "-h after other arguments"
run --version && grep -q '^recfile-convert [0-9]' "$dir/out" || fail "--version"
run pack --video "$dir"
expect 1 && grep -q 'Is a directory' "$dir/err" || fail "pack --video DIR"

mkdir -p "$dir/in/cam1" "$dir/in/cam2"
"$tool" pack --video "$data/cam_320x240_25fps.h264" --audio "$data/tone_8000hz_mulaw.ul" -o "$dir/in/cam1/a.rec" >/dev/null
cp "$data/../../samples/sample.rec" "$dir/in/cam2/b.rec"  # the bundled recording
head -c 5000 "$data/cam_320x240_aud.h264" >"$dir/in/cam2/bad.rec"
touch "$dir/in/cam2/notes.txt"

run -r -d "$dir/mp4" -j 2 "$dir/in"
expect 1
[ "$(grep -c '^ok ' "$dir/out")" -eq 2 ] && grep -q '^2 converted, 0 skipped, 1 failed' "$dir/out" ||
    fail "two converted, one failed: $(cat "$dir/out")"
[ -s "$dir/mp4/cam1/a.mp4" ] && [ -s "$dir/mp4/cam2/b.mp4" ] && [ ! -e "$dir/mp4/cam2/bad.mp4" ] ||
    fail "outputs: $(find "$dir/mp4")"
grep -q "^FAILED  $dir/in/cam2/bad.rec: no frame" "$dir/err" || fail "no reason on stderr: $(cat "$dir/err")"
! grep -q $'\x1b' "$dir/out" "$dir/err" || fail "colour codes in a pipe"
! grep -q 'open is succeed' "$dir/out" "$dir/err" || fail "library lines without --verbose"

run -r -d "$dir/mp4" -n --json "$dir/in"
expect 1
python3 -c '
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
assert [f["status"] for f in lines[:-1]] == ["skipped", "skipped", "failed"], lines
assert lines[-1]["type"] == "summary" and lines[-1]["skipped"] == 2 and lines[-1]["failed"] == 1, lines[-1]
' "$dir/out" || fail "--json with -n: $(cat "$dir/out")"

run "$dir/in/cam1/a.rec" -o "$dir/mp4/cam2/b.mp4"
expect 1 && grep -q "the output $dir/mp4/cam2/b.mp4 exists" "$dir/err" || fail "an existing output replaced without -y"
run -y "$dir/in/cam1/a.rec" -o "$dir/mp4/cam2/b.mp4"
expect 0
run --keep-extension -v "$dir/in/cam1/a.rec" "$dir/in/cam2/b.rec" -j 2 "$dir/missing.rec"
expect 1
[ -s "$dir/in/cam1/a.rec.mp4" ] || fail "--keep-extension"
grep -q "^FAILED  $dir/missing.rec: No such file" "$dir/err" || fail "missing input: $(cat "$dir/err")"
grep -q 'open is succeed' "$dir/err" && ! grep -v -e "^$dir/in/cam1/a.rec: " -e "^$dir/in/cam2/b.rec: " \
    -e '^FAILED' "$dir/err" || fail "--verbose lines not each after its file's name: $(cat "$dir/err")"
run -o x.mp4 a.rec b.rec
expect 2

# --audio aac re-encodes the sound at the bit rate asked (info reads it
# back); what the options cannot take is a usage error that names it.
for bad in "--audio mp3" "--audio aac --audio-bitrate 32kb" "--audio aac --audio-bitrate 0" \
    "--audio aac --audio-bitrate 7999" "--segment soon" "-j x" "--from 2024-01-01T00:00:00.1234"; do
  run $bad a.rec
  expect 2 && grep -q "not \"${bad##* }\"" "$dir/err" || fail "$bad: $(cat "$dir/err")"
done
run --audio-bitrate 24k a.rec
expect 2
run -y --audio aac --audio-bitrate 24k "$dir/in/cam1/a.rec" -o "$dir/aac.mp4"
if ! grep -q 'this build has no AAC encoder' "$dir/err"; then
  expect 0
  run info --json "$dir/aac.mp4"
  grep -q '"codec":"aac",.*"sample_rate":8000,"channels":1' "$dir/out" || fail "--audio aac: $(cat "$dir/out")"
fi

# info: one JSON object per file; a file that is neither MP4 nor a legacy
# recording gets its reason.
mp4=$dir/mp4/cam1/a.mp4 rec=$dir/in/cam1/a.rec bad=$dir/in/cam2/bad.rec
run info --json "$mp4" "$data/ffmpeg_aac16k_mono.mp4" "$bad" "$dir/in/cam2/b.rec.mp4"
expect 1
[ "$(wc -l <"$dir/out")" -eq 4 ] || fail "four JSON lines expected: $(cat "$dir/out")"
grep -q "recfile-convert info: $bad: not an MP4" "$dir/err" || fail "no reason: $(cat "$dir/err")"
grep -q "^{\"file\":\"$bad\",\"probe\":[0-9]*,\"error\":" "$dir/out" || fail "no error object"
grep -q '"probe":100,"mode":"table",.*"codec":"h264",.*"width":320,"height":240,"frames":50,"key_frames":2}' \
  "$dir/out" || fail "converted file: $(head -1 "$dir/out")"
grep -q '"creation_time":1704067200,"created":"2024-01-01 00:00:00",.*"codec":"aac",.*"sample_rate":16000,"channels":1,"frames":33}' \
  "$dir/out" || fail "ffmpeg file: $(sed -n 2p "$dir/out")"
grep -q '"codec":"h264",.*"width":640,"height":360,"frames":250,.*"codec":"g711u",.*"frames":250' "$dir/out" ||
  fail "the bundled recording: $(sed -n 4p "$dir/out")"

# info -r on legacy recordings: the stamps and counts packed (10 fps from
# 1700000000 s: video 0..4900 ms, key frames 25 pictures apart; audio 40..2000
# ms), the bytes the conversion skips, and the picture ffprobe finds in each
# conversion.
mkdir "$dir/in/cam3"
"$tool" pack --video "$data/cam_320x240_25fps.h264" --audio "$data/tone_8000hz_mulaw.ul" --fps 10 \
  --start 1700000000 -o "$dir/in/cam3/p.rec" >/dev/null
"$tool" pack --video "$data/cam_704x576_4x3.h264" --foreign-head 100 --foreign-gap 7 --cut-last 10 \
  -o "$dir/in/cam3/q.rec" >/dev/null
"$tool" --json --keep-extension "$dir/in/cam3/p.rec" "$dir/in/cam3/q.rec" >"$dir/converted"
run info -r --json "$dir/in"
expect 1
python3 - "$dir/out" "$dir/converted" <<'PY' || fail "info -r --json: $(cat "$dir/out")"
import json, shutil, subprocess, sys
info = {line["file"].rsplit("/", 1)[1]: line for line in map(json.loads, open(sys.argv[1]))}
converted = {line["input"]: line for line in map(json.loads, open(sys.argv[2])) if line["type"] == "file"}
assert sorted(info) == ["a.rec", "b.rec", "bad.rec", "p.rec", "q.rec"] and "error" in info["bad.rec"], info
p = info["p.rec"]
assert (p["first"], p["last"], p["first_ms"], p["duration_ms"]) == \
    ("2023-11-14 22:13:20.000", "2023-11-14 22:13:24.900", 1700000000000, 4900), p
assert (p["video"]["frames"], p["video"]["key_frames"], p["video"]["longest_key_gap_ms"], p["audio"]["frames"]) == \
    (50, 2, 2500, 50), p
for name, line in converted.items():
    assert info[name.rsplit("/", 1)[1]]["bytes_skipped"] == line["skipped_bytes"], (info, line)
assert info["q.rec"]["bytes_skipped"] > 0 and info["p.rec"]["video"]["pauses"] == 0, info
if not shutil.which("ffprobe"):
    sys.exit(print("SKIP: ffprobe missing: the picture sizes and profiles are not checked"))
for rec in ("a.rec", "b.rec", "p.rec", "q.rec"):
    probe = json.loads(subprocess.check_output(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                                "stream=width,height,profile", "-of", "json",
                                                info[rec]["file"] + ".mp4"]))
    video = info[rec]["video"]
    assert probe["streams"][0] == {k: video[k] for k in ("width", "height", "profile")}, (probe, video)
PY
run info "$dir/in/cam3/p.rec"
grep -q "p.rec: legacy recording, 2023-11-14 22:13:20.000 to 2023-11-14 22:13:24.900 UTC, 4.900 s, video h264 320x240" \
  "$dir/out" || fail "info on a legacy recording: $(cat "$dir/out")"
# The 32-bit wall-clock field wraps in 2106, as the stamps wrap: time goes on.
"$tool" pack --video "$data/cam_320x240_25fps.h264" --start 4294967295 -o "$dir/wrap.rec" >/dev/null
run info "$dir/wrap.rec"
grep -q "2106-02-07 06:28:15.000 to 2106-02-07 06:28:16.960 UTC, 1.960 s," "$dir/out" || fail "$(cat "$dir/out")"

# extract: the mu-law comes back as packed; a seek lands on the second key
# frame whatever the host's zone; times outside the recording exit with 3.
run extract "$mp4" --video "$dir/v.h264" --audio "$dir/a.ul"
expect 0
cmp -s "$dir/a.ul" "$data/tone_8000hz_mulaw.ul" || fail "extracted audio differs from the packed tone"
[ "$(head -c 4 "$dir/v.h264" | od -An -tx1 | tr -d ' ')" = 00000001 ] || fail "video is no Annex B stream"
for zone in UTC CST-8 EST5EDT,M3.2.0,M11.1.0; do
  out=$(TZ=$zone "$tool" extract "$mp4" --from "2024-01-01 08:00:01.960 +08:00" --json)
  grep -q '"first_video_timestamp":1000,"first_video_utctime":1704067201' <<<"$out" || fail "TZ=$zone seek: $out"
done
run extract "$mp4" --from "2023-12-31 23:59:59"
expect 3
grep -q 'runs from 2024-01-01 00:00:00 to 2024-01-01 00:00:02 UTC' "$dir/err" || fail "$(cat "$dir/err")"
run extract "$mp4" --from "2024-02-30 00:00:00"
expect 2

# A recording left without moov by a power cut (two pictures and a sound
# whole, the next picture cut): read through its frame records; repair writes
# a whole file once, never over the input or an output.
cut="$data/recording_no_moov.mp4"
run info "$cut"
grep -q 'no moov: 3 frames recovered from the frame records, 1 cut off' "$dir/out" || fail "$(cat "$dir/out")"
run info --json "$cut"
grep -q '"duration":0,"no_moov":true,"recovered_frames":3,"cut_frames":1,"tracks":\[' "$dir/out" || fail "$(cat "$dir/out")"
run repair "$cut" -o "$dir/repaired.mp4"
expect 0 && grep -q 'written, 1 dropped$' "$dir/out" || fail "the cut frame counted once: $(cat "$dir/out")"
run info --json "$dir/repaired.mp4"
grep -q '"mode":"table",.*"frames":2,"key_frames":1}.*"frames":1}' "$dir/out" || fail "repaired: $(cat "$dir/out")"
run repair "$cut" -o "$dir/repaired.mp4"
expect 1 && grep -q 'exists' "$dir/err" || fail "repair over an output: $(cat "$dir/err")"
run repair "$mp4"
expect 1 && grep -q 'no frame records' "$dir/err" || fail "repair of another writer's file: $(cat "$dir/err")"

# Killed midway, a conversion leaves nothing under its own name, and one that
# replaces an earlier output (-y) leaves that output as it was.
mkdir "$dir/kill"
"$tool" pack --video "$data/cam_1920x1080_large_i.h264" -o "$dir/one.rec" >/dev/null
for _ in $(seq 250); do cat "$dir/one.rec"; done >"$dir/kill/new.rec"
ln "$dir/kill/new.rec" "$dir/kill/old.rec"
cp "$dir/mp4/cam1/a.mp4" "$dir/kill/old.mp4"
"$tool" -y -j 2 "$dir/kill/new.rec" "$dir/kill/old.rec" >/dev/null 2>&1 &
pid=$!
shopt -s nullglob dotglob
parts=()
while [ ${#parts[@]} -lt 2 ] && kill -0 $pid 2>/dev/null; do parts=("$dir"/kill/.*.part); done
kill -9 $pid 2>/dev/null || true
status=0 && { wait $pid; } 2>/dev/null || status=$?
[ "$status" -eq 137 ] || fail "the conversions ended ($status) before they could be killed"
[ ! -e "$dir/kill/new.mp4" ] || fail "a killed conversion left a file under its own name"
cmp -s "$dir/kill/old.mp4" "$dir/mp4/cam1/a.mp4" || fail "a killed conversion changed the earlier output"
# A join of more recordings than the process may hold open: each is opened
# when its turn comes and closed after.
mkdir -p "$dir/many"
for n in $(seq 100 199); do
  "$tool" pack --video "$data/cam_320x240_25fps.h264" --start $((1704067200 + 60 * n)) -o "$dir/many/$n.rec" >/dev/null
done
status=0 && (ulimit -n 40 && "$tool" -q --join -o "$dir/many.mp4" "$dir"/many/*.rec >"$dir/out" 2>"$dir/err") || status=$?
expect 0
"$tool" info "$dir/many.mp4" | grep -q 'track 0: video h264 320x240, 5000 frames (200 key)' ||
  fail "a join of 100 recordings of 50 pictures: $("$tool" info "$dir/many.mp4")"
echo "recfile-convert: -r -d, -n, --json, failures, exit codes, info, extract, repair and a killed conversion as expected"
