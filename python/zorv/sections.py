"""The sections of the report drawn from the run's account and records:
each takes the `RunView` and the `Output` and returns its `Part` (HTML and
the figures it drew); none depends on another. The example events are in
zorv.examples."""

from collections import Counter
from typing import List, Optional, Tuple

import numpy as np

from . import figures, quality
from .analysis import calibration_estimates
from .examples import explained, not_explained, read_records, record_figures
from .files import OUTCOMES, PARKED_POSITION, RESULT_FIELDS, SAMPLES, holds_two_pulses
from .page import Output, Part, decay_time, esc, figure, num, part, pct, table
from .runview import (PROCESSING, SESSIONS_KEY, STATE_DONE, STATE_NOT_STARTED,
                      STATE_RUNNING, STATE_STOPPED, STATE_ERROR, RunView)
from .vocabulary import EVENTS_NAME, KERNEL_NAME, PHASES, SUMMARY_NAME, decay_histogram_name
from .wording import phase_note, stop_words

CHANNEL = figures.CHANNEL

# How the workers computed exp, as the summary's "exp" names it. Either way
# the bits are the C library's.
EXP_WORDS = {"vector": "in vector lanes, with the C library's bits, on every worker",
             "library": "the C library's, one value at a time, on every worker",
             "mixed": "in vector lanes on some workers, the C library's on the others"}


def run_section(view: RunView, out: Output) -> Part:
    st, s = view.state, view.summary
    rows = [["Run folder", f"<code>{esc(view.run_dir)}</code>"]]
    if st is None:
        rows.append(["State", f"not known: no {esc(SUMMARY_NAME)}" if not view.has_summary else
                     f"not known: {esc(SUMMARY_NAME)} is not this run's account (see below)"])
    elif st.finished:
        rows.append(["State", f"finished ({esc(st.source)})"])
    else:
        rows.append(["State", f'<b>not finished: {esc(stop_words(view))}</b> ({esc(st.source)})'])
    if s:
        rows.append(["zorv_mpi version", f"<code>{esc(s['version'])}</code>"])
        rows.append(["Started", esc(s["started"].replace("T", " ")) + " (local time of the "
                                                                       "last start)"])
        seconds = [s["phases"][p]["seconds"] for p in PHASES]
        rows.append(["Time" if view.finished else "Time so far",
                     f"{sum(seconds):,.1f} s: calibration phase {seconds[0]:,.1f} s, processing "
                     f"phase {seconds[1]:,.1f} s (in all starts)"])
        workers = s["ranks"] - 1
        hosts = ", ".join(f"{esc(h)} ({n} rank{'s' if n > 1 else ''})"
                          for h, n in Counter(s["hosts"]).items())
        rows.append(["Ranks", f"{s['ranks']} (rank 0 reads and writes, {workers} "
                              f"worker{'s' if workers != 1 else ''} fit) on {hosts}"])
        if s.get("exp"):
            rows.append(["exp in the fits", f"<code>{esc(s['exp'])}</code>: "
                         + esc(EXP_WORDS.get(s["exp"], "as zorv_mpi names it"))])
    elif not view.has_summary:
        rows.append(["Run summary", f"{esc(SUMMARY_NAME)} not found (a run of an older "
                                    "zorv_mpi): version, hosts, times and outcomes are not "
                                    "known"])
    rates = st.calibrated if st is not None else None
    if rates is None and view.record_phase == PROCESSING and all(len(h) == 1 for h in view.held):
        rates = (view.held[0][0], view.held[1][0])
    if rates is not None:
        error = [rate_uncertainty(view, c, rates[c]) for c in (0, 1)]
        rows.append(["Calibrated decay rates", ", ".join(
            f"{CHANNEL[c]} {rates[c]:.10f} per sample ({decay_time(rates[c])})" for c in (0, 1))
            + ("; statistical uncertainty " + ", ".join(
                f"{CHANNEL[c]}{plus_minus(error[c])}" for c in (0, 1) if error[c] == error[c])
               + " (see the calibration)" if any(e == e for e in error) else "")])
    elif not view.calibrated:
        rows.append(["Calibrated decay rates", "not yet: the calibration runs at the end of the "
                                               "calibration phase"])
    html = [table(None, rows)]

    header = ["", "Calibration phase (decay rate free)", "Processing phase (decay rate held)"]
    rows = [["Sessions"] + [esc("%s to %s" % tuple(view.config[SESSIONS_KEY[p]])) for p in PHASES]]
    files = []
    for p in PHASES:
        present = [view.raw.name(x) for x in view.sessions(p) if view.raw.events_in(x) is not None]
        missing = [view.raw.name(x) for x in view.sessions(p) if view.raw.events_in(x) is None]
        files.append(esc(", ".join(present) or "none found")
                     + (f' <span class="warn">missing: {esc(", ".join(missing))}</span>'
                        if missing else ""))
    rows.append(["Raw files"] + files)
    rows.append(["Events"] + [num(view.phase_events(p)) if view.phase_events(p) is not None
                              else "<td>–</td>" for p in PHASES])
    rows += phase_rows(s) if s else record_rows(view)
    html.append(table(header, rows))
    for n in view.notes:
        html.append(f'<p class="warn">{esc(n)}</p>')
    return part(html)


