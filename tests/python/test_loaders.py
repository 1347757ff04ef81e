"""The load functions: results, the OSError mapping and real recordings."""
import errno
import os
import struct

import pytest

import ovk
from conftest import REAL_DATA


def os_error(call, *args):
    with pytest.raises(OSError) as caught:
        call(*args)
    assert type(caught.value) is OSError
    assert caught.value.args == (str(caught.value),)
    assert caught.value.errno is None and caught.value.filename is None
    return str(caught.value)


@pytest.mark.parametrize("load", [ovk.load_nmnist, ovk.load_aedat2, ovk.load_csv,
                                  ovk.load_events])
def test_missing_file_is_plain_oserror(load, tmp_path):
    path = str(tmp_path / "missing.csv")
    expected = f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"
    assert os_error(load, path) == expected
    try:
        load(path)
    except FileNotFoundError:  # pragma: no cover - must not match
        pytest.fail("a FileNotFoundError handler caught the loader error")
    except OSError:
        pass
    nul_path = str(tmp_path / "missing\0x.csv")
    assert os_error(load, nul_path) == "file name contained an unexpected NUL byte"


def test_load_events_dispatch(tmp_path):
    compact = tmp_path / "c.bin"
    compact.write_bytes(struct.pack("<HHIB", 1, 2, 3, 4) + struct.pack("<HHIB", 5, 6, 7, 1))
    assert repr(ovk.load_events(str(compact))) == \
        "[Event(x=1, y=2, t=3, p=4), Event(x=5, y=6, t=7, p=1)]"
    nmnist = tmp_path / "n.bin"
    nmnist.write_bytes(bytes(10))
    assert len(ovk.load_events(str(nmnist))) == 2
    bad = tmp_path / "bad.bin"
    bad.write_bytes(bytes(7))
    assert os_error(ovk.load_events, str(bad)) == "N-MNIST file size 7 is not a multiple of 5"
    empty = tmp_path / "empty.evb"
    empty.write_bytes(b"")
    assert ovk.load_events(str(empty)) == []
    for name in ("missing.BIN", "nothing", 'q"uote\t.xyz'):
        path = str(tmp_path / name)
        quoted = path.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t")
        assert os_error(ovk.load_events, path) == \
            f'Unknown file extension: "{quoted}". Supported: .bin, .evb, .aedat, .csv, .txt'


def test_loaded_events_are_new_objects(tmp_path):
    path = tmp_path / "same.bin"  # read as text whatever the extension
    path.write_text("# x y t p\n7 8 9 1\n7 8 9 1\n")
    events = ovk.load_csv(str(path))
    assert repr(events) == "[Event(x=7, y=8, t=9, p=1), Event(x=7, y=8, t=9, p=1)]"
    assert events[0] is not events[1] and type(events[0]) is ovk.Event
    assert os_error(ovk.load_csv, str(path.with_name("x"))).endswith(")")
    path.write_text("1,2,x,4\n")
    assert os_error(ovk.load_csv, str(path)) == "invalid digit found in string"


@pytest.mark.skipif(not REAL_DATA.is_dir(), reason="real recordings not available")
def test_real_recordings_smoke():
    loaded = {
        "nmnist": ovk.load_nmnist(str(REAL_DATA / "nmnist" / "1.bs2")),
        "aedat2": ovk.load_aedat2(str(REAL_DATA / "aedat2" / "mnist_0_scale04_0001.aedat")),
    }
    # The CSV samples put polarity before the timestamp, so the timestamp lands
    # in the 8-bit polarity column; the bias listing has no data lines.
    assert os_error(ovk.load_events, str(REAL_DATA / "csv" / "slow.csv")) == \
        "number too large to fit in target type"
    assert ovk.load_csv(str(REAL_DATA / "csv" / "EvCamBiases.txt")) == []
    assert len(loaded["nmnist"]) == 4681
    for events in loaded.values():
        stats = ovk.event_stats(events)
        assert stats["count"] == len(events) > 0
        width, height = stats["x_range"][1] + 1, stats["y_range"][1] + 1
        bitstream, result = ovk.compress(events, width, height, 16, 8)
        assert result.n_events == len(events) and len(bitstream) == result.bitstream_bytes
        frames, sequence = ovk.compress_sequence(events, width, height, 4, 8, 5)
        assert len(frames) == 5 and sequence.n_events == len(events)
