"""The report on damaged input and bad command lines: one "Error: " line and
status 1 (2 for the command line), never a traceback, never a hang; and on
run folders that tell less (an older zorv_mpi, a summary left behind). The
run folder is made here without zorv_mpi: result files, events.txt, decay
histograms, run summary, checkpoint, settings and kernel of a finished run,
no raw files."""

import html
import json
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import ROOT, SUMMARY
from zorv import files

RECORDS = 1000  # 72,000 bytes per result file, of 1,200 events

INI = """# = A run folder made by the report's input tests.
infile_path = "zorv"
abfile_path = "ab"
waveforms = 600
data_offset = 16
hist_overflow = 0.05
refresh_interval = 1
cal_sessions = 1 1
sessions = 2 3
decay_est = -0.0015 -0.0015
bcg_est = -27000 -27000
"""

# The checkpoint at the end of the run that SUMMARY tells: zorv_mpi's own,
# which the report leaves alone.
CHECKPOINT = """zorv_mpi checkpoint 1
state finished
phase processing
next_event 1200
pending 0
counters 1200 1010 1005 1000
run_error 0
calibrated -0.0015001 -0.0014999
outputs 72000 16000 72000 16000
fingerprint waveforms 600
end
"""


def summary_of(status="finished", state="done", results=955, good=(955, 955), both=950, **keys):
    """SUMMARY with its processing phase at another point."""
    s = json.loads(json.dumps(SUMMARY))
    p = s["phases"]["processing"]
    p.update(state=state, results=results, good=list(good), both_good=both)
    for c in (0, 1):
        p["outcomes"][c] = dict.fromkeys(p["outcomes"][c], 0)
        p["outcomes"][c]["fitted"] = good[c]
    s.update(status=status, **keys)
    return s


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
    (d / "zorv_mpi.summary.json").write_text(json.dumps(SUMMARY, indent=2) + "\n")
    # The records' raw events: 1,000 of the 1,200 events of sessions 2 and 3.
    events = np.sort(rng.choice(1200, RECORDS, replace=False))
    (d / "events.txt").write_text("".join(f"{2 + e // 600} {e % 600}\n" for e in events))
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


def cut_last_line(path):
    lines = path.read_text().splitlines(keepends=True)
    path.write_text("".join(lines[:-1]))


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
    "decay histogram of one line": (lambda d: write(d / "decay_hist0.txt", "-0.0015 3\n"),
                                    "decay_hist0.txt holds 1 bin, zorv_mpi writes 250"),
    "summary nested too deeply": (lambda d: write(d / "zorv_mpi.summary.json", "[" * 100000 + "]" * 100000),
                                  "zorv_mpi.summary.json: not a run summary (nested too deeply)"),
    "ab1.bin cut short": (lambda d: os.truncate(d / "ab1.bin", 72 * 990),
                          "ab1.bin holds 990 records, zorv_mpi.summary.json counts 1,000 for the "
                          "finished run"),
    "summary is a folder": (lambda d: replace_with_folder(d / "zorv_mpi.summary.json"),
                            "zorv_mpi.summary.json is a folder, not a regular file"),
    "summary cut short": (lambda d: write(d / "zorv_mpi.summary.json", json.dumps(SUMMARY)[:-30]),
                          "zorv_mpi.summary.json: line 1: not a run summary"),
    "summary with a count of the wrong kind": (
        lambda d: write(d / "zorv_mpi.summary.json", json.dumps(SUMMARY).replace('"both_good": 1000',
                                                                                 '"both_good": "1000"')),
        'zorv_mpi.summary.json: phases.processing.both_good is "1000": expected a whole number'),
    "events.txt is a FIFO": (lambda d: replace_with_fifo(d / "events.txt"),
                             "events.txt is a FIFO (named pipe), not a regular file"),
    "events.txt cut mid-line": (lambda d: cut_mid_line(d / "events.txt"),
                                "events.txt: the last line has no line end"),
    "events.txt line of one number": (lambda d: append(d / "events.txt", b"2\n"),
                                      "events.txt: line 1001: expected \"<session> <record>\""),
    "events.txt a line short": (lambda d: cut_last_line(d / "events.txt"),
                                "events.txt holds 999 lines and the result files 1,000 records"),
    "events.txt of another phase": (lambda d: write(d / "events.txt", "1 0\n" * RECORDS),
                                     "events.txt: line 1 names session 1 record 0, not an event of "
                                     "the processing phase (sessions 2 to 3, 600 records each)"),
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
    "summary with warnings of the wrong kind": (
        lambda d: write(d / "zorv_mpi.summary.json", json.dumps(dict(SUMMARY, warnings="Warning: x"))),
        'zorv_mpi.summary.json: warnings is "Warning: x": expected a list of lines'),
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


