"""The numbers that say how far a run can be trusted: the FWHM of a
histogram against widths known beforehand, the outlier rule on tables of
RMS residuals, and the uncertainty of a three-bin vertex against the
scatter of the vertex over many drawn histograms."""

import math

import numpy as np
import pytest

from zorv import analysis, quality


def gaussian_counts(sigma, width, centre=0.0, events=1e5, reach=6.0):
    """Expected counts of a Gaussian of `events` in bins of `width`."""
    edges = np.arange(centre - reach * sigma, centre + reach * sigma + width, width)
    cdf = np.array([0.5 * (1 + math.erf((e - centre) / (sigma * math.sqrt(2)))) for e in edges])
    return events * np.diff(cdf), edges


# (sigma, bin width, centre): a Gaussian's FWHM is 2.3548 sigma; the
# interpolated crossings hold it to within a bin width.
GAUSSIANS = [(1.0, 0.1, 0.0), (3.0, 0.5, 12.3), (40.0, 4.0, -250.0), (2.0, 1.0, 0.37)]


@pytest.mark.parametrize("sigma, width, centre", GAUSSIANS)
def test_fwhm_of_a_gaussian(sigma, width, centre):
    counts, edges = gaussian_counts(sigma, width, centre)
    got, left, right = quality.fwhm(counts, edges)
    assert abs(got - 2.35482 * sigma) < width
    assert abs(0.5 * (left + right) - centre) < width / 2


def test_fwhm_of_a_sample_drawn_from_a_gaussian():
    rng = np.random.default_rng(5)
    t = quality.timing(rng.normal(7.0, 3.0, 200_000))
    assert abs(t.fwhm / (2.35482 * 3.0) - 1) < 0.03
    assert t.used + t.outside == 200_000 and 0 < t.outside < 0.02 * 200_000


# (counts on unit bins from 0, FWHM): triangles, where linear interpolation
# is exact, and histograms that do not fall to half their maximum.
SHAPES = [
    ([0, 1, 2, 3, 4, 3, 2, 1, 0], 4.0),
    ([0, 2, 4, 2, 0], 2.0),
    ([0, 0, 6, 6, 0, 0], 2.0),     # a flat top: the first of equal bins is the peak
    ([5, 4, 1], float("nan")),     # the peak at the edge
    ([1, 3, 4, 3], float("nan")),  # not back to half on the right
    ([0, 0, 0], float("nan")),
]


@pytest.mark.parametrize("counts, want", SHAPES)
def test_fwhm_of_shapes(counts, want):
    got = quality.fwhm(counts, np.arange(len(counts) + 1.0))[0]
    assert got == pytest.approx(want, nan_ok=True)


def noise(n, rms=50.0, seed=1):
    """RMS residuals of n good fits: white noise of `rms` over 2,500 samples."""
    rng = np.random.default_rng(seed)
    return rms * np.sqrt(rng.chisquare(2500, n) / 2500)


# (RMS residuals of a channel, fits flagged)
OUTLIERS = {
    "noise alone": (noise(10_000), 0),
    "a rail-to-rail fit": (np.append(noise(10_000), 10_248.0), 1),
    "pile-up a little above the noise": (np.append(noise(1000), [60.0, 80.0, 120.0]), 0),
    "just below and above 5 times the median": (np.array([50.0] * 9 + [249.9, 250.1]), 1),
    "three broken fits": (np.append(noise(500), [1308.6, 4430.1, 10248.5]), 3),
    "every fit alike": (np.full(100, 50.0), 0),
    "no fits": (np.zeros(0), 0),
}


@pytest.mark.parametrize("rms, flagged", OUTLIERS.values(), ids=OUTLIERS.keys())
def test_outlier_rule(rms, flagged):
    assert np.count_nonzero(quality.flag_outliers(rms)) == flagged


