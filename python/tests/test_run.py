"""zorv.open_run: the run folder as one table, each row the result records of
both channels, their precision and their raw event, joined record by record
and sorted by raw event; its exports; and the folders it refuses. The run
folders are written here, with events.txt in the order workers answer."""

import copy
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import zorv
from conftest import ROOT, SUMMARY
from zorv import files, run as zrun

INI = """infile_path = "raw"
abfile_path = "ab"
waveforms = 600
cal_sessions = -2 -1
sessions = 2 3
"""

# events.txt as worker order left it: raw event of record i on line i.
WORKER_ORDER = ["2 1", "2 0", "3 5", "2 2", "- -", "2 599", "3 0", "- -"]


def result_records(n, channel):
    """Records whose every field tells its channel, record and field."""
    rec = np.zeros(n, dtype=files.RESULT_DTYPE)
    for k, name in enumerate(files.RESULT_FIELDS):
        rec[name] = 1e6 * (channel + 1) + 1000 * np.arange(n) + k + 0.25
    return rec


def precision_records(n, channel):
    rec = np.zeros(n, dtype=files.PRECISION_DTYPE)
    for k, name in enumerate(files.PRECISION_FIELDS):
        rec[name] = -(1e6 * (channel + 1) + 1000 * np.arange(n) + k)
    rec[1] = np.nan  # a record whose precision is not known
    return rec


def make_run(d, lines=WORKER_ORDER, summary=SUMMARY, precision=False):
    d.mkdir(exist_ok=True)
    (d / "zorv_mpi.ini").write_text(INI)
    (d / "events.txt").write_text("".join(line + "\n" for line in lines))
    for c in (0, 1):
        (d / f"ab{c}.bin").write_bytes(result_records(len(lines), c).tobytes())
        if precision:
            (d / f"ab{c}.err.bin").write_bytes(precision_records(len(lines), c).tobytes())
        k = np.arange(files.DECAY_BINS)
        (d / f"decay_hist{c}.txt").write_text("".join(f"{-0.002 + 1e-5 * i:.10f} {i % 7 + c}\n"
                                                      for i in k))
    if summary is not None:
        (d / "zorv_mpi.summary.json").write_text(json.dumps(summary))
    return d


def summary_of(**keys):
    s = copy.deepcopy(SUMMARY)
    s.update(keys)
    return s


def fields_equal(a, b):
    assert a.dtype.names == b.dtype.names
    for name in a.dtype.names:
        np.testing.assert_array_equal(a[name], b[name], err_msg=name)


@pytest.mark.parametrize("lines, summary, rows, phase", [
    # Sorted by session, then record; unknown raw events last, in file order.
    (WORKER_ORDER, SUMMARY, [(2, 0), (2, 1), (2, 2), (2, 599), (3, 0), (3, 5), "- -", "- -"],
     "processing"),
    # Sessions may be negative; the raw events tell the phase of the records
    # when the summary was written before that phase began.
    (["-1 4", "-2 9", "- -", "-1 0", "-2 10"], summary_of(phase="calibration", status="running"),
     [(-2, 9), (-2, 10), (-1, 0), (-1, 4), "- -"], "calibration"),
    (["2 7", "2 3"], summary_of(phase="calibration", status="running", decay_rates=None),
     [(2, 3), (2, 7)], "processing"),
    (["3 1", "2 1"], None, [(2, 1), (3, 1)], "processing"),
    (["- -"], summary_of(phase="calibration", decay_rates=None), ["- -"], "calibration"),
    (["- -"], None, ["- -"], None),
    ([], SUMMARY, [], "processing"),
])
def test_rows_are_the_records_of_their_raw_events(tmp_path, lines, summary, rows, phase):
    run = zorv.open_run(make_run(tmp_path / "run", lines, summary))
    a, b = (result_records(len(lines), c) for c in (0, 1))
    got = [line if line == "- -" else tuple(map(int, line.split())) for line in lines]
    assert [tuple(r) if r[1] >= 0 else "- -" for r in run.events[["session", "record"]].tolist()] == rows
    # Each row holds the records of the line that names its raw event (the
    # unknown ones in the order of their lines).
    unknown = iter(i for i, line in enumerate(got) if line == "- -")
    for row, want in zip(run.events, rows):
        i = next(unknown) if want == "- -" else got.index(want)
        for name in files.RESULT_FIELDS:
            assert (row[f"a_{name}"], row[f"b_{name}"]) == (a[i][name], b[i][name]), (want, name)
    assert run.phase == phase and run.summary == summary and run.settings["waveforms"] == 600
    assert not run.has_precision and not run.partial
    assert run.fields == zrun.event_dtype(False).names and "a_iterations" not in run.fields
    assert run.events["session"].dtype == np.int64


