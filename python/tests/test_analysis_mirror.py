"""The report's mirror of the calibration's estimate
(zorv.analysis.calibration_estimates) held to the calibration itself
(run/calibrate.cpp with physics/decay_estimate.cpp, run by the build's
zorv_calibrate_check on the same decay lists): the same fullest bin, hence
the same maximum-bin value, and the same parabolic value to the precision of
the decay histogram the mirror reads, whose bin centres have 10 decimals
(each off by up to 5e-11, so the vertex through three of them by about as
much)."""

import re
import subprocess

import numpy as np
import pytest

from zorv import analysis, files

PRECISION = 1e-10


def counts_at(counts, lo=-0.00151, step=1e-8):
    """Values on the bin centres of a list spanning bins 0 .. 249 with
    hist_overflow 0: {bin: count}, bins 0 and 249 included."""
    return [lo + k * step for k, n in sorted(counts.items()) for _ in range(n)]


def run_rates(seed, n):
    return -0.0015 * (1 + 0.0005 * np.random.default_rng(seed).normal(size=n))


# name: (hist_overflow, decay list of channel A, of channel B)
CASES = {
    "fitted rates, many and few": (0.05, run_rates(1, 2000), run_rates(2, 150)),
    "0 .. 100 trimmed by 10 %": (0.1, np.arange(101.0), np.arange(101.0) ** 2),
    "equal maxima: the lowest bin": (0.0, counts_at({0: 1, 49: 1, 50: 5, 51: 2, 79: 2, 80: 5, 249: 1}),
                                     counts_at({0: 1, 120: 3, 121: 3, 122: 1, 249: 1})),
    "fullest in bin 1 or 248: the tail bin refines it": (0.0, counts_at({0: 5, 1: 3, 2: 2, 100: 1, 249: 1}),
                                                          counts_at({0: 1, 100: 1, 247: 1, 248: 3, 249: 7})),
    "counts on a line: the maximum is kept": (0.0, counts_at({0: 3, 1: 2, 2: 1, 100: 1, 249: 1}),
                                              counts_at({0: 1, 100: 1, 247: 1, 248: 2, 249: 3})),
}


@pytest.mark.parametrize("overflow, a, b", CASES.values(), ids=CASES.keys())
def test_mirror_gives_the_calibrations_estimates(build_dir, tmp_path, overflow, a, b):
    for c, values in enumerate((a, b)):
        (tmp_path / f"decay{c}.txt").write_text("".join("%.12f\n" % v for v in values))
    out = subprocess.run([str(build_dir / "tests" / "zorv_calibrate_check"), str(overflow)], cwd=tmp_path,
                         capture_output=True, text=True, timeout=60).stdout
    maxima = re.findall(r"^Channel \d decay: (\S+)    \(maximum\)$", out, re.M)
    held = re.findall(r"^decay_est (\S+) (\S+)$", out, re.M)
    assert len(maxima) == 2 and len(held) == 1, out
    for c in (0, 1):
        _, maximum, parabolic = analysis.calibration_estimates(
            files.read_decay_hist(tmp_path / f"decay_hist{c}.txt"))
        assert "%.10f" % maximum == maxima[c], (c, out)
        assert abs(parabolic - float(held[0][c])) <= PRECISION, (c, parabolic, out)
