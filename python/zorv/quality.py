"""How far a run's numbers can be trusted: the fit quality of every record,
the timing resolution of the coincidences, and the statistical
uncertainty of the positions the report reads off histograms (the
calibrated decay rate, the amplitude lines).

Fit quality. The RMS residual of a channel's fit is sqrt(ssr / 2500) in
ADC counts: what is left of the trace once the fitted model is taken away.
A fit that follows its pulse leaves the digitiser's noise, so over a run the
RMS residuals of a channel gather tightly around their median (white noise
of 2,500 samples spreads the RMS by about 1.4 %; the synthetic runs sit at a
few tens of ADC counts). A fit is flagged when its RMS residual exceeds
`OUTLIER_FACTOR` (5) times the median RMS residual of its channel over the
run: the model then misses the trace by far more than the noise, as a fit
that ran off to a wrong pulse or to the rails does (one such fit left an RMS
residual of 10,248 ADC counts, some 200 times the noise). A limit from the
median absolute deviation was not chosen: the core is so narrow that
median + k MAD would flag ordinary fits a few per cent above the median
(a little pile-up, a baseline that drifts), which are good fits.

Positions read off histograms. The calibration takes the decay rate, and
the report the position of an amplitude line, as the fullest bin refined by
the vertex of the parabola through it and its two neighbours. The
statistical uncertainty of such a position comes from the counts, each
Poisson distributed: it is the spread of the position over
`BOOTSTRAP_DRAWS` histograms whose counts are drawn from Poisson
distributions around the observed ones (a parametric bootstrap), each read
exactly as the original (fullest bin, the first of equal ones, then the
vertex). Propagating the counts' variances through the vertex formula to
first order was not chosen: it holds the fullest bin fixed, while on a
broad peak of a few dozen counts per bin, as the decay histograms of the
synthetic runs have, which bin is fullest changes from one histogram to the
next. There the linear propagation gives 0.4 bin widths where the estimate
scatters by 17 (drawing whole calibrations anew shows it), and where the
curvature of the three bins is barely measured it overstates the spread by
20 to 40 %. The spread of the fitted values over sqrt(n) was not chosen
either: it is the uncertainty of their mean, not of the position of the
fullest bin, which sees only the bins around the peak and scatters many
times more. Where the calibration keeps the fullest bin's centre (the
parabola not trusted), its uncertainty adds that of a value spread evenly
over the bin, width / sqrt(12), to the spread of that bin's position. The
draws are seeded: the same histogram gives the same uncertainty.

Timing resolution: the full width at half maximum of the histogram of the
position differences of the two channels, measured between the
half-maximum crossings on either side of the fullest bin, each
interpolated linearly between the centres of the last bin above half the
maximum and the first at or below it (`fwhm`).
"""

from dataclasses import dataclass
from typing import Optional, Sequence, Tuple, Union

import numpy as np

from .analysis import LINE_REACH, calibration_estimates
from .files import SAMPLES

OUTLIER_FACTOR = 5.0   # a fit is flagged above this many times its channel's median RMS residual
FWHM_PER_SIGMA = 2.0 * np.sqrt(2.0 * np.log(2.0))  # 2.3548..., the FWHM of a Gaussian in sigmas


def rms_residual(ssr: np.ndarray) -> np.ndarray:
    """The RMS residual per sample, sqrt(ssr / 2500), in ADC counts."""
    return np.sqrt(np.asarray(ssr, dtype=np.float64) / SAMPLES)


def outlier_limit(rms: np.ndarray, factor: float = OUTLIER_FACTOR) -> float:
    """The RMS residual above which a fit of the channel is flagged:
    `factor` times the median of `rms` (NaN for no fits)."""
    v = np.asarray(rms, dtype=np.float64)
    return factor * float(np.median(v)) if len(v) else float("nan")


def flag_outliers(rms: np.ndarray, factor: float = OUTLIER_FACTOR) -> np.ndarray:
    """True for the fits whose RMS residual exceeds `outlier_limit`."""
    v = np.asarray(rms, dtype=np.float64)
    return v > outlier_limit(v, factor) if len(v) else np.zeros(0, dtype=bool)