def phase_rows(s: dict) -> List[List[str]]:
    """The rows of the phase table that the summary `s` gives."""
    ph = [s["phases"][p] for p in PHASES]

    def state(p: dict) -> str:
        if p["state"] in (STATE_DONE, STATE_NOT_STARTED):
            return esc(p["state"])
        how = {STATE_RUNNING: "ended early or still running",
               STATE_STOPPED: f"stopped by {s.get('stopped_by') or 'a signal'}",
               STATE_ERROR: "ended by an error"}[p["state"]]
        return f"<b>{esc(how)} after {p['results']:,} events</b>"

    def count(p: dict, v: int) -> str:
        return (f'<td class="num">{v:,} ({pct(v, p["results"])})</td>'
                if p["state"] != STATE_NOT_STARTED else "<td>–</td>")

    rows = [["State"] + [state(p) for p in ph],
            ["Events analysed (results)"] + [num(p["results"]) if p["state"] != STATE_NOT_STARTED
                                             else "<td>–</td>" for p in ph],
            ["Channel A fitted"] + [count(p, p["good"][0]) for p in ph],
            ["Channel B fitted"] + [count(p, p["good"][1]) for p in ph],
            ["Fitted in both channels (events with a result)"] + [count(p, p["both_good"]) for p in ph],
            ["Time"] + [num(p["seconds"], "{:,.1f} s") for p in ph],
            ["Rate"] + [num(p["results"] / p["seconds"], "{:,.0f} events/s") if p["seconds"] > 0
                        else "<td>–</td>" for p in ph]]
    if s["events_lost"]:
        rows.append(["Events lost", '<td class="error" colspan="2">a raw file could not be read '
                                    "or an estimate was not made (events_lost)</td>"])
    return rows


def record_rows(view: RunView) -> List[List[str]]:
    """The rows of the phase table without a summary: the records and the
    calibration's histograms."""
    both = []
    for p in PHASES:
        if p == view.record_phase:
            whole = view.phase_events(p)
            share = pct(len(view.a), whole) if whole is None or len(view.a) <= whole else (
                "more than the raw files in the run folder hold")
            both.append(f'<td class="num">{len(view.a):,} ({share})</td>')
        else:
            cal = sum(int(h["count"].sum()) for h in view.hists[:1] if h is not None) or None
            both.append(f'<td class="num">{cal:,} ({pct(cal, view.phase_events(p))})</td>'
                        if cal else "<td>–</td>")
    return [["Progress"] + ["not known" for p in PHASES],
            ["Channel A fitted"] + ['<td class="num">–</td>' for p in PHASES],
            ["Channel B fitted"] + ['<td class="num">–</td>' for p in PHASES],
            ["Fitted in both channels (events with a result)"] + both]


def rate_uncertainty(view: RunView, c: int, rate: Optional[float] = None) -> float:
    """The uncertainty of channel c's calibrated decay rate `rate` from its
    decay histogram (NaN without one)."""
    h = view.hists[c]
    return quality.decay_rate_uncertainty(h, rate) if h is not None else float("nan")


def plus_minus(v: float, fmt: str = "{:.2g}") -> str:
    """" ± v", or nothing for a value that is not known."""
    return f" ± {fmt.format(v)}" if v == v else ""


UNCERTAINTY_WORDS = (
    "its statistical uncertainty: the spread of the position over 2,000 histograms whose counts "
    "are drawn from Poisson distributions around the observed ones, each read exactly as the "
    "original (the fullest bin, then the vertex). On a broad peak of a few dozen counts per bin "
    "the fullest bin itself moves from one histogram to the next, and the uncertainty is many "
    "bins wide: much more than the spread of the values over √n, which is the uncertainty of "
    "their mean, not of the peak")


