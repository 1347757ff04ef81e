"""Argument binding and conversion: messages, exception types and wrapping."""
import sys

import pytest
from hypothesis import given, strategies as st

import ovk

E = ovk.Event
OUT_OF_RANGE = "out of range integral type conversion attempted"


def message(exc_type, call, *args, **kwargs):
    with pytest.raises(exc_type) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is exc_type
    return str(caught.value)


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, "compress() missing 5 required positional arguments: "
             "'events', 'width', 'height', 'time_bins', and 'max_depth'"),
    (([], 1, 2), {}, "compress() missing 2 required positional arguments: "
                     "'time_bins' and 'max_depth'"),
    (([], 1, 2, 3), {}, "compress() missing 1 required positional argument: 'max_depth'"),
    (([], 1, 2), {"max_depth": 4}, "compress() missing 1 required positional argument: "
                                   "'time_bins'"),
    (([], 1, 2, 3, 4, 5), {}, "compress() takes 5 positional arguments but 6 were given"),
    (([], 64, 64, 8, 4), {"width": 64}, "compress() got multiple values for argument 'width'"),
    (([], 64, 64, 8, 4), {"depth": 4}, "compress() got an unexpected keyword argument 'depth'"),
    (([], 1, 2, 3, 4, 5, 6), {"nope": 1}, "compress() takes 5 positional arguments but 7 were "
                                          "given"),
])
def test_binder_messages_compress(args, kwargs, expected):
    assert message(TypeError, ovk.compress, *args, **kwargs) == expected


def test_binder_messages_other_functions():
    assert message(TypeError, ovk.load_csv) == \
        "load_csv() missing 1 required positional argument: 'path'"
    assert message(TypeError, ovk.load_csv, "a", "b") == \
        "load_csv() takes 1 positional arguments but 2 were given"
    assert message(TypeError, ovk.event_stats, [], []) == \
        "event_stats() takes 1 positional arguments but 2 were given"
    assert message(TypeError, ovk.load_events, path="a.csv", other=1) == \
        "load_events() got an unexpected keyword argument 'other'"
    assert message(TypeError, ovk.compress_sequence, [], 1, 1, 1, 1) == \
        "compress_sequence() missing 1 required positional argument: 'n_frames'"
    # The first failure ends binding: the unknown keyword comes first here.
    assert message(TypeError, ovk.compress, [], 1, 1, 1, 1, bad=1, width=2) == \
        "compress() got an unexpected keyword argument 'bad'"
    # A keyword that is not valid UTF-8 is unexpected and shown as str() gives it.
    assert message(TypeError, ovk.compress, **{"\ud800": 1}) == \
        "compress() got an unexpected keyword argument '\ud800'"


def test_binder_messages_event_constructor():
    assert message(TypeError, E, 1, 2, 3, 4, 5) == \
        "Event.__new__() takes 4 positional arguments but 5 were given"
    assert message(TypeError, E) == \
        "Event.__new__() missing 4 required positional arguments: 'x', 'y', 't', and 'p'"
    assert message(TypeError, E, 1, 2) == \
        "Event.__new__() missing 2 required positional arguments: 't' and 'p'"
    assert message(TypeError, E, 1, x=1, y=2, t=3, p=4) == \
        "Event.__new__() got multiple values for argument 'x'"
    assert message(TypeError, E, 1, 2, 3, 4, q=5) == \
        "Event.__new__() got an unexpected keyword argument 'q'"


def test_integer_conversion_errors():
    for width in (70000, -1, 65536):
        assert message(OverflowError, ovk.compress, [], width, 64, 8, 4) == OUT_OF_RANGE
    assert message(OverflowError, ovk.compress, [], 1, 1, 1, 256) == OUT_OF_RANGE
    # Beyond the signed 64-bit range the interpreter's own OverflowError stands.
    assert message(OverflowError, ovk.compress, [], 2**64, 1, 1, 1) == \
        "Python int too large to convert to C long"
    assert message(TypeError, ovk.compress, [], 64.0, 64, 8, 4) == \
        "argument 'width': 'float' object cannot be interpreted as an integer"
    assert message(TypeError, ovk.compress, [], 1, 1, "8", 4) == \
        "argument 'time_bins': 'str' object cannot be interpreted as an integer"
    assert message(TypeError, ovk.compress_sequence, [], 1, 1, 1, 1, 2.0) == \
        "argument 'n_frames': 'float' object cannot be interpreted as an integer"
    assert message(OverflowError, ovk.compress_sequence, [], 1, 1, 1, 1, -1) == \
        "can't convert negative int to unsigned"
    assert message(OverflowError, ovk.compress_sequence, [], 1, 1, 1, 1, 2**64) == \
        "int too big to convert"