def page_of(run_dir):
    return html.unescape((run_dir / "report" / "index.html").read_text())


# (change to the run folder d, words the page must hold, in its HTML or its text)
VARIANTS = {
    "summary, events.txt, checkpoint": (None, [
        "State</td><td>finished (zorv_mpi.summary.json)", "zorv_mpi version</td><td><code>v1.0-3-gabcdef0",
        "3 (rank 0 reads and writes, 2 workers fit) on n1 (1 rank), n2 (2 ranks)",
        '<tr><td>No peak above 500</td><td class="num">5 (0.83 %)</td><td class="num">10 (1.67 %)'
        '</td><td class="num">150 (12.50 %)</td><td class="num">160 (13.33 %)</td></tr>',
        "of events.txt): event ", "Not read: zorv.2 is not in the run folder; only the fitted "
                                  "curves are shown"]),
    "an older zorv_mpi": (lambda d: [(d / n).unlink() for n in ("zorv_mpi.summary.json", "events.txt")], [
        "A run of an older zorv_mpi: the run folder holds no zorv_mpi.summary.json",
        "Whether this run finished is not known: the run folder holds no zorv_mpi.summary.json (the "
        "report does not read zorv_mpi.checkpoint",
        "State</td><td>not known: no zorv_mpi.summary.json",
        "Not available: zorv_mpi.summary.json is not in the run folder",
        "Not available: events.txt is not in the run folder"]),
    "ab0.bin cut short, no summary": (
        lambda d: (d / "zorv_mpi.summary.json").unlink() or os.truncate(d / "ab0.bin", 72 * 990),
        ["The result files hold 990 and 1,000 records; record i of both is one event, so only the "
         "first 990 are used."]),
    "summary of an earlier point": (
        lambda d: write(d / "zorv_mpi.summary.json", json.dumps(summary_of(
            both=900, results=1200, good=(1010, 1005)))), [
            "zorv_mpi.summary.json counts 900 records, the result files hold 1,000: the summary is "
            "from an earlier point of the run or from an earlier run",
            "State</td><td>not known: zorv_mpi.summary.json is not this run's account",
            "Not available: zorv_mpi.summary.json is not this run's account"]),
    "calibrated decay rate of 0": (
        lambda d: write(d / "zorv_mpi.summary.json", json.dumps(dict(SUMMARY, decay_rates=[0, -0.0014999]))),
        ["A 0.0000000000 per sample (no decay time: not negative), B -0.0014999000 per sample "
         "(decay time 666.7 samples)"]),
    "run still writing after its summary": (
        lambda d: write(d / "zorv_mpi.summary.json", json.dumps(summary_of(
            status="running", state="running", raw_files={}))),
        ['<td class="num">950 (99.48 %)</td></tr>',
         "The result files hold 1,000 records, zorv_mpi.summary.json (written at every checkpoint) "
         "counts 950 of 955 results: the run went on after it",
         "State</td><td>done</td><td><b>ended early or still running after 955 events</b>"]),
    "unfinished summary of an older zorv_mpi": (
        lambda d: write(d / "zorv_mpi.summary.json", json.dumps(summary_of(
            status="stopped", state="stopped", both=1000, results=1100, good=(1010, 1005)))),
        ["zorv_mpi.summary.json is of an older zorv_mpi, which wrote it only at the end of a phase "
         "and on a stop: if the run was killed or is still running, it went on after"]),
    "checkpoint cut short, not read": (lambda d: write(d / "zorv_mpi.checkpoint", CHECKPOINT[:80]),
                                       ["State</td><td>finished (zorv_mpi.summary.json)"]),
    "exp of a newer zorv_mpi": (
        lambda d: write(d / "zorv_mpi.summary.json", json.dumps(dict(SUMMARY, exp="mixed"))),
        ["exp in the fits</td><td><code>mixed</code>: in vector lanes on some workers"]),
    "negative sessions": (
        lambda d: [append(d / "zorv_mpi.ini", b"cal_sessions = -3 -3\nsessions = -2 -1\n"),
                   write(d / "events.txt", (d / "events.txt").read_text().replace("2 ", "-2 ").replace(
                       "3 ", "-1 "))],
        ["of events.txt): event ", "of zorv.-2, session -2", "Not read: zorv.-2 is not in the run folder"]),
    "raw events not known": (
        lambda d: write(d / "events.txt", "- -\n" * RECORDS),
        ["1,000 records have the line - -", "(raw event not known)",
         "Its raw event is not known (its line is - -)"]),
}


