"""The report's figures, drawn with matplotlib (Agg, no display needed).

Every figure has labelled axes with units; channel A is blue and channel B
orange throughout. Amplitudes, baselines and residuals are in ADC counts
(raw sample units), positions and widths in samples (one sample per time
bin), decay rates per sample.
"""

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.colors import LogNorm  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

from .analysis import amplitude_lines, bin_count, trimmed_range  # noqa: E402
from .files import SAMPLES, holds_two_pulses  # noqa: E402
from .vocabulary import decay_histogram_name  # noqa: E402

CHANNEL = ("A", "B")
COLOUR = ("#1f77b4", "#e8710a")
FIT_COLOUR = "#c0152f"
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

thousands = FuncFormatter(lambda v, _: f"{v:,.0f}")


def save(fig, path):
    # Constrained layout already fits everything in: no second, "tight" pass.
    fig.savefig(path, facecolor="white")
    plt.close(fig)


def quiet_corner(ax, x, y, size=(0.42, 0.36)):
    """The legend location among four corners of `ax` that covers the fewest
    of the points (x, y): matplotlib's "best" does the same, but over every
    vertex of every line, which is slow for traces of 2,500 samples."""
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    u = (np.asarray(x) - x0) / (x1 - x0)
    v = (np.asarray(y) - y0) / (y1 - y0)
    w, h = size
    boxes = {"upper right": (1 - w, 1 - h), "upper left": (0, 1 - h),
             "lower right": (1 - w, 0), "lower left": (0, 0), "center left": (0, 0.5 - h / 2)}
    inside = {loc: np.count_nonzero((u >= bx) & (u <= bx + w) & (v >= by) & (v <= by + h))
              for loc, (bx, by) in boxes.items()}
    return min(inside, key=inside.get)


def _note(ax, text):
    ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center",
            fontsize=10, color="#555555", wrap=True)


# ---------------------------------------------------------------------------
# Calibration

def calibration(path, hists, estimates, rates):
    """Decay-rate histograms of the calibration phase, one row per channel:
    the whole histogram with the maximum-bin and parabolic estimates marked,
    and a zoom on the fullest bin with the parabola through it and its
    neighbours. `estimates[c]` is (bin, maximum, parabolic) recomputed from
    the histogram; `rates` the calibrated rates zorv_mpi recorded (None when
    not known)."""
    fig, axes = plt.subplots(2, 2, figsize=(12, 8.2), constrained_layout=True,
                             gridspec_kw={"width_ratios": [2.6, 1]})
    for c in (0, 1):
        ax, zoom = axes[c]
        h = hists[c]
        if h is None:
            _note(ax, f"{decay_histogram_name(c)} is missing")
            ax.set_title(f"Channel {CHANNEL[c]}")
            zoom.set_visible(False)
            continue
        x = h["centre"] * 1e3
        counts = h["count"]
        step = (x[-1] - x[0]) / (len(x) - 1)
        e, vmax, vpar = estimates[c]
        ax.bar(x, counts, width=step, color=COLOUR[c], alpha=0.6, linewidth=0,
               label=f"{int(counts.sum()):,} calibration fits")
        ax.bar(x[[0, -1]], counts[[0, -1]], width=step, color="#777777", linewidth=0,
               label=f"end bins, the trimmed tails: {counts[0]:,} and {counts[-1]:,}")
        ax.axvline(vmax * 1e3, color="#333333", linestyle="--", linewidth=1.2,
                   label=f"maximum bin  {vmax:.10f}")
        ax.axvline(vpar * 1e3, color=FIT_COLOUR, linewidth=1.4,
                   label=f"parabolic    {vpar:.10f}")
        if rates is not None:
            # The recomputed estimates stand on bin centres of 10 decimals;
            # zorv_mpi keeps either of them (the maximum bin when the
            # parabola is not trusted).
            agree = min(abs(rates[c] - vpar), abs(rates[c] - vmax)) <= 1.5e-10
            ax.plot([rates[c] * 1e3], [0], marker="^", color=FIT_COLOUR, markersize=9,
                    clip_on=False, linestyle="none",
                    label="calibrated   %.10f%s" % (rates[c], " ✓" if agree else ""))
        ax.set_xlabel("decay rate λ (10⁻³ per sample)")
        ax.set_ylabel("fits per bin")
        ax.set_title(f"Channel {CHANNEL[c]}: decay rates of the calibration fits")
        ax.legend(loc="upper left", prop={"family": "DejaVu Sans Mono", "size": 8})
        inner = counts[1:-1].max()
        top = inner * 1.55 + 1
        ax.set_ylim(0, top)
        tau = ax.secondary_xaxis("top", functions=(
            lambda v: -1e3 / np.where(v == 0, np.nan, v), lambda t: -1e3 / np.where(t == 0, np.nan, t)))
        tau.set_xlabel("decay time −1/λ (samples)")

        # Zoom: the fullest bin, its neighbours and the parabola through them,
        # in units of the bin width around the parabolic estimate.
        lo, hi = max(e - 6, 0), min(e + 7, len(x))
        u = (x - vpar * 1e3) / step
        zoom.bar(u[lo:hi], counts[lo:hi], width=1.0, color=COLOUR[c], alpha=0.6, linewidth=0)
        zoom.bar(u[e - 1:e + 2], counts[e - 1:e + 2], width=1.0, color=COLOUR[c], alpha=0.95,
                 linewidth=0, label="the three bins")
        coef = np.polyfit(u[e - 1:e + 2], counts[e - 1:e + 2].astype(float), 2)
        us = np.linspace(u[e - 1] - 0.4, u[e + 1] + 0.4, 80)
        zoom.plot(us, np.polyval(coef, us), color="#222222", linewidth=1.2, label="parabola")
        zoom.axvline((vmax * 1e3 - vpar * 1e3) / step, color="#333333", linestyle="--", linewidth=1.2)
        zoom.axvline(0.0, color=FIT_COLOUR, linewidth=1.4)
        zoom.set_ylim(0, counts[lo:hi].max() * 1.25 + 1)
        zoom.set_xlabel("(λ − parabolic estimate) in bin widths")
        zoom.set_ylabel("fits per bin")
        zoom.set_title(f"Channel {CHANNEL[c]}: around the fullest bin")
        zoom.legend(loc="upper right", fontsize=8, title=f"bin width {step * 1e-3:.3g}",
                    title_fontsize=8)
    save(fig, path)


