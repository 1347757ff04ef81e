"""compress and compress_sequence against a small pure-Python model of the code.

The model follows the definitions step by step with no attempt at speed:
bin the events, walk the boxes breadth-first testing cells one by one, code
the bits with a textbook rANS loop, and run-length code frame deltas.
"""

from collections import deque

from hypothesis import given, settings, strategies as st

import ovk
from conftest import padded, time_bin


def model_cells(events, width, height, time_bins):
    wp, hp, tp = padded(width), padded(height), padded(time_bins)
    cells = set()
    if events:
        tmin = min(e[2] for e in events)
        tmax = max(e[2] for e in events)
        for x, y, t in events:
            b = time_bin(t, tmin, tmax - tmin, time_bins)
            cells.add((min(x, wp - 1), min(y, hp - 1), min(b, tp - 1)))
    return cells, (wp, hp, tp)


def model_tree_bits(cells, sizes, max_depth):
    def halves(origin, size):
        return [(origin, size // 2), (origin + size // 2, size - size // 2)] if size >= 2 \
            else [(origin, 1)]

    bits = []
    queue = deque([(0, 0, 0, *sizes, 0)])
    while queue:
        x0, y0, t0, dx, dy, dt, depth = queue.popleft()
        occupied = any(x0 <= x < x0 + dx and y0 <= y < y0 + dy and t0 <= t < t0 + dt
                       for x, y, t in cells)
        bits.append(1 if occupied else 0)
        if occupied and depth < max_depth and max(dx, dy, dt) >= 2:
            for cx, sx in halves(x0, dx):
                for cy, sy in halves(y0, dy):
                    for ct, st_ in halves(t0, dt):
                        queue.append((cx, cy, ct, sx, sy, st_, depth + 1))
    return bits


def pack(bits):
    out = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        if bit:
            out[i // 8] |= 0x80 >> (i % 8)
    return bytes(out)


def model_rans(bits):
    n = len(bits)
    if n == 0:
        return bytes([0x00, 0x08, 0x00, 0x00, 0x80, 0x00])
    q = ((n - sum(bits)) * 4096 + n // 2) // n
    p0 = 1 if q == 0 else min(q, 4095)
    x, emitted = 1 << 23, []
    for bit in reversed(bits):
        freq, start = (4096 - p0, p0) if bit else (p0, 0)
        while x >= freq << 19:
            emitted.append(x & 0xFF)
            x >>= 8
        x = (x // freq) * 4096 + x % freq + start
    return p0.to_bytes(2, "little") + x.to_bytes(4, "little") + bytes(reversed(emitted))


def model_rle(data):
    out, pos = bytearray(), 0
    while pos < len(data):
        run = 1
        while run < 255 and pos + run < len(data) and data[pos + run] == data[pos]:
            run += 1
        out += bytes([run, data[pos]])
        pos += run
    return bytes(out)


def xor(a, b):
    a, b = a.ljust(len(b), b"\0"), b.ljust(len(a), b"\0")
    return bytes(p ^ q for p, q in zip(a, b))


events_strategy = st.lists(
    st.tuples(st.integers(0, 40), st.integers(0, 40), st.integers(0, 5000)), max_size=60)
geometry = st.tuples(st.sampled_from([0, 1, 3, 8, 20]), st.sampled_from([0, 1, 5, 16]),
                     st.sampled_from([0, 1, 2, 5, 8]), st.integers(0, 6))


@settings(max_examples=150, deadline=None)
@given(events_strategy, geometry)
def test_compress_matches_model(points, geom):
    width, height, time_bins, depth = geom
    cells, sizes = model_cells(points, width, height, time_bins)
    bits = model_tree_bits(cells, sizes, depth)
    data, result = ovk.compress([ovk.Event(x, y, t, 1) for x, y, t in points],
                                width, height, time_bins, depth)
    assert data == model_rans(bits)
    assert result.n_bits == len(bits)
    assert result.sparsity == 1.0 - len(cells) / (sizes[0] * sizes[1] * sizes[2])
    assert result.n_events == len(points) and result.raw_bytes == 9 * len(points)


@settings(max_examples=80, deadline=None)
@given(events_strategy, geometry, st.integers(0, 6))
def test_compress_sequence_matches_model(points, geom, n_frames):
    width, height, time_bins, depth = geom
    codes, result = ovk.compress_sequence([ovk.Event(x, y, t, 0) for x, y, t in points],
                                          width, height, time_bins, depth, n_frames)
    if not points or n_frames == 0:
        assert codes == [] and result.n_bits == 0 and result.sparsity == 1.0
        return
    tmin = min(p[2] for p in points)
    span = max(max(p[2] for p in points) - tmin, 1)
    frames = [[] for _ in range(n_frames)]
    for x, y, t in points:
        frames[min(int((n_frames - 1.0) * ((t - tmin) / span)), n_frames - 1)].append((x, y, t))
    expected, previous, total_bits = [], b"", 0
    for k, frame in enumerate(frames):
        cells, sizes = model_cells(frame, width, height, time_bins)
        bits = model_tree_bits(cells, sizes, depth)
        packed = pack(bits)
        expected.append(model_rans(bits) if k == 0 else model_rle(xor(previous, packed)))
        previous, total_bits = packed, total_bits + len(bits)
    assert codes == expected
    assert result.n_bits == total_bits
    assert result.bitstream_bytes == sum(map(len, expected))
