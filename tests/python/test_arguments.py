"""Argument binding and conversion: messages, exception types and wrapping."""
import sys

import pytest

import ovk

E = ovk.Event
EV = [E(1, 0, 0, 0)]
RANGE = "out of range integral type conversion attempted"


class FailingSequence:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise RuntimeError("iteration failed")


MESSAGES = [
    # Binding.
    (ovk.compress, (), {}, TypeError, "compress() missing 5 required positional arguments: "
     "'events', 'width', 'height', 'time_bins', and 'max_depth'"),
    (ovk.compress, ([], 1, 2), {}, TypeError,
     "compress() missing 2 required positional arguments: 'time_bins' and 'max_depth'"),
    (ovk.compress, ([], 1, 2), {"max_depth": 4}, TypeError,
     "compress() missing 1 required positional argument: 'time_bins'"),
    (ovk.compress, ([], 1, 2, 3, 4, 5), {"x": 1}, TypeError,
     "compress() takes 5 positional arguments but 6 were given"),
    (ovk.compress, ([], 64, 64, 8, 4), {"width": 64}, TypeError,
     "compress() got multiple values for argument 'width'"),
    (ovk.compress, ([], 64, 64, 8, 4), {"depth": 4, "width": 1}, TypeError,
     "compress() got an unexpected keyword argument 'depth'"),
    (ovk.compress, (), {"\ud800": 1}, TypeError,
     "compress() got an unexpected keyword argument '\ud800'"),
    (ovk.load_csv, (), {}, TypeError, "load_csv() missing 1 required positional argument: 'path'"),
    (ovk.load_csv, ("a", "b"), {}, TypeError,
     "load_csv() takes 1 positional arguments but 2 were given"),
    (ovk.compress_sequence, ([], 1, 1, 1, 1), {}, TypeError,
     "compress_sequence() missing 1 required positional argument: 'n_frames'"),
    (E, (1, 2, 3, 4, 5), {}, TypeError,
     "Event.__new__() takes 4 positional arguments but 5 were given"),
    (E, (), {}, TypeError,
     "Event.__new__() missing 4 required positional arguments: 'x', 'y', 't', and 'p'"),
    (E, (1,), {"x": 1, "y": 2, "t": 3, "p": 4}, TypeError,
     "Event.__new__() got multiple values for argument 'x'"),
    (E, (1, 2, 3, 4), {"q": 5}, TypeError, "Event.__new__() got an unexpected keyword argument 'q'"),
    # Integers.
    (ovk.compress, ([], 70000, 64, 8, 4), {}, OverflowError, RANGE),
    (ovk.compress, ([], -1, 64, 8, 4), {}, OverflowError, RANGE),
    (ovk.compress, ([], 1, 1, 1, 256), {}, OverflowError, RANGE),
    (ovk.compress, ([], 2**64, 1, 1, 1), {}, OverflowError,
     "Python int too large to convert to C long"),
    (ovk.compress, ([], 64.0, 64, 8, 4), {}, TypeError,
     "argument 'width': 'float' object cannot be interpreted as an integer"),
    (ovk.compress_sequence, ([], 1, 1, 1, 1, 2.0), {}, TypeError,
     "argument 'n_frames': 'float' object cannot be interpreted as an integer"),
    (ovk.compress_sequence, ([], 1, 1, 1, 1, -1), {}, OverflowError,
     "can't convert negative int to unsigned"),
    # Events; the first failing argument in parameter order is reported.
    (ovk.compress, ("abc", 64, 64, 8, 4), {}, TypeError,
     "argument 'events': Can't extract `str` to `Vec`"),
    (ovk.compress, (5, 70000, 1.0, 1, 1), {}, TypeError,
     "argument 'events': 'int' object cannot be converted to 'Sequence'"),
    (ovk.compress, (EV, 70000, 1.0, 1, 1), {}, OverflowError, RANGE),
    (ovk.compress, (EV + [5], 64, 64, 8, 4), {}, TypeError,
     "argument 'events': 'int' object cannot be converted to 'Event'"),
    (ovk.compress, ((e for e in EV), 1, 1, 1, 1), {}, TypeError,
     "argument 'events': 'generator' object cannot be converted to 'Sequence'"),
    (ovk.event_stats, (set(EV),), {}, TypeError,
     "argument 'events': 'set' object cannot be converted to 'Sequence'"),
    (ovk.event_stats, (b"ab",), {}, TypeError,
     "argument 'events': 'int' object cannot be converted to 'Event'"),
    (ovk.event_stats, (FailingSequence(),), {}, RuntimeError, "iteration failed"),
    # Text.
    (ovk.load_events, (b"x.csv",), {}, TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, args, kwargs, exc_type, expected", MESSAGES)
def test_messages(call, args, kwargs, exc_type, expected):
    with pytest.raises(exc_type) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is exc_type
    assert str(caught.value) == expected


def test_accepted_forms(tmp_path):
    class Index:
        def __index__(self):
            return 3

    frames, result = ovk.compress_sequence(EV, True, Index(), 1, 1, Index())
    assert len(frames) == 3 and result.n_events == 1
    assert ovk.compress(tuple(EV), True, 1, 1, 0)[0] == ovk.compress(EV, 1, 1, 1, 0)[0]

    path = tmp_path / "s.csv"
    path.write_text("5,6,7,8\n")
    assert repr(ovk.load_csv(type("Text", (str,), {})(path))) == "[Event(x=5, y=6, t=7, p=8)]"
    with pytest.raises(UnicodeEncodeError):
        ovk.load_csv("\ud800.csv")


def test_wrapping_keeps_cause_and_suppresses_context():
    class SubTypeError(TypeError):
        pass

    class WithCause:
        def __index__(self):
            raise TypeError("inner") from KeyError("k")

    class Subclass:
        def __index__(self):
            raise SubTypeError("not wrapped")

    with pytest.raises(TypeError) as caught:
        ovk.compress([], WithCause(), 1, 1, 1)
    assert str(caught.value) == "argument 'width': inner"
    assert isinstance(caught.value.__cause__, KeyError)
    assert caught.value.__suppress_context__ is True and caught.value.__context__ is None
    with pytest.raises(TypeError) as caught:
        ovk.compress([], 1.0, 1, 1, 1)
    assert caught.value.__cause__ is None and caught.value.__suppress_context__ is True
    with pytest.raises(SubTypeError, match="^not wrapped$"):
        ovk.compress([], Subclass(), 1, 1, 1)


def test_unprintable_wrapped_message():
    class Unprintable:
        def __str__(self):
            raise ValueError("no str")

    class Index:
        def __index__(self):
            raise TypeError(Unprintable())

    seen = []
    old, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        with pytest.raises(TypeError) as caught:
            ovk.compress([], Index(), 1, 1, 1)
    finally:
        sys.unraisablehook = old
    assert str(caught.value) == "argument 'width': <unprintable TypeError object>"
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError)
