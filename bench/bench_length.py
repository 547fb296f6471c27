#!/usr/bin/env python3
"""Conversions of any size, length and number of inputs, checked end to end.

Three cases, each optional (they need a few GiB of disk and minutes):

  big    a legacy recording of --gib GiB (1080p H.264 and mu-law, built as
         bench_convert.py builds its recording), converted plainly and with
         --faststart: the frame counts exact, the streams read back with
         ffmpeg byte-identical to the ones packed (x264's SEI aside, which
         the muxer does not keep), the last 3 s decoded
         without a message, 64-bit chunk offsets and mdat size present, the
         time against cat of the same file; the plain output converted
         again (read past 4 GiB): counts exact, time, peak memory.
  day    24 one-hour recordings of tiny pictures (2,160,000 pictures and as
         many mu-law frames) joined into one MP4: counts and duration exact,
         the last minute decoded without a message, peak memory and time;
         the day converted again (its 2,160,000 samples a track read back).
  many   --many one-second recordings joined under ulimit -n 256: counts,
         peak memory and time.

Usage: bench_length.py RECFILE_CONVERT [--cases big,day,many] [--gib 4.6]
                       [--many 2000] [--dir DIR]
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_convert import make_recording, repeat, run_quiet, timed  # noqa: E402

START = 1704067200  # 2024-01-01 00:00:00 UTC


def check(ok, what):
    print(('  ok    ' if ok else '  FAIL  ') + what)
    if not ok:
        check.failed = True


check.failed = False


def quiet_decode(path, *args):
    """ffmpeg's messages while decoding (empty when it decodes silently)."""
    r = subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', *args, '-i', path, '-f', 'null', '-'],
                       capture_output=True, text=True)
    return (r.stderr + ('' if r.returncode == 0 else f'exit {r.returncode}')).strip()


def probe(path, stream, entry):
    return subprocess.run(['ffprobe', '-v', 'error', '-select_streams', stream, '-count_packets', '-show_entries',
                           entry, '-of', 'csv=p=0', path], capture_output=True, text=True, check=True).stdout.strip()


def top_boxes(path):
    """(type, offset, size, header size) of the file's top-level boxes."""
    boxes, size = [], os.path.getsize(path)
    with open(path, 'rb') as f:
        at = 0
        while at + 8 <= size:
            f.seek(at)
            n, kind = struct.unpack('>I4s', f.read(8))
            header = 8
            if n == 1:
                n, header = struct.unpack('>Q', f.read(8))[0], 16
            boxes.append((kind.decode('latin-1'), at, n, header))
            at += n if n else size - at
    return boxes


def moov_holds(path, kind):
    moov = [b for b in top_boxes(path) if b[0] == 'moov'][0]
    with open(path, 'rb') as f:
        f.seek(moov[1])
        return kind.encode() in f.read(moov[2])


def same_bytes(a, b):
    return subprocess.run(['cmp', '-s', a, b]).returncode == 0


def streams_back(mp4, d):
    v, a = os.path.join(d, 'back.h264'), os.path.join(d, 'back.ul')
    run_quiet(['ffmpeg', '-v', 'error', '-y', '-i', mp4, '-map', '0:v', '-c', 'copy', '-f', 'h264', v,
               '-map', '0:a', '-c', 'copy', '-f', 'mulaw', a])
    return v, a


def reconvert(tool, d, mp4, counts):
    """This program's own MP4 output read back whole: converted again with the
    same counts, the time against cat of it, the peak memory."""
    copy, again = os.path.join(d, 'copy.mp4'), os.path.join(d, 'again.mp4')
    os.sync()
    cat_s, _ = timed(['sh', '-c', 'cat "$1" > "$2"', 'cat', mp4, copy])
    os.remove(copy)
    os.sync()
    wall, kib = timed([tool, 'convert', '-q', '--no-sync', mp4, '-o', again])
    print(f'  converted again: {wall:.1f} s against cat\'s {cat_s:.1f} s, peak {kib} KiB')
    info = subprocess.run([tool, 'info', mp4], capture_output=True, text=True).stdout
    check(f' {counts[0]} frames (' in info and f' {counts[1]} frames' in info, f'info counts every sample: {info.strip()[-120:]}')
    got = (int(probe(again, 'v', 'stream=nb_read_packets')), int(probe(again, 'a', 'stream=nb_read_packets')))
    check(got == counts, f'converted again: {got[0]} pictures and {got[1]} sound frames')
    os.remove(again)


