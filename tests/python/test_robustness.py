"""Memory exhaustion, untrustworthy sequences and reference leaks."""
import gc
import os
import sys

import pytest

import ovk
from conftest import run_python

E = ovk.Event


def test_largest_geometry_fits_and_impossible_frame_count_raises_memory_error():
    # Address space is capped so the test behaves the same on any machine: the
    # largest geometry costs what its one event costs (65 tree bits at depth
    # 8), while 2**62 frames cannot fit and raise at once. The sanitizer maps
    # its shadow memory beyond any such cap; its allocator is then told to
    # return null for impossible sizes instead.
    result = run_python("""
        import os
        import resource
        import ovk
        if not os.environ.get("OVK_UNDER_SANITIZER"):
            limit = 2 * 1024 ** 3
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        print(ovk.compress([ovk.Event(0, 0, 0, 0)], 65535, 65535, 65535, 8)[1].n_bits)
        try:
            ovk.compress_sequence([ovk.Event(0, 0, 0, 0)], 1, 1, 1, 1, 2**62)
        except MemoryError:
            print("MemoryError")
        # Afterwards the module still works: two events at x = 1 and x = 3 on a
        # 4 x 1 grid with two time bins code to these 7 bytes.
        two_events = [ovk.Event(1, 0, 0, 0), ovk.Event(3, 0, 100, 0)]
        print(ovk.compress(two_events, 4, 1, 2, 2)[0].hex())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["65", "MemoryError", "1c07a62bf20078"]


def test_frame_count_beyond_memory_raises_at_once():
    # A frame holds about 120 bytes (its code, bookkeeping, a bytes object and
    # a list slot) until the call returns; a count whose frames would need more
    # than the machine's memory is refused before any work, and the process
    # carries on.
    memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    two_events = [E(1, 0, 0, 0), E(3, 0, 100, 0)]
    with pytest.raises(MemoryError):
        ovk.compress_sequence(two_events, 4, 1, 2, 2, memory // 100)
    assert ovk.compress(two_events, 4, 1, 2, 2)[0].hex() == "1c07a62bf20078"


class LyingLength:
    """A sequence whose len() is only loosely related to its items."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("claimed", [2**60, 2**62, 2**70, -5, 0])
def test_length_is_only_a_hint(claimed, evs):
    lying = LyingLength(claimed, evs)
    assert ovk.event_stats(lying) == ovk.event_stats(evs)
    assert ovk.compress(lying, 4, 1, 2, 2)[0] == ovk.compress(evs, 4, 1, 2, 2)[0]


def raises(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{exc_type.__name__} not raised")


def leak_cases(tmp_path, internal_fault):
    csv = tmp_path / "e.csv"
    csv.write_text("1,2,3,4\n5,6,7,8\n")
    missing = str(tmp_path / "missing.csv")
    evs = [E(i % 7, i % 5, i * 10, i % 2) for i in range(20)]
    event = E(1, 2, 3, 4)
    result = ovk.compress(evs, 8, 8, 4, 3)[1]

    class Index:
        def __index__(self):
            raise TypeError("bad") from ValueError("cause")

    class Fault:
        def __index__(self):
            raise internal_fault("fault")

    def set_field():
        event.t = 5

    return {
        "compress": lambda: ovk.compress(evs, 8, 8, 4, 3),
        "compress bind error": lambda: raises(TypeError, ovk.compress, evs, 1, x=2),
        "compress wrapped error": lambda: raises(TypeError, ovk.compress, evs, Index(), 1, 1, 1),
        "compress events error": lambda: raises(TypeError, ovk.compress, [event, 5], 1, 1, 1, 1),
        "compress overflow": lambda: raises(OverflowError, ovk.compress, evs, 1, 1, 1, 256),
        "sequence": lambda: ovk.compress_sequence(evs, 8, 8, 4, 3, 4),
        "sequence error": lambda: raises(OverflowError, ovk.compress_sequence, evs, 1, 1, 1, 1,
                                         -1),
        "stats": lambda: ovk.event_stats(evs),
        "stats error": lambda: raises(TypeError, ovk.event_stats, "text"),
        "load": lambda: ovk.load_csv(str(csv)),
        "load events": lambda: ovk.load_events(str(csv)),
        "load error": lambda: raises(OSError, ovk.load_events, missing),
        "load type error": lambda: raises(TypeError, ovk.load_nmnist, b"x"),
        "Event": lambda: E(1, 2, 3, 4),
        "Event error": lambda: raises(TypeError, E, 1, 2, 3, 4.0),
        "Event attributes": lambda: (event.x, event.p, repr(event), set_field()),
        "Event setter error": lambda: raises(OverflowError, setattr, event, "p", 300),
        "result attributes": lambda: (result.n_events, result.sparsity, result.bits_per_event,
                                      repr(result)),
        "result constructor": lambda: raises(TypeError, ovk.CompressionResult),
        "internal fault": lambda: raises(internal_fault, ovk.compress, evs, Fault(), 1, 1, 1),
    }


def test_no_reference_leaks(tmp_path, internal_fault, capfd):
    growth = {}
    for name, call in leak_cases(tmp_path, internal_fault).items():
        for _ in range(100):
            call()
        # Two rounds, keeping the smaller growth: a cache that the interpreter
        # fills once (seen under the sanitizer) grows in one round only, while
        # a leak of even one block every few calls grows in both.
        rounds = []
        for _ in range(2):
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(3000):
                call()
            gc.collect()
            rounds.append(sys.getallocatedblocks() - before)
        growth[name] = min(rounds)
    capfd.readouterr()  # the internal-fault case reports on standard error
    assert {name: blocks for name, blocks in growth.items() if blocks > 100} == {}


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_native_buffers_are_released(tmp_path):
    """Calls whose native buffers are large: a leak of any of them shows in RSS."""
    evs = [E(i % 250, i * 7 % 250, i * 3, i % 2) for i in range(10000)]
    big = tmp_path / "big.evb"
    big.write_bytes(b"".join(
        e.x.to_bytes(2, "little") + e.y.to_bytes(2, "little") + e.t.to_bytes(4, "little")
        + bytes([e.p]) for e in evs))
    calls = [
        lambda: ovk.compress(evs, 256, 256, 64, 10),  # 512 KiB grid, large tree
        lambda: ovk.compress_sequence(evs, 256, 256, 64, 10, 8),
        lambda: ovk.event_stats(evs),
        lambda: ovk.load_events(str(big)),
        lambda: ovk.compress(evs[:1], 65535, 65535, 65535, 8),
        lambda: raises(MemoryError, ovk.compress_sequence, evs, 8, 8, 8, 3, 2**62),
    ]
    for call in calls:
        for _ in range(20):
            call()
    gc.collect()
    before = _rss_bytes()
    for call in calls:
        for _ in range(300):
            call()
    gc.collect()
    assert _rss_bytes() - before < 32 * 2**20
