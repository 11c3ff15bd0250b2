"""Shared setup of the Python tests: the package from this checkout, the
C++ build it is compared with and whose zorv_event the reports run (build/
unless ZORV_BUILD_DIR says where) and a run summary as zorv_mpi writes it."""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))


@pytest.fixture(scope="session")
def build_dir():
    path = pathlib.Path(os.environ.get("ZORV_BUILD_DIR", ROOT / "build"))
    if not (path / "mpi" / "zorv_mpi").exists():
        pytest.fail(f"{path} holds no build of zorv (run ./scripts/build.sh first)")
    # The reports the tests make explain events with this build's zorv_event.
    os.environ.setdefault("ZORV_EVENT", str(path / "tools" / "zorv_event"))
    return path


# What zorv_mpi counts per channel, in the order it writes them.
OUTCOME_KEYS = ("fitted", "no_peak", "three_or_more_peaks", "peaks_too_close", "peak_too_early",
                "fit_not_finite", "fit_not_converged", "no_residuals")


def _phase(results, good, both, no_peak):
    def outcomes(fitted, none):
        counts = dict.fromkeys(OUTCOME_KEYS, 0)
        counts.update(fitted=fitted, no_peak=none, fit_not_converged=results - fitted - none)
        return counts
    return {"state": "done", "events": results, "results": results, "good": list(good),
            "both_good": both, "outcomes": [outcomes(g, n) for g, n in zip(good, no_peak)],
            "seconds": 12.5}


# The summary of a finished run of 600 calibration events (session 1) and
# 1,200 processing events (sessions 2 and 3) on three ranks.
SUMMARY = {
    "status": "finished", "version": "v1.0-3-gabcdef0", "started": "2026-12-07T10:06:20+0100",
    "ranks": 3, "hosts": ["n1", "n2", "n2"], "settings": {"infile_path": "zorv", "waveforms": 600},
    "phase": "processing",
    "phases": {"calibration": _phase(600, (590, 585), 580, (5, 10)),
               "processing": _phase(1200, (1010, 1005), 1000, (150, 160))},
    "decay_rates": [-0.0015001, -0.0014999],
    "events_lost": False,
}