# ---------------------------------------------------------------------------
# Spectra

def _step(ax, values, edges, colour, label):
    counts, _ = np.histogram(np.clip(values, edges[0], edges[-1]), bins=edges)
    ax.stairs(counts, edges, color=colour, linewidth=1.1, label=label)
    return counts


def amplitude_spectra(path, a, b, spectrum=None):
    """Amplitude 1 of both channels, logarithmic counts, on zorv_spectra's
    axis (1,000 bins between the 0.5 and 99.5 percentiles, the end bins
    holding what lies outside), the lines zorv_spectra finds annotated with
    position and FWHM. `spectrum` is `analysis.amplitude_lines(a, b)` when
    the caller has it already. Returns the lines of each channel."""
    lo, hi, spectra, lines = spectrum if spectrum is not None else amplitude_lines(a, b)
    n = len(spectra[0])
    width = (hi - lo) / (n - 1)
    edges = lo + (np.arange(n + 1) - 0.5) * width
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.4), constrained_layout=True, sharey=True)
    for c, (ax, rec, counts, found) in enumerate(zip(axes, (a, b), spectra, lines)):
        ax.stairs(counts, edges, color=COLOUR[c], linewidth=1.1, label=f"{len(rec):,} fits")
        ax.set_yscale("log")
        ax.set_ylim(0.7, max(counts.max(), 1) * 6)
        for ln in found:
            ax.plot([ln["half_left"], ln["half_right"]], [ln["height"] / 2] * 2, color="#222222",
                    linewidth=1.6)
            ax.annotate(f"{ln['position']:,.0f}\nFWHM {ln['fwhm']:,.0f} ({100 * ln['fwhm'] / ln['position']:.2f} %)",
                        xy=(ln["position"], ln["height"]), xytext=(0, 14),
                        textcoords="offset points", ha="center", va="bottom", fontsize=8.5,
                        bbox=dict(boxstyle="round,pad=0.25", fc="white", ec="#999999", alpha=0.9))
        ax.set_xlabel("amplitude 1 (ADC counts)")
        ax.xaxis.set_major_formatter(thousands)
        ax.set_title(f"Channel {CHANNEL[c]}: amplitude spectrum")
        ax.legend(loc="upper center", title=f"bin width {width:,.1f} ADC counts")
    axes[0].set_ylabel("fits per bin")
    save(fig, path)
    return lines


