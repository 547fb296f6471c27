#!/usr/bin/env python3
"""Joins the video tracks of two MP4 files (same timescale) into one track
with two sample descriptions: the first file's samples under its avc1
entry, then the second's under its own, as a recorder writes a recording
whose picture size changes. No edit list; one sample per chunk.
Usage: two_descriptions.py FIRST.mp4 SECOND.mp4 OUT.mp4"""
import struct
import sys

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl"}


def boxes(data, begin, end):
    while begin + 8 <= end:
        size, kind = struct.unpack(">I4s", data[begin:begin + 8])
        yield kind, begin, begin + size
        begin += size


def find(data, path, begin=0, end=None):
    end = len(data) if end is None else end
    head, _, rest = path.partition("/")
    for kind, b, e in boxes(data, begin, end):
        if kind == head.encode():
            return (b, e) if not rest else find(data, rest, b + 8, e)
    raise KeyError(path)


def table(data, path, fields):
    """The entries of a table box, each a tuple of `fields` 32-bit words."""
    b, e = find(data, "moov/trak/mdia/minf/stbl/" + path)
    count = struct.unpack(">I", data[b + 12:b + 16])[0]
    return [struct.unpack(">%dI" % fields, data[b + 16 + 4 * fields * i:b + 16 + 4 * fields * (i + 1)])
            for i in range(count)]


def runs(entries):
    return [v for n, v in entries for _ in range(n)]


def track(data):
    stbl = "moov/trak/mdia/minf/stbl/"
    b, e = find(data, stbl + "stsz")
    sizes = list(struct.unpack(">%dI" % ((e - b - 20) // 4), data[b + 20:e]))
    chunks = [c for (c,) in table(data, "stco", 1)]
    stsc = table(data, "stsc", 3) + [(len(chunks) + 1, 0, 0)]
    positions = []
    for (first, per, _), (after, _, _) in zip(stsc, stsc[1:]):
        for chunk in range(first - 1, after - 1):
            at = chunks[chunk]
            for _ in range(per):
                positions.append(at)
                at += sizes[len(positions) - 1]
    b, e = find(data, stbl + "stsd")
    return {
        "entry": data[b + 16:e],
        "samples": [data[p:p + s] for p, s in zip(positions, sizes)],
        "deltas": runs(table(data, "stts", 2)),
        "offsets": runs(table(data, "ctts", 2)),
        "keys": [k for (k,) in table(data, "stss", 1)],
    }


def box(kind, *parts):
    payload = b"".join(parts)
    return struct.pack(">I4s", len(payload) + 8, kind) + payload


def full(kind, *parts):
    return box(kind, b"\0\0\0\0", *parts)


def entries(rows):
    return struct.pack(">I", len(rows)) + b"".join(struct.pack(">%dI" % len(r), *r) for r in rows)


def main(first_path, second_path, out_path):
    first, second = (open(p, "rb").read() for p in (first_path, second_path))
    a, b = track(first), track(second)
    samples = a["samples"] + b["samples"]
    deltas = a["deltas"] + b["deltas"]
    duration = sum(deltas)
    ftyp = first[slice(*find(first, "ftyp"))]
    mdat_at = len(ftyp) + 8
    offsets, at = [], mdat_at
    for s in samples:
        offsets.append(at)
        at += len(s)
    keys = a["keys"] + [len(a["samples"]) + k for k in b["keys"]]
    stbl = box(b"stbl",
               full(b"stsd", struct.pack(">I", 2), a["entry"], b["entry"]),
               full(b"stts", entries([(1, d) for d in deltas])),
               full(b"stss", entries([(k,) for k in keys])),
               full(b"ctts", entries([(1, o) for o in a["offsets"] + b["offsets"]])),
               full(b"stsc", entries([(1, 1, 1), (len(a["samples"]) + 1, 1, 2)])),
               full(b"stsz", struct.pack(">I", 0), entries([(len(s),) for s in samples])),
               full(b"stco", entries([(o,) for o in offsets])))

    def copied(path, duration_at):
        """A header box of the first file with its 32-bit duration replaced."""
        raw = bytearray(first[slice(*find(first, path))])
        movie_scale = struct.unpack(">I", first[find(first, "moov/mvhd")[0] + 20:][:4])[0]
        media_scale = struct.unpack(">I", first[find(first, "moov/trak/mdia/mdhd")[0] + 20:][:4])[0]
        scaled = duration if path.endswith("mdhd") else duration * movie_scale // media_scale
        raw[duration_at:duration_at + 4] = struct.pack(">I", scaled)
        return bytes(raw)

    minf = first[slice(*find(first, "moov/trak/mdia/minf"))]
    vmhd_dinf = b"".join(minf[bb:ee] for kind, bb, ee in boxes(minf, 8, len(minf)) if kind != b"stbl")
    moov = box(b"moov", copied("moov/mvhd", 24),
               box(b"trak", copied("moov/trak/tkhd", 28),
                   box(b"mdia", copied("moov/trak/mdia/mdhd", 24),
                       first[slice(*find(first, "moov/trak/mdia/hdlr"))],
                       box(b"minf", vmhd_dinf, stbl))))
    with open(out_path, "wb") as out:
        out.write(ftyp + box(b"mdat", *samples) + moov)


if __name__ == "__main__":
    main(*sys.argv[1:])
