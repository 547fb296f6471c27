#!/usr/bin/env python3
"""Times the conversion against its limit and against ffmpeg, on demand.

Builds a legacy recording of about --mib MiB: a generated 1080p H.264 stream
(ten seconds at 25 frames per second, about 40 KB a frame) and mu-law audio,
both repeated to the size wanted and packed, so the timestamps rise over the
whole file. Then, in rounds with the commands interleaved in a new order each
round, it times:

  convert     recfile-convert convert of the recording, synced to the disk
  nosync      the same with --no-sync: left in the system's cache
  faststart   convert --faststart: moov moved in front of mdat (and
              nosync-faststart, the same with --no-sync)
  catsync     cat rec > out; sync, a plain copy of the same file, synced
              (the limit of convert)
  cat         cat rec > out, not synced (the limit of nosync)
  ffmpeg      ffmpeg remuxing the same elementary streams to -f mov
  ffmpeg-faststart  ffmpeg -c copy -movflags +faststart of a plain conversion
  extract     recfile-convert extract of the converted file (read and count)
  ffmpeg-null ffmpeg -i out.mp4 -c copy -f null -

each writing a new output and replacing an existing one, with the page cache
warm and cold (the inputs evicted with POSIX_FADV_DONTNEED before the run).
Dirty pages are synced before every run, outside the timing. Prints medians,
the ratios, every program's peak resident memory and, with strace, the
system calls per GiB of input.

Usage: bench_convert.py RECFILE_CONVERT [--mib 512] [--runs 7] [--dir DIR]
"""
import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SEGMENT_SECONDS = 10
# What each faststart case is compared with.
FASTSTART_PEERS = {'faststart': 'convert', 'nosync-faststart': 'nosync', 'ffmpeg-faststart': 'nosync-faststart'}


def run_quiet(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kw)


def repeat(source, target, times):
    with open(source, 'rb') as f:
        data = f.read()
    with open(target, 'wb') as out:
        for _ in range(times):
            out.write(data)


def make_recording(tool, d, mib):
    seg_v, seg_a = os.path.join(d, 'seg.h264'), os.path.join(d, 'seg.ul')
    run_quiet(['ffmpeg', '-v', 'error', '-y', '-f', 'lavfi', '-i',
               'testsrc2=size=1920x1080:rate=25,noise=alls=12:allf=t', '-t', str(SEGMENT_SECONDS),
               '-c:v', 'libx264', '-preset', 'ultrafast', '-tune', 'zerolatency', '-b:v', '8M',
               '-maxrate', '8M', '-bufsize', '4M', '-g', '50', '-x264-params', 'repeat-headers=1',
               '-f', 'h264', seg_v])
    run_quiet(['ffmpeg', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'sine=frequency=440:sample_rate=8000',
               '-t', str(SEGMENT_SECONDS), '-ar', '8000', '-ac', '1', '-f', 'mulaw', seg_a])
    # Every copy of the segment opens with its own SPS, PPS and IDR picture.
    times = (mib << 20) // os.path.getsize(seg_v) + 1
    video, audio, rec = (os.path.join(d, n) for n in ('v.h264', 'a.ul', 'in.rec'))
    repeat(seg_v, video, times)
    repeat(seg_a, audio, times)
    run_quiet([tool, 'pack', '--video', video, '--audio', audio, '-o', rec])
    return video, audio, rec


def evict(paths):
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)


def prime(paths):
    for p in paths:
        with open(p, 'rb') as f:
            while f.read(1 << 20):
                pass


def timed(cmd):
    """Wall seconds and peak resident KiB of one run. The peak comes from GNU
    time where it is installed: a child forked from this interpreter would
    count the interpreter's own pages in its peak."""
    gnu_time = os.path.exists('/usr/bin/time')
    peak_file = tempfile.NamedTemporaryFile('r', suffix='.peak')
    full = ['/usr/bin/time', '-f', '%M', '-o', peak_file.name] + cmd if gnu_time else cmd
    start = time.perf_counter()
    proc = subprocess.Popen(full, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f'failed: {" ".join(cmd)}')
    peak = int(peak_file.read().split()[-1]) if gnu_time else usage.ru_maxrss
    peak_file.close()
    return wall, peak


class Case:
    def __init__(self, name, cmd, inputs, output, replace, cold):
        self.name, self.cmd, self.inputs, self.output = name, cmd, inputs, output
        self.replace, self.cold = replace, cold
        self.walls, self.peaks = [], []

    def run(self):
        if self.output and not self.replace and os.path.exists(self.output):
            os.remove(self.output)
        os.sync()
        (evict if self.cold else prime)(self.inputs)
        wall, peak = timed(self.cmd)
        self.walls.append(wall)
        self.peaks.append(peak)

    def median(self):
        return statistics.median(self.walls)


