#!/usr/bin/env python3
"""What `repair --reference` gets back from ordinary MP4s that lost their moov.

Two 60 s files made by ffmpeg (libx264 defaults, so B-frames too): H.264 and
AAC in .mp4, H.264 and mu-law in .mov; the reference is a 10 s file of the
same settings. Each has its moov removed and is cut at 10 points of its
mdat (10%, 20%, ... 100%). For each cut the table gives the whole frames
the cut file holds and the share recovered right: a picture right when it
decodes to the original's picture at the original's time, a sound frame
right when its bytes are the original's and its time within a millisecond
of it (tracks are placed on the output's clock to the millisecond).

Usage: bench_repair.py RECFILE_CONVERT [--dir DIR]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

SHAPES = [('aac.mp4', ['-c:a', 'aac', '-ac', '2'], 48000),
          ('ulaw.mov', ['-c:a', 'pcm_mulaw', '-f', 'mov'], 8000)]


def make(path, seconds, audio, rate):
    subprocess.run(['ffmpeg', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc2=size=640x360:rate=25',
                    '-f', 'lavfi', '-i', f'sine=frequency=440:sample_rate={rate}', '-t', str(seconds),
                    '-c:v', 'libx264', '-pix_fmt', 'yuv420p'] + audio + [path], check=True)


def without_moov(data):
    out, pos = bytearray(), 0
    while pos + 8 <= len(data):
        size = int.from_bytes(data[pos:pos + 4], 'big')
        if size < 8:
            break
        if data[pos + 4:pos + 8] != b'moov':
            out += data[pos:pos + size]
        pos += size
    return bytes(out)


def packets(path, stream):
    """(pts in ms, position end, md5 of the bytes) of each packet."""
    out = subprocess.run(['ffprobe', '-v', 'error', '-select_streams', stream, '-show_packets',
                          '-show_data_hash', 'md5', '-show_entries', 'packet=pts_time,pos,size,data_hash',
                          '-of', 'json', path], capture_output=True, text=True, check=True).stdout
    return [(round(float(p['pts_time']) * 1000), int(p['pos']) + int(p['size']), p['data_hash'])
            for p in json.loads(out)['packets']]


def pictures(path):
    """(pts in ms, md5) of each decoded picture."""
    out = subprocess.run(['ffmpeg', '-v', 'error', '-i', path, '-map', '0:v', '-f', 'framemd5', '-'],
                         capture_output=True, text=True, check=True).stdout
    rows, num, den = set(), 1, 1000
    for line in out.splitlines():
        if line.startswith('#tb 0:'):
            num, den = map(int, line.split(':')[1].split('/'))
        if not line.startswith('#'):
            f = [x.strip() for x in line.split(',')]
            rows.add((round(int(f[2]) * 1000 * num / den), f[5]))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('tool')
    parser.add_argument('--dir', default=None)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix='bench_repair_', dir=args.dir)
    print('shape      cut   size MB  pictures  right    sound  right    time s  MB/s')
    for name, audio, rate in SHAPES:
        whole, good = os.path.join(work, 'whole_' + name), os.path.join(work, 'good_' + name)
        make(whole, 60, audio, rate)
        make(good, 10, audio, rate)
        with open(whole, 'rb') as f:
            data = f.read()
        broken = without_moov(data)
        mdat_at = data.find(b'mdat') - 4
        v_orig, a_orig = packets(whole, 'v'), packets(whole, 'a')
        orig_pictures = sorted(pictures(whole))  # by time: decode order is not presentation order
        v_end = {pts: end for pts, end, _ in v_orig}
        a_right = {(pts, h) for pts, _, h in a_orig}
        for tenth in range(1, 11):
            cut = broken[:mdat_at + (len(broken) - mdat_at) * tenth // 10]
            path, out = os.path.join(work, f'cut{tenth}_{name}'), os.path.join(work, f'rep{tenth}_{name}.mp4')
            with open(path, 'wb') as f:
                f.write(cut)
            start = time.perf_counter()
            subprocess.run([args.tool, 'repair', '--reference', good, path, '-o', out], check=True,
                           capture_output=True)
            took = time.perf_counter() - start
            # Positions in the cut file are the original's less the moov in front (mp4: none; faststart: not made).
            shift = len(data) - len(broken) if data.find(b'moov') < mdat_at else 0
            held_v = [p for p in orig_pictures if v_end[p[0]] - shift <= len(cut)]
            held_a = [p for p in a_orig if p[1] - shift <= len(cut)]
            got_v = pictures(out) & set(held_v)
            got_a = {(pts + d, h) for pts, _, h in packets(out, 'a') for d in (-1, 0, 1)} & a_right
            print(f'{name:9} {tenth * 10:4}% {len(cut) / 1e6:8.1f} {len(held_v):9} {100 * len(got_v) / max(len(held_v), 1):6.1f}% '
                  f'{len(held_a):6} {100 * len(got_a) / max(len(held_a), 1):6.1f}% {took:9.2f} {len(cut) / 1e6 / took:6.0f}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
