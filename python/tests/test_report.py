"""The report on a small run made here: raw files drawn from the pulse
model (single pulses on two amplitude lines and a flat part, some two-pulse
events, some events without a pulse in channel B), zorv_mpi with one worker
under mpiexec, then python3 -m zorv.report. ZORV_TEST_RUN_DIR keeps the run
and its report (scripts/test.sh shows it to the browser check)."""

import html
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import ROOT
from zorv import analysis, files, model

WAVEFORMS = 120
HEADER = 16
TWO_PULSE = [5, 37, 64, 90]      # processing-phase events with two pulses in channel A
NO_PULSE_B = [11, 70]            # ... without any pulse in channel B (no record)

INI = """# = A small run made by the Python tests.
infile_path = "zorv"           raw files zorv.1, zorv.2
abfile_path = "ab"
waveforms = {w}
data_offset = {h}
hist_overflow = 0.05
refresh_interval = 1
cal_sessions = 1 1
sessions = 2 2
decay_est = -0.0015 -0.0015
bcg_est = -27000 -27000
"""


# Open MPI as root, with more ranks than cores, and waiting ranks that yield.
MPI_ENV = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
               OMPI_MCA_mpi_yield_when_idle="1", OMPI_MCA_rmaps_base_oversubscribe="1")


def mpiexec(build_dir):
    """zorv_mpi with one worker: its records follow the event order."""
    return ["mpiexec", "--oversubscribe", "-n", "2", str(build_dir / "mpi" / "zorv_mpi")]


def draw(rng, two=False):
    u = rng.uniform()
    amplitude = 15330.0 if u < 0.4 else (38236.0 if u < 0.6 else rng.uniform(12000, 40000))
    amplitude *= 1 + 0.003 * rng.normal()
    t1 = 1250 + 40 * rng.normal() - (250 if two else 0)
    p = [amplitude, -0.0015 * (1 + 0.0005 * rng.normal()), -28000 + 150 * rng.normal(), t1,
         rng.uniform(1, 5), rng.uniform(0, 3000), 0.0, 1500.0]
    if two:
        p[6], p[7] = rng.uniform(8000, 20000), t1 + rng.uniform(300, 600)
    return p


def write_session(path, rng, events, two=(), quiet_b=(), repeat=1):
    """A raw file of `events` drawn events, the whole sequence `repeat` times."""
    x = np.arange(2500.0)
    out = np.empty((events, 2500, 2), dtype="<i2")
    for e in range(events):
        for c in (0, 1):
            if c == 1 and e in quiet_b:
                y = -28000 + 1500 * np.exp(-0.0015 * x)
            else:
                p = draw(rng, two=(c == 0 and e in two))
                y = model.pulse_model(x, p, two_pulses=p[6] != 0)
            out[e, :, c] = np.clip(np.rint(y + 50 * rng.normal(size=2500)), -32768, 32767)
    path.write_bytes(b"\0" * HEADER + out.tobytes() * repeat)


@pytest.fixture(scope="module")
def run(build_dir, tmp_path_factory):
    keep = os.environ.get("ZORV_TEST_RUN_DIR")
    if keep:
        run_dir = pathlib.Path(keep).resolve()
        shutil.rmtree(run_dir, ignore_errors=True)
        run_dir.mkdir(parents=True)
    else:
        run_dir = tmp_path_factory.mktemp("run")
    rng = np.random.default_rng(15)
    write_session(run_dir / "zorv.1", rng, WAVEFORMS)
    write_session(run_dir / "zorv.2", rng, WAVEFORMS, TWO_PULSE, NO_PULSE_B)
    (run_dir / "zorv_mpi.ini").write_text(INI.format(w=WAVEFORMS, h=HEADER))
    shutil.copy(ROOT / "examples" / "win.txt", run_dir / "win.txt")
    mpi = subprocess.run(mpiexec(build_dir), cwd=run_dir, env=MPI_ENV, capture_output=True, text=True,
                         timeout=120)
    (run_dir / "zorv_mpi.log").write_text(mpi.stdout)
    assert mpi.returncode == 0, mpi.stdout + mpi.stderr
    report = subprocess.run([sys.executable, "-m", "zorv.report", str(run_dir)],
                            cwd=ROOT / "python", capture_output=True, text=True,
                            timeout=300)
    assert report.returncode == 0, report.stderr
    return run_dir, report


