"""One rule for amplitude lines: zorv_spectra and the report (zorv.analysis)
bin the amplitude spectrum alike and name the same lines at the same
positions with the same widths, on result files drawn here: lines on a
continuum, a shoulder, a weak line apart from a strong one, more lines than
are listed, and none at all."""

import subprocess

import numpy as np
import pytest

from zorv import analysis, files


def draw(rng, parts, n_continuum=0):
    """Amplitudes of (events, centre, sigma) Gaussian lines plus a flat
    continuum from 12,000 to 40,000, shuffled."""
    values = [rng.normal(centre, sigma, events) for events, centre, sigma in parts]
    values.append(rng.uniform(12000, 40000, n_continuum))
    return rng.permutation(np.concatenate(values))


def write_results(directory, amplitudes):
    for c, amp in enumerate(amplitudes):
        rec = np.zeros(len(amp), dtype=files.RESULT_DTYPE)
        rec["ssr"] = 6.25e6
        rec["amplitude1"] = amp
        rec["decay_rate"] = -0.0015
        rec["baseline"] = -28000.0
        rec["position1"] = 1250.0
        rec["width"] = 3.0
        rec["position2"] = 1500.0
        (directory / f"ab{c}.bin").write_bytes(rec.tobytes())


def spectra_lines(summary):
    """(channel, position, peak bin, fwhm) as zorv_spectra's summary prints them."""
    rows = summary.split("Strongest amplitude lines (amplitude 1):\n")[1].splitlines()[1:]
    return [tuple(r.split()[:4]) for r in rows if "none stands out" not in r]


def report_lines(lines):
    return [("AB"[c], "%.6g" % ln["position"], "%.0f" % ln["height"], "%.4g" % ln["fwhm"])
            for c in (0, 1) for ln in lines[c]]


# name: (lines of channel A, of channel B, continuum events per channel, lines listed A, B)
CASES = {
    "two lines on a continuum": ([(400, 15330, 46), (200, 38236, 115)],
                                 [(300, 15330, 46), (300, 38236, 115)], 300, 2, 2),
    "shoulder and a weak line apart": ([(800, 20000, 60), (250, 20200, 60), (60, 30000, 20)],
                                       [(800, 20000, 60), (40, 20400, 30)], 200, 2, 2),
    "four lines, three listed": ([(500, 14000, 40), (400, 20000, 40), (300, 26000, 40),
                                  (200, 32000, 40)], [(400, 18000, 50)], 100, 3, 1),
    "no line": ([], [], 1500, 0, 0),
}


@pytest.mark.parametrize("parts_a, parts_b, continuum, want_a, want_b", CASES.values(), ids=CASES.keys())
def test_report_and_zorv_spectra_find_the_same_lines(build_dir, tmp_path, parts_a, parts_b, continuum,
                                                      want_a, want_b):
    rng = np.random.default_rng(21)
    a, b = draw(rng, parts_a, continuum), draw(rng, parts_b, continuum)
    n = min(len(a), len(b))
    write_results(tmp_path, (a[:n], b[:n]))
    out = subprocess.run([str(build_dir / "spectra" / "zorv_spectra"), "-o", str(tmp_path / "spectra"),
                          str(tmp_path / "ab")], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stdout

    ra, rb = (files.read_results(tmp_path / f"ab{c}.bin") for c in (0, 1))
    lo, hi, counts, lines = analysis.amplitude_lines(ra, rb)
    # The same histogram: bin centres and counts of amplitude.txt.
    table = np.loadtxt(tmp_path / "spectra" / "amplitude.txt")
    assert ["%f" % analysis.bin_centre(i, len(table), lo, hi) for i in range(len(table))] == \
        (tmp_path / "spectra" / "amplitude.txt").read_text().split()[::3]
    assert np.array_equal(table[:, 1], counts[0]) and np.array_equal(table[:, 2], counts[1])
    # The same lines.
    found = spectra_lines((tmp_path / "spectra" / "summary.txt").read_text())
    assert report_lines(lines) == found
    assert [len(lines[0]), len(lines[1])] == [want_a, want_b]


@pytest.mark.parametrize("values, axis", [
    ([3.0, 3.0], (2.97, 3.03)),
    ([0.0], (-0.5, 0.5)),
    ([5e-324, 5e-324], (5e-324 - 0.5, 5e-324 + 0.5)),  # 1 % of it rounds to 0
    ([-1e-310], (-1e-310 - 1e-312, -1e-310 + 1e-312)),
])
def test_axis_of_equal_values_has_width(values, axis):
    assert analysis.spectrum_axis(np.array(values)) == pytest.approx(axis, rel=1e-15, abs=0)