def distributions(path, a, b):
    """Position 1, width, residual sum of squares and pulse separation of
    both channels, one panel each."""
    fig, axes = plt.subplots(2, 2, figsize=(12, 8), constrained_layout=True)
    panels = [
        ("position1", "position 1 (samples)", "Pulse position"),
        ("width", "width σ of the Gaussian (samples)", "Pulse width"),
        ("ssr", "residual sum of squares (ADC counts²)", "Residual sum of squares"),
    ]
    for ax, (field, xlabel, title) in zip(axes.flat, panels):
        lo, hi = trimmed_range(a[field], b[field])
        edges = np.linspace(lo, hi, bin_count(len(a), most=200) + 1)
        for c, rec in enumerate((a, b)):
            v = rec[field]
            q16, q50, q84 = np.percentile(v, [16, 50, 84])
            _step(ax, v, edges, COLOUR[c],
                  f"{CHANNEL[c]}: median {q50:,.4g}, σ₆₈ {(q84 - q16) / 2:,.3g}")
        ax.set_xlabel(xlabel)
        ax.set_ylabel("fits per bin")
        ax.set_title(title)
        ax.legend(loc="upper right")
        if field == "ssr":
            ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v / 1e6:.2f}M"))
            top = ax.secondary_xaxis("top", functions=(
                lambda s: np.sqrt(np.maximum(s, 0) / SAMPLES),
                lambda r: np.asarray(r) ** 2 * SAMPLES))
            top.set_xlabel("RMS residual per sample (ADC counts)")
    ax = axes[1, 1]
    two = [rec["position2"][holds_two_pulses(rec)] - rec["position1"][holds_two_pulses(rec)]
           for rec in (a, b)]
    ax.set_title("Pulse separation (two-pulse fits)")
    ax.set_xlabel("position 2 − position 1 (samples)")
    ax.set_ylabel("fits per bin")
    if len(two[0]) + len(two[1]) == 0:
        _note(ax, "No channel of this run was fitted with two pulses.")
        ax.set_xticks([])
        ax.set_yticks([])
    else:
        lo, hi = trimmed_range(*two, trim=0.0)
        edges = np.linspace(lo, hi, bin_count(len(two[0]) + len(two[1]), most=100, least=20) + 1)
        for c in (0, 1):
            _step(ax, two[c], edges, COLOUR[c], f"{CHANNEL[c]}: {len(two[c]):,} two-pulse fits")
        ax.legend(loc="upper right")
    save(fig, path)


def amplitude_map(path, a, b, lines):
    """Amplitude 1 of channel A against channel B, logarithmic colours."""
    alo, ahi = trimmed_range(a["amplitude1"], b["amplitude1"])
    nb = bin_count(len(a), most=150, least=20)
    edges = np.linspace(alo, ahi, nb + 1)
    h, _, _ = np.histogram2d(np.clip(a["amplitude1"], alo, ahi), np.clip(b["amplitude1"], alo, ahi),
                             bins=[edges, edges])
    fig, ax = plt.subplots(figsize=(7.6, 6.4), constrained_layout=True)
    masked = np.ma.masked_equal(h.T, 0)
    ax.set_facecolor("#f4f4f4")
    mesh = ax.pcolormesh(edges, edges, masked, cmap="viridis",
                         norm=LogNorm(vmin=1, vmax=max(h.max(), 2)), shading="flat")
    cell = edges[1] - edges[0]
    bar = fig.colorbar(mesh, ax=ax, pad=0.02)
    bar.set_label(f"events per cell ({cell:,.0f} × {cell:,.0f} ADC counts)")
    # The lines of the spectra, marked on the axes.
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
    ax.grid(False)
    save(fig, path)


# ---------------------------------------------------------------------------
# Events

PEAK_THRESHOLD = 500.0  # the smoothed, baseline-corrected height a peak must pass


