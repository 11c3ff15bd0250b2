"""The report's figures: zorv.plot draws each picture, this module lays
them out, saves them as PNG (matplotlib's Agg, no display needed) and
writes beside every figure "<name>.csv", the numbers it plots, with a
header row naming the columns.

Every figure has labelled axes with units; channel A is blue and channel B
orange throughout.
"""

import os
from typing import Any, List, Optional, Sequence, Tuple, Union

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from . import plot  # noqa: E402
from .files import SAMPLES  # noqa: E402
from .quality import FitQuality, Timing  # noqa: E402
from .vocabulary import TEMPORARY_SUFFIX, decay_histogram_name  # noqa: E402

CHANNEL = plot.CHANNEL
DPI = 100

plt.rcParams.update({
    "font.size": 10,
    "axes.titlesize": 11,
    "axes.titleweight": "bold",
    "axes.labelsize": 10,
    "axes.grid": True,
    "grid.alpha": 0.25,
    "grid.linewidth": 0.6,
    "axes.spines.top": False,
    "axes.spines.right": False,
    "legend.fontsize": 9,
    "legend.framealpha": 0.85,
    "figure.dpi": DPI,
    "savefig.dpi": DPI,
})

Column = Union[np.ndarray, Sequence[Any]]


def csv_name(figure_name: str) -> str:
    """The CSV file beside a figure: "amplitudes.png" -> "amplitudes.csv"."""
    return os.path.splitext(figure_name)[0] + ".csv"


def save(fig: Any, path: str) -> None:
    # Constrained layout already fits everything in: no second, "tight" pass.
    fig.savefig(path, facecolor="white")
    plt.close(fig)


def _cell(v: Any) -> str:
    if isinstance(v, (str, np.str_)):
        return v
    if isinstance(v, (int, np.integer)):
        return str(int(v))
    f = float(v)
    return "" if f != f else repr(f)  # NaN: nothing known, an empty cell


def write_csv(path: str, header: Sequence[str], columns: Sequence[Column]) -> None:
    """A CSV file of equally long `columns` under a `header` row; floats
    with all their digits, NaN as an empty cell. Written whole or not at
    all (a temporary file renamed into place)."""
    rows = zip(*[list(c) for c in columns])
    tmp = path + TEMPORARY_SUFFIX
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write(",".join(header) + "\n")
        for row in rows:
            f.write(",".join(_cell(v) for v in row) + "\n")
    os.replace(tmp, path)


def _bins(edges: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    return edges[:-1], edges[1:]


# ---------------------------------------------------------------------------

def calibration(path: str, hists: Sequence[Optional[np.ndarray]],
                rates: Optional[Sequence[float]]) -> None:
    """Decay-rate histograms of the calibration phase, one row per channel:
    the whole histogram with the estimates marked, and a zoom on the
    fullest bin (plot.calibration); `rates` are the calibrated rates
    zorv_mpi recorded (None when not known). CSV: channel, bin centre,
    count."""
    fig, axes = plt.subplots(2, 2, figsize=(12, 8.2), constrained_layout=True,
                             gridspec_kw={"width_ratios": [2.6, 1]})
    rows: List[List[Any]] = [[], [], []]
    for c in (0, 1):
        ax, zoom = axes[c]
        h = hists[c]
        if h is None:
            plot.note(ax, f"{decay_histogram_name(c)} is missing")
            ax.set_title(f"Channel {CHANNEL[c]}")
            zoom.set_visible(False)
            continue
        plot.calibration(h, c, ax, rate=rates[c] if rates is not None else None)
        plot.calibration(h, c, zoom, zoom=True)
        rows[0] += [CHANNEL[c]] * len(h)
        rows[1] += list(h["centre"])
        rows[2] += list(h["count"])
    save(fig, path)
    write_csv(csv_name(path), ["channel", "decay_rate", "fits"], rows)


def amplitude_spectra(path: str, lines: plot.Spectrum) -> None:
    """Amplitude 1 of both channels (plot.spectrum), side by side with one
    count axis; `lines` is analysis.amplitude_lines of the records shown.
    CSV: bin edges and the fits of each channel per bin (the end bins also
    count what lies beyond)."""
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.4), constrained_layout=True, sharey=True)
    for c, ax in enumerate(axes):
        plot.spectrum(None, c, ax, lines=lines)
    axes[1].set_ylabel("")
    save(fig, path)
    low, high = _bins(plot.spectrum_edges(lines))
    write_csv(csv_name(path), ["amplitude1_low", "amplitude1_high", "fits_A", "fits_B"],
              [low, high, lines[2][0].astype(np.int64), lines[2][1].astype(np.int64)])


# The panels of the fit parameters figure, in order.
DISTRIBUTIONS = ("position1", "width", "ssr", "separation")


def distributions(path: str, a: np.ndarray, b: np.ndarray) -> None:
    """Position 1, width, residual sum of squares and pulse separation of
    both channels, one panel each (plot.parameter). CSV: quantity, channel,
    bin edges, fits per bin (the end bins of a panel also count what lies
    beyond)."""
    fig, axes = plt.subplots(2, 2, figsize=(12, 8), constrained_layout=True)
    rows: List[List[Any]] = [[], [], [], [], []]
    for ax, field in zip(axes.flat, DISTRIBUTIONS):
        plot.parameter((a, b), field, ax)
        values = [plot.parameter_values(r, field) for r in (a, b)]
        edges = plot.parameter_edges(values, field)
        if edges is None:
            continue
        for c, v in enumerate(values):
            counts = plot.clipped_counts(v, edges)
            rows[0] += [field] * len(counts)
            rows[1] += [CHANNEL[c]] * len(counts)
            rows[2] += list(edges[:-1])
            rows[3] += list(edges[1:])
            rows[4] += list(counts)
    save(fig, path)
    write_csv(csv_name(path), ["quantity", "channel", "low", "high", "fits"], rows)