@pytest.mark.parametrize("change, words", VARIANTS.values(), ids=VARIANTS.keys())
def test_what_the_run_folder_tells(tmp_path, change, words):
    make_run(tmp_path)
    if change:
        change(tmp_path)
    out = report(tmp_path, "--events", "2")
    assert out.returncode == 0, out.stderr
    page = page_of(tmp_path)
    text = re.sub(r"<[^>]+>", "", page)
    for w in words:
        assert w in page or w in text, w


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


@pytest.mark.parametrize("name, text, words", [
    ("decay_hist0.txt", "-0.0015 3\n", "decay_hist0.txt holds 1 bin, zorv_mpi writes 250"),
    ("decay_hist1.txt", "-0.0015 3\n-0.0014 4\n", "decay_hist1.txt holds 2 bins"),
    ("zorv_mpi.summary.json", "[" * 100000 + "]" * 100000, "zorv_mpi.summary.json: not a run summary"),
], ids=["decay histogram of 1 line", "of 2 lines", "summary nested too deeply"])
def test_show_names_the_damaged_file(tmp_path, name, text, words):
    write(tmp_path / name, text)
    out = subprocess.run([sys.executable, "-m", "zorv", "show", str(tmp_path / name)], cwd=ROOT / "python",
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 1 and "Traceback" not in out.stderr, out.stderr
    assert out.stderr.count("\n") == 1 and words in out.stderr and str(tmp_path) in out.stderr


@pytest.mark.parametrize("name, first, fields", [
    ("ab0.bin", "1 result records", ["ssr", "position2"]),
    ("ab0.err.bin", "1 precision records", ["iterations", "amplitude1_err", "position2_err"]),
])
def test_show_tells_result_and_precision_files_apart(tmp_path, name, first, fields):
    (tmp_path / name).write_bytes(np.arange(9, dtype="<f8").tobytes())
    out = subprocess.run([sys.executable, "-m", "zorv", "show", str(tmp_path / name)], cwd=ROOT / "python",
                         capture_output=True, text=True, timeout=60)
    lines = out.stdout.splitlines()
    assert out.returncode == 0 and lines[0].endswith(first), out.stdout + out.stderr
    names = [line.split()[0] for line in lines[2:]]
    assert len(names) == 9 and all(f in names for f in fields)


@pytest.mark.parametrize("warnings, box", [
    (["Warning: hist_overflow = 0.6 trims more than half of the decay rates"], True),
    ([], False),
    (None, False),
], ids=["one warning", "none", "no such key"])
def test_the_summarys_warnings_top_the_page(tmp_path, warnings, box):
    make_run(tmp_path)
    if warnings is not None:
        write(tmp_path / "zorv_mpi.summary.json", json.dumps(dict(SUMMARY, warnings=warnings)))
    out = report(tmp_path, "--events", "0")
    assert out.returncode == 0, out.stderr
    page = page_of(tmp_path)
    main = page[page.index("<main>"):]
    assert ('id="warnings"' in page) == box
    if box:
        # First thing on the page, one item per line.
        assert main.startswith('<main>\n<div class="warn" id="warnings">')
        assert re.findall(r"<li><code>([^<]*)</code></li>", main) == warnings
