"""The context coding of .ovkc frames (coding 2), seen from the command line.

A decoder written here from docs/format.md alone reads the files the tool
writes; the tool's decoded boxes are compared across the two codings and
with that decoder, on random recordings and on the extreme geometries.
"""

from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import needs_cli
from test_code_file import (GOLDEN, REPO, model_rows, next_pow2, one_error_line, parse_ovkc,
                            read_rows, run, write_csv)

pytestmark = needs_cli

GOLDEN_CONTEXT = REPO / "tests" / "data" / "golden_context_two_frames.ovkc"


# ---- a decoder from the format description ----

class RangeDecoder:
    def __init__(self, code):
        self.code, self.pos, self.range = code, 4, 0xFFFFFFFF
        self.value = int.from_bytes(code[:4], "big")

    SHIFT = [1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 5, 5, 5, 6]

    def bit(self, probs, ctx):
        p, seen = probs.get(ctx, (2048, 0))
        shift = self.SHIFT[min(seen, 15)]
        bound = (self.range >> 12) * p
        if self.value < bound:
            bit, self.range, p = 0, bound, p + ((4096 - p) >> shift)
        else:
            bit, self.value, self.range, p = 1, self.value - bound, self.range - bound, \
                p - (p >> shift)
        probs[ctx] = (p, seen + 1)
        while self.range < 1 << 24:
            byte = self.code[self.pos] if self.pos < len(self.code) else 0
            self.pos += 1
            self.range = (self.range << 8) & 0xFFFFFFFF
            self.value = ((self.value << 8) | byte) & 0xFFFFFFFF
        return bit


def context_tree_bits(code, bit_count, width, height, bins, depth, trace=None):
    """The tree bits of a context code, and the origins (x, y, bin) of its occupied
    leaves, in cells, in tree order."""
    logs = [next_pow2(v).bit_length() - 1 for v in (width, height, bins)]
    deepest = min(depth, max(logs))
    rc, probs, bits = RangeDecoder(code), {}, []
    bits.append(rc.bit(probs, 0))
    level = [(0, 0, 0)] if bits[0] else []
    occupied = set(level)
    for d in range(deepest):
        if not level:
            break
        halving = [a for a in range(3) if logs[a] > d]
        n = 1 << len(halving)
        children, child_set = [], set()
        assert len(bits) + n * len(level) <= bit_count, "the tree needs more bits than it has"
        for parent in level:
            ones = 0
            for c in range(n):
                half = [-1, -1, -1]
                child = [2 * parent[a] if logs[a] > d else parent[a] for a in range(3)]
                for b, a in enumerate(halving):
                    half[a] = (c >> (len(halving) - 1 - b)) & 1
                    child[a] += half[a]
                near = behind = 0
                for a in range(3):
                    lower = list(parent); lower[a] -= 1
                    upper = list(parent); upper[a] += 1
                    lo = parent[a] > 0 and tuple(lower) in occupied
                    hi = tuple(upper) in occupied
                    near = near * 2 + int((lo or hi) if half[a] < 0 else (hi if half[a] else lo))
                    back = list(child); back[a] -= 1
                    behind = behind * 2 + int(child[a] > 0 and tuple(back) in child_set)
                if c == n - 1 and ones == 0:
                    bit = 1
                else:
                    ctx = ((((d + 1) * 8 + near) * 8 + behind) * 8 + c) * 8 + ones
                    bit = rc.bit(probs, ctx)
                    if trace is not None:
                        trace.append((len(bits), d + 1, near, behind, c, ones, ctx, bit))
                bits.append(bit)
                ones += bit
                if bit:
                    children.append(tuple(child))
                    child_set.add(tuple(child))
        level, occupied = children, child_set
    assert len(bits) == bit_count and rc.pos == len(code)
    scale = [log - min(deepest, log) for log in logs]
    return bits, [tuple(v << s for v, s in zip(leaf, scale)) for leaf in level]


def decoded_rows(path):
    parsed = parse_ovkc(path.read_bytes())
    rows = set()
    for k, frame in enumerate(parsed["frames"]):
        assert frame["coding"] == 2
        _, leaves = context_tree_bits(frame["code"], frame["bits"], parsed["width"],
                                      parsed["height"], parsed["bins"], parsed["depth"])
        rows |= {(k, *leaf) for leaf in leaves}
    return rows


# ---- the documented examples and the golden file ----

def worked_example(tmp_path, name):
    """The format description's worked example (two events, a 4x1 sensor,
    2 time bins, depth 2) encoded by the tool; returns the file's path."""
    rec = write_csv(tmp_path / "r.csv", [(1, 0, 0, 0), (3, 0, 100, 0)])
    out = tmp_path / name
    assert run("encode", rec, "-o", out, "--sensor", "4x1", "--time-bins", 2,
               "--depth", 2).returncode == 0
    return out


