"""The pulse model that the fitter fits, in numpy, for drawing the fit of a
result record over its raw event. (How the worker smoothed an event and
which peaks it found, zorv_event tells: see zorv.explain.)

Pulse model (parameter vector p in the result-record order after the
residual sum of squares):

    model(x) = pulse_1(x) + pulse_2(x) + B + C exp(lambda x)
    pulse_k(x) = A_k h_k c_k,    h_k = 0.5 exp((x - t_k) lambda + 0.5 lambda^2 sigma^2),
    c_k = 1 - erf((-lambda sigma^2 - (x - t_k)) / (sqrt2 sigma))

    p = A1, lambda, B, t1, sigma, C, A2, t2

Each pulse is an exponential decay A_k exp(lambda (x - t_k)) that starts at
t_k, convolved with a unit-area Gaussian of standard deviation sigma. Every
expression is evaluated in the fitter's operand order, with the C library's
exp and erf (Python's math module calls them), so the curve agrees with the
fitter's to the last bit or so: the tests hold it to 1e-12 relative.
"""

import math
from typing import Any, Optional, Sequence

import numpy as np

from .files import PARAMETER_FIELDS, SAMPLES, holds_two_pulses

SQRT2 = 1.4142135623730951

_exp = np.frompyfunc(math.exp, 1, 1)
_erf = np.frompyfunc(math.erf, 1, 1)


def _libm(fn: Any, a: Any) -> np.ndarray:
    return np.asarray(fn(np.asarray(a, dtype=np.float64)), dtype=np.float64)


def _pulse(x: np.ndarray, amplitude: float, l: float, t: float, u0: float, g0: float,
           rs: float) -> np.ndarray:
    d = x - t
    h = 0.5 * _libm(_exp, d * l + u0)
    g = g0 - d
    c = 1.0 - _libm(_erf, g / rs)
    return amplitude * h * c


def pulse_model(x: Any, p: Sequence[float], two_pulses: bool = True) -> np.ndarray:
    """Model value at the abscissae x (samples, any shape) for the parameter
    vector p (8 values). With two_pulses=False the second pulse is left out,
    as the fitter leaves it out of a single-pulse fit; a fit with amplitude 2
    held at 0 gives the same values either way."""
    x = np.asarray(x, dtype=np.float64)
    A1, l, B, t1, s, C, A2, t2 = (float(v) for v in p)
    l2 = l * l
    s2 = s * s
    u0 = 0.5 * l2 * s2
    g0 = -l * s2
    rs = SQRT2 * s
    pulses = _pulse(x, A1, l, t1, u0, g0, rs)
    if two_pulses:
        pulses = pulses + _pulse(x, A2, l, t2, u0, g0, rs)
    return pulses + B + C * _libm(_exp, l * x)


def fitted_curve(record: Any, x: Optional[Any] = None) -> np.ndarray:
    """The fitted model of one result record (a row of a structured array
    from `read_results`) over the trace's samples 0 .. 2499 or at x."""
    if x is None:
        x = np.arange(SAMPLES, dtype=np.float64)
    p = [record[name] for name in PARAMETER_FIELDS]
    return pulse_model(x, p, two_pulses=holds_two_pulses(record))
