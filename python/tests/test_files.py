"""The readers on files of known bytes."""

import copy
import json
import re
import struct

import numpy as np
import pytest

from conftest import SUMMARY
from zorv import files


def test_result_file_fields_by_name(tmp_path):
    rows = [(6.4e6, 15330.5, -0.0015, -28000.25, 1250.75, 3.5, 4000.0, 0.0, 1500.0),
            (1.0, -2.0, 3.0, -4.0, 5.0, -6.0, 7.0, -8.0, 9.5)]
    path = tmp_path / "ab0.bin"
    path.write_bytes(b"".join(struct.pack("<9d", *r) for r in rows))
    rec = files.read_results(path)
    assert rec.dtype.names == ("ssr", "amplitude1", "decay_rate", "baseline", "position1", "width",
                               "tail_amplitude", "amplitude2", "position2")
    assert rec["amplitude1"].tolist() == [15330.5, -2.0]
    assert rec["position2"].tolist() == [1500.0, 9.5]
    assert rec[1].tolist() == rows[1]
    assert files.parameters(rec)[0].tolist() == list(rows[0][1:])


@pytest.mark.parametrize("size", [1, 71, 73, 145])
def test_result_file_of_partial_records_refused(tmp_path, size):
    path = tmp_path / "ab1.bin"
    path.write_bytes(b"\0" * size)
    with pytest.raises(ValueError, match="not a whole number of 72-byte records"):
        files.read_results(path)


def test_empty_result_file(tmp_path):
    (tmp_path / "ab0.bin").write_bytes(b"")
    assert len(files.read_results(tmp_path / "ab0.bin")) == 0


def test_decay_list_and_histogram(tmp_path):
    (tmp_path / "decay0.txt").write_text("-0.500000000000\n-0.001499870000\n")
    assert files.read_decay_list(tmp_path / "decay0.txt").tolist() == [-0.5, -0.00149987]
    (tmp_path / "decay1.txt").write_text("-0.001500000000\n")
    assert files.read_decay_list(tmp_path / "decay1.txt").shape == (1,)
    lines = "".join("%.10f %d\n" % (-0.0015 + k * 1e-8, k % 7) for k in range(250))
    (tmp_path / "decay_hist0.txt").write_text(lines)
    h = files.read_decay_hist(tmp_path / "decay_hist0.txt")
    assert len(h) == 250
    assert h["centre"][3] == pytest.approx(-0.00149997, abs=1e-12)
    assert h["count"][:8].tolist() == [0, 1, 2, 3, 4, 5, 6, 0]


def test_raw_file_layout(tmp_path):
    # Header of 12 bytes, 3 records, then 5 stray bytes of a record cut short.
    samples = np.zeros((3, 2500, 2), dtype="<i2")
    samples[1, 7, 0] = -1000
    samples[1, 7, 1] = 1000
    samples[2, 2499, 1] = -32768
    samples[0, 0, 0] = 32767
    body = samples.tobytes()
    assert body[10000 + 28:10000 + 32] == bytes([0x18, 0xFC, 0xE8, 0x03])
    path = tmp_path / "run.1"
    path.write_bytes(b"H" * 12 + body + b"\1" * 5)
    raw = files.open_raw(path, data_offset=12)
    assert raw.shape == (3, 2500, 2) and raw.dtype == np.int16
    assert raw[1, 7].tolist() == [-1000, 1000]
    assert raw[2, 2499, 1] == -32768 and raw[0, 0, 0] == 32767
    assert files.open_raw(path, data_offset=12, records=2).shape == (2, 2500, 2)
    assert files.open_raw(path, data_offset=12, records=9).shape == (3, 2500, 2)
    # Without a header the records start at byte 0.
    plain = tmp_path / "run.2"
    plain.write_bytes(body)
    assert files.open_raw(plain)[1, 7, 0] == -1000
    assert files.open_raw(plain, data_offset=10000).shape == (2, 2500, 2)


def test_config_as_dict(tmp_path):
    (tmp_path / "zorv_mpi.ini").write_text(
        "# = a comment: anything = at all\n"
        'infile_path = "synth"          raw files synth.1, synth.2\n'
        'abfile_path = "my ab"\n'
        "waveforms = 10000              event records per raw file\n"
        "hist_overflow = 0.05\n"
        "sessions = 2 2                 processing phase\n"
        "decay_est = -0.0015 -1.5e-3    start values\n"
        "resume = 1\n"
        "checkpoint_interval = 30.5     seconds\n"
        "data_offset =\n"
        "   12   the number stands on the next line\n"
        "waveforms = 500\n")
    cfg = files.read_config(tmp_path / "zorv_mpi.ini")
    assert cfg == {"infile_path": "synth", "abfile_path": "my ab", "waveforms": 500,
                   "hist_overflow": 0.05, "sessions": [2, 2], "decay_est": [-0.0015, -0.0015],
                   "resume": 1, "checkpoint_interval": 30.5, "data_offset": 12}
    entries = files.read_config_entries(tmp_path / "zorv_mpi.ini")
    assert entries[0] == ("#", "a comment: anything = at all", "")
    assert entries[2][2] == ""
    assert entries[3] == ("waveforms", 10000, "event records per raw file")