@dataclass(frozen=True, eq=False)
class FitQuality:
    """The fit quality of a run's records, per channel (A, B)."""
    rms: Tuple[np.ndarray, np.ndarray]        # RMS residual of every record (ADC counts)
    limit: Tuple[float, float]                # the RMS residual above which a fit is flagged
    flagged: Tuple[np.ndarray, np.ndarray]    # True for the flagged fits

    @property
    def either(self) -> np.ndarray:
        """True for the records flagged in channel A or B."""
        return self.flagged[0] | self.flagged[1]

    @property
    def counts(self) -> Tuple[int, int]:
        """Flagged fits of channels A and B."""
        return int(np.count_nonzero(self.flagged[0])), int(np.count_nonzero(self.flagged[1]))


def fit_quality(a: np.ndarray, b: np.ndarray, factor: float = OUTLIER_FACTOR) -> FitQuality:
    """The fit quality of the result records `a` and `b` (channels A, B)."""
    rms = (rms_residual(a["ssr"]), rms_residual(b["ssr"]))
    return FitQuality(rms=rms, limit=(outlier_limit(rms[0], factor), outlier_limit(rms[1], factor)),
                      flagged=(flag_outliers(rms[0], factor), flag_outliers(rms[1], factor)))


# ---------------------------------------------------------------------------
# Positions read off histograms, and their uncertainties

BOOTSTRAP_DRAWS = 2000
BOOTSTRAP_SEED = 20261208


def peak_uncertainty(counts: np.ndarray, first: int, last: int, step: float,
                     vertex: bool = True) -> float:
    """The statistical uncertainty of the position of the fullest of the
    bins `first` .. `last` of a histogram of `counts` on bins `step` apart,
    refined by the vertex through its neighbours when `vertex` (which needs
    1 <= first, last <= len - 2): the spread of that position over
    histograms drawn from Poisson distributions around the counts (see the
    module's description)."""
    d = np.asarray(counts, dtype=np.float64)
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    lo, hi = first - 1, last + 1 + 1  # the bins a draw needs, neighbours included
    drawn = rng.poisson(d[lo:hi], size=(BOOTSTRAP_DRAWS, hi - lo)).astype(np.float64)
    e = 1 + np.argmax(drawn[:, 1:-1], axis=1)  # within the draw, first of equal maxima
    if not vertex:
        return abs(step) * float(np.sqrt(np.var(e) + 1.0 / 12.0))
    rows = np.arange(BOOTSTRAP_DRAWS)
    y1, y2, y3 = drawn[rows, e - 1], drawn[rows, e], drawn[rows, e + 1]
    den = y1 - 2.0 * y2 + y3
    shift = np.divide(y1 - y3, 2.0 * den, out=np.zeros_like(den), where=den != 0)
    return abs(step) * float(np.std(e + shift))


def decay_rate_uncertainty(hist: np.ndarray, rate: Optional[float] = None) -> float:
    """The statistical uncertainty of the decay rate the calibration takes
    from the decay histogram `hist` (fields centre, count): that of the
    parabolic estimate, or, when the calibrated `rate` is the fullest bin's
    centre (kept where the parabola is not trusted), that of the fullest
    bin."""
    _, vmax, vpar = calibration_estimates(hist)
    centres = hist["centre"]
    n = len(centres)
    step = (float(centres[-1]) - float(centres[0])) / (n - 1)
    kept = rate is not None and abs(rate - vmax) <= 1.5e-10 < abs(rate - vpar)
    return peak_uncertainty(hist["count"], 1, n - 2, step, vertex=not kept)


def line_uncertainty(counts: np.ndarray, lo: float, hi: float, line: dict) -> float:
    """The statistical uncertainty of the position of an amplitude line
    found by `analysis.find_lines` in the spectrum `counts` on bins centred
    lo .. hi: its peak bin (the one next to its position whose count is the
    line's height) is the fullest within `analysis.LINE_REACH` bins either
    side, refined by the vertex."""
    d = np.asarray(counts, dtype=np.float64)
    n = len(d)
    step = (hi - lo) / (n - 1)
    near = int(np.clip(np.rint((line["position"] - lo) / step), 1, n - 2))
    p = min((k for k in (near, near - 1, near + 1) if 1 <= k <= n - 2 and d[k] == line["height"]),
            key=lambda k: abs(k - near), default=near)
    return peak_uncertainty(d, max(1, p - LINE_REACH), min(n - 2, p + LINE_REACH), step)


