"""Building .ovkc files by their documented layout, without the tool: an
xxHash64 written from its published description, a static two-symbol rANS
encoder with plain division, and the container itself. For forged and
oversized files in the tool's tests."""
import struct

_P1 = 0x9E3779B185EBCA87
_P2 = 0xC2B2AE3D27D4EB4F
_P3 = 0x165667B19E3779F9
_P4 = 0x85EBCA77C2B2AE63
_P5 = 0x27D4EB2F165667C5
_M = (1 << 64) - 1


def _rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & _M


def _round(acc, lane):
    acc = (acc + lane * _P2) & _M
    return (_rotl(acc, 31) * _P1) & _M


def _merge(acc, v):
    acc ^= _round(0, v)
    return (acc * _P1 + _P4) & _M


def xxh64(data, seed=0):
    n, i = len(data), 0
    if n >= 32:
        v = [(seed + _P1 + _P2) & _M, (seed + _P2) & _M, seed, (seed - _P1) & _M]
        while i + 32 <= n:
            lanes = struct.unpack_from("<4Q", data, i)
            v = [_round(a, b) for a, b in zip(v, lanes)]
            i += 32
        h = (_rotl(v[0], 1) + _rotl(v[1], 7) + _rotl(v[2], 12) + _rotl(v[3], 18)) & _M
        for a in v:
            h = _merge(h, a)
    else:
        h = (seed + _P5) & _M
    h = (h + n) & _M
    while i + 8 <= n:
        h ^= _round(0, struct.unpack_from("<Q", data, i)[0])
        h = (_rotl(h, 27) * _P1 + _P4) & _M
        i += 8
    if i + 4 <= n:
        h ^= (struct.unpack_from("<I", data, i)[0] * _P1) & _M
        h = (_rotl(h, 23) * _P2 + _P3) & _M
        i += 4
    while i < n:
        h ^= (data[i] * _P5) & _M
        h = (_rotl(h, 11) * _P1) & _M
        i += 1
    h ^= h >> 33
    h = (h * _P2) & _M
    h ^= h >> 29
    h = (h * _P3) & _M
    return h ^ (h >> 32)


def rans_encode(bits):
    """The stream of a list of 0/1 bits: p0 (u16), state (u32), renormalisation bytes."""
    n = len(bits)
    zeros = n - sum(bits)
    q = (zeros * 4096 + n // 2) // n
    p0 = 1 if q == 0 else min(q, 4095)
    freq, start = (p0, 4096 - p0), (0, p0)
    x, out = 1 << 23, bytearray()
    for bit in reversed(bits):
        f = freq[bit]
        while x >= f << 19:
            out.append(x & 0xFF)
            x >>= 8
        x = (x // f) * 4096 + x % f + start[bit]
    return struct.pack("<HI", p0, x) + bytes(reversed(out))


def zero_run_length(n_bytes):
    """The run-length code of n_bytes zero bytes (pairs of count 1..255, value)."""
    out = bytearray()
    while n_bytes > 0:
        run = min(n_bytes, 255)
        out += bytes((run, 0))
        n_bytes -= run
    return bytes(out)


def code_file(width, height, bins, depth, events, tmin, tmax, frames):
    """frames: (coding, events, tmin, tmax, bit_count, code) tuples."""
    head = struct.pack("<4sHHHHHBBQIIQ", b"OVKC", 1, 0, width, height, bins, depth, 0, events,
                       tmin, tmax, len(frames))
    table = b"".join(struct.pack("<B7xQIIQQ", c, e, a, b, bits, len(code))
                     for c, e, a, b, bits, code in frames)
    body = head + table + b"".join(f[5] for f in frames)
    return body + struct.pack("<Q", xxh64(body))


def full_tree_frames(side_log2, n_frames):
    """n_frames frames of a completely full tree over a cube of 2^side_log2 per
    side at single-cell depth: frame 0 rANS-coded, the others zero deltas."""
    bit_count = sum(8 ** d for d in range(side_log2 + 1))
    first = rans_encode([1] * bit_count)
    delta = zero_run_length((bit_count + 7) // 8)
    frames = [(0, 1, 0, 0, bit_count, first)]
    frames += [(1, 1, k, k, bit_count, delta) for k in range(1, n_frames)]
    side = 1 << side_log2
    return code_file(side, side, side, side_log2, n_frames, 0, n_frames - 1, frames)