def test_fit_quality_per_channel():
    a = np.zeros(4, dtype=[("ssr", "<f8")])
    b = np.zeros(4, dtype=[("ssr", "<f8")])
    a["ssr"] = 2500 * np.array([50.0, 50.0, 50.0, 300.0]) ** 2
    b["ssr"] = 2500 * np.array([40.0, 41.0, 39.0, 40.0]) ** 2
    q = quality.fit_quality(a, b)
    assert q.counts == (1, 0) and q.either.tolist() == [False, False, False, True]
    assert q.limit == pytest.approx((250.0, 200.0))


def vertex(d, step=1.0):
    """The fullest inner bin of counts d refined by the vertex, as the
    calibration reads its histogram."""
    p = 1 + int(np.argmax(d[1:-1]))
    den = d[p - 1] - 2 * d[p] + d[p + 1]
    return step * (p + ((d[p - 1] - d[p + 1]) / (2 * den) if den else 0.0))


# (peak counts, sigma in bins): sharp and broad peaks, well and barely
# measured curvature.
PEAKS = [(400.0, 4.0), (2000.0, 6.0), (150.0, 2.5), (70.0, 1.2), (5000.0, 1.5)]


@pytest.mark.parametrize("height, sigma", PEAKS)
def test_peak_uncertainty_is_the_scatter_over_independent_histograms(height, sigma):
    rng = np.random.default_rng(3)
    k = np.arange(61)
    y = height * np.exp(-0.5 * ((k - 30.3) / sigma) ** 2) + 1
    drawn = rng.poisson(y, size=(2000, len(y))).astype(float)
    scatter = np.std([vertex(d, 0.5) for d in drawn])
    # What one histogram tells of itself, typically.
    told = np.median([quality.peak_uncertainty(d, 1, len(d) - 2, 0.5) for d in drawn[:25]])
    assert told == pytest.approx(scatter, rel=0.2)


def test_peak_uncertainty_where_the_curvature_is_well_measured_is_the_linear_one():
    y = np.array([0, 1e4, 4e4, 9e4, 6e4, 2e4, 0])
    y1, y2, y3 = y[2:5]
    linear = math.sqrt((y3 - y2) ** 2 * y1 + (y1 - y3) ** 2 * y2 + (y2 - y1) ** 2 * y3) / (
        y1 - 2 * y2 + y3) ** 2
    assert quality.peak_uncertainty(y, 1, 5, 1.0) == pytest.approx(linear, rel=0.05)


def test_line_position_uncertainty_is_its_scatter():
    rng = np.random.default_rng(11)
    positions, told = [], []
    for _ in range(300):
        amp = np.concatenate([rng.normal(15330, 40, 3000), rng.uniform(12000, 40000, 3000)])
        lo, hi = 12000.0, 40000.0
        counts = analysis.spectrum_counts(amp, lo, hi)
        line = analysis.find_lines(counts, lo, hi)[0]
        positions.append(line["position"])
        told.append(quality.line_uncertainty(counts, lo, hi, line))
    assert np.median(told) == pytest.approx(np.std(positions), rel=0.2)


def histogram(counts, lo=-0.0016, step=8e-7):
    out = np.zeros(len(counts), dtype=[("centre", "<f8"), ("count", "<i8")])
    out["centre"] = lo + step * np.arange(len(counts))
    out["count"] = counts
    return out


# (counts of a decay histogram, calibrated rate or None, range of the
# uncertainty in bin widths): a peak too sharp for its bin to move keeps the
# width of a bin when the calibration keeps the bin's centre, and hardly any
# with the vertex.
DECAY = {
    "maximum bin kept": ([0, 0, 10**6, 10**5, 0], -0.0016 + 2 * 8e-7, (1 / math.sqrt(12),) * 2),
    "parabolic": ([0, 0, 10**6, 10**5, 0], None, (0.0, 0.01)),
    "flat: the peak anywhere among 5 inner bins": ([30] * 7, None, (1.0, 2.0)),
}


@pytest.mark.parametrize("counts, rate, bins", DECAY.values(), ids=DECAY.keys())
def test_decay_rate_uncertainty(counts, rate, bins):
    got = quality.decay_rate_uncertainty(histogram(counts), rate) / 8e-7
    assert bins[0] - 1e-9 <= got <= bins[1] + 1e-9