def calibration_section(view: RunView, out: Output) -> Part:
    if not view.calibrated:
        html = ["<p>The calibration has not run yet: the run stopped in the calibration phase, and "
                "zorv_mpi derives the decay rates from the calibration phase's fits only at its end. "
                "The records so far have the decay rate free; its spread is in the fit parameters "
                "below.</p>"]
        if view.stale_hists:
            names = " and ".join(view.stale_hists)
            verb = "are" if len(view.stale_hists) > 1 else "is"
            html.append(f"<p>{esc(names)} in the run folder {verb} left from an earlier run and not "
                        "shown.</p>")
        return part(html)
    est = [calibration_estimates(h) if h is not None else (None, float("nan"), float("nan"))
           for h in view.hists]
    rates = view.state.calibrated if view.state is not None else None
    figures.calibration(out.path("calibration.png"), view.hists, rates)
    start = view.config["decay_est"]
    rows = []
    for c, held in enumerate(view.held):
        if view.record_phase != PROCESSING:
            shown = "<td>–</td>"
        elif len(held) == 1:
            shown = num(held[0], "{:.10f}")
        else:
            shown = f"<td>{len(held)} values</td>"
        rate = rates[c] if rates else float("nan")
        rows.append([f"Channel {CHANNEL[c]}", num(float(start[c]), "{:.6g}"),
                     num(est[c][1], "{:.10f}"), num(est[c][2], "{:.10f}"),
                     num(rate, "{:.17g}"),
                     num(rate_uncertainty(view, c, rate if rates else None), "± {:.2g}"), shown,
                     num(-1.0 / est[c][2] if est[c][2] < 0 else float("nan"), "{:,.2f}")])
    source = esc(view.state.source) if view.state is not None else "not known"
    tab = table(["", "Start value (configuration)", "Maximum bin (recomputed)",
                 "Parabolic (recomputed)", f"Calibrated ({source})", "Uncertainty (statistical)",
                 "Held in the processing phase", "Decay time −1/λ (samples)"], rows)
    return part([
        '<p class="lead">In the calibration phase every fit leaves the decay rate λ free. zorv_mpi '
        "sorts the fitted rates of each channel, trims the tails (<code>hist_overflow</code> at each "
        "end) and histograms the rest in 250 bins; the end bins collect the trimmed tails. The "
        "fullest inner bin gives the maximum-bin estimate, a parabola through it and its two "
        "neighbours the parabolic estimate, which the processing phase then holds fixed. The "
        f"estimates are recomputed here from <code>{esc(decay_histogram_name(0))}</code> and "
        f"<code>{esc(decay_histogram_name(1))}</code> (bin centres with 10 decimals) and compared "
        "with the rates zorv_mpi recorded (17 significant digits). The uncertainty of the "
        f"calibrated rate is {UNCERTAINTY_WORDS}.</p>",
        figure("calibration.png", "Decay-rate histograms of the calibration phase",
               "Decay rates fitted in the calibration phase (λ in 10⁻³ per sample; top axis: the "
               "decay time −1/λ in samples). Dashed: maximum bin; red line: parabolic estimate; "
               "red triangle: the calibrated rate zorv_mpi recorded; grey: the two end bins.",
               "calibration.csv"),
        tab,
    ], ["calibration.png", "calibration.csv"])


def left_out_words(view: RunView) -> str:
    """What the spectra leave out, in words."""
    fa, fb = view.quality.counts
    if fa + fb == 0:
        return ("<p>No fit is flagged in the fit quality above, so every record is in the spectra; "
                "<code>zorv_spectra</code>'s summary lists the same lines.</p>")
    either = int(np.count_nonzero(view.quality.either))
    return (f'<p class="warn" id="left-out">Left out: the {either:,} events with a fit flagged in '
            f"the fit quality above ({fa:,} in channel A, {fb:,} in channel B), from the spectra "
            "and the coincidence map alike. <code>zorv_spectra</code> reads every record (with "
            "<code>--max-rms</code>, it leaves out the events above one limit for both channels), "
            "so its summary may list the lines a little apart.</p>")