def test_integer_conversion_accepts_bool_and_index():
    class Index:
        def __index__(self):
            return 3

    frames, result = ovk.compress_sequence([E(0, 0, 0, 0)], True, Index(), 1, 1, Index())
    assert len(frames) == 3 and result.n_events == 1
    assert ovk.compress([], True, 1, 1, 0)[0] == ovk.compress([], 1, 1, 1, 0)[0]


@given(st.integers(min_value=-2**70, max_value=2**70))
def test_u16_range_property(value):
    if 0 <= value < 2**16:
        assert E(value, 0, 0, 0).x == value
    else:
        with pytest.raises(OverflowError):
            E(value, 0, 0, 0)


def test_wrapping_keeps_cause_and_suppresses_context():
    class WithCause:
        def __index__(self):
            raise TypeError("inner") from KeyError("k")

    class Subclass:
        def __index__(self):
            raise SubTypeError("not wrapped")

    class SubTypeError(TypeError):
        pass

    with pytest.raises(TypeError) as caught:
        ovk.compress([], WithCause(), 1, 1, 1)
    assert str(caught.value) == "argument 'width': inner"
    assert isinstance(caught.value.__cause__, KeyError)
    assert caught.value.__suppress_context__ is True
    assert caught.value.__context__ is None

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
        assert message(TypeError, ovk.compress, [], Index(), 1, 1, 1) == \
            "argument 'width': <unprintable TypeError object>"
    finally:
        sys.unraisablehook = old
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError)


def test_events_conversion_errors(evs):
    call = ovk.compress
    assert message(TypeError, call, "abc", 64, 64, 8, 4) == \
        "argument 'events': Can't extract `str` to `Vec`"
    assert message(TypeError, call, 5, 64, 64, 8, 4) == \
        "argument 'events': 'int' object cannot be converted to 'Sequence'"
    assert message(TypeError, call, [evs[0], 5], 64, 64, 8, 4) == \
        "argument 'events': 'int' object cannot be converted to 'Event'"
    assert message(TypeError, call, (e for e in evs), 64, 64, 8, 4) == \
        "argument 'events': 'generator' object cannot be converted to 'Sequence'"
    assert message(TypeError, call, b"ab", 64, 64, 8, 4) == \
        "argument 'events': 'int' object cannot be converted to 'Event'"
    for refused in (set(evs), {1: evs[0]}, iter(evs)):
        assert "cannot be converted to 'Sequence'" in message(TypeError, call, refused, 1, 1, 1, 1)
    assert call(tuple(evs), 4, 1, 2, 2)[0] == call(evs, 4, 1, 2, 2)[0]
    # The first failing argument in parameter order is the one reported.
    assert message(TypeError, call, 5, 70000, 1.0, 1, 1).startswith("argument 'events'")
    assert message(OverflowError, call, evs, 70000, 1.0, 1, 1) == OUT_OF_RANGE


def test_qualified_name_in_conversion_message():
    class Outer:
        class Inner:
            pass

    assert message(TypeError, ovk.event_stats, [Outer.Inner()]) == (
        "argument 'events': 'test_qualified_name_in_conversion_message.<locals>.Outer.Inner'"
        " object cannot be converted to 'Event'")


def test_errors_raised_while_iterating_pass_through(evs):
    class Failing:
        def __len__(self):
            return 2

        def __getitem__(self, index):
            raise RuntimeError("iteration failed")

    assert message(RuntimeError, ovk.event_stats, Failing()) == "iteration failed"


def test_text_conversion(tmp_path):
    assert message(TypeError, ovk.load_events, b"x.csv") == \
        "argument 'path': 'bytes' object cannot be converted to 'PyString'"
    assert message(TypeError, ovk.load_csv, tmp_path) == (
        f"argument 'path': '{type(tmp_path).__name__}' object cannot be converted to 'PyString'")
    with pytest.raises(UnicodeEncodeError):
        ovk.load_csv("\ud800.csv")

    class Text(str):
        pass

    path = tmp_path / "s.csv"
    path.write_text("5,6,7,8\n")
    assert repr(ovk.load_csv(Text(path))) == "[Event(x=5, y=6, t=7, p=8)]"
