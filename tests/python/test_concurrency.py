"""Many threads using the module on shared Event lists while others mutate them."""

import threading

import ovk
from ovk import Event as E


def test_threads_share_and_mutate_events(tmp_path):
    stable = [E(i * 7 % 128, i * 13 % 96, i * 50, i % 2) for i in range(3000)]
    mutated = [E(i % 64, i % 48, i * 20, 1) for i in range(3000)]
    recording = tmp_path / "shared.csv"
    recording.write_text("".join(f"{e.x},{e.y},{e.t},{e.p}\n" for e in stable[:500]))

    expected = {
        "compress": ovk.compress(stable, 128, 96, 16, 7)[0],
        "sequence": ovk.compress_sequence(stable, 128, 96, 16, 7, 5)[0],
        "stats": ovk.event_stats(stable),
        "load": [(e.x, e.y, e.t, e.p) for e in ovk.load_events(str(recording))],
    }
    errors = []
    stop = threading.Event()

    def worker(seed):
        try:
            for i in range(25):
                assert ovk.compress(stable, 128, 96, 16, 7)[0] == expected["compress"]
                assert ovk.compress_sequence(stable, 128, 96, 16, 7, 5)[0] == expected["sequence"]
                assert ovk.event_stats(stable) == expected["stats"]
                loaded = ovk.load_events(str(recording))
                assert [(e.x, e.y, e.t, e.p) for e in loaded] == expected["load"]
                # The mutated list only has to be handled without failing.
                data, result = ovk.compress(mutated, 64, 48, 8, 6)
                assert len(data) == result.bitstream_bytes
                ovk.compress_sequence(mutated, 64, 48, 8, 6, 3 + (seed + i) % 4)
                assert ovk.event_stats(mutated)["count"] == len(mutated)
        except BaseException as error:  # noqa: BLE001 - any failure must reach the test
            errors.append(error)

    def mutator(seed):
        i = seed
        try:
            while not stop.is_set():
                e = mutated[i % len(mutated)]
                e.x = (e.x + 1) % 64
                e.t = (e.t + 7) % 100000
                e.p = i % 256
                i += 3
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    workers = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    mutators = [threading.Thread(target=mutator, args=(k,)) for k in range(2)]
    for t in mutators + workers:
        t.start()
    for t in workers:
        t.join()
    stop.set()
    for t in mutators:
        t.join()
    assert errors == []
    # The stable list was never touched.
    assert [(e.x, e.y, e.t, e.p) for e in stable[:3]] == [(0, 0, 0, 0), (7, 13, 50, 1),
                                                          (14, 26, 100, 0)]
