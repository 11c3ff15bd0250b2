"""Numbers the report derives from a run's files: the calibration's
estimates recomputed from a decay histogram, histogram ranges, and the
strongest lines of a spectrum with their widths."""

import numpy as np

from .model import vertex_terms


def vertex(x1, y1, x2, y2, x3, y3):
    """Abscissa of the vertex of the parabola through three points, in the
    form zorv_mpi evaluates it."""
    num, den = vertex_terms(x1, y1, x2, y2, x3, y3)
    return num / den if den != 0 else float("nan")


def calibration_estimates(hist):
    """The maximum-bin and parabolic decay rates of a decay histogram (from
    `read_decay_hist`), as the calibration takes them: the fullest of bins
    1 .. n-2 (the end bins hold the trimmed tails; the lowest bin wins a
    tie), then the vertex through it and its two neighbours. Returns
    (bin index, maximum-bin value, parabolic value)."""
    counts = hist["count"]
    centres = hist["centre"]
    e = 1 + int(np.argmax(counts[1:-1]))
    x = centres[e - 1:e + 2]
    y = counts[e - 1:e + 2].astype(np.float64)
    v = vertex(x[0], y[0], x[1], y[1], x[2], y[2])
    return e, float(centres[e]), (float(centres[e]) if np.isnan(v) else float(v))


def trimmed_range(*arrays, trim=0.5):
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


def bin_count(n, most=1000, least=40):
    """Bins for a spectrum of n values: about ten per square root of the
    events, so that a line of a thousand events shows its shape and a small
    run is not cut into empty bins."""
    return int(np.clip(10 * np.sqrt(max(n, 1)), least, most))


def find_lines(counts, edges, most=3):
    """The strongest lines of a spectrum: local maxima (the fullest bin
    within 3 bins either side) of at least 10 counts and 5 times the
    median of the non-empty bins, the tallest first, each at most `most`,
    and only those at least a tenth of the tallest. For each: `position`
    (vertex of the parabola through the top bin and its neighbours),
    `fwhm` (between the half-maximum crossings, interpolated linearly
    between bin centres), `height` (counts in the top bin) and `events`
    (counts within the full width)."""
    counts = np.asarray(counts, dtype=np.float64)
    centres = 0.5 * (edges[1:] + edges[:-1])
    n = len(counts)
    nonzero = counts[counts > 0]
    if len(nonzero) == 0:
        return []
    floor = max(10.0, 5.0 * float(np.median(nonzero)))
    candidates = []
    for i in range(1, n - 1):
        c = counts[i]
        if c < floor:
            continue
        lo, hi = max(0, i - 3), min(n, i + 4)
        window = counts[lo:hi]
        # The first bin of a flat top is the maximum.
        if c < window.max() or np.any(counts[lo:i] == c):
            continue
        candidates.append(i)
    candidates.sort(key=lambda i: -counts[i])
    lines = []
    for i in candidates[:most]:
        if counts[i] < 0.1 * counts[candidates[0]]:
            break
        half = 0.5 * counts[i]
        left = i
        while left > 0 and counts[left - 1] >= half:
            left -= 1
        right = i
        while right < n - 1 and counts[right + 1] >= half:
            right += 1
        # Crossings between the last bin above half and the next one below.
        if left > 0:
            a, b = counts[left - 1], counts[left]
            x_left = centres[left - 1] + (half - a) / (b - a) * (centres[left] - centres[left - 1])
        else:
            x_left = centres[0]
        if right < n - 1:
            a, b = counts[right], counts[right + 1]
            x_right = centres[right] + (a - half) / (a - b) * (centres[right + 1] - centres[right])
        else:
            x_right = centres[-1]
        position = vertex(centres[i - 1], counts[i - 1], centres[i], counts[i],
                          centres[i + 1], counts[i + 1])
        if not np.isfinite(position):
            position = centres[i]
        lines.append({"position": float(position), "fwhm": float(x_right - x_left),
                      "half_left": float(x_left), "half_right": float(x_right),
                      "height": float(counts[i]),
                      "events": int(counts[max(left, 0):right + 1].sum())})
    return lines