def test_config_without_equals_sign_refused(tmp_path):
    (tmp_path / "zorv_mpi.ini").write_text("waveforms 100\n")
    with pytest.raises(ValueError, match="line 1"):
        files.read_config(tmp_path / "zorv_mpi.ini")


def test_events_list(tmp_path):
    path = tmp_path / "events.txt"
    # As zorv_mpi writes it, with the placeholder of a record whose event is not known.
    path.write_text("2 0\n3 599\n- -\n12 7\n")
    ev = files.read_events(path)
    assert ev.dtype.names == ("session", "record") and ev.dtype["session"] == np.int64
    assert ev.tolist() == [(2, 0), (3, 599), (-1, -1), (12, 7)]
    # Other spacing is read too, line by line.
    path.write_text("2  0\n- \t-\n")
    assert files.read_events(path).tolist() == [(2, 0), (-1, -1)]
    path.write_text("")
    assert len(files.read_events(path)) == 0
    # Session numbers may be negative (sessions = -1 -1 reads "<infile_path>.-1"):
    # session -1 is a raw event, the placeholder is told by its record.
    for text in ("-1 0\n- -\n-12 7\n", "-1  0\n- -\n-12 7\n"):
        path.write_text(text)
        ev = files.read_events(path)
        assert ev.tolist() == [(-1, 0), (-1, -1), (-12, 7)], text
        assert files.unknown_events(ev).tolist() == [False, True, False]


@pytest.mark.parametrize("text, words", [
    ("2 0\n3 1", "the last line has no line end"),
    ("2 0\n3\n", "line 2: expected \"<session> <record>\" (two whole numbers, the record 0 or more) "
                 "or \"- -\", got '3'"),
    ("-1 -1\n", "line 1: expected"),
    ("--1 0\n", "line 1: expected"),
    ("- 0\n", "line 1: expected"),
    ("-\u0663 0\n", "line 1: expected"),
    ("2 0\n3 1 4\n", "line 2: expected"),
    ("2 -1\n", "line 1: expected"),
    ("- 5\n", "line 1: expected"),
    ("2 0x10\n", "line 1: expected"),
    ("2 1234567890123456789\n", "line 1: expected"),
])
def test_damaged_events_list_refused(tmp_path, text, words):
    (tmp_path / "events.txt").write_text(text)
    with pytest.raises(ValueError, match=re.escape(words)):
        files.read_events(tmp_path / "events.txt")


def test_run_summary(tmp_path):
    path = tmp_path / "zorv_mpi.summary.json"
    path.write_text(json.dumps(SUMMARY, indent=2))
    s = files.read_summary(path)
    assert s == SUMMARY
    assert s["phases"]["processing"]["outcomes"][1]["no_peak"] == 160


def spoil(change):
    s = copy.deepcopy(SUMMARY)
    change(s)
    return json.dumps(s)


@pytest.mark.parametrize("text, words", [
    ('{\n  "status": "finished",\n  "version": "v1', "line 3: not a run summary"),
    (json.dumps(SUMMARY).replace("12.5", "NaN", 1), "(NaN is not a JSON number)"),
    ("[1, 2]", "the summary is [1, 2]: expected an object"),
    (spoil(lambda s: s.update(status="paused")),
     'status is "paused": expected running or finished or stopped or error'),
    (spoil(lambda s: s["phases"]["processing"].pop("outcomes")), "no phases.processing.outcomes"),
    (spoil(lambda s: s["phases"]["calibration"]["outcomes"][1].update(no_peak=-1)),
     "phases.calibration.outcomes[1].no_peak is -1: expected a whole number"),
    (spoil(lambda s: s["phases"]["calibration"]["outcomes"][0].update(no_peak=11)),
     "phases.calibration.outcomes[0] is"),
    (spoil(lambda s: s["phases"]["processing"].update(good=[1010, 1005, 3])),
     "phases.processing.good is [1010, 1005, 3]: expected two whole numbers"),
    (spoil(lambda s: s["phases"]["processing"].update(both_good=1006)),
     "phases.processing.good is [1010, 1005]: expected no more than the results (1200) and no "
     "fewer than both_good (1006)"),
    (spoil(lambda s: s.update(decay_rates=None)),
     "decay_rates is null: expected the calibrated decay rates in the processing phase"),
    (spoil(lambda s: s.update(hosts=["n1"])), "hosts is [\"n1\"]: expected a host name for each of the 3 "
                                              "ranks"),
    (spoil(lambda s: s.update(events_lost=0)), "events_lost is 0: expected true or false"),
    ("[" * 100000 + "]" * 100000, "not a run summary (nested too deeply)"),
    (json.dumps(SUMMARY).replace('"hosts": [', '"hosts": [' + "[" * 5000 + "]" * 5000 + ", "),
     "not a run summary (nested too deeply)"),
])
def test_damaged_run_summary_refused(tmp_path, text, words):
    (tmp_path / "zorv_mpi.summary.json").write_text(text)
    with pytest.raises(ValueError, match=re.escape(words)):
        files.read_summary(tmp_path / "zorv_mpi.summary.json")