def test_report_page_and_figures(run):
    run_dir, report = run
    index = run_dir / "report" / "index.html"
    assert report.stdout.strip() == str(index)
    page = index.read_text()
    images = re.findall(r'<img src="([^"]+)"', page)
    assert {"calibration.png", "amplitudes.png", "amplitude_map.png", "distributions.png"} <= set(images)
    for src in images:
        assert (run_dir / "report" / src).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", src
    # Offline: nothing is fetched from anywhere.
    assert not re.search(r'(src|href)="(https?:)?//', page)


def test_run_table_and_calibration(run):
    run_dir, _ = run
    page = html.unescape((run_dir / "report" / "index.html").read_text())
    records = len(files.read_results(run_dir / "ab0.bin"))
    assert records == WAVEFORMS - len(NO_PULSE_B)
    summary = files.read_summary(run_dir / "zorv_mpi.summary.json")
    processing = summary["phases"]["processing"]
    assert (processing["results"], processing["both_good"]) == (WAVEFORMS, records)
    assert f"{records:,} ({100.0 * records / WAVEFORMS:.2f} %)" in page
    for c in (0, 1):
        assert "%.10f" % summary["decay_rates"][c] in page          # the run table
        assert '"num">%.17g</td>' % summary["decay_rates"][c] in page  # the calibration table
    good = processing["good"][0]
    assert f"{good:,} ({100.0 * good / WAVEFORMS:.2f} %)" in page
    host = summary["hosts"][0]
    assert f"Ranks</td><td>2 (rank 0 reads and writes, 1 worker fit) on {host} (2 ranks)" in page
    assert "State</td><td>finished (zorv_mpi.summary.json)" in page
    assert f"zorv_mpi version</td><td><code>{summary['version']}</code>" in page
    assert f"· finished · {records:,} events fitted in both channels ·" in page
    assert not re.search(r"\bnan\b", page, re.IGNORECASE)


def test_outcome_table_is_the_summarys(run):
    run_dir, _ = run
    page = html.unescape((run_dir / "report" / "index.html").read_text())
    summary = files.read_summary(run_dir / "zorv_mpi.summary.json")
    # Columns: calibration A, B, processing A, B.
    counts = [summary["phases"][p]["outcomes"][c] for p in ("calibration", "processing") for c in (0, 1)]
    for key, label in files.OUTCOMES:
        row = re.search(f"<tr><td>{re.escape(label.capitalize())}</td>((?:<td[^>]*>[^<]*</td>)+)</tr>", page)
        assert row, label
        shown = [int(v.replace(",", "")) for v in re.findall(r">([\d,]+) \(", row.group(1))]
        assert shown == [o[key] for o in counts], label
    # The events drawn without a pulse in channel B are the processing phase's only ones.
    assert counts[3]["no_peak"] == len(NO_PULSE_B) and counts[1]["no_peak"] == 0


def test_examples_are_the_right_raw_events(run):
    run_dir, _ = run
    page = html.unescape((run_dir / "report" / "index.html").read_text())
    events = files.read_events(run_dir / "events.txt")
    shown = re.findall(r"Record ([\d,]+) of ab0\.bin / ab1\.bin \(line ([\d,]+) of events\.txt\): event "
                       r"([\d,]+) of <code>zorv\.(\d+)</code>, session (\d+), counted from 0", page)
    assert len(shown) >= 12
    for r, line, e, name, session in shown:
        r, line, e = (int(v.replace(",", "")) for v in (r, line, e))
        assert line == r + 1 and name == session
        assert events[r].tolist() == (int(session), e)
    # The page's figures name the events the test drew with two pulses, and the
    # records' fitted curves give back their residuals on those raw events.
    two = [int(n) for n in re.findall(r'alt="Event (\d+) of zorv\.2 — two-pulse fit"', page)]
    assert two and set(two) <= set(TWO_PULSE)
    assert page.count("agree with the record to") == len(shown) and "differ from the record" not in page
    # The events without a pulse in channel B gave no record and are shown as such.
    skipped = re.findall(r'alt="Event (\d+) of zorv\.2 — no record"', page)
    assert [int(n) for n in skipped] == NO_PULSE_B