def spectra_section(view: RunView, out: Output) -> Part:
    ka, kb = view.kept
    figures.amplitude_spectra(out.path("amplitudes.png"), view.spectrum)
    figures.amplitude_map(out.path("amplitude_map.png"), ka, kb, view.lines)
    figures.distributions(out.path("distributions.png"), view.a, view.b)
    lo, hi, counts, _ = view.spectrum
    rows = []
    for c in (0, 1):
        for k, ln in enumerate(view.lines[c]):
            rows.append([f"Channel {CHANNEL[c]}", num(k + 1, "{}"), num(ln["position"], "{:,.1f}"),
                         num(ln["fwhm"], "{:,.1f}"), num(100 * ln["fwhm"] / ln["position"], "{:.2f} %"),
                         num(ln["events"], "{:,}"),
                         num(quality.line_uncertainty(counts[c], lo, hi, ln), "± {:,.1f}")])
    lines = (table(["", "Line", "Position (ADC counts)", "FWHM (ADC counts)", "FWHM / position",
                    "Fits within the FWHM", "Uncertainty of the position (ADC counts)"], rows)
             if rows else "<p>No line stands out of either amplitude spectrum.</p>")
    return part(phase_note(view) + [
        '<p class="lead">Amplitude 1 is the amplitude of the first pulse: the height of its '
        "exponential decay at its start before the Gaussian smearing, in ADC counts (raw sample "
        "units). The spectra are binned as <code>zorv_spectra</code> bins them: 1,000 bins whose "
        "end bins are centred on the 0.5 and 99.5 percentiles of both channels' values and also "
        "count everything outside. Its rule picks the lines: the fullest bin within 3 bins either "
        "side, with at least 10 counts and 5 times the median of the inner bins, that is not a "
        "shoulder of a taller line (the spectrum between them must dip below half its height); "
        "the three tallest per channel. A line's position is the vertex "
        "of the parabola through its bin and the two neighbours, its FWHM is measured between "
        "the half-maximum crossings. The uncertainty of a position is "
        f"{UNCERTAINTY_WORDS}.</p>",
        left_out_words(view),
        figure("amplitudes.png", "Amplitude spectra of channels A and B",
               f"Amplitude 1 of the {len(ka):,} events without a flagged fit, channel A (left) "
               "and B (right), logarithmic scale; the strongest lines are labelled with position "
               "and FWHM (black bar at half maximum).", "amplitudes.csv"),
        lines,
        figure("amplitude_map.png", "Amplitude of channel A against channel B",
               "Coincidences: amplitude 1 of channel A (x) against channel B (y) of the same event, "
               "logarithmic colour scale, empty cells grey, events with a flagged fit left out. Red "
               "triangles on the axes: the lines found in the spectra above. A line in one channel "
               "makes a band; a source line seen in both channels at once makes a hot spot where "
               "two bands cross.", "amplitude_map.csv"),
        figure("distributions.png", "Position, width, residual and separation distributions",
               "Fit parameters of both channels, every record (flagged fits included): position "
               "of the first pulse, width σ of the "
               f"Gaussian, residual sum of squares over the {SAMPLES:,} samples (top axis: the RMS "
               "residual per sample, to compare with the noise of the digitiser), and for channels "
               "fitted with two pulses the distance between them.", "distributions.csv"),
    ], ["amplitudes.png", "amplitudes.csv", "amplitude_map.png", "amplitude_map.csv",
        "distributions.png", "distributions.csv"])


FLAGGED_FIGURE = "flagged_"
FLAGGED_EXAMPLES = 3  # flagged fits shown at most, the worst first


def flagged_picks(view: RunView, most: int) -> List[Tuple[int, str]]:
    """Up to `most` records with a flagged fit, the furthest above its
    channel's limit first, with why each is shown: (record, why)."""
    q = view.quality
    ratio = np.maximum(*(q.rms[c] / q.limit[c] * q.flagged[c] for c in (0, 1)))
    order = [int(r) for r in np.argsort(-ratio, kind="stable")[:most] if ratio[r] > 0]
    out = []
    for r in order:
        c = 0 if q.flagged[0][r] and q.rms[0][r] / q.limit[0] >= q.rms[1][r] / q.limit[1] else 1
        median = q.limit[c] / quality.OUTLIER_FACTOR
        out.append((r, f"flagged: RMS residual {q.rms[c][r]:,.0f} in channel {CHANNEL[c]}, "
                       f"{q.rms[c][r] / median:,.0f} times its median"))
    return out


