"""The report on a run that did not finish: zorv_mpi stopped by SIGUSR1 in
its calibration phase, then resumed and stopped again in its processing
phase. The page must say so at its top, label the calibration phase's
records as such, and show no calibration before there is one."""

import html
import re
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import ROOT
from test_report import HEADER, INI, MPI_ENV, NO_PULSE_B, TWO_PULSE, mpiexec, write_session
from zorv import files

DRAWN = 120     # events drawn per session
REPEAT = 5      # ... repeated, so that a phase lasts a second or more
EVENTS = DRAWN * REPEAT
STOP_AFTER = 100  # events handed out before the stop


def start_and_stop(build_dir, run_dir, phase):
    """Starts zorv_mpi, waits until its run summary (written at every
    checkpoint) shows the phase under way, sends SIGUSR1 to the mpiexec it
    started, and returns the summary of the stop. The console output is
    appended to zorv_mpi.log."""
    summary = run_dir / "zorv_mpi.summary.json"
    with open(run_dir / "zorv_mpi.log", "a") as log:
        mpi = subprocess.Popen(mpiexec(build_dir), cwd=run_dir, env=MPI_ENV, stdout=log,
                               stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline and mpi.poll() is None:
                try:
                    s = files.read_summary(summary)
                except (OSError, ValueError):
                    s = None
                if (s and s["status"] == "running" and s["phase"] == phase
                        and s["phases"][phase]["results"] >= STOP_AFTER):
                    break
                time.sleep(0.01)
            assert mpi.poll() is None, f"zorv_mpi ended before the {phase} phase was under way"
            mpi.send_signal(signal.SIGUSR1)
            assert mpi.wait(timeout=120) == 75
        finally:
            if mpi.poll() is None:
                mpi.kill()
                mpi.wait()
    s = files.read_summary(summary)
    return s["phase"], s["status"], s["phases"][s["phase"]]["results"], s["decay_rates"]


def report(run_dir, out):
    made = subprocess.run([sys.executable, "-m", "zorv.report", "--events", "4", "--out", str(out),
                           str(run_dir)], cwd=ROOT / "python", capture_output=True, text=True,
                          timeout=300)
    assert made.returncode == 0, made.stderr
    return html.unescape((out / "index.html").read_text())


@pytest.fixture(scope="module")
def stopped(build_dir, tmp_path_factory):
    run_dir = tmp_path_factory.mktemp("stopped")
    rng = np.random.default_rng(16)
    write_session(run_dir / "zorv.1", rng, DRAWN, repeat=REPEAT)
    write_session(run_dir / "zorv.2", rng, DRAWN, TWO_PULSE, NO_PULSE_B, repeat=REPEAT)
    # A checkpoint every 10 ms: the stop lands within a few events.
    (run_dir / "zorv_mpi.ini").write_text(INI.format(w=EVENTS, h=HEADER) +
                                          "checkpoint_interval = 0.01\n")
    shutil.copy(ROOT / "examples" / "win.txt", run_dir / "win.txt")
    # An earlier run's histogram, which this run has not replaced yet.
    (run_dir / "decay_hist0.txt").write_text("left over\n")

    first = start_and_stop(build_dir, run_dir, "calibration")
    records = len(files.read_results(run_dir / "ab0.bin"))
    page = report(run_dir, run_dir / "report-calibration")
    calibration = (first, records, page)

    with open(run_dir / "zorv_mpi.ini", "a") as ini:
        ini.write("resume = 1\n")
    second = start_and_stop(build_dir, run_dir, "processing")
    records = len(files.read_results(run_dir / "ab0.bin"))
    page = report(run_dir, run_dir / "report-processing")
    return calibration, (second, records, page)


def test_stopped_in_the_calibration_phase(stopped):
    (phase, status, received, rates), records, page = stopped[0]
    assert (phase, status, rates) == ("calibration", "stopped", None)
    assert 0 < records <= received < EVENTS
    stop = f"stopped by SIGUSR1 in the calibration phase after {received:,} of {EVENTS:,} events"
    assert f"· NOT FINISHED: {stop} · {records:,} calibration-phase records (decay rate free) ·" in page
    assert f"Unfinished run: {stop}" in page
    assert "events fitted in both channels" not in page
    assert "The calibration has not run yet" in page
    assert "decay_hist0.txt in the run folder is left from an earlier run and not shown" in page
    assert "Calibrated decay rates</td><td>not yet" in page
    assert f"State</td><td><b>stopped by SIGUSR1 after {received:,} events</b></td><td>not started" in page
    assert not re.search(r"\bnan\b", page, re.IGNORECASE)
    # The examples are the calibration phase's events.
    shown = re.findall(r'alt="Event \d+ of (zorv\.\d) — ', page)
    assert shown and set(shown) == {"zorv.1"}


def test_stopped_in_the_processing_phase(stopped):
    (phase, status, received, rates), records, page = stopped[1]
    assert (phase, status) == ("processing", "stopped") and len(rates) == 2
    stop = f"stopped by SIGUSR1 in the processing phase after {received:,} of {EVENTS:,} events"
    assert f"· NOT FINISHED: {stop} · {records:,} events fitted in both channels ·" in page
    assert "The calibration is done; the result files hold the processing phase's records so far" in page
    for rate in rates:
        assert "%.10f" % rate in page
    assert "State</td><td>done</td><td><b>stopped by SIGUSR1 after" in page
    assert "Time so far</td>" in page
    assert not re.search(r"\bnan\b", page, re.IGNORECASE)
    shown = re.findall(r'alt="Event \d+ of (zorv\.\d) — ', page)
    assert shown and set(shown) == {"zorv.2"}