def test_two_pulse_fits_and_separation(run):
    run_dir, _ = run
    a = files.read_results(run_dir / "ab0.bin")
    assert np.count_nonzero(a["amplitude2"]) == len(TWO_PULSE)
    page = (run_dir / "report" / "index.html").read_text()
    assert f"Channels fitted with two pulses: A {len(TWO_PULSE)}, B 0." in page


def test_amplitude_lines_are_those_of_zorv_spectra(run, build_dir, tmp_path):
    from test_lines import report_lines, spectra_lines
    run_dir, _ = run
    out = subprocess.run([str(build_dir / "spectra" / "zorv_spectra"), "-o", str(tmp_path), str(run_dir / "ab")],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stdout
    a, b = (files.read_results(run_dir / f"ab{c}.bin") for c in (0, 1))
    lines = analysis.amplitude_lines(a, b)[3]
    found = spectra_lines((tmp_path / "summary.txt").read_text())
    assert found and report_lines(lines) == found
    # The page's table lists them.
    page = html.unescape((run_dir / "report" / "index.html").read_text())
    rows = re.findall(r'<tr><td>Channel ([AB])</td><td class="num">\d</td><td class="num">([\d,.]+)</td>'
                      r'<td class="num">([\d,.]+)</td>', page)
    assert rows == [("AB"[c], f"{ln['position']:,.1f}", f"{ln['fwhm']:,.1f}") for c in (0, 1) for ln in lines[c]]


@pytest.fixture(scope="module")
def negative_run(build_dir, tmp_path_factory):
    """A run of sessions numbered below 0 (zorv_mpi reads zorv.-2, then
    zorv.-1): events.txt names them as "-1 <record>"."""
    run_dir = tmp_path_factory.mktemp("negative")
    rng = np.random.default_rng(17)
    write_session(run_dir / "zorv.-2", rng, 60)
    write_session(run_dir / "zorv.-1", rng, 60, [5, 30], [11])
    (run_dir / "zorv_mpi.ini").write_text(INI.format(w=60, h=HEADER).replace(
        "cal_sessions = 1 1", "cal_sessions = -2 -2").replace("sessions = 2 2", "sessions = -1 -1"))
    shutil.copy(ROOT / "examples" / "win.txt", run_dir / "win.txt")
    mpi = subprocess.run(mpiexec(build_dir), cwd=run_dir, env=MPI_ENV, capture_output=True, text=True,
                         timeout=120)
    assert mpi.returncode == 0, mpi.stdout + mpi.stderr
    return run_dir


def reverse_lines(path):
    path.write_text("".join(reversed(path.read_text().splitlines(keepends=True))))


def redraw(path, events):
    os.utime(path, ns=(0, 0))  # another time, whatever the size
    write_session(path, np.random.default_rng(3), events)


# (change to a copy of the run, words of the page's captions)
BLAME = {
    "as written": (None, ["of zorv.-1, session -1, counted from 0",
                          "recomputed from the raw samples agree with the record"]),
    "events.txt reversed": (lambda d: reverse_lines(d / "events.txt"), [
        "zorv.-1 is the raw file the run read (size 600016, modified ",
        "of events.txt does not name this record's event: events.txt does not belong to the result "
        "files"]),
    "raw file of another size": (lambda d: redraw(d / "zorv.-1", 61), [
        "zorv.-1 is not the raw file the run read (zorv_mpi.summary.json: size 600016, modified "]),
    "raw file rewritten": (lambda d: redraw(d / "zorv.-1", 60), [
        "zorv.-1 was modified since the run read it", "it is not the raw file the run read, or line "]),
    "events.txt reversed, summary of an older zorv_mpi": (
        lambda d: drop_key(d / "zorv_mpi.summary.json", "raw_files") or reverse_lines(d / "events.txt"),
        ["or zorv.-1 is not the raw file the run read (the size and time of the raw files the run "
         "read are not known"]),
}


def drop_key(path, key):
    summary = json.loads(path.read_text())
    del summary[key]
    path.write_text(json.dumps(summary))


@pytest.mark.parametrize("change, words", BLAME.values(), ids=BLAME.keys())
def test_raw_events_that_disagree_name_the_file_to_blame(negative_run, tmp_path, change, words):
    run_dir = tmp_path / "run"
    shutil.copytree(negative_run, run_dir)  # times kept
    if change:
        change(run_dir)
    made = subprocess.run([sys.executable, "-m", "zorv.report", "--events", "4", str(run_dir)],
                          cwd=ROOT / "python", capture_output=True, text=True, timeout=300)
    assert made.returncode == 0, made.stderr
    page = re.sub(r"<[^>]+>", "", html.unescape((run_dir / "report" / "index.html").read_text()))
    for w in words:
        assert w in page, w
    assert ("differ from the record" in page) == (change is not None)


def test_events_without_a_record_are_the_workers(run):
    """Events without a record are explained by zorv_event: over them, each
    channel's outcomes add up to the summary's counts less the records."""
    run_dir, _ = run
    page = html.unescape((run_dir / "report" / "index.html").read_text())
    said = re.findall(r'alt="Event \d+ of zorv\.2 — no record".*?Channel A: <span class="outcome">'
                      r'([^<]+)</span>; channel B: <span class="outcome">([^<]+)</span>', page, re.S)
    assert len(said) == len(NO_PULSE_B)
    key = {label: k for k, label in files.OUTCOMES}
    processing = files.read_summary(run_dir / "zorv_mpi.summary.json")["phases"]["processing"]
    for c in (0, 1):
        want = dict(processing["outcomes"][c], fitted=processing["outcomes"][c]["fitted"]
                    - processing["both_good"])
        got = {k: sum(key[s[c]] == k for s in said) for k in want}
        assert got == want, c


def spoil_kernel(d):
    (d / "win.txt").write_bytes(b"0 0.5\n1 \xff\xfe garbage\n2 0.5\n")


# (change to a copy of the run, environment, the page's one line on why)
NOT_EXPLAINED = {
    "ZORV_EVENT names no file": (None, {"ZORV_EVENT": "/nonexistent/zorv_event"},
                                 "ZORV_EVENT=/nonexistent/zorv_event is not an executable file"),
    "win.txt garbage": (spoil_kernel, {},
                        "zorv_event failed (status 1): Error: Window file 'win.txt': pair number 2 "
                        "is not a pair of numbers"),
}


@pytest.mark.parametrize("change, env, words", NOT_EXPLAINED.values(), ids=NOT_EXPLAINED.keys())
def test_events_not_explained_say_why_in_one_line(negative_run, build_dir, tmp_path, change, env,
                                                  words):
    run_dir = tmp_path / "run"
    shutil.copytree(negative_run, run_dir)
    if change:
        change(run_dir)
    env = {**os.environ, "ZORV_EVENT": str(build_dir / "tools" / "zorv_event"), **env}
    made = subprocess.run([sys.executable, "-m", "zorv.report", "--events", "2", str(run_dir)],
                          cwd=ROOT / "python", capture_output=True, text=True, timeout=300, env=env)
    assert made.returncode == 0 and "Traceback" not in made.stderr, made.stderr
    page = (run_dir / "report" / "index.html").read_text()
    notes = [ln for ln in html.unescape(page).splitlines() if "not explained as the worker saw" in ln]
    assert len(notes) == 1 and words in notes[0], notes
    # The events are drawn all the same, from their raw samples.
    assert re.findall(r'alt="Event \d+ of zorv\.-1 — no record"', page)
    assert 'class="outcome"' not in page
