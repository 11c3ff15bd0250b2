"""Numbers the report derives from a run's files: the calibration's
estimates recomputed from a decay histogram, histogram ranges, and the
amplitude spectrum with its strongest lines and their widths."""

from typing import Any, Dict, List, Tuple

import numpy as np


def vertex(x1: float, y1: float, x2: float, y2: float, x3: float, y3: float) -> float:
    """Abscissa of the vertex of the parabola through three points, in the
    form zorv_mpi evaluates it (the factor 0.5 on the numerator before the
    division)."""
    num = 0.5 * ((x3 * x3 - x2 * x2) * y1 + (x1 * x1 - x3 * x3) * y2 + (x2 * x2 - x1 * x1) * y3)
    den = (x3 - x2) * y1 + (x1 - x3) * y2 + (x2 - x1) * y3
    return num / den if den != 0 else float("nan")


def calibration_estimates(hist: np.ndarray) -> Tuple[int, float, float]:
    """The maximum-bin and parabolic decay rates of a decay histogram (from
    `read_decay_hist`), as the calibration takes them: the fullest of bins
    1 .. n-2 (the end bins hold the trimmed tails; the lowest bin wins a
    tie), then the vertex through it and its two neighbours. Returns
    (bin index, maximum-bin value, parabolic value); ValueError for fewer
    than 3 bins."""
    counts = hist["count"]
    centres = hist["centre"]
    if len(counts) < 3:
        raise ValueError(f"a decay histogram of {len(counts)} bins has no inner bin with two "
                         "neighbours")
    e = 1 + int(np.argmax(counts[1:-1]))
    x = centres[e - 1:e + 2]
    y = counts[e - 1:e + 2].astype(np.float64)
    v = vertex(x[0], y[0], x[1], y[1], x[2], y[2])
    return e, float(centres[e]), (float(centres[e]) if np.isnan(v) else float(v))


def trimmed_range(*arrays: Any, trim: float = 0.5) -> Tuple[float, float]:
    """Range from the `trim` to the 100 - `trim` percentile of all the values
    together (finite ones only); widened when they are all equal."""
    values = np.concatenate([np.asarray(a, dtype=np.float64).ravel() for a in arrays])
    values = values[np.isfinite(values)]
    if len(values) == 0:
        return 0.0, 1.0
    lo, hi = np.percentile(values, [trim, 100.0 - trim])
    if hi <= lo:
        pad = max(abs(lo) * 1e-3, 1e-9)
        lo, hi = lo - pad, hi + pad
    return float(lo), float(hi)


def bin_count(n: int, most: int = 1000, least: int = 40) -> int:
    """Bins for a spectrum of n values: about ten per square root of the
    events, so that a line of a thousand events shows its shape and a small
    run is not cut into empty bins."""
    return int(np.clip(10 * np.sqrt(max(n, 1)), least, most))


# The amplitude spectrum and its lines, as zorv_spectra makes them (spectra/
# spectra.cpp with the histogram library's histogram1D): the same axis, the
# same counts and the same rule, evaluated in the same order, so that the
# report and zorv_spectra's summary name the same lines at the same
# positions with the same widths.

SPECTRUM_BINS = 1000   # zorv_spectra's default (-n)
SPECTRUM_TRIM = 0.5    # percent left out at each end of the axis (--trim)
MOST_LINES = 3         # lines per channel in zorv_spectra's summary
LINE_FLOOR = 10.0      # counts a line's bin holds at least ...
LINE_CONTRAST = 5.0    # ... and at least this many times the continuum
LINE_REACH = 3         # a line's bin is the fullest within this many bins either side


def quantile(ordered: Any, f: float) -> float:
    """The value below which a fraction f of the sorted values lies,
    q(f) = v[k] + (v[k + 1] - v[k]) (f (N - 1) - k), k = floor(f (N - 1))."""
    pos = f * (len(ordered) - 1)
    k = int(pos)
    if k + 1 >= len(ordered):
        return float(ordered[-1])
    step = float(ordered[k + 1]) - float(ordered[k])
    if not np.isfinite(step):
        return float(ordered[k]) * (1.0 - (pos - k)) + float(ordered[k + 1]) * (pos - k)
    return float(ordered[k]) + step * (pos - k)


def spectrum_axis(*arrays: Any, trim: float = SPECTRUM_TRIM) -> Tuple[float, float]:
    """(lo, hi): the centres of the end bins of a spectrum of the values of
    all the arrays, from the `trim` to the 100 - `trim` percentile; a range
    of zero width is widened by 1 % of the value each side (0.5 around 0 or
    where 1 % of the value rounds to 0)."""
    values = np.sort(np.concatenate([np.asarray(a, dtype=np.float64).ravel() for a in arrays]))
    lo = quantile(values, trim / 100.0)
    hi = quantile(values, 1.0 - trim / 100.0)
    if not lo < hi:
        half = 0.01 * abs(lo)
        if not lo - half < lo + half:  # 0, or a subnormal whose 1 % rounds to nothing
            half = 0.5
        lo, hi = lo - half, lo + half
    return lo, hi


def spectrum_counts(values: Any, lo: float, hi: float, bins: int = SPECTRUM_BINS) -> np.ndarray:
    """Counts of `bins` bins with centres lo .. hi: a value goes to bin
    trunc((n - 1)(x - lo)/(hi - lo) + 0.5), everything off the axis to the
    end bins."""
    x = np.asarray(values, dtype=np.float64)
    k = (bins - 1) * (x - lo) / (hi - lo) + 0.5
    k = np.where(np.isnan(k) | (k < 0.0), 0.0, np.where(k >= bins, bins - 1.0, k))
    return np.bincount(k.astype(np.int64), minlength=bins).astype(np.float64)


