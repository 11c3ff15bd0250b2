"""The report's pictures, one function each, for notebooks and scripts:

    import zorv, zorv.plot
    run = zorv.open_run("work")
    ax = zorv.plot.spectrum(run, channel=0)           # a new figure
    fig, (left, right) = plt.subplots(1, 2)
    zorv.plot.time_difference(run, ax=left)           # or on Axes of your own
    zorv.plot.fit_quality(run.events[good], channel=1, ax=right)

Every function draws on the matplotlib Axes `ax` (a new figure's when
None) and returns it. The data may be a run (anything with `.events`: a
structured array of fields a_<field> and b_<field> for the result fields,
and `session`, `record`), such an events array or a selection of it, a pair
(a, b) of result-record arrays as `zorv.read_results` returns them, or,
where one quantity is drawn, a plain array of its values.

The report draws its figures with these same functions (zorv.figures lays
them out and saves them). Channel A is blue and channel B orange
throughout. Amplitudes, baselines and residuals are in ADC counts (raw
sample units), positions and widths in samples (one sample per time bin),
decay rates per sample.
"""

import os
from typing import Any, Dict, List, Optional, Protocol, Sequence, Tuple, Union

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.colors import LogNorm
from matplotlib.ticker import FuncFormatter

from . import quality
from .analysis import (amplitude_lines, bin_count, calibration_estimates, find_lines,
                       spectrum_axis, spectrum_counts, trimmed_range)
from .files import (RESULT_DTYPE, RESULT_FIELDS, SAMPLES, holds_two_pulses, read_decay_hist)
from .model import fitted_curve
from .vocabulary import decay_histogram_name

Axes = Any  # matplotlib.axes.Axes (matplotlib ships no type information here)

CHANNEL = ("A", "B")
COLOUR = ("#1f77b4", "#e8710a")
FIT_COLOUR = "#c0152f"
PEAK_THRESHOLD = 500.0  # the smoothed, baseline-corrected height a peak must pass
PREFIX = ("a_", "b_")   # of a channel's fields in a run's events


class HasEvents(Protocol):
    events: np.ndarray


Data = Union[HasEvents, np.ndarray, Tuple[np.ndarray, np.ndarray]]
Spectrum = Tuple[float, float, List[np.ndarray], List[List[dict]]]


def thousands_format(v: float, _: Any = None) -> str:
    return f"{v:,.0f}"


thousands = FuncFormatter(thousands_format)


# ---------------------------------------------------------------------------
# What the functions take

def channels(data: Data) -> Tuple[np.ndarray, np.ndarray]:
    """The result records of channels A and B of `data` (a run, its events
    or a selection of them, or a pair of result-record arrays), as two
    arrays of the result files' layout; TypeError for anything else."""
    events: Any = getattr(data, "events", data)
    if isinstance(events, (tuple, list)) and len(events) == 2:
        return np.asarray(events[0]), np.asarray(events[1])
    names = getattr(getattr(events, "dtype", None), "names", None) or ()
    if all(p + f in names for p in PREFIX for f in RESULT_FIELDS):
        pair = []
        for p in PREFIX:
            rec = np.empty(len(events), dtype=RESULT_DTYPE)
            for f in RESULT_FIELDS:
                rec[f] = events[p + f]
            pair.append(rec)
        return pair[0], pair[1]
    raise TypeError("expected a run, its events (fields a_<field>, b_<field>) or a pair of "
                    f"result-record arrays, got {type(data).__name__}"
                    + (f" with fields {', '.join(names)}" if names else ""))


def _values(data: Data) -> Optional[np.ndarray]:
    """`data` as plain values when it is a plain one-dimensional array of
    numbers (None otherwise)."""
    if isinstance(data, np.ndarray) and data.dtype.names is None:
        return np.asarray(data, dtype=np.float64).ravel()
    return None


def _axes(ax: Optional[Axes], figsize: Tuple[float, float] = (6.4, 4.4)) -> Axes:
    if ax is not None:
        return ax
    _, ax = plt.subplots(figsize=figsize, constrained_layout=True)
    return ax