def test_worked_example_of_the_format_description(tmp_path):
    out = worked_example(tmp_path, "r.ovkc")
    data = out.read_bytes()
    assert data.hex(" ").upper() == (
        "4F 56 4B 43 02 00 00 00 04 00 01 00 02 00 02 00 02 00 00 00 00 00 00 00 "
        "00 00 00 00 64 00 00 00 01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 "
        "02 00 00 00 00 00 00 00 00 00 00 00 64 00 00 00 09 00 00 00 00 00 00 00 "
        "04 00 00 00 00 00 00 00 C7 FF F8 00 7E 27 BB B1 38 AA F7 0C")
    trace = []
    bits, leaves = context_tree_bits(bytes.fromhex("C7FFF800"), 9, 4, 1, 2, 2, trace)
    assert bits == [1, 1, 0, 0, 1, 0, 1, 0, 1]
    assert leaves == [(1, 0, 0), (3, 0, 1)]
    # position, depth, near, behind, child, ones, context, bit (docs/format.md)
    assert trace == [(1, 1, 0, 0, 0, 0, 4096, 1), (2, 1, 0, 1, 1, 1, 4169, 0),
                     (3, 1, 0, 4, 2, 1, 4369, 0), (4, 1, 0, 0, 3, 1, 4121, 1),
                     (5, 2, 0, 0, 0, 0, 8192, 0), (7, 2, 0, 0, 0, 0, 8192, 0)]


def test_golden_context_file_decodes_byte_for_byte(tmp_path):
    data = GOLDEN_CONTEXT.read_bytes()
    assert len(data) == 140
    parsed = parse_ovkc(data)
    assert parsed["version"] == 2
    assert [f["code"].hex() for f in parsed["frames"]] == ["d2c01e22000000", "810ff80000"]
    cells = tmp_path / "cells.csv"
    assert run("decode", GOLDEN_CONTEXT, "-o", cells).returncode == 0
    golden_cells = tmp_path / "golden.csv"
    assert run("decode", GOLDEN, "-o", golden_cells).returncode == 0
    assert cells.read_bytes() == golden_cells.read_bytes()
    assert {r[:4] for r in read_rows(cells)} == decoded_rows(GOLDEN_CONTEXT)
    # The same recording coded again gives the same bytes.
    rec = write_csv(tmp_path / "r.csv", [(0, 0, 0, 0), (1, 1, 10, 0), (3, 0, 20, 0),
                                         (2, 1, 30, 0), (3, 1, 40, 0)])
    again = tmp_path / "again.ovkc"
    assert run("encode", rec, "-o", again, "--sensor", "4x2", "--time-bins", 4, "--depth", 3,
               "--frames", 2).returncode == 0
    assert again.read_bytes() == data


# ---- round trips ----

def encode_both(tmp_path, events, width, height, bins, depth, n_frames):
    rec = write_csv(tmp_path / "r.csv", events)
    rows = {}
    for coding in ("static", "context"):
        out = tmp_path / f"{coding}.ovkc"
        done = run("encode", rec, "-o", out, "-f", "--sensor", f"{width}x{height}", "--time-bins", bins,
                   "--depth", depth, "--frames", n_frames, "--coding", coding)
        assert done.returncode == 0, done.stderr
        cells = tmp_path / f"{coding}.csv"
        assert run("decode", out, "-o", cells, "-f").returncode == 0
        rows[coding] = read_rows(cells)
        assert run("check", out, rec).returncode == 0
    assert rows["static"] == rows["context"]
    static = parse_ovkc((tmp_path / "static.ovkc").read_bytes())
    context = parse_ovkc((tmp_path / "context.ovkc").read_bytes())
    assert [f["bits"] for f in static["frames"]] == [f["bits"] for f in context["frames"]]
    return rows["context"]


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(events=st.lists(st.tuples(st.integers(0, 40), st.integers(0, 40), st.integers(0, 3000),
                                 st.integers(0, 1)), max_size=60),
       width=st.integers(1, 40), height=st.integers(1, 40), bins=st.integers(1, 20),
       depth=st.integers(0, 8), n_frames=st.integers(1, 4))
def test_both_codings_give_the_same_boxes(tmp_path, events, width, height, bins, depth, n_frames):
    rows = encode_both(tmp_path, events, width, height, bins, depth, n_frames)
    assert set(rows) == model_rows(events, width, height, bins, depth, n_frames)
    assert {r[:4] for r in rows} == decoded_rows(tmp_path / "context.ovkc")


@settings(max_examples=6, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(shape=st.sampled_from([(1, 1, 65535), (65535, 65535, 1), (65535, 65535, 65535)]),
       data=st.data())
def test_extreme_geometries(tmp_path, shape, data):
    width, height, bins = shape
    events = data.draw(st.lists(st.tuples(st.integers(0, width - 1), st.integers(0, height - 1),
                                          st.integers(0, 3000), st.integers(0, 1)),
                                min_size=1, max_size=5))
    depth = data.draw(st.sampled_from([16, 5]))
    rows = encode_both(tmp_path, events, width, height, bins, depth, data.draw(st.integers(1, 3)))
    assert set(rows) == model_rows(events, width, height, bins, depth,
                                   len(parse_ovkc((tmp_path / "context.ovkc").read_bytes())
                                       ["frames"]) or 1)


# ---- damaged files ----

def test_every_truncation_and_byte_change_is_a_one_line_error(tmp_path):
    small = worked_example(tmp_path, "small.ovkc")
    data = small.read_bytes()
    assert len(data) == 92
    bad = tmp_path / "bad.ovkc"
    for n in range(len(data)):
        bad.write_bytes(data[:n])
        one_error_line(run("decode", bad), bad)
    for i in range(len(data)):
        changed = bytearray(data)
        changed[i] ^= 0x21
        bad.write_bytes(bytes(changed))
        one_error_line(run("decode", bad), bad)


def test_a_version_1_file_cannot_hold_context_frames(tmp_path):
    data = bytearray(GOLDEN_CONTEXT.read_bytes())
    data[4] = 1
    bad = tmp_path / "v1.ovkc"
    bad.write_bytes(bytes(data))
    assert one_error_line(run("decode", bad), bad).startswith("checksum mismatch")