def test_precision_fields_beside_the_records(tmp_path):
    run = zorv.open_run(make_run(tmp_path, precision=True))
    assert run.has_precision
    assert run.fields[20:] == ("a_iterations", "a_amplitude1_err", "a_decay_rate_err", "a_baseline_err",
                               "a_position1_err", "a_width_err", "a_tail_amplitude_err",
                               "a_amplitude2_err", "a_position2_err", "b_iterations",
                               "b_amplitude1_err", "b_decay_rate_err", "b_baseline_err",
                               "b_position1_err", "b_width_err", "b_tail_amplitude_err",
                               "b_amplitude2_err", "b_position2_err")
    for ch, c in (("a", 0), ("b", 1)):
        err = precision_records(len(WORKER_ORDER), c)
        res = result_records(len(WORKER_ORDER), c)
        for row in run.events:
            i = int(np.nonzero(res["ssr"] == row[f"{ch}_ssr"])[0][0])
            for name in files.PRECISION_FIELDS:
                np.testing.assert_equal(row[f"{ch}_{name}"], err[i][name])
    # Line 2 (record 1) names session 2 record 0: its precision is not known.
    assert np.isnan(run.events[0]["a_iterations"]) and run.events[1]["a_iterations"] == -1e6


def test_a_running_run_gives_the_records_all_its_files_hold(tmp_path):
    d = make_run(tmp_path, precision=True, summary=summary_of(status="running"))
    # Each file was written a little further than the next.
    with open(d / "ab0.bin", "ab") as f:
        f.write(result_records(1, 0).tobytes()[:40])
    (d / "ab1.bin").write_bytes((d / "ab1.bin").read_bytes()[:72 * 6])
    with open(d / "events.txt", "a") as f:
        f.write("3 7\n3")
    run = zorv.open_run(d)
    assert run.partial and len(run) == 6
    assert sorted(run.file_index.tolist()) == list(range(6))
    assert run.events[["session", "record"]].tolist() == [(2, 0), (2, 1), (2, 2), (2, 599), (3, 5),
                                                          (-1, -1)]


def spoil(name, how):
    def change(d):
        path = d / name
        if how == "remove":
            path.unlink()
        elif how == "cut":
            path.write_bytes(path.read_bytes()[:-72])
        else:
            with open(path, "a" if name.endswith(".txt") else "ab") as f:
                f.write(how)
    return change


@pytest.mark.parametrize("change, words", [
    (spoil("events.txt", "remove"), "events.txt not found: the run predates it"),
    (lambda d: (d / "events.txt").write_text("2 1\n" * 8), "events.txt: lines 1 and 2 both name "
                                                           "session 2 record 1"),
    (spoil("events.txt", "3 4\n"), "events.txt holds 9 lines, "),
    (spoil("ab1.bin", "cut"), "ab1.bin holds 7 records, "),
    (spoil("ab0.bin", b"\0" * 72), "ab1.bin holds 8 records, "),
    (spoil("ab1.bin", b"\0" * 7), "ab1.bin: 583 bytes is not a whole number of 72-byte records"),
    (spoil("ab0.err.bin", b"\0" * 72), "ab0.err.bin holds 9 records, "),
    (spoil("ab1.err.bin", "remove"), "ab1.err.bin not found, though ab0.err.bin is"),
    (spoil("ab0.bin", "remove"), "ab0.bin not found"),
    (spoil("zorv_mpi.ini", "remove"), "zorv_mpi.ini not found"),
    (lambda d: (d / "events.txt").write_text("2 1\n" * 7 + "4 0\n"),
     "events.txt: line 8 names session 4 record 0, not an event of the processing phase (sessions 2 "
     "to 3 in zorv_mpi.ini)"),
    (lambda d: (d / "events.txt").write_text("- -\n" * 7 + "2 600\n"),
     "events.txt: line 8 names session 2 record 600, not an event of the processing phase"),
])
def test_files_that_do_not_agree_are_refused_in_one_line(tmp_path, change, words):
    d = make_run(tmp_path, precision=True)
    change(d)
    with pytest.raises(ValueError) as e:
        zorv.open_run(d)
    assert words in str(e.value) and "\n" not in str(e.value)


