"""compress, compress_sequence, event_stats and the CompressionResult class."""
import pytest
from hypothesis import given, settings, strategies as st

import ovk

E = ovk.Event
FIELDS = ("n_events", "raw_bytes", "bitstream_bytes", "n_bits", "encode_us", "decode_us",
          "sparsity")


def expected_repr(result):
    return (f"CompressionResult(n_events={result.n_events}, "
            f"ratio={result.compression_ratio:.2f}x, bpe={result.bits_per_event:.2f})")


def test_two_events_on_a_four_by_one_grid(evs):
    # Events at x = 1 (t = 0) and x = 3 (t = 100) on a 4 x 1 sensor with two
    # time bins and depth 2: two of the eight grid cells are set, so the
    # sparsity is 0.75; the tree's 9 bits code to 7 bytes, the first 6 of them
    # the stream header.
    bitstream, result = ovk.compress(evs, 4, 1, 2, 2)
    assert bitstream == bytes.fromhex("1C 07 A6 2B F2 00 78")
    assert (result.n_events, result.raw_bytes, result.bitstream_bytes, result.n_bits) == \
        (2, 18, 7, 9)
    assert result.sparsity == 0.75
    assert result.bits_per_event == 7 * 8.0 / 2
    assert result.compression_ratio == 18 / 7
    assert repr(result) == "CompressionResult(n_events=2, ratio=2.57x, bpe=28.00)"
    assert all(type(getattr(result, f)) is int for f in FIELDS[:-1])
    assert type(result.sparsity) is float


def test_empty_list():
    bitstream, result = ovk.compress([], 64, 64, 8, 4)
    assert (result.n_events, result.raw_bytes, result.sparsity) == (0, 0, 1.0)
    assert result.bitstream_bytes == len(bitstream) > 0
    assert result.compression_ratio == 0.0
    assert result.bits_per_event == result.bitstream_bytes * 8


def test_deterministic(evs):
    first, second = ovk.compress(evs, 64, 64, 8, 4), ovk.compress(evs, 64, 64, 8, 4)
    assert first[0] == second[0]
    assert [getattr(first[1], f) for f in FIELDS if not f.endswith("_us")] == \
        [getattr(second[1], f) for f in FIELDS if not f.endswith("_us")]


def test_result_class():
    result = ovk.compress([], 1, 1, 1, 0)[1]
    cls = type(result)
    assert cls is ovk.CompressionResult
    assert cls.__module__ == "builtins" and cls.__doc__ is None
    with pytest.raises(TypeError) as caught:
        ovk.CompressionResult()
    assert str(caught.value) == "No constructor defined for CompressionResult"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(result, "__dict__")
    for name in FIELDS + ("bits_per_event", "compression_ratio", "other"):
        with pytest.raises(AttributeError):
            setattr(result, name, 1)


def test_repr_formatting_crafted_records():
    # Eight distinct cells of a 32 x 32 grid code to 18 bytes; duplicates add
    # events without changing the grid: 25 events give a ratio of exactly 12.5.
    distinct = [E((i * 5) % 32, (i * 3) % 32, 0, 0) for i in range(8)]
    result = ovk.compress(distinct + [distinct[0]] * 17, 32, 32, 1, 5)[1]
    assert result.bitstream_bytes == 18
    assert repr(result) == "CompressionResult(n_events=25, ratio=12.50x, bpe=5.76)"
    # A single cell of this geometry codes to 8 bytes: 5 events give a ratio of
    # exactly 5.625, printed with the tie going to the even digit.
    result = ovk.compress([E(0, 0, 0, 0)] * 5, 1, 64, 4, 6)[1]
    assert result.bitstream_bytes == 8
    assert repr(result) == "CompressionResult(n_events=5, ratio=5.62x, bpe=12.80)"
    # A large ratio keeps every digit and never uses an exponent.
    result = ovk.compress([E(0, 0, 0, 0)] * 200_000, 1, 1, 1, 0)[1]
    assert result.bitstream_bytes == 6
    assert repr(result) == "CompressionResult(n_events=200000, ratio=300000.00x, bpe=0.00)"


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 63), st.integers(0, 63), st.integers(0, 10_000)),
                max_size=80),
       st.sampled_from([1, 5, 33, 64]), st.sampled_from([1, 2, 40]),
       st.integers(1, 9), st.integers(0, 7))
def test_repr_matches_python_formatting(points, width, height, time_bins, depth):
    events = [E(x, y, t, 1) for x, y, t in points]
    bitstream, result = ovk.compress(events, width, height, time_bins, depth)
    assert len(bitstream) == result.bitstream_bytes
    assert result.raw_bytes == 9 * len(events)
    assert 0.0 <= result.sparsity <= 1.0
    assert repr(result) == expected_repr(result)


def test_compress_sequence(evs):
    frames, result = ovk.compress_sequence(evs, 4, 1, 2, 2, 1)
    bitstream, single = ovk.compress(evs, 4, 1, 2, 2)
    assert frames == [bitstream]
    for name in ("n_events", "bitstream_bytes", "n_bits", "sparsity"):
        assert getattr(result, name) == getattr(single, name)

    frames, result = ovk.compress_sequence(evs, 4, 1, 2, 2, 3)
    assert len(frames) == 3 and all(type(f) is bytes for f in frames)
    assert result.bitstream_bytes == sum(map(len, frames))
    assert repr(result) == expected_repr(result)

    for events, n_frames in (([], 5), (evs, 0)):
        frames, result = ovk.compress_sequence(events, 4, 1, 2, 2, n_frames)
        assert frames == []
        assert [getattr(result, f) for f in FIELDS] == [0, 0, 0, 0, 0, 0, 1.0]
        assert result.compression_ratio == result.bits_per_event == 0.0


def test_event_stats():
    assert ovk.event_stats([]) is None
    assert ovk.event_stats([E(3, 4, 1000, 1)]) == {
        "count": 1, "x_range": (3, 3), "y_range": (4, 4), "t_range": (1000, 1000),
        "duration_us": 0}
    stats = ovk.event_stats((E(65535, 2, 4294967295, 0), E(0, 9, 5, 0), E(7, 1, 70, 0)))
    assert list(stats) == ["count", "x_range", "y_range", "t_range", "duration_us"]
    assert stats == {"count": 3, "x_range": (0, 65535), "y_range": (1, 9),
                     "t_range": (5, 4294967295), "duration_us": 4294967290}
    assert ovk.event_stats([E(0, 0, 0, 0)] * 3)["count"] == 3