# ---------------------------------------------------------------------------
# Timing

def fwhm(counts: Union[Sequence[float], np.ndarray],
         edges: Union[Sequence[float], np.ndarray]) -> Tuple[float, float, float]:
    """(width, left, right): the full width at half maximum of a histogram
    of `counts` on bins with these `edges`, between its half-maximum
    crossings either side of the fullest bin (the first of equal ones);
    each crossing is interpolated linearly between the centres of the last
    bin above half the maximum and the first at or below it. NaN where the
    histogram is empty or does not fall to half its maximum on both sides."""
    d = np.asarray(counts, dtype=np.float64)
    e = np.asarray(edges, dtype=np.float64)
    nan = (float("nan"),) * 3
    if len(d) == 0 or not d.max() > 0:
        return nan
    x = 0.5 * (e[1:] + e[:-1])
    p = int(np.argmax(d))
    h = 0.5 * d[p]
    low = np.nonzero(d[:p] <= h)[0]
    high = np.nonzero(d[p:] <= h)[0]
    if len(low) == 0 or len(high) == 0:
        return nan
    L, R = int(low[-1]), p + int(high[0])
    left = x[L] + (h - d[L]) / (d[L + 1] - d[L]) * (x[L + 1] - x[L])
    right = x[R - 1] + (d[R - 1] - h) / (d[R - 1] - d[R]) * (x[R] - x[R - 1])
    return float(right - left), float(left), float(right)


@dataclass(frozen=True, eq=False)
class Timing:
    """The histogram of the position differences of channels A and B and
    its full width at half maximum."""
    counts: np.ndarray   # per bin
    edges: np.ndarray    # bin edges (samples)
    used: int            # differences counted (within the edges)
    outside: int         # differences beyond the edges, not counted
    median: float
    fwhm: float          # NaN when the peak is not contained
    half_left: float
    half_right: float


TIMING_TRIM = 0.5        # per cent of the differences left off either end of the histogram
TIMING_BINS = (20, 400)  # fewest and most bins


def timing_edges(diff: np.ndarray) -> np.ndarray:
    """Bin edges of a histogram of position differences: from the 0.5 to
    the 99.5 percentile, in bins of the Freedman-Diaconis width
    2 IQR / n^(1/3), which balances the counting noise of a bin against its
    width (20 to 400 bins)."""
    v = np.asarray(diff, dtype=np.float64)
    v = v[np.isfinite(v)]
    if len(v) == 0:
        return np.linspace(-1.0, 1.0, TIMING_BINS[0] + 1)
    lo, hi = np.percentile(v, [TIMING_TRIM, 100.0 - TIMING_TRIM])
    if not hi > lo:
        pad = max(abs(lo) * 1e-3, 0.5)
        lo, hi = lo - pad, hi + pad
    q25, q75 = np.percentile(v, [25, 75])
    width = 2.0 * (q75 - q25) / len(v) ** (1.0 / 3.0)
    n = int(np.clip(np.ceil((hi - lo) / width) if width > 0 else TIMING_BINS[1], *TIMING_BINS))
    return np.linspace(lo, hi, n + 1)


def timing(diff: np.ndarray, edges: Optional[np.ndarray] = None) -> Timing:
    """The histogram of the position differences `diff` (samples) on
    `edges` (default `timing_edges`) and its FWHM."""
    v = np.asarray(diff, dtype=np.float64)
    e = timing_edges(v) if edges is None else np.asarray(edges, dtype=np.float64)
    inside = (v >= e[0]) & (v <= e[-1])
    counts, _ = np.histogram(v[inside], bins=e)
    width, left, right = fwhm(counts, e)
    return Timing(counts=counts, edges=e, used=int(np.count_nonzero(inside)),
                  outside=int(len(v) - np.count_nonzero(inside)),
                  median=float(np.median(v)) if len(v) else float("nan"),
                  fwhm=width, half_left=left, half_right=right)


def position_differences(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """position 1 of channel A minus position 1 of channel B (samples)."""
    return np.asarray(a["position1"], dtype=np.float64) - np.asarray(b["position1"], dtype=np.float64)
