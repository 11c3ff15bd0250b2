"""The numpy pulse model against the fitter's."""

import subprocess

import numpy as np

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
