"""The worker's view of a trace in numpy: the pulse model that the fitter
fits, the smoothing and the peak search, for drawing an event as the worker
saw it (why a channel was not fitted is counted by zorv_mpi itself, in its
run summary).

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

import numpy as np

from .files import PARAMETER_FIELDS, SAMPLES, holds_two_pulses, open_input

SQRT2 = 1.4142135623730951
PEAK_THRESHOLD = 500.0    # smoothed, baseline-corrected height of a peak
AMPLITUDE_FACTOR = 2.02932

_exp = np.frompyfunc(math.exp, 1, 1)
_erf = np.frompyfunc(math.erf, 1, 1)


def _libm(fn, a):
    return np.asarray(fn(np.asarray(a, dtype=np.float64)), dtype=np.float64)


def _pulse(x, amplitude, l, t, u0, g0, rs):
    d = x - t
    h = 0.5 * _libm(_exp, d * l + u0)
    g = g0 - d
    c = 1.0 - _libm(_erf, g / rs)
    return amplitude * h * c


def pulse_model(x, p, two_pulses=True):
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


def fitted_curve(record, x=None):
    """The fitted model of one result record (a row of a structured array
    from `read_results`) over the trace's samples 0 .. 2499 or at x."""
    if x is None:
        x = np.arange(SAMPLES, dtype=np.float64)
    p = [record[name] for name in PARAMETER_FIELDS]
    return pulse_model(x, p, two_pulses=holds_two_pulses(record))


MAX_KERNEL = 256  # coefficients zorv_mpi accepts in win.txt


def read_kernel(path):
    """The smoothing kernel of a "win.txt" (pairs "index coefficient"),
    normalised by the sum of the absolute values as zorv_mpi normalises it.
    Refuses with ValueError what zorv_mpi refuses: a pair that is not two
    numbers, a coefficient that is not finite, no coefficients, an even
    number or more than 256 of them, all of them zero."""
    with open_input(path, text=True) as f:
        words = f.read().split()
    c = np.empty((len(words) + 1) // 2)
    for k in range(len(c)):
        try:
            pair = [float(w) for w in words[2 * k:2 * k + 2]]
        except ValueError:
            raise ValueError(f"{path}: pair number {k + 1} is not a pair of numbers") from None
        if len(pair) == 1:
            raise ValueError(f"{path}: the last pair (number {k + 1}) is incomplete")
        c[k] = pair[1]
        if not np.isfinite(c[k]):
            raise ValueError(f"{path}: coefficient number {k + 1} is not finite")
    if len(c) == 0 or len(c) % 2 == 0 or len(c) > MAX_KERNEL:
        raise ValueError(f"{path}: holds {len(c)} coefficients; a kernel has an odd number of "
                         f"them, at most {MAX_KERNEL}")
    total = np.sum(np.abs(c))
    if total == 0 or not np.isfinite(total):
        raise ValueError(f"{path}: the coefficients are all zero or too large to normalise")
    return c / total


def smooth(traces, kernel):
    """Centred moving weighted average along the last axis, with the weights
    renormalised by the absolute values of the taps that fall inside the
    trace near its ends (coefficient 0 weighs the earliest sample). Works on
    one trace or on a stack of them; the sums are taken by FFT, which agrees
    with the worker's direct sums to about 1e-12 of the trace's scale."""
    traces = np.asarray(traces, dtype=np.float64)
    n = traces.shape[-1]
    L = len(kernel)
    h = L // 2
    size = 1 << int(np.ceil(np.log2(n + L)))
    rev = np.zeros(size)
    rev[:L] = kernel[::-1]
    ones = np.zeros(size)
    ones[:n] = 1.0
    kf = np.fft.rfft(rev)
    full = np.fft.irfft(np.fft.rfft(traces, size, axis=-1) * kf, size, axis=-1)
    absrev = np.zeros(size)
    absrev[:L] = np.abs(kernel[::-1])
    norm = np.fft.irfft(np.fft.rfft(ones) * np.fft.rfft(absrev), size)
    return full[..., h:h + n] / norm[h:h + n]


def vertex_terms(x1, y1, x2, y2, x3, y3):
    """Numerator and denominator of the abscissa of the vertex of the
    parabola through three points, in the form zorv_mpi evaluates them
    (scalars or arrays)."""
    num = 0.5 * ((x3 * x3 - x2 * x2) * y1 + (x1 * x1 - x3 * x3) * y2 + (x2 * x2 - x1 * x1) * y3)
    den = (x3 - x2) * y1 + (x1 - x3) * y2 + (x2 - x1) * y3
    return num, den


def find_peaks(smoothed):
    """Peaks of one smoothed, baseline-corrected trace by the worker's rule:
    strict local maxima above 500 away from the ends. Returns the positions
    refined by the parabola through the maximum and its neighbours, and the
    smoothed heights."""
    y = np.asarray(smoothed, dtype=np.float64)
    c = y[1:-1]
    i = np.nonzero((c > y[:-2]) & (c > y[2:]) & (c > PEAK_THRESHOLD))[0] + 1
    y1, y2, y3 = y[i - 1], y[i], y[i + 1]
    num, den = vertex_terms(i - 1.0, y1, i * 1.0, y2, i + 1.0, y3)
    return num / den, y2  # den < 0 at a strict maximum
