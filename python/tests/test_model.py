"""The numpy pulse model against the fitter's, and the worker's smoothing
and peak search on traces whose answer is known."""

import subprocess

import numpy as np
import pytest

from zorv import model


def read_table(text):
    """[(p, pulses, x, value)] from the table zorv_pulse_table writes."""
    cases = []
    lines = text.split("\n")
    i = 0
    while i < len(lines) and lines[i]:
        head = lines[i].split()
        assert head[0] == "p"
        rows = np.array([[float(v) for v in ln.split()] for ln in lines[i + 1:i + 2501]])
        cases.append(([float(v) for v in head[1:9]], int(head[9]), rows[:, 0], rows[:, 1]))
        i += 2501
    return cases


def test_model_equals_the_fitters(build_dir):
    out = subprocess.run([str(build_dir / "tests" / "zorv_pulse_table")], check=True,
                         capture_output=True, text=True).stdout
    cases = read_table(out)
    assert len(cases) == 8 and {c[1] for c in cases} == {1, 2}
    for p, pulses, x, want in cases:
        got = model.pulse_model(x, p, two_pulses=pulses == 2)
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=0, err_msg=f"p = {p}")
        # The table covers the flat start before the pulse, its rise and its decay.
        assert x.min() < p[3] - 100 and x.max() > p[3] + 300


def test_single_pulse_is_two_with_amplitude_2_zero():
    x = np.arange(0.0, 2500.0)
    p = [15330.0, -0.0015, -28000.0, 1250.0, 3.0, 5000.0, 0.0, 1500.0]
    assert np.array_equal(model.pulse_model(x, p, True), model.pulse_model(x, p, False))


# Smoothing: a 5-tap kernel 1 2 3 2 1 (normalised by 9).
KERNEL = np.array([1.0, 2.0, 3.0, 2.0, 1.0]) / 9.0


def test_smoothing_of_a_constant_stays_constant_at_the_ends():
    np.testing.assert_allclose(model.smooth(np.full(50, 7.0), KERNEL), 7.0, rtol=1e-13)


def test_smoothing_renormalises_at_the_ends():
    data = np.zeros(20)
    data[0] = 1.0
    out = model.smooth(data, KERNEL)
    # Index 0 uses taps 2..4 (weights 3, 2, 1): 3 / 6; index 1 taps 1..4: 2 / 8.
    assert out[0] == pytest.approx(0.5, abs=1e-14)
    assert out[1] == pytest.approx(0.25, abs=1e-14)
    assert out[2] == pytest.approx(1.0 / 9.0, abs=1e-14)
    assert out[3] == pytest.approx(0.0, abs=1e-14)


def test_smoothing_weighs_earlier_samples_with_the_first_coefficient():
    kernel = np.array([0.5, 0.3, 0.2])
    data = np.zeros(9)
    data[4] = 1.0
    # out[i] = sum_m c[m] data[i - 1 + m]: the impulse comes back reversed.
    np.testing.assert_allclose(model.smooth(data, kernel)[3:6], [0.2, 0.3, 0.5], atol=1e-14)


def trace_with_peaks(*positions, height=2000.0):
    """A baseline-corrected, smoothed-looking trace with triangular peaks."""
    x = np.arange(2500.0)
    y = np.zeros(2500)
    for t in positions:
        y = np.maximum(y, height - 40.0 * np.abs(x - t))
    return y


def test_peaks_above_the_threshold_only():
    assert len(model.find_peaks(trace_with_peaks(1000, height=500.0))[0]) == 0
    assert model.find_peaks(trace_with_peaks(400, 1000, 1600))[0].tolist() == [400.0, 1000.0, 1600.0]
    # A parabolic top: the refined position is its vertex.
    x = np.arange(2500.0)
    found, heights = model.find_peaks(900.0 - 5.0 * (x - 1000.25) ** 2)
    assert found.tolist() == [pytest.approx(1000.25, abs=1e-9)]
    assert heights.tolist() == [900.0 - 5.0 * 0.0625]