def big(tool, d, gib):
    print(f'== a legacy recording of {gib} GiB')
    video, audio, rec = make_recording(tool, d, int(gib * 1024))
    pictures = int(probe(video, 'v', 'stream=nb_read_packets'))
    sounds = os.path.getsize(audio) // 320
    print(f'  {os.path.getsize(rec)} bytes, {pictures} pictures, {sounds} sound frames')
    info = subprocess.run([tool, 'info', rec], capture_output=True, text=True).stdout
    check(f' {pictures} frames (' in info and f'mono, {sounds} frames, 0 bytes skipped' in info,
          f'info counts every frame: {info.strip()[-160:]}')
    # A clip of 10 s from 20 s before the end, past 4 GiB: from a key frame
    # (one every 2 s), its 250 pictures.
    clip = os.path.join(d, 'clip.mp4')
    at = time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(START + pictures // 25 - 20))
    run_quiet([tool, 'convert', '-q', '--no-sync', '--from', at, '--for', '10s', rec, '-o', clip])
    check(probe(clip, 'v', 'stream=nb_read_packets') == '250', f'a clip from {at} UTC past 4 GiB: 250 pictures')
    os.remove(clip)
    # The muxer keeps the pictures' slices and parameter sets, not x264's SEI.
    packed = os.path.join(d, 'packed.h264')
    run_quiet(['ffmpeg', '-v', 'error', '-y', '-i', video, '-c', 'copy', '-bsf:v', 'filter_units=remove_types=6',
               '-f', 'h264', packed])
    copy = os.path.join(d, 'copy.rec')
    os.sync()
    cat_s, _ = timed(['sh', '-c', 'cat "$1" > "$2"', 'cat', rec, copy])
    os.remove(copy)
    for name, extra in (('big.mp4', []), ('big-fast.mp4', ['--faststart'])):
        out = os.path.join(d, name)
        os.sync()
        wall, kib = timed([tool, 'convert', '-q', '--no-sync', *extra, rec, '-o', out])
        print(f'  {name}: {wall:.1f} s against cat\'s {cat_s:.1f} s ({cat_s / wall:.2f} of its rate), peak {kib} KiB')
        boxes = top_boxes(out)
        kinds = [b[0] for b in boxes]
        mdat = [b for b in boxes if b[0] == 'mdat'][0]
        check(mdat[3] == 16 and mdat[2] > 1 << 32, f'{name}: mdat of {mdat[2]} bytes with a 64-bit size')
        check(moov_holds(out, 'co64') and not moov_holds(out, 'stco'), f'{name}: co64 chunk offsets')
        check(kinds.index('moov') < kinds.index('mdat') if extra else kinds[-1] == 'moov',
              f'{name}: boxes {" ".join(kinds)}')
        counts = (int(probe(out, 'v', 'stream=nb_read_packets')), int(probe(out, 'a', 'stream=nb_read_packets')))
        check(counts == (pictures, sounds), f'{name}: {counts[0]} pictures and {counts[1]} sound frames')
        back_v, back_a = streams_back(out, d)
        check(same_bytes(back_v, packed) and same_bytes(back_a, audio), f'{name}: the streams read back as packed')
        message = quiet_decode(out, '-sseof', '-3')
        check(message == '', f'{name}: the last 3 s decode silently {message[:200]}')
        if not extra:
            reconvert(tool, d, out, counts)
        for p in (out, back_v, back_a):
            os.remove(p)
    for p in (video, audio, rec, packed):
        os.remove(p)


def tiny_clip(d, seconds, name):
    """seconds of 64x48 H.264 (a key frame a second) and of mu-law."""
    v, a = os.path.join(d, name + '.h264'), os.path.join(d, name + '.ul')
    run_quiet(['ffmpeg', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc=size=64x48:rate=25', '-t', str(seconds),
               '-c:v', 'libx264', '-preset', 'ultrafast', '-g', '25', '-bf', '0', '-x264-params', 'repeat-headers=1',
               '-pix_fmt', 'yuv420p', '-f', 'h264', v])
    run_quiet(['ffmpeg', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'sine=frequency=440:sample_rate=8000', '-t',
               str(seconds), '-f', 'mulaw', a])
    return v, a


def join(tool, d, recs, out, files_limit=None):
    cmd = [tool, 'convert', '-q', '--no-sync', '--join', '-o', out] + recs
    if files_limit:
        cmd = ['sh', '-c', f'ulimit -n {files_limit} && exec "$@"', 'join'] + cmd
    return timed(cmd)


def day(tool, d):
    print('== a day: 24 one-hour recordings joined')
    v10, a10 = tiny_clip(d, 10, 'clip')
    v, a = os.path.join(d, 'hour.h264'), os.path.join(d, 'hour.ul')
    repeat(v10, v, 360)
    repeat(a10, a, 360)
    recs = []
    for hour in range(24):
        recs.append(os.path.join(d, f'h{hour:02}.rec'))
        run_quiet([tool, 'pack', '--video', v, '--audio', a, '--start', str(START + 3600 * hour), '-o', recs[-1]])
    out = os.path.join(d, 'day.mp4')
    wall, kib = join(tool, d, recs, out)
    print(f'  joined in {wall:.1f} s, peak {kib} KiB, {os.path.getsize(out)} bytes')
    counts = (int(probe(out, 'v', 'stream=nb_read_packets')), int(probe(out, 'a', 'stream=nb_read_packets')))
    check(counts == (2160000, 2160000), f'{counts[0]} pictures and {counts[1]} sound frames')
    duration = probe(out, 'v', 'stream=duration')
    check(float(duration) == 86400.0, f'the pictures last {duration} s')
    message = quiet_decode(out, '-sseof', '-60')
    check(message == '', f'the last minute decodes silently {message[:200]}')
    reconvert(tool, d, out, counts)
    for p in recs + [out, v, a, v10, a10]:
        os.remove(p)


def many(tool, d, count):
    print(f'== {count} one-second recordings joined under ulimit -n 256')
    v, a = tiny_clip(d, 1, 'second')
    pictures = int(probe(v, 'v', 'stream=nb_read_packets'))
    recs = []
    for n in range(count):
        recs.append(os.path.join(d, f's{n:05}.rec'))
        run_quiet([tool, 'pack', '--video', v, '--audio', a, '--start', str(START + n), '-o', recs[-1]])
    out = os.path.join(d, 'many.mp4')
    wall, kib = join(tool, d, recs, out, 256)
    print(f'  joined in {wall:.1f} s, peak {kib} KiB')
    got = int(probe(out, 'v', 'stream=nb_read_packets'))
    check(got == count * pictures, f'{got} pictures of {count} x {pictures}')
    for p in recs + [out, v, a]:
        os.remove(p)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('tool', help='path of recfile-convert')
    ap.add_argument('--cases', default='big,day,many')
    ap.add_argument('--gib', type=float, default=4.6)
    ap.add_argument('--many', type=int, default=2000)
    ap.add_argument('--dir', help='work directory (default: a new one under the system temp directory)')
    args = ap.parse_args()
    for need in ('ffmpeg', 'ffprobe', 'cmp'):
        if not shutil.which(need):
            sys.exit(f'{need} is needed')
    tool = os.path.realpath(args.tool)
    where = args.dir or tempfile.gettempdir()
    free = shutil.disk_usage(where if os.path.isdir(where) else '.').free
    if 'big' in args.cases.split(',') and free < (3 * args.gib + 4) * (1 << 30):
        print(f'SKIP: {free >> 30} GiB free under {where}: the case past 4 GiB needs {3 * args.gib + 4:.0f}')
        return 77
    d = args.dir or tempfile.mkdtemp(prefix='vrc_length_')
    os.makedirs(d, exist_ok=True)
    start = time.time()
    try:
        cases = args.cases.split(',')
        if 'many' in cases:
            many(tool, d, args.many)
        if 'day' in cases:
            day(tool, d)
        if 'big' in cases:
            big(tool, d, args.gib)
    finally:
        if not args.dir:
            shutil.rmtree(d, ignore_errors=True)
    print(f'{"FAILED" if check.failed else "all checks passed"} in {time.time() - start:.0f} s')
    return 1 if check.failed else 0


if __name__ == '__main__':
    sys.exit(main())
