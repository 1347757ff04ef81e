"""Memory pressure, special files, signals and a len() that raises."""
import os
import threading

import pytest

import ovk
from conftest import run_python

E = ovk.Event
UNDER_SANITIZER = bool(os.environ.get("OVK_UNDER_SANITIZER"))


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's shadow memory needs more address "
                    "space than the cap this test sets")
@pytest.mark.parametrize("limit_mb", [680, 730, 780])
@pytest.mark.parametrize("where", ["main thread", "new thread"])
def test_memory_pressure_raises_and_the_process_lives(limit_mb, where):
    # Ten million frames of a two-event recording need far more than the cap:
    # the first C++ exception of the call is thrown with no memory to spare.
    # Whichever allocation fails first (the codec's own buffers, MemoryError,
    # or an interpreter object, InternalFault), the call must raise and the
    # process must carry on, also on a thread that never ran ovk before.
    result = run_python(f"""
        import resource, threading
        import ovk
        limit = {limit_mb} * 1024 ** 2
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        def call():
            try:
                ovk.compress_sequence([ovk.Event(0, 0, 0, 0), ovk.Event(1, 1, 9, 1)],
                                      2, 2, 2, 2, 10_000_000)
                print("returned")
            except BaseException as error:
                print(type(error).__name__)
        if {where!r} == "new thread":
            worker = threading.Thread(target=call)
            worker.start()
            worker.join()
        else:
            call()
        # Two events 2 pixels apart on a 4 x 1 x 2 grid code to these 7 bytes.
        print(ovk.compress([ovk.Event(1, 0, 0, 0), ovk.Event(3, 0, 100, 0)], 4, 1, 2, 2)[0].hex())
    """, timeout=300)
    assert result.returncode == 0, result.stderr
    outcome, check = result.stdout.split()
    assert check == "1c07a62bf20078"
    assert outcome in {"MemoryError", "InternalFault"}, result.stderr


def write_fifo_then_close(path, data):
    """Writes `data` into the FIFO at `path` from a thread; returns the thread."""
    def writer():
        with open(path, "wb") as fifo:  # blocks until a reader opens it
            fifo.write(data)
    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    return thread


@pytest.mark.parametrize("records, expected", [
    # 45 bytes divide by 5 and 9: N-MNIST, 9 records; byte 2 = 0x80 is polarity 1.
    (bytes([1, 2, 0x80, 0, 7]) * 9, [(1, 2, 7, 1)] * 9),
    # 18 bytes only divide by 9: two compact records.
    (bytes([3, 0, 4, 0, 5, 0, 0, 0, 1]) * 2, [(3, 4, 5, 1)] * 2),
])
def test_bin_fifo_is_judged_and_decoded_from_one_read(tmp_path, records, expected):
    path = tmp_path / "pipe.bin"
    os.mkfifo(path)
    writer = write_fifo_then_close(path, records)
    result = run_python(f"""
        import ovk
        print([(e.x, e.y, e.t, e.p) for e in ovk.load_events({str(path)!r})])
    """, timeout=20)  # a second open of the FIFO would wait for a writer forever
    writer.join(timeout=5)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == repr(expected)


@pytest.mark.parametrize("blocked_in", ["open", "read"])
@pytest.mark.parametrize("load", ["load_events", "load_csv", "load_nmnist", "load_aedat2"])
def test_interrupt_ends_a_blocked_load(tmp_path, blocked_in, load):
    # A FIFO with no writer blocks open(); one this process also holds open for
    # writing blocks read(). A signal whose handler raises KeyboardInterrupt
    # (as Ctrl-C does) must end the load at once and leave no descriptor open.
    path = tmp_path / "blocked.csv"
    os.mkfifo(path)
    result = run_python(f"""
        import os, signal
        import ovk
        path = {str(path)!r}
        if {blocked_in!r} == "read":
            keep_writer = os.open(path, os.O_RDWR)
        before = sorted(os.listdir("/proc/self/fd"))
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3, 0.3)
        try:
            ovk.{load}(path)
        except KeyboardInterrupt:
            signal.setitimer(signal.ITIMER_REAL, 0)
            print("KeyboardInterrupt")
        print(sorted(os.listdir("/proc/self/fd")) == before)
    """, timeout=20)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["KeyboardInterrupt", "True"]


def test_signal_handler_that_returns_lets_the_load_go_on(tmp_path):
    # A handler that does not raise: the interrupted open is repeated and the
    # load completes once a writer comes.
    path = tmp_path / "late.bin"
    os.mkfifo(path)
    result = run_python(f"""
        import os, signal, threading, time
        import ovk
        path = {str(path)!r}
        ticks = []
        signal.signal(signal.SIGALRM, lambda *args: ticks.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)
        def writer():
            while len(ticks) < 3:
                time.sleep(0.05)
            with open(path, "wb") as fifo:
                fifo.write(bytes(10))
        threading.Thread(target=writer).start()
        events = ovk.load_events(path)
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(len(events), len(ticks) >= 3)
    """, timeout=20)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["2", "True"]


class LenRaises:
    """A sequence of two events whose len() raises `error`."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, index):
        return [E(1, 0, 0, 0), E(3, 0, 100, 0)][index]


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
@pytest.mark.parametrize("call", [
    lambda events: ovk.compress(events, 4, 1, 2, 2),
    lambda events: ovk.compress_sequence(events, 4, 1, 2, 2, 2),
    lambda events: ovk.event_stats(events),
])
def test_length_hint_lets_non_exceptions_through(error, call):
    with pytest.raises(type(error)) as caught:
        call(LenRaises(error))
    assert caught.value is error


@pytest.mark.parametrize("error", [ValueError("no"), TypeError("no"), OverflowError(),
                                   ZeroDivisionError(), RuntimeError()])
def test_length_hint_still_discards_exceptions(error):
    stats = ovk.event_stats(LenRaises(error))
    assert stats == {"count": 2, "x_range": (1, 3), "y_range": (0, 0), "t_range": (0, 100),
                     "duration_us": 100}