def quality_section(view: RunView, out: Output) -> Part:
    q = view.quality
    figures.fit_quality(out.path("fit_quality.png"), q)
    rows = []
    for c in (0, 1):
        rms = q.rms[c]
        p16, p50, p84 = np.percentile(rms, [16, 50, 84])
        rows.append([f"Channel {CHANNEL[c]}", num(len(rms)), num(p50, "{:,.2f}"),
                     f'<td class="num">{p16:,.2f} to {p84:,.2f}</td>', num(q.limit[c], "{:,.2f}"),
                     f'<td class="num">{q.counts[c]:,} ({pct(q.counts[c], len(rms))})</td>',
                     num(float(rms.max()), "{:,.2f}")])
    html = [
        '<p class="lead">The RMS residual of a fit is √(ssr / 2,500): the root mean square, in '
        "ADC counts, of what is left of the channel's 2,500 samples once the fitted model is "
        "taken away. A fit that follows its pulse leaves the digitiser's noise, so the RMS "
        "residuals of a channel gather tightly around their median. <b>A fit is flagged when its "
        f"RMS residual exceeds {quality.OUTLIER_FACTOR:g} times the median of its channel</b> over "
        "the run's records: the model then misses the trace by far more than the noise, as a fit "
        "that ran off to another pulse or to the rails does. A limit of the median plus a "
        "multiple of the median absolute deviation is not used: the core is so narrow that it "
        "would flag ordinary fits a few per cent above the median, a little pile-up or a "
        "drifting baseline. The spectra and the coincidence timing leave out every event with a "
        "fit flagged in either channel; the fit parameters keep every record.</p>",
        table(["", "Fits", "Median RMS (ADC counts)", "16 to 84 percentile",
               f"Limit, {quality.OUTLIER_FACTOR:g} × median", "Flagged", "Largest RMS"], rows),
        figure("fit_quality.png", "RMS residuals of the fits",
               "RMS residual per sample of every fit, channel A (left) and B (right), logarithmic "
               "axes; dashed red: the limit above which a fit is flagged (shaded).",
               "fit_quality.csv"),
    ]
    files = ["fit_quality.png", "fit_quality.csv"]
    chosen = flagged_picks(view, min(FLAGGED_EXAMPLES, out.examples))
    if not chosen:
        html.append("<p>No fit is flagged.</p>" if not any(q.counts) else
                    "<p>No flagged fit is drawn (no example events asked for).</p>")
        return part(html, files)
    if view.events is None:
        html.append(f"<p>The flagged fits are not drawn: {esc(EVENTS_NAME)} is not in the run "
                    "folder (a run of an older zorv_mpi), so the raw event of a record is not "
                    "known.</p>")
        return part(html, files)
    html.append(f"<h3>Flagged fits</h3><p>The {len(chosen)} furthest above the limit, drawn over "
                "their raw events as the example events below are.</p>")
    found = read_records(view, out, chosen, "flagged")
    worker, why_not = explained(view, found)
    if why_not:
        html.append(not_explained(why_not))
    shown, drawn = record_figures(view, out, chosen, found, worker, FLAGGED_FIGURE)
    return part(html + shown, files + drawn)


def timing_section(view: RunView, out: Output) -> Part:
    t = quality.timing(quality.position_differences(*view.kept))
    figures.timing(out.path("timing.png"), t)
    left_out = int(np.count_nonzero(view.quality.either))
    rows = [[num(t.used), num(left_out), num(t.outside), num(t.median, "{:,.2f}"),
             num(t.fwhm, "{:,.2f}"), num(t.fwhm / quality.FWHM_PER_SIGMA, "{:,.2f}"),
             num(float(t.edges[1] - t.edges[0]), "{:,.3g}")]]
    return part(phase_note(view) + [
        '<p class="lead">For every record both channels were fitted. The difference of their '
        "pulse positions, position 1 of channel A minus position 1 of channel B in samples, is "
        "histogrammed over the records whose fits are not flagged in either channel (see the fit "
        "quality), from the 0.5 to the 99.5 percentile of the differences in bins of the "
        "Freedman–Diaconis width 2 IQR / n<sup>1/3</sup>, which balances the counting noise of a "
        "bin against its width. The timing resolution is the histogram's full width at half "
        "maximum, measured between the half-maximum crossings either side of the fullest bin, "
        "each interpolated linearly between the centres of the last bin above half the maximum "
        "and the first at or below it. σ is the standard deviation of a Gaussian of that width "
        "(FWHM / 2.3548).</p>",
        table(["Events", "Left out (flagged)", "Outside the histogram", "Median (samples)",
               "FWHM (samples)", "σ = FWHM / 2.3548 (samples)", "Bin width (samples)"], rows),
        figure("timing.png", "Time difference of channels A and B",
               "Position 1 of channel A minus position 1 of channel B of the records not flagged; "
               "black bar: the full width at half maximum between its interpolated crossings; "
               "dotted red: the median.", "timing.csv"),
    ], ["timing.png", "timing.csv"])


