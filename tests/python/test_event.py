"""The Event class: construction, ranges, attributes, repr and class properties."""
import pytest
from hypothesis import given, strategies as st

import ovk

E = ovk.Event
OUT_OF_RANGE = "out of range integral type conversion attempted"


def test_class_properties():
    assert E.__module__ == "builtins"
    assert E.__name__ == E.__qualname__ == "Event"
    assert repr(E) == "<class 'builtins.Event'>"
    assert E.__text_signature__ == "(x, y, t, p)"
    assert E.__mro__ == (E, object)
    with pytest.raises(TypeError):
        type("Sub", (E,), {})
    e = E(1, 2, 3, 4)
    assert not hasattr(e, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(e)
    with pytest.raises(AttributeError):
        e.foo = 1


def test_ranges():
    assert repr(E(0, 0, 0, 0)) == "Event(x=0, y=0, t=0, p=0)"
    top = E(65535, 65535, 4294967295, 255)
    assert (top.x, top.y, top.t, top.p) == (65535, 65535, 4294967295, 255)
    for args in ((65536, 0, 0, 0), (0, 65536, 0, 0), (0, 0, -1, 0), (0, 0, 2**32, 0),
                 (0, 0, 0, 256), (-1, 0, 0, 0)):
        with pytest.raises(OverflowError) as caught:
            E(*args)
        assert str(caught.value) == OUT_OF_RANGE


def test_keywords_bool_and_identity():
    a, b = E(x=1, y=2, t=3, p=1), E(1, 2, 3, 1)
    assert (a.x, a.y, a.t, a.p) == (b.x, b.y, b.t, b.p)
    assert a != b and hash(a) != hash(b)
    p = E(1, 2, 3, True).p
    assert p == 1 and type(p) is int
    with pytest.raises(TypeError) as caught:
        E(1, 2, 3, 1.0)
    assert str(caught.value) == "argument 'p': 'float' object cannot be interpreted as an integer"


def test_setters():
    e = E(1, 2, 3, 4)
    e.x, e.y, e.t, e.p = 10, 20, 30, 0
    assert repr(e) == str(e) == "Event(x=10, y=20, t=30, p=0)"
    with pytest.raises(OverflowError) as caught:
        e.t = 2**32
    assert str(caught.value) == OUT_OF_RANGE
    with pytest.raises(TypeError) as caught:
        e.y = "7"
    assert str(caught.value) == "argument 'y': 'str' object cannot be interpreted as an integer"
    assert repr(e) == "Event(x=10, y=20, t=30, p=0)"  # unchanged by the failed writes
    for field in "xytp":
        with pytest.raises(AttributeError) as caught:
            delattr(e, field)
        assert str(caught.value) == "can't delete attribute"


@given(st.integers(-2**65, 2**65), st.integers(0, 65535), st.integers(0, 2**32 - 1),
       st.integers(0, 255))
def test_fields_and_repr_round_trip(x, y, t, p):
    if not 0 <= x < 2**16:
        with pytest.raises(OverflowError):
            E(x, y, t, p)
        return
    e = E(x, y, t, p)
    assert (e.x, e.y, e.t, e.p) == (x, y, t, p)
    assert repr(e) == f"Event(x={x}, y={y}, t={t}, p={p})"


def test_events_argument_is_a_snapshot(evs):
    expected = ovk.compress(evs, 4, 1, 2, 2)[0]

    class MutatesWhileIterated:
        def __len__(self):
            return len(evs)

        def __getitem__(self, index):
            if index == 1:
                evs[0].x = 2  # already copied: must not affect the result
            return evs[index]

    assert ovk.compress(MutatesWhileIterated(), 4, 1, 2, 2)[0] == expected
    assert evs[0].x == 2
