#!/usr/bin/env python3
"""Writes the seed corpora fuzz/corpus/inflate, round-trip, members, differential and parallel.

Each seed is the target's parameter bytes (see the comment at the top of each target) followed
by its payload. Python's zlib module is zlib itself; the seeds only need to be valid or
deliberately broken streams, the fuzzer does the rest. Run from anywhere; rewrites the folders.
"""
import pathlib
import random
import shutil
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent
NONE, AUTO, DEFAULT, GZIP = range(4)


def text(size, seed=1):
    rng = random.Random(seed)
    words = [b"the ", b"coder ", b"stream ", b"zlib ", b"of ", b"data ", b"gzip ", b"\n"]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words)
    return bytes(out[:size])


def noise(size, seed=2):
    return random.Random(seed).randbytes(size)


def deflate(data, wbits=15, level=6, strategy=zlib.Z_DEFAULT_STRATEGY, flushes=(), zdict=None):
    """data compressed by zlib; flushes lists (offset, mode) pairs to flush at."""
    args = dict(level=level, wbits=wbits, strategy=strategy)
    if zdict is not None:
        args["zdict"] = zdict
    c = zlib.compressobj(**args)
    out, at = bytearray(), 0
    for offset, mode in flushes:
        out += c.compress(data[at:offset]) + c.flush(mode)
        at = offset
    return bytes(out + c.compress(data[at:]) + c.flush())


def gzip_member(data, flags=0, extra=b"", name=b"", comment=b""):
    """A gzip member with the optional header fields that flags select (FHCRC included)."""
    header = bytearray(b"\x1f\x8b\x08" + bytes([flags]) + b"\0\0\0\0\0\x03")
    if flags & 4:
        header += struct.pack("<H", len(extra)) + extra
    if flags & 8:
        header += name + b"\0"
    if flags & 16:
        header += comment + b"\0"
    if flags & 2:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    trailer = struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)
    return bytes(header) + deflate(data, wbits=-15) + trailer


def inflate_seed(header, bits, style, empty, in_code, out_code, seed, payload):
    shape = header | (bits - 8) << 2 | style << 5 | (0x80 if empty else 0)
    return bytes([shape, in_code, out_code, seed >> 8 & 255, seed & 255]) + payload


def round_trip_seed(header, level, bits, strategy, mem, extra, in_code, out_code, dstyle, istyle,
                    seed, payload):
    return (bytes([header | (level + 1) << 2, (bits - 8) | strategy << 3, (mem - 1) | extra << 4,
                   in_code, out_code, dstyle | istyle << 2, seed >> 8 & 255, seed & 255])
            + payload)


def members_seed(mode, bits, empty, payload_is_input, in_code, out_code, style, members, end,
                 seed, payload):
    """mode: 0-2 AUTO, 3-5 GZIP, 6 DEFAULT, 7 NONE; end: 0 none, 3 padding, 4 garbage,
    5 padding then garbage, 6 cut short, 7 a byte changed."""
    shape = mode | (bits - 8) << 3 | (0x40 if empty else 0) | (0x80 if payload_is_input else 0)
    return (bytes([shape, in_code, out_code, style | (members - 1) << 2 | end << 4,
                   seed >> 8 & 255, seed & 255]) + payload)