def outcomes_section(view: RunView, out: Output) -> Part:
    s = view.summary
    if s is None:
        why = (f"{SUMMARY_NAME} is not in the run folder (a run of an older zorv_mpi)"
               if not view.has_summary else f"{SUMMARY_NAME} is not this run's account (see Run)")
        return part([f"<p>Not available: {esc(why)}. zorv_mpi counts the outcomes of the channels "
                     "in its run summary.</p>"])
    # One column per phase and channel, one row per outcome.
    columns = [(key, c) for key in PHASES if s["phases"][key]["state"] != STATE_NOT_STARTED
               for c in (0, 1)]
    header = [""] + [f"{key.capitalize()} phase, channel {CHANNEL[c]}" for key, c in columns]
    results = [s["phases"][key]["results"] for key, _ in columns]
    counts = [s["phases"][key]["outcomes"][c] for key, c in columns]
    rows = [["Results"] + [num(n) for n in results]]
    for k, label in OUTCOMES:
        rows.append([label.capitalize()] + [f'<td class="num">{o[k]:,} ({pct(o[k], n)})</td>'
                                            for o, n in zip(counts, results)])
    # Only a run resumed from an older checkpoint has results of unknown outcome.
    unknown = [n - sum(o[k] for k, _ in OUTCOMES) for o, n in zip(counts, results)]
    short = any(unknown)
    if short:
        rows.append(["Not known"] + [num(u) for u in unknown])
    html = ['<p class="lead">For every event a worker subtracts each channel\'s '
            f"<code>bcg_est</code>, smooths the trace with the kernel of <code>{esc(KERNEL_NAME)}"
            "</code> and looks for peaks above 500; it fits a channel with one or two peaks that lie "
            "at least 200 samples apart (a single peak: at least 200 samples from the start). A fit "
            "that does not converge in 50 iterations, takes a step that is not finite or leaves no "
            "residuals is not good either. zorv_mpi counts what became of every channel; these are "
            f"its counts from <code>{esc(SUMMARY_NAME)}</code>.</p>",
            table(header, rows)]
    if short:
        html.append("<p>Not known: results of a run resumed from a checkpoint of a zorv_mpi that "
                    "did not count the outcomes yet.</p>")
    return part(html)


def parameter_section(view: RunView, out: Output) -> Part:
    rows = []
    for field in RESULT_FIELDS:
        cells = [f"<code>{field}</code>"]
        for rec in (view.a, view.b):
            v = rec[field]
            cells += [num(np.mean(v), "{:,.6g}"), num(np.std(v), "{:,.4g}"),
                      num(np.min(v), "{:,.6g}"), num(np.max(v), "{:,.6g}")]
        rows.append(cells)
    two = [int(np.sum(holds_two_pulses(r))) for r in (view.a, view.b)]
    return part(phase_note(view) + [
        table(["Field", "A mean", "A sd", "A min", "A max", "B mean", "B sd", "B min", "B max"],
              rows),
        f"<p>Channels fitted with two pulses: A {two[0]:,}, B {two[1]:,}. A single-pulse fit "
        f"holds amplitude 2 at 0 and position 2 at {PARKED_POSITION:g}. Units: amplitudes, "
        "baseline and tail amplitude in ADC counts, positions and width in samples, decay rate "
        "per sample, "
        "<code>ssr</code> in ADC counts².</p>"])


def config_section(view: RunView, out: Output) -> Part:
    rows, classes = [], []
    for k, v, remark in view.entries:
        if k == "#":
            rows.append(["#", esc(v), ""])
            classes.append("muted")
        else:
            shown = " ".join(str(x) for x in v) if isinstance(v, list) else (
                f'"{v}"' if isinstance(v, str) else str(v))
            rows.append([f"<code>{esc(k)}</code>", f"<code>{esc(shown)}</code>", esc(remark)])
            classes.append("")
    return part([table(["Key", "Value", "Remark"], rows, classes)])