def test_not_a_run_folder(tmp_path):
    with pytest.raises(zorv.RunError, match="is not a folder: open_run takes the folder zorv_mpi"):
        zorv.open_run(tmp_path / "nothing")


def test_exports_read_back(tmp_path):
    h5py = pytest.importorskip("h5py")
    pytest.importorskip("pandas")
    run = zorv.open_run(make_run(tmp_path / "run", precision=True))

    run.to_csv(tmp_path / "events.csv")
    back = np.genfromtxt(tmp_path / "events.csv", delimiter=",", names=True, dtype=None)
    fields_equal(back, run.events)

    run.to_hdf5(tmp_path / "events.h5")
    with h5py.File(tmp_path / "events.h5", "r") as f:
        fields_equal(f["events"][()], run.events)
        assert json.loads(f.attrs["summary"]) == SUMMARY
        assert json.loads(f.attrs["settings"]) == files.read_config(tmp_path / "run" / "zorv_mpi.ini")
        assert f.attrs["phase"] == "processing"
        for c in (0, 1):
            fields_equal(f[f"decay_hist{c}"][()],
                         files.read_decay_hist(tmp_path / "run" / f"decay_hist{c}.txt"))

    frame = run.to_pandas()
    assert tuple(frame.columns) == run.fields
    fields_equal(frame.to_records(index=False), run.events)


@pytest.mark.parametrize("module, method, words", [
    ("pandas", lambda run, d: run.to_pandas(), zrun.PANDAS_NEEDED),
    ("h5py", lambda run, d: run.to_hdf5(d / "x.h5"), zrun.H5PY_NEEDED),
])
def test_without_the_optional_module_one_line_says_what_to_install(tmp_path, monkeypatch, module,
                                                                   method, words):
    run = zorv.open_run(make_run(tmp_path / "run"))
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError) as e:
        method(run, tmp_path)
    assert str(e.value) == words and "pip install 'zorv[" in words
    assert list(tmp_path.iterdir()) == [tmp_path / "run"]


def zorv_command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "zorv", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=str(ROOT / "python")))


@pytest.mark.parametrize("out, status, words", [
    ("events.csv", 0, "events.csv: 8 events of the processing phase, 38 fields"),
    ("events.h5", 0, "events.h5: 8 events of the processing phase, 38 fields"),
    ("events.txt", 2, "Error: events.txt: the export writes .h5, .hdf5 or .csv files, not .txt"),
    ("events", 2, "Error: events: the export writes .h5, .hdf5 or .csv files, not a file without an "
                  "extension"),
    ("no/such/folder/events.csv", 1, "Error: no/such/folder/events.csv: No such file or directory"),
])
def test_export_command(tmp_path, out, status, words):
    if out.endswith(".h5"):
        pytest.importorskip("h5py")
    make_run(tmp_path / "run", precision=True)
    done = zorv_command("export", "run", out, cwd=tmp_path)
    assert done.returncode == status, done.stderr
    assert (done.stdout + done.stderr).splitlines() == [words]
    written = sorted(p.name for p in tmp_path.iterdir())
    assert written == sorted(["run"] + ([out] if status == 0 else []))


def test_help_lists_the_commands(tmp_path):
    done = zorv_command("--help", cwd=tmp_path)
    assert done.returncode == 0
    commands = done.stdout.split("Commands:")[1].split("Options:")[0]
    assert [line.split()[0] for line in commands.splitlines() if line.startswith("  ")
            and not line.startswith("   ")] == ["report", "show", "export"]