def bin_centre(i: float, bins: int, lo: float, hi: float) -> float:
    return (i / (bins - 1)) * (hi - lo) + lo


def half_max_crossings(d: Any, c: int) -> Tuple[float, float]:
    """The half-maximum crossings (left, right), in bin units, of the peak
    of the counts d nearest to bin c: the peak is the fullest of c and bins
    c - 2, c - 1, c + 1 (a later one only when strictly fuller); each
    crossing is interpolated linearly between the last bin above half the
    peak and the first at or below it, and stops at an end bin still above
    it. (nan, nan) without a positive peak where a neighbour is missing."""
    n = len(d)
    p = c
    for b in range(c - 2, c + 2):
        if 0 <= b < n and d[b] > d[p]:
            p = b
    h = 0.5 * d[p]
    L = p
    while L > 0 and d[L] > h:
        L -= 1
    R = p
    if d[p] > h:
        while R < n - 1 and d[R] > h:
            R += 1
    nan = float("nan")
    if d[L] > h:
        left = float(L)
    elif L + 1 > n - 1:
        return nan, nan
    else:
        left = ((d[L + 1] - h) * L + (h - d[L]) * (L + 1)) / (d[L + 1] - d[L])
    if d[R] > h:
        right = float(R)
    elif R - 1 < 0:
        return nan, nan
    else:
        right = ((d[R - 1] - h) * R + (h - d[R]) * (R - 1)) / (d[R - 1] - d[R])
    return left, right


def find_lines(counts: Any, lo: float, hi: float, most: int = MOST_LINES) -> List[Dict[str, Any]]:
    """The strongest lines of a spectrum of counts on bins with centres
    lo .. hi, tallest first, by the one rule for amplitude lines that
    zorv_spectra applies too (spectra/spectra.h, strongest_lines):

    - a candidate is an interior bin with at least 10 counts and at least 5
      times the median of the interior bins (the continuum; the end bins hold
      what lies off the axis), that is the fullest interior bin within 3 bins
      either side (the first of a flat top): the floor keeps the Poisson
      spikes of a sparse spectrum out, the reach the noisy top of one line
      from counting twice;
    - going down from the tallest, a candidate is a line of its own only if
      the spectrum between it and every line already taken dips below half
      its height; otherwise it is a shoulder of that line or part of a broad
      one;
    - at most `most` lines.

    For each: `position`, the vertex of the parabola through the peak bin and
    its neighbours, x2 + s (y1 - y3) / (2 (y1 - 2 y2 + y3)) (the bin centre
    for a flat top); `fwhm`, the histogram library's width at half maximum
    around the peak (`half_left` and `half_right` its crossings); `height`,
    the count of the peak bin; `events`, the counts of the bins within the
    crossings."""
    d = np.asarray(counts, dtype=np.float64)
    n = len(d)
    if n < 3:
        return []
    continuum = np.sort(d[1:-1])[(n - 2) // 2]
    threshold = max(LINE_FLOOR, LINE_CONTRAST * continuum)
    peaks = []
    for i in range(1, n - 1):
        if d[i] < threshold:
            continue
        first, last = max(1, i - LINE_REACH), min(n - 2, i + LINE_REACH)
        if d[first:last + 1].max() > d[i] or np.any(d[first:i] == d[i]):
            continue
        peaks.append(i)
    peaks.sort(key=lambda i: -d[i])
    chosen: List[int] = []
    lines = []
    for p in peaks:
        if len(chosen) >= most:
            break
        if any(not d[min(p, c):max(p, c) + 1].min() < 0.5 * d[p] for c in chosen):
            continue
        chosen.append(p)
        x2 = bin_centre(p, n, lo, hi)
        step = 0.5 * (bin_centre(p + 1, n, lo, hi) - bin_centre(p - 1, n, lo, hi))
        y1, y2, y3 = d[p - 1], d[p], d[p + 1]
        den = y1 - 2.0 * y2 + y3
        position = x2 + step * ((y1 - y3) / (2.0 * den)) if den != 0.0 else x2
        # The width around the bin of x2, as histogram1D::fwhm finds it.
        c = int((n - 1) * (x2 - lo) / (hi - lo) + 0.5)
        left, right = half_max_crossings(d, c)
        inside = d[int(np.ceil(left)):int(np.floor(right)) + 1] if left == left else d[p:p + 1]
        lines.append({"position": position, "fwhm": (right - left) / (n - 1) * (hi - lo),
                      "half_left": bin_centre(left, n, lo, hi), "half_right": bin_centre(right, n, lo, hi),
                      "height": float(y2), "events": int(inside.sum())})
    return lines


def amplitude_lines(a: np.ndarray, b: np.ndarray, bins: int = SPECTRUM_BINS) -> Tuple[
        float, float, List[np.ndarray], List[List[Dict[str, Any]]]]:
    """The amplitude spectra of two result arrays (channels A and B) on their
    common axis and the lines of each: (lo, hi, [counts A, counts B],
    [lines A, lines B])."""
    lo, hi = spectrum_axis(a["amplitude1"], b["amplitude1"])
    counts = [spectrum_counts(rec["amplitude1"], lo, hi, bins) for rec in (a, b)]
    return lo, hi, counts, [find_lines(c, lo, hi) for c in counts]
