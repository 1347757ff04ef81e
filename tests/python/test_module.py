"""Import, module attributes, the function table and the fault class."""
import importlib
import sys

import pytest

import ovk
from conftest import run_python

SIGNATURES = {
    "compress": "(events, width, height, time_bins, max_depth)",
    "compress_sequence": "(events, width, height, time_bins, max_depth, n_frames)",
    "load_nmnist": "(path)",
    "load_aedat2": "(path)",
    "load_csv": "(path)",
    "load_events": "(path)",
    "event_stats": "(events)",
}


def test_all_and_doc():
    assert ovk.__all__ == ["Event", "CompressionResult", "compress", "compress_sequence",
                           "load_nmnist", "load_aedat2", "load_csv", "load_events",
                           "event_stats"]
    assert ovk.__doc__ == ""
    assert not hasattr(ovk, "InternalFault")


@pytest.mark.parametrize("name", SIGNATURES)
def test_function_attributes(name):
    function = getattr(ovk, name)
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__doc__ is None
    assert function.__module__ == "ovk"
    assert function.__self__ is ovk
    assert function.__name__ == function.__qualname__ == name


def test_reimport_gives_the_same_module():
    event, compress = ovk.Event, ovk.compress
    del sys.modules["ovk"]
    try:
        again = importlib.import_module("ovk")
    finally:
        sys.modules["ovk"] = ovk
    assert again is ovk
    assert again.Event is event and again.compress is compress


def test_every_function_takes_keywords(tmp_path, evs):
    path = tmp_path / "a.csv"
    path.write_text("1,2,3,4\n")
    assert repr(ovk.load_csv(path=str(path))) == repr(ovk.load_csv(str(path)))
    kw = dict(width=4, height=1, time_bins=2, max_depth=2)
    assert ovk.compress(events=evs, **kw)[0] == ovk.compress(evs, 4, 1, 2, 2)[0]
    assert ovk.compress_sequence(events=evs, n_frames=1, **kw)[0] == [ovk.compress(evs, **kw)[0]]
    assert ovk.event_stats(events=evs)["count"] == 2


def test_subinterpreter_import_is_refused():
    result = run_python("""
        import _xxsubinterpreters as interpreters
        import ovk
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import ovk")
        except interpreters.RunFailedError as error:
            print("refused:", error)
        finally:
            interpreters.destroy(interp)
        print(ovk.compress([ovk.Event(1, 0, 0, 0)], 4, 1, 2, 2)[0].hex())
    """)
    assert result.returncode == 0, result.stderr
    refused, works = result.stdout.splitlines()
    assert "ImportError" in refused and "do not yet support subinterpreters" in refused
    assert works == ovk.compress([ovk.Event(1, 0, 0, 0)], 4, 1, 2, 2)[0].hex()


def test_internal_fault_class(internal_fault):
    assert internal_fault.__mro__ == (internal_fault, BaseException, object)
    assert internal_fault.__module__ == "ovk"
    assert "BaseException" in internal_fault.__doc__


def test_internal_fault_from_python_code_resumes_as_fault(internal_fault, capfd):
    class Index:
        def __index__(self):
            raise internal_fault("boom")

    with pytest.raises(internal_fault) as caught:
        ovk.compress([], Index(), 1, 1, 1)
    assert str(caught.value) == "boom"
    err = capfd.readouterr().err
    assert "resuming" in err and "Traceback" in err and "boom" in err
