#!/usr/bin/env python3
"""Converts the same recordings with two builds of recfile-convert and
compares the outputs' checksums: a change meant to leave the bytes as they
are (a faster path, say) is checked against the build before it.

The recordings: every H.264 fixture packed plain, with foreign bytes in front
and between frames, with its last payload cut, with both magic values; the
1080p fixture repeated to 6 MB (frames across every MiB boundary); the same
with a size field that swallows the next frame and one that claims 256 MiB;
a frame larger than a MiB; and any recordings named on the command line.

Usage: compare_outputs.py OLD_RECFILE_CONVERT NEW_RECFILE_CONVERT [REC...]
"""
import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'data')
VARIANTS = ([], ['--foreign-head', '3'], ['--foreign-gap', '7'], ['--cut-last', '100'], ['--alternate-magic'])
HEADER = 44


def pack(tool, video, out, options=()):
    subprocess.run([tool, 'pack', '--video', video, '--audio', os.path.join(DATA, 'tone_8000hz_mulaw.ul'),
                    '-o', out, *options], check=True, stdout=subprocess.DEVNULL)


def frame_offsets(data):
    """Header offsets of a well-formed recording."""
    at, offsets = 0, []
    while at + HEADER <= len(data):
        offsets.append(at)
        at += HEADER + struct.unpack_from('<I', data, at + 4)[0]
    return offsets


def damage(src, dst):
    data = bytearray(open(src, 'rb').read())
    offsets = frame_offsets(data)
    swallow, huge = offsets[len(offsets) // 3], offsets[2 * len(offsets) // 3]
    struct.pack_into('<I', data, swallow + 4, struct.unpack_from('<I', data, swallow + 4)[0] + 5000)
    struct.pack_into('<I', data, huge + 4, 256 << 20)
    open(dst, 'wb').write(data)


def large_frame_stream(path):
    """SPS, PPS and an IDR slice of 1.5 MB whose body holds no zero byte."""
    fixture = open(os.path.join(DATA, 'cam_320x240_25fps.h264'), 'rb').read()
    rng = random.Random(7)
    body = bytes(rng.randrange(1, 256) for _ in range(1536 * 1024))
    open(path, 'wb').write(fixture + b'\x00\x00\x00\x01\x65' + body + fixture)


def recordings(tool, d):
    for name in sorted(os.listdir(DATA)):
        if name.endswith('.h264'):
            for i, options in enumerate(VARIANTS):
                out = os.path.join(d, f'{name}.{i}.rec')
                pack(tool, os.path.join(DATA, name), out, options)
                yield out
    big = os.path.join(d, 'big.h264')
    with open(big, 'wb') as f:
        f.write(open(os.path.join(DATA, 'cam_1920x1080_large_i.h264'), 'rb').read() * 10)
    for i, options in enumerate(([], ['--foreign-gap', '5'])):
        out = os.path.join(d, f'big.{i}.rec')
        pack(tool, big, out, options)
        yield out
    damaged = os.path.join(d, 'big.damaged.rec')
    damage(os.path.join(d, 'big.0.rec'), damaged)
    yield damaged
    large = os.path.join(d, 'large_frame.h264')
    large_frame_stream(large)
    out = os.path.join(d, 'large_frame.rec')
    pack(tool, large, out)
    yield out


def checksum(tool, rec, out):
    r = subprocess.run([tool, 'convert', '-q', '-y', rec, '-o', out], stdout=subprocess.DEVNULL)
    if r.returncode != 0:
        return f'exit {r.returncode}'
    return hashlib.sha256(open(out, 'rb').read()).hexdigest()


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    old, new = (os.path.realpath(t) for t in sys.argv[1:3])
    d = tempfile.mkdtemp(prefix='vrc_compare_')
    differ = 0
    try:
        for rec in [*recordings(new, d), *sys.argv[3:]]:
            a = checksum(old, rec, os.path.join(d, 'old.mp4'))
            b = checksum(new, rec, os.path.join(d, 'new.mp4'))
            differ += a != b
            print(f'{"same" if a == b else "DIFFER"} {a[:16]} {b[:16]} {os.path.basename(rec)}')
    finally:
        shutil.rmtree(d, ignore_errors=True)
    print(f'{differ} of the outputs differ')
    sys.exit(1 if differ else 0)


if __name__ == '__main__':
    main()