def syscalls(cmd, output):
    """System calls of one run under strace -c -f, or None without strace."""
    if not shutil.which('strace'):
        return None
    if output and os.path.exists(output):
        os.remove(output)
    log = output + '.strace' if output else os.devnull
    run_quiet(['strace', '-c', '-f', '-o', log] + cmd)
    with open(log) as f:
        total = [line for line in f if line.strip().endswith('total')]
    # % time, seconds, usecs/call, calls, [errors,] total
    return int(re.split(r'\s+', total[0].strip())[3]) if total else None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('tool', help='path of recfile-convert')
    ap.add_argument('--mib', type=int, default=512)
    ap.add_argument('--runs', type=int, default=7)
    ap.add_argument('--dir', help='work directory (default: a new one under the system temp directory)')
    args = ap.parse_args()
    for need in ('ffmpeg',):
        if not shutil.which(need):
            sys.exit(f'{need} is needed')
    tool = os.path.realpath(args.tool)
    d = args.dir or tempfile.mkdtemp(prefix='vrc_bench_')
    os.makedirs(d, exist_ok=True)
    try:
        video, audio, rec = make_recording(tool, d, args.mib)
        mp4, copy, mov = (os.path.join(d, n) for n in ('out.mp4', 'copy.rec', 'out.mov'))
        convert = [tool, 'convert', '-q', '-y', rec, '-o', mp4]
        nosync = convert + ['--no-sync']
        cat = ['sh', '-c', 'cat "$1" > "$2"', 'cat', rec, copy]
        catsync = ['sh', '-c', 'cat "$1" > "$2"; sync', 'cat', rec, copy]
        remux = ['ffmpeg', '-v', 'error', '-y', '-f', 'h264', '-r', '25', '-i', video, '-f', 'mulaw', '-ar',
                 '8000', '-ac', '1', '-i', audio, '-c', 'copy', '-f', 'mov', mov]
        run_quiet(convert)
        plain, fast, ffast = (os.path.join(d, n) for n in ('plain.mp4', 'fast.mp4', 'ffast.mp4'))
        shutil.copyfile(mp4, plain)
        faststart = [tool, 'convert', '-q', '-y', '--faststart', rec, '-o', fast]
        ffmpeg_faststart = ['ffmpeg', '-v', 'error', '-y', '-i', plain, '-c', 'copy', '-movflags', '+faststart', '-f', 'mov', ffast]
        extract = [tool, 'extract', mp4]
        ffnull = ['ffmpeg', '-v', 'error', '-i', mp4, '-c', 'copy', '-f', 'null', '-']
        cases = []
        for cold in (False, True):
            for replace in (False, True):
                suffix = ('cold' if cold else 'warm') + (' replace' if replace else ' new')
                cases += [Case('convert ' + suffix, convert, [rec], mp4, replace, cold),
                          Case('catsync ' + suffix, catsync, [rec], copy, replace, cold),
                          Case('nosync ' + suffix, nosync, [rec], mp4, replace, cold),
                          Case('cat ' + suffix, cat, [rec], copy, replace, cold),
                          Case('ffmpeg ' + suffix, remux, [video, audio], mov, replace, cold),
                          Case('faststart ' + suffix, faststart, [rec], fast, replace, cold),
                          Case('nosync-faststart ' + suffix, faststart + ['--no-sync'], [rec], fast, replace, cold),
                          Case('ffmpeg-faststart ' + suffix, ffmpeg_faststart, [plain], ffast, replace, cold)]
            temp = 'cold' if cold else 'warm'
            cases += [Case('extract ' + temp, extract, [mp4], None, True, cold),
                      Case('ffmpeg-null ' + temp, ffnull, [mp4], None, True, cold)]
        for case in cases:  # each output exists before the first replacing run
            if case.replace and case.output:
                run_quiet(case.cmd)
        # A new order each round: on a shared or virtual machine a run can
        # pay for what the one before it left (pages to reclaim, blocks to
        # free), and a fixed order would charge that to the same case.
        shuffler = random.Random(1)
        for _ in range(args.runs):
            for case in shuffler.sample(cases, len(cases)):
                case.run()

        size = os.path.getsize(rec)
        print(f'recording: {size} bytes ({size / 2**20:.0f} MiB), {args.runs} interleaved runs each, '
              f'medians; peak = largest resident set of any run')
        by_name = {c.name: c for c in cases}
        for case in cases:
            m = case.median()
            ratio = ''
            kind, rest = case.name.split(' ', 1)
            if kind == 'convert':
                ratio = (f'  convert/catsync {m / by_name["catsync " + rest].median():5.2f}'
                         f'  convert/nosync {m / by_name["nosync " + rest].median():5.2f}')
            elif kind == 'nosync':
                ratio = (f'  nosync/cat {m / by_name["cat " + rest].median():5.2f}'
                         f'  ffmpeg/nosync {by_name["ffmpeg " + rest].median() / m:5.2f}')
            elif kind in FASTSTART_PEERS:
                peer = FASTSTART_PEERS[kind]
                ratio = f'  {kind}/{peer} {m / by_name[peer + " " + rest].median():5.2f}'
            elif kind == 'extract':
                ratio = f'  ffmpeg-null/extract {by_name["ffmpeg-null " + rest].median() / m:5.2f}'
            runs = ' '.join(f'{w * 1000:.0f}' for w in case.walls)
            print(f'{case.name:29} {m * 1000:8.0f} ms  {size / m / 1e6:6.0f} MB/s  peak {max(case.peaks) / 1024:6.1f} '
                  f'MiB{ratio}  (runs ms: {runs})')
        gib = size / 2**30
        for name, cmd, out in (('convert', convert, mp4), ('cat', cat, copy), ('ffmpeg', remux, mov),
                               ('extract', extract, None), ('ffmpeg-null', ffnull, None)):
            n = syscalls(cmd, out if out else os.path.join(d, name))
            if n is None:
                print('strace missing: no system call counts')
                break
            print(f'system calls {name:12} {n:8d} in all, {n / gib:8.0f} per GiB of input')
    finally:
        if not args.dir:
            shutil.rmtree(d, ignore_errors=True)


if __name__ == '__main__':
    main()