def amplitude_map(path: str, a: np.ndarray, b: np.ndarray,
                  lines: Sequence[Sequence[dict]]) -> None:
    """Amplitude 1 of channel A against channel B (plot.coincidence_map).
    CSV: every cell, its edges in A and B and its events."""
    fig, ax = plt.subplots(figsize=(7.6, 6.4), constrained_layout=True)
    plot.coincidence_map((a, b), ax, lines=lines)
    save(fig, path)
    h, edges = plot.coincidence_counts(a, b)
    n = len(edges) - 1
    i, j = np.divmod(np.arange(n * n), n)
    write_csv(csv_name(path), ["amplitude1_A_low", "amplitude1_A_high", "amplitude1_B_low",
                               "amplitude1_B_high", "events"],
              [edges[i], edges[i + 1], edges[j], edges[j + 1], h[i, j].astype(np.int64)])


def fit_quality(path: str, q: FitQuality) -> None:
    """The RMS residuals of both channels (plot.fit_quality) on one axis.
    CSV: channel, bin edges, fits per bin."""
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.2), constrained_layout=True, sharex=True)
    edges = plot.rms_edges(q.rms, q.limit)
    rows: List[List[Any]] = [[], [], [], []]
    for c, ax in enumerate(axes):
        plot.fit_quality(q.rms[c], c, ax, edges=edges)
        counts, _ = np.histogram(q.rms[c], bins=edges)
        rows[0] += [CHANNEL[c]] * len(counts)
        rows[1] += list(edges[:-1])
        rows[2] += list(edges[1:])
        rows[3] += list(counts)
    save(fig, path)
    write_csv(csv_name(path), ["channel", "rms_low", "rms_high", "fits"], rows)


def timing(path: str, t: Timing) -> None:
    """The histogram of the position differences of channels A and B with
    its FWHM (plot.time_difference). CSV: bin edges, events per bin."""
    fig, ax = plt.subplots(figsize=(8.4, 4.6), constrained_layout=True)
    plot.time_difference(None, ax, timing=t)
    save(fig, path)
    low, high = _bins(t.edges)
    write_csv(csv_name(path), ["difference_low", "difference_high", "events"], [low, high, t.counts])


def event(path: str, title: str, samples: Optional[np.ndarray],
          smoothed: Optional[Sequence[np.ndarray]], models: Optional[Sequence[np.ndarray]],
          records: Optional[Sequence[np.void]], bcg_est: Sequence[float],
          decisions: Optional[Sequence[str]] = None,
          peaks: Optional[Sequence[Sequence[float]]] = None) -> None:
    """One event, both channels (plot.event_trace): raw trace, smoothed
    trace (baseline subtracted) and fitted model (any of them may be None)
    over the whole trace and zoomed on the first pulse, with the residuals
    of the fit underneath. Without a fit, `decisions` says per channel what
    the worker made of it, and `peaks`, per channel the positions of the
    peaks it found in the smoothed trace, are marked on it. CSV: per sample
    the raw samples, the smoothed trace as drawn (bcg_est added back) and
    the fit of each channel, empty where not known."""
    fitted = models is not None
    # A fixed layout: twelve of these figures per report, and a layout engine
    # would cost more than drawing them.
    height = 5.0 if fitted else 3.9
    fig = plt.figure(figsize=(13, height))
    grid = fig.add_gridspec(2 if fitted else 1, 4, width_ratios=[2.4, 1, 2.4, 1],
                            height_ratios=[3.2, 1] if fitted else [1],
                            left=0.065, right=0.99, bottom=0.5 / height, top=1 - 0.62 / height,
                            wspace=0.3, hspace=0.08)
    for c in (0, 1):
        full = fig.add_subplot(grid[0, 2 * c])
        zoom = fig.add_subplot(grid[0, 2 * c + 1])
        trace = samples[:, c] if samples is not None else None
        for ax, zoomed in ((full, False), (zoom, True)):
            plot.event_trace(ax, c, samples=trace,
                             smoothed=smoothed[c] if smoothed is not None else None,
                             model=models[c] if models is not None else None,
                             record=records[c] if records is not None else None,
                             bcg_est=bcg_est[c], peaks=peaks[c] if peaks is not None else None,
                             decision=decisions[c] if decisions is not None else None, zoom=zoomed)
        if models is None:
            full.set_xlabel("sample")
            zoom.set_xlabel("sample")
            continue
        plt.setp(full.get_xticklabels(), visible=False)
        plt.setp(zoom.get_xticklabels(), visible=False)
        plot.event_residuals(fig.add_subplot(grid[1, 2 * c], sharex=full), trace, models[c])
        plot.event_residuals(fig.add_subplot(grid[1, 2 * c + 1], sharex=zoom), trace, models[c],
                             zoom=True)
    fig.suptitle(title, fontsize=11, fontweight="bold")
    save(fig, path)
    nan = np.full(SAMPLES, np.nan)
    columns: List[Column] = [np.arange(SAMPLES)]
    header = ["sample"]
    for c in (0, 1):
        header += [f"raw_{CHANNEL[c]}", f"smoothed_{CHANNEL[c]}", f"fit_{CHANNEL[c]}"]
        columns += [samples[:, c].astype(np.int64) if samples is not None else nan,
                    smoothed[c] + bcg_est[c] if smoothed is not None else nan,
                    models[c] if models is not None else nan]
    write_csv(csv_name(path), header, columns)
