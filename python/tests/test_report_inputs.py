"""The report on damaged input and bad command lines: one "Error: " line and
status 1 (2 for the command line), never a traceback, never a hang. The run
folder is made here without zorv_mpi: result files, decay histograms,
checkpoint, log, settings and kernel of a finished run, no raw files."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import ROOT
from zorv import files

RECORDS = 1000  # 72,000 bytes per result file

INI = """# = A run folder made by the report's input tests.
infile_path = "zorv"
abfile_path = "ab"
waveforms = 600
data_offset = 16
hist_overflow = 0.05
refresh_interval = 1
cal_sessions = 1 1
sessions = 2 2
decay_est = -0.0015 -0.0015
bcg_est = -27000 -27000
"""

CHECKPOINT = """zorv_mpi checkpoint 1
state finished
phase processing
next_event 600
pending 0
counters 600 590 585 580
run_error 0
calibrated -0.0015001 -0.0014999
outputs 72000 16000 72000 16000
fingerprint waveforms 600
end
"""

LOG = ("zorv_mpi: two-channel pulse analysis\nMon Dec  7 10:06:20 2026\nWindow length = 101\n"
       "Window length = 101\nStarting calibration\nProcessing...\n"
       "Good waveforms: 98.33% 97.50%, All 96.67%\nMon Dec  7 10:07:11 2026\n")


def make_run(d):
    rng = np.random.default_rng(7)
    for c in (0, 1):
        rec = np.zeros(RECORDS, dtype=files.RESULT_DTYPE)
        rec["ssr"] = 2500 * 50.0 ** 2 * (1 + 0.05 * rng.normal(size=RECORDS))
        line = np.where(rng.uniform(size=RECORDS) < 0.5, 15330.0, 38236.0)
        rec["amplitude1"] = line * (1 + 0.003 * rng.normal(size=RECORDS))
        rec["decay_rate"] = -0.0015
        rec["baseline"] = -28000 + 150 * rng.normal(size=RECORDS)
        rec["position1"] = 1250 + 40 * rng.normal(size=RECORDS)
        rec["width"] = rng.uniform(1, 5, RECORDS)
        rec["tail_amplitude"] = rng.uniform(0, 3000, RECORDS)
        rec["position2"] = 1500.0
        (d / f"ab{c}.bin").write_bytes(rec.tobytes())
        k = np.arange(250)
        counts = np.rint(200 * np.exp(-0.5 * ((k - 125) / 20.0) ** 2)).astype(int)
        (d / f"decay_hist{c}.txt").write_text(
            "".join("%.10f %d\n" % (-0.0016 + i * 8e-7, n) for i, n in zip(k, counts)))
    (d / "zorv_mpi.ini").write_text(INI)
    (d / "zorv_mpi.checkpoint").write_text(CHECKPOINT)
    (d / "zorv_mpi.log").write_text(LOG)
    shutil.copy(ROOT / "examples" / "win.txt", d / "win.txt")


def write(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode())


def append(path, data):
    with open(path, "ab") as f:
        f.write(data)


def replace_with_folder(path):
    path.unlink()
    path.mkdir()


def replace_with_fifo(path):
    path.unlink()
    os.mkfifo(path)


def cut_mid_line(path):
    text = path.read_text()
    path.write_text(text[:text.index("\n", len(text) // 2) - 3])


def nan_in_record(path):
    rec = np.fromfile(path, dtype=files.RESULT_DTYPE)
    rec["width"][7] = np.nan
    path.write_bytes(rec.tobytes())


def read_only(d):
    """Makes the run folder read-only; returns the command prefix that
    shows it so. Root writes into a folder without write permission, so as
    root the report runs in a private mount namespace where the folder is a
    read-only bind mount of itself."""
    if os.geteuid() != 0:
        d.chmod(0o555)
        return []
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("root without a private mount namespace cannot make a read-only folder")
    return ["unshare", "-m", "sh", "-c",
            'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" "$0" && exec "$@"', str(d)]


# (damage done to the run folder d, words the error line must hold)
DAMAGED = {
    "decay histogram cut mid-line": (lambda d: cut_mid_line(d / "decay_hist0.txt"),
                                     "decay_hist0.txt: the last line has no line end"),
    "decay histogram empty": (lambda d: write(d / "decay_hist1.txt", ""),
                              "decay_hist1.txt: empty"),
    "decay histogram short": (lambda d: write(d / "decay_hist1.txt", "-0.0015 3\n" * 249),
                              "holds 249 bins, zorv_mpi writes 250"),
    "win.txt garbage": (lambda d: write(d / "win.txt", b"0 0.5\n1 \xff\xfe garbage\n2 0.5\n"),
                        "win.txt: pair number 2 is not a pair of numbers"),
    "log is a folder": (lambda d: replace_with_folder(d / "zorv_mpi.log"),
                        "zorv_mpi.log is a folder, not a regular file"),
    "log is a FIFO": (lambda d: replace_with_fifo(d / "zorv_mpi.log"),
                      "zorv_mpi.log is a FIFO (named pipe), not a regular file"),
    "result file of 72,001 bytes": (lambda d: append(d / "ab0.bin", b"\0"),
                                    "ab0.bin: 72001 bytes is not a whole number of 72-byte records"),
    "NaN in a record": (lambda d: nan_in_record(d / "ab1.bin"),
                        "ab1.bin: record 7 (counted from 0) holds nan in width"),
    "report is a file": (lambda d: write(d / "report", "not a folder"),
                         "cannot make the report folder"),
    "ini line without =": (lambda d: append(d / "zorv_mpi.ini", b"waveforms 600\n"),
                           "zorv_mpi.ini: line 12: expected 'key = value'"),
    "ini value of the wrong kind": (lambda d: append(d / "zorv_mpi.ini", b"sessions = 2\n"),
                                    "zorv_mpi.ini: sessions = 2: expected two whole numbers"),
    "ini without abfile_path": (lambda d: write(d / "zorv_mpi.ini", INI.replace("abfile", "#")),
                                "zorv_mpi.ini: no abfile_path setting"),
    "checkpoint cut short": (lambda d: write(d / "zorv_mpi.checkpoint", CHECKPOINT[:80]),
                             "zorv_mpi.checkpoint: no 'end' line"),
    "read-only run folder": (read_only, "cannot make the report folder"),
}


def report(run_dir, *args, prefix=()):
    return subprocess.run([*prefix, sys.executable, "-m", "zorv.report", str(run_dir), *args],
                          cwd=ROOT / "python", capture_output=True, text=True, timeout=120)


def error_lines(out):
    return [ln for ln in (out.stdout + out.stderr).splitlines() if "Error:" in ln]


def test_intact_run_folder_gives_a_report(tmp_path):
    make_run(tmp_path)
    out = report(tmp_path, "--events", "2")
    assert out.returncode == 0, out.stderr
    assert error_lines(out) == [] and "Traceback" not in out.stderr
    assert out.stdout.strip() == str(tmp_path / "report" / "index.html")


@pytest.mark.parametrize("damage, words", DAMAGED.values(), ids=DAMAGED.keys())
def test_damaged_input_gives_one_error_line(tmp_path, damage, words):
    make_run(tmp_path)
    prefix = damage(tmp_path) or []  # a command prefix, or nothing
    out = report(tmp_path, prefix=prefix)
    assert out.returncode == 1, out.stdout + out.stderr
    assert "Traceback" not in out.stdout + out.stderr, out.stderr
    errors = error_lines(out)
    assert len(errors) == 1 and errors[0].startswith("Error: "), out.stdout + out.stderr
    assert errors[0] in out.stderr.splitlines()
    assert words in errors[0]


@pytest.mark.parametrize("args, words", [
    (["--events", "-5"], "argument --events: -5 is out of range (0 to 100)"),
    (["--events", "100000000"], "argument --events: 100000000 is out of range (0 to 100)"),
    (["--events", "101"], "out of range (0 to 100)"),
    (["--events", "twelve"], "'twelve' is not a whole number"),
    (["--scan-limit", "-1"], "argument --scan-limit: -1 is negative"),
])
def test_arguments_out_of_range_are_refused(tmp_path, args, words):
    out = report(tmp_path, *args)
    assert out.returncode == 2
    assert words in out.stderr and "Traceback" not in out.stderr


def test_help_names_the_bounds():
    out = subprocess.run([sys.executable, "-m", "zorv.report", "--help"], cwd=ROOT / "python",
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0
    assert "example events to show, 0 to 100" in " ".join(out.stdout.split())