def inflate_seeds():
    t = text(3000)
    z = deflate(t)
    g = gzip_member(t)
    yield "raw-text", inflate_seed(NONE, 15, 0, False, 0xC0, 0x05, 1, deflate(t, wbits=-15))
    yield "zlib-text", inflate_seed(DEFAULT, 15, 1, False, 0x10, 0x40, 2, z)
    yield "zlib-auto", inflate_seed(AUTO, 15, 3, True, 0x07, 0x00, 3, z)
    yield "gzip-text", inflate_seed(GZIP, 15, 2, False, 0x03, 0x81, 4, g)
    yield "gzip-auto", inflate_seed(AUTO, 12, 0, False, 0xFF, 0xFF, 5, g)
    yield "gzip-all-fields", inflate_seed(
        GZIP, 15, 1, True, 0x02, 0x02, 6,
        gzip_member(t[:500], 2 | 4 | 8 | 16, b"AB\x02\0xy", b"name.txt", b"a comment"))
    yield "zlib-flushes", inflate_seed(
        DEFAULT, 15, 3, False, 0x20, 0x09, 7,
        deflate(t, flushes=[(100, zlib.Z_SYNC_FLUSH), (900, zlib.Z_FULL_FLUSH),
                            (901, zlib.Z_SYNC_FLUSH)]))
    yield "raw-stored", inflate_seed(NONE, 9, 0, False, 0x3F, 0x00, 8, deflate(t, -9, level=0))
    yield "zlib-fixed", inflate_seed(DEFAULT, 15, 0, False, 0x50, 0x50, 9,
                                     deflate(t, strategy=zlib.Z_FIXED))
    yield "zlib-window-9", inflate_seed(DEFAULT, 9, 0, False, 0x10, 0x10, 10, deflate(t, 9))
    yield "zlib-window-too-small", inflate_seed(DEFAULT, 8, 0, False, 0x10, 0x10, 11, z)
    yield "raw-distance-too-far", inflate_seed(NONE, 8, 0, False, 0x10, 0x10, 12,
                                               deflate(t, -15))
    yield "zlib-dictionary", inflate_seed(DEFAULT, 15, 0, False, 0x10, 0x10, 13,
                                          deflate(t[:200], zdict=b"coder stream zlib"))
    yield "zlib-truncated", inflate_seed(DEFAULT, 15, 2, True, 0x08, 0x08, 14, z[: len(z) // 2])
    yield "zlib-bad-check", inflate_seed(DEFAULT, 15, 0, False, 0xC0, 0xC0, 15,
                                         z[:-1] + bytes([z[-1] ^ 1]))
    yield "gzip-bad-crc", inflate_seed(GZIP, 15, 0, False, 0xC0, 0xC0, 16,
                                       g[:-8] + bytes([g[-8] ^ 1]) + g[-7:])
    yield "zlib-trailing", inflate_seed(DEFAULT, 15, 1, False, 0x41, 0x11, 17,
                                        deflate(t[:300]) + b"trailing bytes")
    yield "gzip-two-members", inflate_seed(GZIP, 15, 3, False, 0x20, 0x20, 18,
                                           gzip_member(t[:200]) + gzip_member(t[200:400]))
    yield "raw-empty", inflate_seed(NONE, 15, 0, False, 0x01, 0x00, 19, deflate(b"", -15))
    yield "zlib-empty", inflate_seed(DEFAULT, 15, 1, False, 0x00, 0x00, 20, deflate(b""))
    yield "gzip-empty", inflate_seed(GZIP, 15, 1, False, 0x00, 0x00, 21, gzip_member(b""))
    yield "gzip-as-zlib", inflate_seed(DEFAULT, 15, 0, False, 0x10, 0x10, 22, g[:200])
    yield "zeros-64k", inflate_seed(AUTO, 15, 0, False, 0xC0, 0xFF, 23, deflate(bytes(65536), 15, 9))
    yield "noise", inflate_seed(NONE, 15, 1, True, 0x10, 0x10, 24, noise(300))
    yield "zlib-noise", inflate_seed(AUTO, 10, 3, False, 0x04, 0x04, 25,
                                     deflate(noise(1000), 10, strategy=zlib.Z_HUFFMAN_ONLY))


def round_trip_seeds():
    t = text(2000, 3)
    yield "none-default", round_trip_seed(NONE, -1, 15, 0, 8, 0, 0x40, 0x40, 0, 0, 1, t)
    yield "auto-fast", round_trip_seed(AUTO, 1, 12, 0, 8, 1, 0x10, 0x08, 1, 1, 2, t)
    yield "default-best", round_trip_seed(DEFAULT, 9, 15, 1, 9, 0, 0x08, 0x01, 2, 3, 3, t)
    yield "gzip-stored", round_trip_seed(GZIP, 0, 9, 0, 1, 6, 0x03, 0x00, 3, 2, 4, t[:700])
    yield "gzip-rle", round_trip_seed(GZIP, 6, 15, 3, 8, 0, 0x81, 0x05, 1, 0, 5, bytes(3000))
    yield "default-huffman", round_trip_seed(DEFAULT, 4, 8, 2, 5, 3, 0x50, 0x02, 3, 1, 6,
                                             noise(700))
    yield "none-fixed", round_trip_seed(NONE, 7, 10, 4, 3, 2, 0x0F, 0x7F, 2, 2, 7, t[:900])
    yield "auto-empty", round_trip_seed(AUTO, 5, 15, 0, 8, 0, 0x01, 0x00, 1, 3, 8, b"")
    yield "gzip-one-byte", round_trip_seed(GZIP, -1, 15, 0, 8, 0, 0x01, 0x00, 2, 1, 9, b"x")
    yield "none-noise", round_trip_seed(NONE, 2, 9, 1, 2, 0, 0xC0, 0xC0, 3, 3, 10, noise(2500))


def members_seeds():
    auto, gzip, default, none = 0, 3, 6, 7  # the target's codes of the header modes
    t = text(2400, 4)
    fields = gzip_member(t[:300], 1 | 2 | 4 | 8 | 16, b"AB\x02\0xy", b"first.txt", b"one")
    plain = gzip_member(t[300:700])
    yield "gzip-three", members_seed(gzip, 15, False, False, 0x10, 0x08, 0, 3, 0, 1, t)
    yield "auto-padding", members_seed(auto, 15, False, False, 0x40, 0x40, 1, 2, 3, 2, t[:1500])
    yield "auto-garbage", members_seed(auto, 12, True, False, 0x07, 0x81, 2, 4, 4, 3, t[:900])
    yield "gzip-cut", members_seed(gzip, 15, False, False, 0x00, 0x00, 0, 2, 6, 4, t[:300])
    yield "gzip-changed", members_seed(gzip, 9, False, False, 0x05, 0x03, 1, 3, 7, 5, t[:800])
    yield "gzip-window-8", members_seed(gzip, 8, False, False, 0x20, 0x02, 2, 2, 5, 6, t[:600])
    yield "default-padding", members_seed(default, 15, False, False, 0x08, 0x10, 0, 1, 3, 7,
                                          t[:700])
    yield "none-stream", members_seed(none, 10, False, False, 0x81, 0x41, 1, 1, 0, 8, t[:700])
    yield "input-fields-padding", members_seed(
        auto, 15, False, True, 0x03, 0x05, 0, 1, 0, 9, fields + bytes(5) + plain + bytes(3))
    yield "input-false-start", members_seed(gzip, 15, False, True, 0x01, 0x40, 2, 1, 0, 10,
                                            plain + b"\0\x1f\0")
    yield "input-zlib-trailing", members_seed(auto, 15, False, True, 0x10, 0x10, 0, 1, 0, 11,
                                              deflate(t[:500]) + b"\0")
    yield "input-dictionary-id", members_seed(default, 15, False, True, 0x00, 0x00, 0, 1, 0, 12,
                                              deflate(t[:50], zdict=b"coder stream")[:4])
    yield "input-empty", members_seed(gzip, 15, False, True, 0x00, 0x00, 0, 1, 0, 13, b"")


def differential_seed(header, bits, source, sync, in_code, out_code, seed, level=6, zbits=15,
                      own_slices=False, damage=0, strategy=0, gzip=False, appended=False,
                      where=0, mask=0, payload=b""):
    """source 0: the payload is the stream; 1-3: zlib makes the stream of the payload at level,
    zbits and strategy, then damages it (0 none, 1 cut at where, 2 where ^= mask, 3 append)."""
    return (bytes([header | (bits - 8) << 2 | source << 5 | (0x80 if sync else 0), in_code,
                   out_code, seed >> 8 & 255, seed & 255,
                   level | (zbits - 8) << 4 | (0x80 if own_slices else 0),
                   damage | strategy << 2 | (0x20 if gzip else 0) | (0x40 if appended else 0),
                   where >> 8 & 255, where & 255, mask])
            + payload)


def differential_seeds():
    t = text(3000, 5)
    d = differential_seed
    yield "made-raw", d(NONE, 15, 1, False, 0x10, 0x10, 1, payload=t)
    yield "made-zlib-sliced", d(DEFAULT, 15, 1, False, 0x00, 0x00, 2, own_slices=True,
                                payload=t[:600])
    yield "made-gzip-sync", d(GZIP, 12, 2, True, 0x07, 0x45, 3, zbits=12, payload=t)
    yield "made-auto-gzip", d(AUTO, 15, 3, False, 0x41, 0x03, 4, gzip=True, payload=t)
    yield "made-auto-zlib", d(AUTO, 9, 1, False, 0x02, 0x81, 5, level=1, zbits=9, payload=t)
    yield "made-cut", d(DEFAULT, 15, 1, False, 0x05, 0x05, 6, damage=1, where=700, payload=t)
    yield "made-flipped", d(NONE, 15, 1, False, 0x08, 0x20, 7, damage=2, where=300, mask=0x10,
                            payload=t)
    yield "made-trailing", d(NONE, 10, 1, False, 0x03, 0x07, 8, zbits=10, damage=3, mask=9,
                             payload=t[:900])
    yield "made-gzip-trailing", d(GZIP, 15, 2, False, 0x01, 0x01, 9, appended=True, mask=23,
                                  payload=t[:200])
    yield "made-window-too-far", d(NONE, 9, 1, False, 0x10, 0x02, 10, zbits=15, payload=t)
    yield "made-zlib-window-too-big", d(DEFAULT, 10, 1, False, 0x10, 0x10, 11, zbits=12,
                                        payload=t[:400])
    yield "made-stored", d(GZIP, 15, 1, False, 0x0C, 0x03, 12, level=0, payload=t[:2000])
    yield "made-fixed", d(DEFAULT, 15, 1, True, 0x04, 0x04, 13, strategy=4, payload=t)
    yield "made-huffman", d(NONE, 15, 1, False, 0x06, 0x01, 14, strategy=2, payload=noise(500))
    yield "made-empty", d(GZIP, 15, 1, False, 0x00, 0x00, 15)
    yield "made-window-8", d(DEFAULT, 8, 1, False, 0x01, 0x01, 16, zbits=8, payload=t[:300])
    yield "raw-zlib-dictionary", d(DEFAULT, 15, 0, False, 0x01, 0x10, 17,
                                   payload=deflate(t[:200], zdict=b"coder stream"))
    yield "raw-gzip-fields", d(AUTO, 15, 0, False, 0x00, 0x00, 18, payload=gzip_member(
        t[:400], 2 | 4 | 8 | 16, b"AB\x02\0xy", b"name.txt", b"a comment"))
    yield "raw-flushes", d(NONE, 15, 0, True, 0x10, 0x09, 19, payload=deflate(
        t, wbits=-15, flushes=[(100, zlib.Z_SYNC_FLUSH), (900, zlib.Z_FULL_FLUSH)]))
    yield "raw-noise", d(NONE, 15, 0, False, 0x04, 0x04, 20, payload=noise(400))
    yield "raw-gzip-bad-crc", d(GZIP, 15, 0, False, 0x20, 0x20, 21, payload=(
        lambda g: g[:-8] + bytes([g[-8] ^ 1]) + g[-7:])(gzip_member(t[:300])))
    # Where the engines or the coders differ, each case the target allows once.
    far = noise(300, 9)
    yield "differ-distance-beyond-window-fixed", d(NONE, 8, 0, False, 0x00, 0x00, 22,
                                                   payload=deflate(far + far[:50], -15, 9))
    yield "differ-distance-beyond-window-whole", d(NONE, 9, 1, False, 0xFF, 0xFF, 23,
                                                   payload=t)
    yield "differ-incomplete-distance-code", d(NONE, 15, 0, False, 0x10, 0x10, 24,
                                               payload=bytes.fromhex(
        "05c101080000008090" + "aa" * 16 + "fe" + "aa" * 47 + "0f07"))
    gzip_fields = bytes.fromhex("1f8b081e00000000000306004142020078796e616d652e747874006120636f"
                                "6d6d656e7400fd5b")
    yield "differ-incomplete-code-lengths-cut", d(AUTO, 15, 0, False, 0x00, 0x12, 25,
                                                  payload=gzip_fields + bytes.fromhex(
        "6550078d78d51b90010000"))
    yield "differ-doomed-header-cut", d(AUTO, 15, 0, False, 0x01, 0x10, 26,
                                        payload=gzip_fields + bytes.fromhex(
        "65505b12802008fce7145ecd52cb991a1676573027c6193b4a7ca4db6707803027c6193b4a7ca4db67078"
        "00000"))
    yield "differ-gzip-check-cut", d(GZIP, 15, 0, False, 0x00, 0x00, 27,
                                     payload=bytes.fromhex("1f8b08000000000000030300" "01000000"))
    yield "differ-gzip-method-cut", d(GZIP, 15, 0, False, 0x00, 0x00, 28,
                                      payload=bytes.fromhex("1f8b1f"))
    yield "differ-cut-stream-tail", d(NONE, 15, 0, True, 0x10, 0x09, 30, payload=bytes.fromhex(
        "ca4f5348492c495428c94855e0aacac94c02b38a4b8a5273131592f353525d20f210b9f4aacc02a8285c"
        "2d42223f0da611cc851b02000000ffff6c524902804008baf3d9fe7f2b1515b54bb348803806e7015cb9"
        "d8ffc5e19f597fe8eed487a831384c659b41ba50705ca7c2b7c237691462f168d8c937f30a929d3b94a8"
        "82bdb4aea99d6de3c998e063fc2f68d3900ea256465bc0701affffffff21ff53308feff7cbf5b15df663"
        "0f5c6b0e95cfe76072214c3a4dde311a0ae217b271fbfe4eb0f98f24e3b1c7e619e3f60f"
    ))
    yield "differ-doomed-symbol-cut", d(DEFAULT, 15, 0, False, 0x02, 0x02, 31, payload=bytes.fromhex(
        "1857632a656060028252260626860a20dacd00010800266c02c6"))
    yield "differ-dictionary-id-cut", d(DEFAULT, 15, 0, False, 0x00, 0x00, 29,
                                        payload=bytes.fromhex("78bb00"))


def parallel_seed(header, level, bits, strategy, mem, threads, more, block_code, limits,
                  flushes, full_mask, reopen, seed, payload):
    """threads: the first run's, 1-4; more: the second run has 1 + more more, mod 4;
    limits: the four slice limit codes (first run in, out, second run in, out); flushes: 0-3,
    full_mask: which of them are full flushes."""
    return (bytes([header | (level + 1) << 2, (bits - 8) | strategy << 3,
                   (mem - 1) | (threads - 1) << 4 | more << 6, block_code, *limits,
                   flushes | full_mask << 2 | (0x80 if reopen else 0), seed >> 8 & 255,
                   seed & 255])
            + payload)


def parallel_seeds():
    t = text(12000, 6)
    p = parallel_seed
    yield "gzip-many-blocks", p(GZIP, -1, 15, 0, 8, 2, 0, 0x00, (0x10, 0x10, 0x3F, 0x01),
                                2, 0b10, False, 1, t)
    yield "zlib-flushes-reopened", p(DEFAULT, 6, 15, 0, 8, 4, 1, 0x45, (0x47, 0x07, 0x02, 0x41),
                                     3, 0b101, True, 2, t[:7000])
    yield "auto-small-window", p(AUTO, 9, 9, 1, 9, 1, 2, 0x05, (0x81, 0x81, 0x00, 0x00),
                                 1, 0, False, 3, t[:3000])
    yield "raw-stored", p(NONE, 0, 8, 0, 1, 3, 0, 0x90, (0x3F, 0xC0, 0x81, 0x05),
                          2, 0b11, True, 4, t[:5000])
    yield "gzip-one-block-rle", p(GZIP, 4, 12, 3, 5, 2, 1, 0xFF, (0xC0, 0xC0, 0x07, 0x03),
                                  1, 0b1, False, 5, bytes(9000))
    yield "zlib-huffman-noise", p(DEFAULT, 2, 10, 2, 3, 1, 0, 0x01, (0x20, 0x08, 0x10, 0x10),
                                  0, 0, True, 6, noise(2500))
    yield "raw-fixed-exact-blocks", p(NONE, 5, 15, 4, 8, 4, 2, 0x00, (0x7F, 0x7F, 0x0F, 0x0F),
                                      1, 0b1, False, 7, t[:4096])
    yield "gzip-empty", p(GZIP, -1, 15, 0, 8, 2, 0, 0x00, (0x00, 0x00, 0x00, 0x00),
                          2, 0, True, 8, b"")


def main():
    for name, seeds in (("inflate", inflate_seeds()), ("round-trip", round_trip_seeds()),
                        ("members", members_seeds()), ("differential", differential_seeds()),
                        ("parallel", parallel_seeds())):
        folder = HERE / "corpus" / name
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for seed_name, content in seeds:
            (folder / seed_name).write_bytes(content)


if __name__ == "__main__":
    main()