def note(ax: Axes, text: str) -> None:
    """Words in the middle of an Axes that has nothing to show."""
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center",
            fontsize=10, color="#555555", wrap=True)


def quiet_corner(ax: Axes, x: np.ndarray, y: np.ndarray,
                 size: Tuple[float, float] = (0.42, 0.36)) -> str:
    """The legend location among four corners of `ax` that covers the fewest
    of the points (x, y): matplotlib's "best" does the same, but over every
    vertex of every line, which is slow for traces of 2,500 samples."""
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    u = (np.asarray(x) - x0) / (x1 - x0)
    v = (np.asarray(y) - y0) / (y1 - y0)
    w, h = size
    boxes = {"upper right": (1 - w, 1 - h), "upper left": (0, 1 - h),
             "lower right": (1 - w, 0), "lower left": (0, 0), "center left": (0, 0.5 - h / 2)}
    inside = {loc: int(np.count_nonzero((u >= bx) & (u <= bx + w) & (v >= by) & (v <= by + h)))
              for loc, (bx, by) in boxes.items()}
    return min(inside, key=lambda loc: inside[loc])


def _step(ax: Axes, values: np.ndarray, edges: np.ndarray, colour: str, label: str) -> np.ndarray:
    counts = clipped_counts(values, edges)
    ax.stairs(counts, edges, color=colour, linewidth=1.1, label=label)
    return counts