def event(path, title, samples, smoothed, models, records, bcg_est, decisions=None, peaks=None):
    """One event, both channels: raw trace, smoothed trace (baseline
    subtracted) and fitted model (any of them may be None) over the whole
    trace and zoomed on the first pulse, with the residuals of the fit
    underneath. Without a fit, `decisions` says per channel what the worker
    made of it, and `peaks`, per channel the positions of the peaks it found
    in the smoothed trace, are marked on it."""
    fitted = models is not None
    # A fixed layout: twelve of these figures per report, and a layout engine
    # would cost more than drawing them.
    height = 5.0 if fitted else 3.9
    fig = plt.figure(figsize=(13, height))
    grid = fig.add_gridspec(2 if fitted else 1, 4, width_ratios=[2.4, 1, 2.4, 1],
                            height_ratios=[3.2, 1] if fitted else [1],
                            left=0.065, right=0.99, bottom=0.5 / height, top=1 - 0.62 / height,
                            wspace=0.3, hspace=0.08)
    x = np.arange(SAMPLES)
    for c in (0, 1):
        full = fig.add_subplot(grid[0, 2 * c])
        zoom = fig.add_subplot(grid[0, 2 * c + 1])
        r = records[c] if records is not None else None
        if r is not None:
            centre = r["position1"]
        elif smoothed is not None:
            centre = float(np.argmax(np.diff(smoothed[c])))  # the steepest rise
        else:
            centre = SAMPLES / 2
        window = (max(centre - 40, 0), min(centre + 80, SAMPLES - 1))
        for ax in (full, zoom):
            if samples is not None:
                ax.plot(x, samples[:, c], color="#8a8a8a", linewidth=0.6 if ax is full else 0,
                        marker=None if ax is full else ".", markersize=3, label="raw samples")
            if smoothed is not None:
                ax.plot(x, smoothed[c] + bcg_est[c], color=COLOUR[c], linewidth=1.2,
                        label="smoothed, as the worker sees it")
            ax.axhline(bcg_est[c] + PEAK_THRESHOLD, color="#555555", linestyle="--", linewidth=0.8,
                       label="peak threshold (bcg_est + 500)")
            if fitted:
                ax.plot(x, models[c], color=FIT_COLOUR, linewidth=1.3,
                        label="fit, two pulses" if holds_two_pulses(r) else "fit, one pulse")
                for key in ("position1", "position2"):
                    if key == "position1" or holds_two_pulses(r):
                        ax.axvline(r[key], color=FIT_COLOUR, linewidth=0.7, linestyle=":")
            elif smoothed is not None and peaks is not None:
                # A peak's position lies within half a sample of the
                # strict maximum it was refined from: mark it at that height.
                at = np.asarray(peaks[c], dtype=np.float64)
                heights = smoothed[c][np.rint(at).astype(int)] if len(at) else at
                ax.plot(at, heights + bcg_est[c], linestyle="none", marker="v", color="#111111",
                        markersize=5, label=f"{len(at)} peak{'s' if len(at) != 1 else ''} found")
            ax.yaxis.set_major_formatter(thousands)
        zoom.set_xlim(*window)
        inside = slice(int(window[0]), int(window[1]) + 1)
        shown = [a[inside] for a in ([samples[:, c]] if samples is not None else [])
                 + ([models[c]] if fitted else []) + ([smoothed[c] + bcg_est[c]] if smoothed is not None else [])]
        if shown:
            lo, hi = min(v.min() for v in shown), max(v.max() for v in shown)
            pad = 0.06 * (hi - lo) + 1
            zoom.set_ylim(lo - pad, hi + pad)
        zoom.set_title("first pulse, zoomed" if r is not None else "steepest rise, zoomed",
                       fontsize=9, fontweight="normal")
        if r is not None:
            sub = f"A₁ {r['amplitude1']:,.0f}, t₁ {r['position1']:.1f}"
            if holds_two_pulses(r):
                sub += f"; A₂ {r['amplitude2']:,.0f}, t₂ {r['position2']:.1f}"
            sub += f", σ {r['width']:.2f}"
        else:
            sub = decisions[c] if decisions is not None else "not fitted"
        full.set_title(f"Channel {CHANNEL[c]}: {sub}", fontsize=10)
        full.set_ylabel("ADC counts")
        full.set_xlim(0, SAMPLES - 1)
        curve = models[c] if fitted else (samples[:, c] if samples is not None else smoothed[c] + bcg_est[c])
        full.legend(loc=quiet_corner(full, x[::5], curve[::5]), fontsize=7.5)
        if not fitted:
            full.set_xlabel("sample")
            zoom.set_xlabel("sample")
            continue
        plt.setp(full.get_xticklabels(), visible=False)
        plt.setp(zoom.get_xticklabels(), visible=False)
        for k, (ax, res) in enumerate(((full, fig.add_subplot(grid[1, 2 * c], sharex=full)),
                                       (zoom, fig.add_subplot(grid[1, 2 * c + 1], sharex=zoom)))):
            res.set_xlabel("sample")
            if samples is None:
                _note(res, "raw event not found")
                continue
            d = samples[:, c] - models[c]
            rms = np.sqrt(np.mean(d * d))
            res.plot(x, d, color="#555555", linewidth=0.5 if k == 0 else 0.8)
            res.axhspan(-rms, rms, color=FIT_COLOUR, alpha=0.12, linewidth=0)
            if k == 0:
                res.set_ylabel("data − fit")
                res.text(0.99, 0.95, f"RMS {rms:.1f}", transform=res.transAxes, ha="right",
                         va="top", fontsize=8)
    fig.suptitle(title, fontsize=11, fontweight="bold")
    save(fig, path)