def clipped_counts(values: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """Counts of `values` in the bins of `edges`, those outside counted in
    the end bins."""
    counts, _ = np.histogram(np.clip(values, edges[0], edges[-1]), bins=edges)
    return counts


# ---------------------------------------------------------------------------
# Amplitude spectra

def spectrum(data: Optional[Data], channel: int = 0, ax: Optional[Axes] = None, *,
             lines: Optional[Spectrum] = None) -> Axes:
    """The amplitude spectrum (amplitude 1) of one channel, logarithmic
    counts, on zorv_spectra's axis: 1,000 bins whose end bins are centred on
    the 0.5 and 99.5 percentiles of both channels' values and hold what lies
    outside. The lines zorv_spectra finds are labelled with position and
    FWHM (black bar at half maximum). `lines` is `analysis.amplitude_lines`
    of the data when the caller has it (then `data` may be None); plain
    values are binned on an axis of their own."""
    ax = _axes(ax)
    values = _values(data) if data is not None else None
    if lines is not None:
        lo, hi, spectra, found = lines
        counts, on = spectra[channel], found[channel]
    elif values is not None:
        lo, hi = spectrum_axis(values)
        counts = spectrum_counts(values, lo, hi)
        on = find_lines(counts, lo, hi)
    elif data is not None:
        lo, hi, spectra, both = amplitude_lines(*channels(data))
        counts, on = spectra[channel], both[channel]
    else:
        raise TypeError("spectrum: no data and no lines to draw")
    n = len(counts)
    width = (hi - lo) / (n - 1)
    edges = lo + (np.arange(n + 1) - 0.5) * width
    ax.stairs(counts, edges, color=COLOUR[channel], linewidth=1.1, label=f"{int(counts.sum()):,} fits")
    ax.set_yscale("log")
    ax.set_ylim(0.7, max(counts.max(), 1) * 6)
    for ln in on:
        ax.plot([ln["half_left"], ln["half_right"]], [ln["height"] / 2] * 2, color="#222222",
                linewidth=1.6)
        ax.annotate(f"{ln['position']:,.0f}\nFWHM {ln['fwhm']:,.0f} ({100 * ln['fwhm'] / ln['position']:.2f} %)",
                    xy=(ln["position"], ln["height"]), xytext=(0, 14),
                    textcoords="offset points", ha="center", va="bottom", fontsize=8.5,
                    bbox=dict(boxstyle="round,pad=0.25", fc="white", ec="#999999", alpha=0.9))
    ax.set_xlabel("amplitude 1 (ADC counts)")
    ax.xaxis.set_major_formatter(thousands)
    ax.set_ylabel("fits per bin")
    ax.set_title(f"Channel {CHANNEL[channel]}: amplitude spectrum")
    ax.legend(loc="upper center", title=f"bin width {width:,.1f} ADC counts")
    return ax


def spectrum_edges(lines: Spectrum) -> np.ndarray:
    """The bin edges of the spectra of `analysis.amplitude_lines`."""
    lo, hi, spectra, _ = lines
    n = len(spectra[0])
    return lo + (np.arange(n + 1) - 0.5) * ((hi - lo) / (n - 1))


# ---------------------------------------------------------------------------
# Coincidences

def coincidence_counts(a: np.ndarray, b: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """(counts[i, j], edges): amplitude 1 of channel A in bin i against
    channel B in bin j, on a square grid from the 0.5 to the 99.5
    percentile of both (values outside in the edge cells)."""
    alo, ahi = trimmed_range(a["amplitude1"], b["amplitude1"])
    edges = np.linspace(alo, ahi, bin_count(len(a), most=150, least=20) + 1)
    both: Any = [edges, edges]  # numpy's stubs take a list of bin counts only
    h, _, _ = np.histogram2d(np.clip(a["amplitude1"], alo, ahi), np.clip(b["amplitude1"], alo, ahi),
                             bins=both)
    return h, edges


def coincidence_map(data: Data, ax: Optional[Axes] = None, *,
                    lines: Optional[Sequence[Sequence[dict]]] = None) -> Axes:
    """Amplitude 1 of channel A against channel B of the same events,
    logarithmic colours, empty cells grey; the amplitude lines of each
    channel (`lines`, per channel; by default those of the data's spectra)
    marked on its axis."""
    ax = _axes(ax, (7.6, 6.4))
    a, b = channels(data)
    if lines is None:
        lines = amplitude_lines(a, b)[3]
    h, edges = coincidence_counts(a, b)
    ax.grid(False)
    ax.set_facecolor("#f4f4f4")
    mesh = ax.pcolormesh(edges, edges, np.ma.masked_equal(h.T, 0), cmap="viridis",
                         norm=LogNorm(vmin=1, vmax=max(h.max(), 2)), shading="flat")
    cell = edges[1] - edges[0]
    bar = ax.figure.colorbar(mesh, ax=ax, pad=0.02)
    bar.set_label(f"events per cell ({cell:,.0f} × {cell:,.0f} ADC counts)")
    alo = edges[0]
    for ln in lines[0]:
        ax.plot([ln["position"]], [alo], marker="^", color=FIT_COLOUR, markersize=8, clip_on=False)
    for ln in lines[1]:
        ax.plot([alo], [ln["position"]], marker=">", color=FIT_COLOUR, markersize=8, clip_on=False)
    ax.set_xlabel("amplitude 1, channel A (ADC counts)")
    ax.set_ylabel("amplitude 1, channel B (ADC counts)")
    ax.xaxis.set_major_formatter(thousands)
    ax.yaxis.set_major_formatter(thousands)
    ax.set_title(f"Coincidences: amplitude A against B ({len(a):,} events)")
    ax.set_aspect("equal")
    return ax


# ---------------------------------------------------------------------------
# Calibration

def decay_histogram(data: Any, channel: int) -> np.ndarray:
    """The decay histogram of a channel: `data` itself when it is one (fields
    centre, count), else the run's (`data.decay_histograms()`, or read from
    the folder `data.path`); ValueError when the run has none."""
    names = getattr(getattr(data, "dtype", None), "names", None) or ()
    if "centre" in names and "count" in names:
        return np.asarray(data)
    if hasattr(data, "decay_histograms"):
        h = data.decay_histograms()[channel]
        if h is None:
            raise ValueError(f"{os.path.join(str(data.path), decay_histogram_name(channel))}: not "
                             "in the run folder, or an earlier run's (the calibration has not run)")
        return np.asarray(h)
    folder = getattr(data, "path", None)
    if folder is None:
        raise TypeError(f"expected a decay histogram or a run, got {type(data).__name__}")
    return read_decay_hist(os.path.join(str(folder), decay_histogram_name(channel)))


def _decay_rate_axis(v: np.ndarray) -> np.ndarray:
    return -1e3 / np.where(v == 0, np.nan, v)


def calibration(data: Any, channel: int = 0, ax: Optional[Axes] = None, *, zoom: bool = False,
                rate: Optional[float] = None) -> Axes:
    """The decay-rate histogram of a channel's calibration fits (a decay
    histogram, or a run whose folder holds it) with the maximum-bin and
    parabolic estimates marked, and `rate`, the calibrated rate zorv_mpi
    recorded, when given. With `zoom`: the fullest bin and its neighbours
    with the parabola through them, in bin widths around the parabolic
    estimate."""
    ax = _axes(ax)
    h = decay_histogram(data, channel)
    e, vmax, vpar = calibration_estimates(h)
    x = h["centre"] * 1e3
    counts = h["count"]
    step = (x[-1] - x[0]) / (len(x) - 1)
    c = channel
    if zoom:
        lo, hi = max(e - 6, 0), min(e + 7, len(x))
        u = (x - vpar * 1e3) / step
        ax.bar(u[lo:hi], counts[lo:hi], width=1.0, color=COLOUR[c], alpha=0.6, linewidth=0)
        ax.bar(u[e - 1:e + 2], counts[e - 1:e + 2], width=1.0, color=COLOUR[c], alpha=0.95,
               linewidth=0, label="the three bins")
        coef = np.polyfit(u[e - 1:e + 2], counts[e - 1:e + 2].astype(float), 2)
        us = np.linspace(u[e - 1] - 0.4, u[e + 1] + 0.4, 80)
        ax.plot(us, np.polyval(coef, us), color="#222222", linewidth=1.2, label="parabola")
        ax.axvline((vmax * 1e3 - vpar * 1e3) / step, color="#333333", linestyle="--", linewidth=1.2)
        ax.axvline(0.0, color=FIT_COLOUR, linewidth=1.4)
        ax.set_ylim(0, counts[lo:hi].max() * 1.25 + 1)
        ax.set_xlabel("(λ − parabolic estimate) in bin widths")
        ax.set_ylabel("fits per bin")
        ax.set_title(f"Channel {CHANNEL[c]}: around the fullest bin")
        ax.legend(loc="upper right", fontsize=8, title=f"bin width {step * 1e-3:.3g}",
                  title_fontsize=8)
        return ax
    ax.bar(x, counts, width=step, color=COLOUR[c], alpha=0.6, linewidth=0,
           label=f"{int(counts.sum()):,} calibration fits")
    ax.bar(x[[0, -1]], counts[[0, -1]], width=step, color="#777777", linewidth=0,
           label=f"end bins, the trimmed tails: {counts[0]:,} and {counts[-1]:,}")
    ax.axvline(vmax * 1e3, color="#333333", linestyle="--", linewidth=1.2,
               label=f"maximum bin  {vmax:.10f}")
    ax.axvline(vpar * 1e3, color=FIT_COLOUR, linewidth=1.4,
               label=f"parabolic    {vpar:.10f}")
    if rate is not None:
        # The recomputed estimates stand on bin centres of 10 decimals;
        # zorv_mpi keeps either of them (the maximum bin when the parabola
        # is not trusted).
        agree = min(abs(rate - vpar), abs(rate - vmax)) <= 1.5e-10
        ax.plot([rate * 1e3], [0], marker="^", color=FIT_COLOUR, markersize=9,
                clip_on=False, linestyle="none",
                label="calibrated   %.10f%s" % (rate, " ✓" if agree else ""))
    ax.set_xlabel("decay rate λ (10⁻³ per sample)")
    ax.set_ylabel("fits per bin")
    ax.set_title(f"Channel {CHANNEL[c]}: decay rates of the calibration fits")
    ax.legend(loc="upper left", prop={"family": "DejaVu Sans Mono", "size": 8})
    ax.set_ylim(0, counts[1:-1].max() * 1.55 + 1)
    tau = ax.secondary_xaxis("top", functions=(_decay_rate_axis, _decay_rate_axis))
    tau.set_xlabel("decay time −1/λ (samples)")
    return ax


# ---------------------------------------------------------------------------
# Fit parameters

# field -> (axis label, title); "separation" is position 2 - position 1 of
# the two-pulse fits, "rms" the RMS residual per sample.
PARAMETERS = {
    "position1": ("position 1 (samples)", "Pulse position"),
    "width": ("width σ of the Gaussian (samples)", "Pulse width"),
    "ssr": ("residual sum of squares (ADC counts²)", "Residual sum of squares"),
    "amplitude1": ("amplitude 1 (ADC counts)", "Amplitude of the first pulse"),
    "decay_rate": ("decay rate λ (per sample)", "Decay rate"),
    "baseline": ("baseline (ADC counts)", "Baseline"),
    "tail_amplitude": ("tail amplitude (ADC counts)", "Tail amplitude"),
    "amplitude2": ("amplitude 2 (ADC counts)", "Amplitude of the second pulse"),
    "position2": ("position 2 (samples)", "Position of the second pulse"),
    "separation": ("position 2 − position 1 (samples)", "Pulse separation (two-pulse fits)"),
    "rms": ("RMS residual per sample (ADC counts)", "RMS residual"),
}


def parameter_values(a: np.ndarray, field: str) -> np.ndarray:
    """The values of `field` (or "separation", "rms") of result records."""
    if field == "separation":
        two = holds_two_pulses(a)
        return np.asarray(a["position2"][two] - a["position1"][two], dtype=np.float64)
    if field == "rms":
        return quality.rms_residual(a["ssr"])
    if field not in RESULT_FIELDS:
        raise ValueError(f"no fit parameter {field!r}: expected one of "
                         f"{', '.join(PARAMETERS)}")
    return np.asarray(a[field], dtype=np.float64)


def parameter_edges(values: Sequence[np.ndarray], field: str) -> Optional[np.ndarray]:
    """The bin edges the distributions of `field` of the channels' `values`
    are drawn on: from the 0.5 to the 99.5 percentile (all of them for the
    sparse separations), about ten bins per square root of the fits; None
    when there are no values."""
    n = sum(len(v) for v in values)
    if field == "separation":
        if n == 0:
            return None
        lo, hi = trimmed_range(*values, trim=0.0)
        return np.linspace(lo, hi, bin_count(n, most=100, least=20) + 1)
    lo, hi = trimmed_range(*values)
    return np.linspace(lo, hi, bin_count(len(values[0]), most=200) + 1)


def _rms_axis(s: np.ndarray) -> np.ndarray:
    return np.sqrt(np.maximum(s, 0) / SAMPLES)


def _ssr_axis(r: np.ndarray) -> np.ndarray:
    return np.asarray(r) ** 2 * SAMPLES


def _millions(v: float, _: Any = None) -> str:
    return f"{v / 1e6:.2f}M"


def parameter(data: Data, field: str, ax: Optional[Axes] = None) -> Axes:
    """The distribution of one fit parameter (a result field, "separation"
    for the distance of the two pulses of two-pulse fits, or "rms") in
    both channels, or of plain values; the legend gives each channel's
    median and half the 16-84 percentile range (σ₆₈)."""
    ax = _axes(ax)
    values = _values(data)
    pair = [values] if values is not None else [parameter_values(r, field) for r in channels(data)]
    xlabel, title = PARAMETERS.get(field, (field, field))
    ax.set_title(title)
    ax.set_xlabel(xlabel)
    ax.set_ylabel("fits per bin")
    edges = parameter_edges(pair, field)
    if edges is None:
        note(ax, "No channel of this run was fitted with two pulses.")
        ax.set_xticks([])
        ax.set_yticks([])
        return ax
    for c, v in enumerate(pair):
        if field == "separation":
            label = f"{CHANNEL[c]}: {len(v):,} two-pulse fits"
        else:
            q16, q50, q84 = np.percentile(v, [16, 50, 84])
            label = f"{CHANNEL[c]}: median {q50:,.4g}, σ₆₈ {(q84 - q16) / 2:,.3g}"
        _step(ax, v, edges, COLOUR[c], label)
    ax.legend(loc="upper right")
    if field == "ssr":
        ax.xaxis.set_major_formatter(FuncFormatter(_millions))
        top = ax.secondary_xaxis("top", functions=(_rms_axis, _ssr_axis))
        top.set_xlabel("RMS residual per sample (ADC counts)")
    return ax


# ---------------------------------------------------------------------------
# Fit quality

def rms_edges(rms: Sequence[np.ndarray], limits: Sequence[float], bins: int = 120) -> np.ndarray:
    """Logarithmic bins over all the RMS residuals and the limits: the core
    at the noise and fits hundreds of times above it on one axis."""
    values = np.concatenate([np.asarray(v, dtype=np.float64) for v in rms] + [np.asarray(limits)])
    values = values[np.isfinite(values) & (values > 0)]
    if len(values) == 0:
        return np.geomspace(1.0, 10.0, bins + 1)
    return np.geomspace(0.8 * values.min(), 1.25 * values.max(), bins + 1)


def fit_quality(data: Data, channel: int = 0, ax: Optional[Axes] = None, *,
                edges: Optional[np.ndarray] = None, factor: float = quality.OUTLIER_FACTOR) -> Axes:
    """The RMS residuals per sample, sqrt(ssr / 2500), of a channel's fits
    (or plain RMS values) on logarithmic bins, with the limit above which a
    fit is flagged (`factor` times the channel's median) and the count of
    flagged fits."""
    ax = _axes(ax)
    values = _values(data)
    rms = values if values is not None else quality.rms_residual(channels(data)[channel]["ssr"])
    limit = quality.outlier_limit(rms, factor)
    flagged = int(np.count_nonzero(quality.flag_outliers(rms, factor)))
    if edges is None:
        edges = rms_edges([rms], [limit])
    counts, _ = np.histogram(rms, bins=edges)
    ax.stairs(counts, edges, color=COLOUR[channel], linewidth=1.1,
              label=f"{len(rms):,} fits, median {np.median(rms):,.1f}" if len(rms) else "no fits")
    if limit == limit:
        ax.axvline(limit, color=FIT_COLOUR, linewidth=1.4, linestyle="--",
                   label=f"limit {limit:,.1f} ({factor:g} × median): {flagged:,} flagged")
        ax.axvspan(limit, edges[-1], color=FIT_COLOUR, alpha=0.07, linewidth=0)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_ylim(0.7, max(counts.max() if len(counts) else 1, 1) * 3)
    ax.set_xlim(edges[0], edges[-1])
    ax.set_xlabel("RMS residual per sample (ADC counts)")
    ax.set_ylabel("fits per bin")
    ax.set_title(f"Channel {CHANNEL[channel]}: RMS residual of the fits")
    ax.legend(loc="upper right")
    return ax


# ---------------------------------------------------------------------------
# Coincidence timing

def time_difference(data: Optional[Data], ax: Optional[Axes] = None, *,
                    timing: Optional[quality.Timing] = None) -> Axes:
    """The histogram of position 1 of channel A minus position 1 of
    channel B (samples) of events fitted in both channels, or of plain
    differences, with its full width at half maximum (`quality.fwhm`)
    marked: the coincidence timing resolution. `timing` is
    `quality.timing` of the differences when the caller has it (then
    `data` may be None)."""
    ax = _axes(ax)
    if timing is None:
        if data is None:
            raise TypeError("time_difference: no data and no timing to draw")
        values = _values(data)
        timing = quality.timing(values if values is not None
                                else quality.position_differences(*channels(data)))
    t = timing
    ax.stairs(t.counts, t.edges, color="#4b4b8f", linewidth=1.1, fill=True, alpha=0.35,
              label=f"{t.used:,} events")
    ax.stairs(t.counts, t.edges, color="#4b4b8f", linewidth=1.1)
    if t.fwhm == t.fwhm:
        half = t.counts.max() / 2
        ax.plot([t.half_left, t.half_right], [half, half], color="#222222", linewidth=1.8,
                label=f"FWHM {t.fwhm:,.2f} samples (σ {t.fwhm / quality.FWHM_PER_SIGMA:,.2f})")
        for x in (t.half_left, t.half_right):
            ax.plot([x], [half], marker="|", color="#222222", markersize=10)
    else:
        note(ax, "The histogram does not fall to half its maximum on both sides: no FWHM.")
    if t.median == t.median:
        ax.axvline(t.median, color=FIT_COLOUR, linewidth=1.0, linestyle=":",
                   label=f"median {t.median:,.2f} samples")
    ax.set_xlabel("position 1 of channel A − position 1 of channel B (samples)")
    ax.set_ylabel("events per bin")
    ax.set_title("Coincidence timing")
    # Head room for the legend above the peak.
    ax.set_ylim(0, max(t.counts.max() if len(t.counts) else 1, 1) * 1.6)
    ax.legend(loc="upper right", title=f"bin width {t.edges[1] - t.edges[0]:,.3g} samples")
    return ax


# ---------------------------------------------------------------------------
# Events

def event_window(record: Optional[np.void], smoothed: Optional[np.ndarray]) -> Tuple[float, float]:
    """The samples around the first pulse (its fitted position, else the
    steepest rise of the smoothed trace, else the middle)."""
    if record is not None:
        centre = float(record["position1"])
    elif smoothed is not None:
        centre = float(np.argmax(np.diff(smoothed)))  # the steepest rise
    else:
        centre = SAMPLES / 2
    return max(centre - 40, 0), min(centre + 80, SAMPLES - 1)


def event_trace(ax: Axes, channel: int, *, samples: Optional[np.ndarray] = None,
                smoothed: Optional[np.ndarray] = None, model: Optional[np.ndarray] = None,
                record: Optional[np.void] = None, bcg_est: float = 0.0,
                peaks: Optional[Sequence[float]] = None, decision: Optional[str] = None,
                zoom: bool = False) -> Axes:
    """One channel of an event: its raw `samples`, its `smoothed` trace
    (baseline subtracted, drawn back on the samples by `bcg_est`), the peak
    threshold and the fitted `model` of `record` or, without one, the
    `peaks` found; any of them may be None. The whole trace, or with `zoom`
    the first pulse. `decision` titles a channel without a fit."""
    x = np.arange(SAMPLES)
    c = channel
    fitted = model is not None
    if samples is not None:
        ax.plot(x, samples, color="#8a8a8a", linewidth=0 if zoom else 0.6,
                marker="." if zoom else None, markersize=3, label="raw samples")
    if smoothed is not None:
        ax.plot(x, smoothed + bcg_est, color=COLOUR[c], linewidth=1.2,
                label="smoothed, as the worker sees it")
    ax.axhline(bcg_est + PEAK_THRESHOLD, color="#555555", linestyle="--", linewidth=0.8,
               label="peak threshold (bcg_est + 500)")
    two = record is not None and bool(holds_two_pulses(record))
    if fitted:
        ax.plot(x, model, color=FIT_COLOUR, linewidth=1.3,
                label="fit, two pulses" if two else "fit, one pulse")
        if record is not None:
            for key in ("position1", "position2"):
                if key == "position1" or two:
                    ax.axvline(record[key], color=FIT_COLOUR, linewidth=0.7, linestyle=":")
    elif smoothed is not None and peaks is not None:
        # A peak's position lies within half a sample of the strict
        # maximum it was refined from: mark it at that height.
        at = np.asarray(peaks, dtype=np.float64)
        heights = smoothed[np.rint(at).astype(int)] if len(at) else at
        ax.plot(at, heights + bcg_est, linestyle="none", marker="v", color="#111111",
                markersize=5, label=f"{len(at)} peak{'s' if len(at) != 1 else ''} found")
    ax.yaxis.set_major_formatter(thousands)
    if zoom:
        window = event_window(record, smoothed)
        ax.set_xlim(*window)
        inside = slice(int(window[0]), int(window[1]) + 1)
        shown = [v[inside] for v in ([samples] if samples is not None else [])
                 + ([model] if fitted else []) + ([smoothed + bcg_est] if smoothed is not None else [])]
        if shown:
            lo, hi = min(v.min() for v in shown), max(v.max() for v in shown)
            pad = 0.06 * (hi - lo) + 1
            ax.set_ylim(lo - pad, hi + pad)
        ax.set_title("first pulse, zoomed" if record is not None else "steepest rise, zoomed",
                     fontsize=9, fontweight="normal")
        return ax
    if record is not None:
        sub = f"A₁ {record['amplitude1']:,.0f}, t₁ {record['position1']:.1f}"
        if two:
            sub += f"; A₂ {record['amplitude2']:,.0f}, t₂ {record['position2']:.1f}"
        sub += f", σ {record['width']:.2f}"
    else:
        sub = decision if decision is not None else "not fitted"
    ax.set_title(f"Channel {CHANNEL[c]}: {sub}", fontsize=10)
    ax.set_ylabel("ADC counts")
    ax.set_xlim(0, SAMPLES - 1)
    curve = model if fitted else (samples if samples is not None else
                                  (smoothed + bcg_est if smoothed is not None else np.zeros(SAMPLES)))
    ax.legend(loc=quiet_corner(ax, x[::5], np.asarray(curve)[::5]), fontsize=7.5)
    return ax


def event_residuals(ax: Axes, samples: Optional[np.ndarray], model: np.ndarray,
                    zoom: bool = False) -> Axes:
    """Data minus fit of one channel of an event, with the band of ± its RMS
    (given in a corner unless `zoom`)."""
    ax.set_xlabel("sample")
    if samples is None:
        note(ax, "raw event not found")
        return ax
    d = np.asarray(samples, dtype=np.float64) - model
    rms = np.sqrt(np.mean(d * d))
    ax.plot(np.arange(SAMPLES), d, color="#555555", linewidth=0.8 if zoom else 0.5)
    ax.axhspan(-rms, rms, color=FIT_COLOUR, alpha=0.12, linewidth=0)
    if not zoom:
        ax.set_ylabel("data − fit")
        ax.text(0.99, 0.95, f"RMS {rms:.1f}", transform=ax.transAxes, ha="right",
                va="top", fontsize=8)
    return ax


def raw_event(data: Any, index: int) -> Optional[np.ndarray]:
    """The raw samples (2500, 2) of row `index` of a run's events, read from
    the raw file its session and record name; None when `data` is not a run
    with a folder (`path`) and settings, or the raw event is not there."""
    from .events import RawFiles  # the raw files only when an event is drawn
    folder, settings = getattr(data, "path", None), getattr(data, "settings", None)
    events: Any = getattr(data, "events", None)
    names = getattr(getattr(events, "dtype", None), "names", None) or ()
    if folder is None or settings is None or "session" not in names:
        return None
    row = events[index]
    samples, _ = RawFiles(str(folder), dict(settings)).event(int(row["session"]), int(row["record"]))
    return None if samples is None else np.asarray(samples, dtype=np.float64)


def event(data: Data, index: int, channel: int = 0, ax: Optional[Axes] = None, *,
          zoom: bool = False, residuals: Optional[Axes] = None,
          samples: Optional[np.ndarray] = None) -> Axes:
    """Record `index` of `data` (row `index` of a run's events) in one
    channel: the raw samples, read from the run's raw file (or `samples`,
    the event's (2500, 2) samples), with the fitted model over the whole
    trace or, with `zoom`, the first pulse; the residuals on the Axes
    `residuals` when given."""
    ax = _axes(ax, (10, 4))
    record = channels(data)[channel][index]
    if samples is None:
        samples = raw_event(data, index)
    settings: Dict[str, Any] = dict(getattr(data, "settings", None) or {})
    bcg = settings.get("bcg_est", [0.0, 0.0])
    trace = None if samples is None else np.asarray(samples, dtype=np.float64)[:, channel]
    model = fitted_curve(record)
    event_trace(ax, channel, samples=trace, model=model, record=record,
                bcg_est=float(bcg[channel]), zoom=zoom)
    if residuals is not None:
        event_residuals(residuals, trace, model, zoom=zoom)
    return ax
