"""A web page about one zorv_mpi run: python3 -m zorv.report RUN_DIR

RUN_DIR is the folder zorv_mpi ran in: it holds "zorv_mpi.ini", the result
files, decay lists and decay histograms, and usually "win.txt", the raw
files and the console log "zorv_mpi.log". The page and its figures go to
RUN_DIR/report/ (or --out): index.html opens offline in any browser, its
figures are PNG files beside it. Files the report does not know (checkpoints
and the like) are left alone; missing optional files leave their section
saying so.
"""

import argparse
import datetime
import html
import os
import sys
import time

import numpy as np

from . import figures
from .analysis import calibration_estimates
from .events import Phase, curves, locate_records, scan_decisions
from .files import (RESULT_FIELDS, config_of, read_config_entries, read_decay_hist,
                    read_log, read_results)
from .model import CLOSE_PEAKS, FITTABLE, MANY_PEAKS, NO_PEAK, read_kernel, smooth

CHANNEL = figures.CHANNEL

CSS = """
body { font-family: "DejaVu Sans", Helvetica, Arial, sans-serif; color: #1d1d1f; margin: 0;
       background: #fafafa; line-height: 1.45; }
header { background: #243447; color: white; padding: 18px 32px 14px; }
header h1 { margin: 0 0 4px; font-size: 24px; }
header p { margin: 0; color: #c9d6e3; font-size: 13px; }
nav { background: #e9eef3; padding: 8px 32px; font-size: 13px; border-bottom: 1px solid #d0d7de; }
nav a { margin-right: 16px; color: #243447; text-decoration: none; }
main { max-width: 1240px; margin: 0 auto; padding: 8px 32px 40px; }
section { background: white; border: 1px solid #e1e4e8; border-radius: 6px; padding: 4px 20px 16px;
          margin: 18px 0; }
h2 { font-size: 19px; border-bottom: 1px solid #e1e4e8; padding-bottom: 6px; }
h3 { font-size: 15px; margin-bottom: 6px; }
p.lead { color: #444; max-width: 980px; font-size: 14px; }
table { border-collapse: collapse; font-size: 13px; margin: 8px 0 12px; }
th, td { border: 1px solid #d8dee4; padding: 4px 10px; text-align: left; vertical-align: top; }
th { background: #f1f4f7; font-weight: 600; }
td.num { text-align: right; font-variant-numeric: tabular-nums; font-family: "DejaVu Sans Mono", monospace; }
tr.muted td { color: #6a737d; font-style: italic; }
figure { margin: 12px 0 18px; }
figure img { max-width: 100%; height: auto; border: 1px solid #eef0f2; }
figcaption { font-size: 13px; color: #444; margin-top: 4px; max-width: 1100px; }
.warn { background: #fff4e5; border: 1px solid #f0b35a; padding: 8px 12px; border-radius: 4px; }
.error { background: #fdecea; border: 1px solid #e0796f; padding: 8px 12px; border-radius: 4px; }
code { font-family: "DejaVu Sans Mono", monospace; font-size: 12.5px; background: #f3f4f6;
       padding: 0 3px; border-radius: 3px; }
"""


def esc(v):
    return html.escape(str(v))


def num(v, fmt="{:,}"):
    return f'<td class="num">{esc(fmt.format(v))}</td>'


def table(header, rows, classes=None):
    out = ["<table>"]
    if header:
        out.append("<tr>" + "".join(f"<th>{h}</th>" for h in header) + "</tr>")
    for i, row in enumerate(rows):
        cls = f' class="{classes[i]}"' if classes and classes[i] else ""
        cells = "".join(c if c.startswith("<td") else f"<td>{c}</td>" for c in row)
        out.append(f"<tr{cls}>{cells}</tr>")
    out.append("</table>")
    return "\n".join(out)


def figure(src, alt, caption):
    return (f'<figure><img src="{esc(src)}" alt="{esc(alt)}">'
            f"<figcaption>{caption}</figcaption></figure>")


def pct(part, whole):
    return "–" if not whole else f"{100.0 * part / whole:.2f} %"


class Report:
    def __init__(self, run_dir, out_dir, examples, scan_limit, say):
        self.run_dir = os.path.abspath(run_dir)
        self.out_dir = os.path.abspath(out_dir or os.path.join(self.run_dir, "report"))
        self.examples = examples
        self.scan_limit = scan_limit
        self.say = say
        self.notes = []

    def path(self, name):
        return os.path.join(self.run_dir, name)

    # -- reading ----------------------------------------------------------

    def read(self):
        ini = self.path("zorv_mpi.ini")
        if not os.path.exists(ini):
            raise SystemExit(f"Error: {ini} not found: RUN_DIR must be the folder zorv_mpi ran in")
        self.entries = read_config_entries(ini)
        self.config = config_of(self.entries)
        base = str(self.config.get("abfile_path", ""))
        self.result_names = [f"{base}{c}.bin" for c in (0, 1)]
        for name in self.result_names:
            if not os.path.exists(self.path(name)):
                raise SystemExit(f"Error: result file {self.path(name)} not found")
        self.say(f"Reading {', '.join(self.result_names)}")
        self.a, self.b = (read_results(self.path(n)) for n in self.result_names)
        if len(self.a) != len(self.b):
            self.notes.append(f"The result files hold {len(self.a):,} and {len(self.b):,} records; "
                              "record i of both is one event, so only the first "
                              f"{min(len(self.a), len(self.b)):,} are used.")
            n = min(len(self.a), len(self.b))
            self.a, self.b = self.a[:n], self.b[:n]
        if len(self.a) == 0:
            raise SystemExit("Error: the result files hold no records")
        # The decay rates the processing phase held, per channel (one value each
        # when it held the calibrated rate throughout).
        self.held = [np.unique(rec["decay_rate"]) for rec in (self.a, self.b)]
        self.log = read_log(self.path("zorv_mpi.log")) if os.path.exists(self.path("zorv_mpi.log")) else None
        self.hists = [read_decay_hist(self.path(f"decay_hist{c}.txt"))
                      if os.path.exists(self.path(f"decay_hist{c}.txt")) else None for c in (0, 1)]
        self.kernel = read_kernel(self.path("win.txt")) if os.path.exists(self.path("win.txt")) else None
        bcg = self.config.get("bcg_est", [0.0, 0.0])
        self.bcg_est = [float(v) for v in (bcg if isinstance(bcg, list) else [bcg, bcg])][:2]
        self.processing = Phase(self.run_dir, self.config, "sessions")
        self.calibration = Phase(self.run_dir, self.config, "cal_sessions")
        self.workers = (self.log["ranks"] - 1) if self.log and self.log["ranks"] > 1 else None

    # -- sections ---------------------------------------------------------

    def run_section(self):
        log = self.log or {}
        rows = [["Run folder", f"<code>{esc(self.run_dir)}</code>"]]
        if log.get("started"):
            rows.append(["Started", esc(time.strftime("%Y-%m-%d %H:%M:%S", log["started"]))])
        if log.get("finished"):
            rows.append(["Finished", esc(time.strftime("%Y-%m-%d %H:%M:%S", log["finished"]))])
        if log.get("duration_s") is not None:
            rows.append(["Duration", f"{log['duration_s']:.0f} s (both phases and the calibration)"])
        if self.workers:
            rows.append(["Ranks", f"{self.workers + 1} (rank 0 reads and writes, {self.workers} "
                                  f"worker{'s' if self.workers > 1 else ''} fit)"])
        if not self.log:
            rows.append(["Console log", "zorv_mpi.log not found: times, rates and per-channel "
                                        "fractions are not known"])
        held = self.held
        if all(len(h) == 1 for h in held):
            rows.append(["Calibrated decay rates", "A %.10f, B %.10f per sample (decay times %.1f and "
                         "%.1f samples)" % (held[0][0], held[1][0], -1 / held[0][0], -1 / held[1][0])])
        out = [table(None, rows)]

        cal_read = sum(int(h["count"].sum()) for h in self.hists[:1] if h is not None) or None
        if cal_read is None and log.get("calibration_read"):
            cal_read = log["calibration_read"][0]
        phases = [("Calibration", "cal_sessions", self.calibration, cal_read),
                  ("Processing", "sessions", self.processing, len(self.a))]
        header = ["", "Calibration phase (decay rate free)", "Processing phase (decay rate held)"]
        rows = []

        def row(label, cells):
            rows.append([label] + cells)

        row("Sessions", [esc("%s to %s" % tuple(self.config.get(key, ["?", "?"])))
                         for _, key, _, _ in phases])
        row("Raw files", [esc(", ".join(n for n, raw, _ in ph.files if raw is not None) or "none found")
                          + (f' <span class="warn">missing: {esc(", ".join(ph.missing))}</span>'
                             if ph.missing else "") for _, _, ph, _ in phases])
        row("Events in the raw files", [num(ph.events) if ph.events else num(ph.expected, "{:,} configured")
                                        for _, _, ph, _ in phases])
        good = []
        for name, _, ph, both in phases:
            key = name.lower()
            info = (log.get("phases") or {}).get(key)
            if key == "processing" and log.get("summary"):
                sa, sb, sall = log["summary"]
                good.append((f"{sa:.2f} %", f"{sb:.2f} %", "at the end of the phase"))
            elif info and info["progress"]:
                done, ga, gb, gall, _ = info["progress"][-1]
                good.append((f"{ga:.1f} %", f"{gb:.1f} %", f"at the last progress line, {done:.1f} % done"))
            else:
                good.append(("–", "–", ""))
        row("Channel A fitted", [f'<td class="num">{g[0]}</td>' for g in good])
        row("Channel B fitted", [f'<td class="num">{g[1]}</td>' for g in good])
        row("", [f'<td class="muted">{esc(g[2])}</td>' for g in good])
        row("Fitted in both channels (events with a result)",
            [f'<td class="num">{both:,} ({pct(both, ph.events or ph.expected)})</td>' if both is not None
             else "<td>–</td>" for _, _, ph, both in phases])
        rates = []
        for name, _, _, _ in phases:
            info = (log.get("phases") or {}).get(name.lower())
            rates.append(num(info["rate"], "{:,.1f} events/s") if info and info["rate"] else "<td>–</td>")
        row("Rate (last progress line)", rates)
        out.append(table(header, rows))
        if log.get("errors"):
            out.append('<div class="error"><b>The console log reports errors:</b><br>'
                       + "<br>".join(esc(e) for e in log["errors"]) + "</div>")
        for n in self.notes:
            out.append(f'<p class="warn">{esc(n)}</p>')
        return out

    def calibration_section(self):
        est = [calibration_estimates(h) if h is not None else (None, float("nan"), float("nan"))
               for h in self.hists]
        logged = (self.log or {}).get("decay", {})
        figures.calibration(os.path.join(self.out_dir, "calibration.png"), self.hists, est, logged)
        start = self.config.get("decay_est", [float("nan")] * 2)
        rows = []
        for c, held in enumerate(self.held):
            lg = logged.get(c, {})
            rows.append([f"Channel {CHANNEL[c]}", num(float(start[c]), "{:.6g}"),
                         num(lg.get("maximum", float("nan")), "{:.10f}"),
                         num(lg.get("parabolic", float("nan")), "{:.10f}"),
                         num(est[c][1], "{:.10f}"), num(est[c][2], "{:.10f}"),
                         num(held[0], "{:.10f}") if len(held) == 1 else f"<td>{len(held)} values</td>",
                         num(-1.0 / est[c][2] if est[c][2] else float("nan"), "{:,.2f}")])
        tab = table(["", "Start value (configuration)", "Maximum bin (log)", "Parabolic (log)",
                     "Maximum bin (recomputed)", "Parabolic (recomputed)",
                     "Held in the processing phase", "Decay time −1/λ (samples)"], rows)
        return [
            '<p class="lead">In the calibration phase every fit leaves the decay rate λ free. zorv_mpi '
            "sorts the fitted rates of each channel, trims the tails (<code>hist_overflow</code> at each "
            "end) and histograms the rest in 250 bins; the end bins collect the trimmed tails. The "
            "fullest inner bin gives the maximum-bin estimate, a parabola through it and its two "
            "neighbours the parabolic estimate, which the processing phase then holds fixed. The "
            "estimates are recomputed here from <code>decay_hist0.txt</code> and "
            "<code>decay_hist1.txt</code> and compared with the values in the console log.</p>",
            figure("calibration.png", "Decay-rate histograms of the calibration phase",
                   "Decay rates fitted in the calibration phase (λ in 10⁻³ per sample; top axis: the "
                   "decay time −1/λ in samples). Dashed: maximum bin; red line: parabolic estimate; "
                   "red triangle: the value printed in zorv_mpi.log; grey: the two end bins."),
            tab,
        ]

    def spectra_section(self):
        a, b = self.a, self.b
        self.lines = figures.amplitude_spectra(os.path.join(self.out_dir, "amplitudes.png"), a, b)
        figures.amplitude_map(os.path.join(self.out_dir, "amplitude_map.png"), a, b, self.lines)
        figures.distributions(os.path.join(self.out_dir, "distributions.png"), a, b)
        rows = []
        for c in (0, 1):
            for k, ln in enumerate(self.lines[c]):
                rows.append([f"Channel {CHANNEL[c]}", num(k + 1, "{}"), num(ln["position"], "{:,.1f}"),
                             num(ln["fwhm"], "{:,.1f}"), num(100 * ln["fwhm"] / ln["position"], "{:.2f} %"),
                             num(ln["events"], "{:,}")])
        lines = (table(["", "Line", "Position (ADC counts)", "FWHM (ADC counts)", "FWHM / position",
                        "Fits within the FWHM"], rows)
                 if rows else "<p>No line stands out of either amplitude spectrum.</p>")
        return [
            '<p class="lead">Amplitude 1 is the amplitude of the first pulse: the height of its '
            "exponential decay at its start before the Gaussian smearing, in ADC counts (raw sample "
            "units). A line of the source shows as a peak; its position is the vertex of a parabola "
            "through the fullest bin and its neighbours, its FWHM is measured between the half-maximum "
            "crossings. The ranges run from the 0.5 to the 99.5 percentile of both channels' values; "
            "the end bins also count everything outside.</p>",
            figure("amplitudes.png", "Amplitude spectra of channels A and B",
                   "Amplitude 1 of every event with a result, channel A (left) and B (right), "
                   "logarithmic scale; the strongest lines are labelled with position and FWHM "
                   "(black bar at half maximum)."),
            lines,
            figure("amplitude_map.png", "Amplitude of channel A against channel B",
                   "Coincidences: amplitude 1 of channel A (x) against channel B (y) of the same event, "
                   "logarithmic colour scale, empty cells grey. Red triangles on the axes: the lines found "
                   "in the spectra above. A line in one channel makes a band; a source line seen in both "
                   "channels at once makes a hot spot where two bands cross."),
            figure("distributions.png", "Position, width, residual and separation distributions",
                   "Fit parameters of both channels: position of the first pulse, width σ of the "
                   "Gaussian, residual sum of squares over the 2,500 samples (top axis: the RMS "
                   "residual per sample, to compare with the noise of the digitiser), and for channels "
                   "fitted with two pulses the distance between them."),
        ]

    def decisions_section(self):
        ph = self.processing
        if self.kernel is None or ph.events == 0:
            why = "win.txt" if self.kernel is None else "the raw files of the processing phase"
            self.decisions = None
            return [f"<p>Not available: {esc(why)} not found in the run folder.</p>"]
        limit = min(ph.events, self.scan_limit)
        self.decisions = scan_decisions(ph, self.bcg_est, self.kernel, limit)
        reasons = [NO_PEAK, MANY_PEAKS, CLOSE_PEAKS]
        summary = (self.log or {}).get("summary")
        rows = []
        for c in (0, 1):
            d = self.decisions[:, c]
            fittable = int(np.sum(d == FITTABLE))
            cells = [f"Channel {CHANNEL[c]}", num(limit)]
            cells += [f'<td class="num">{int(np.sum(d == r)):,} ({pct(int(np.sum(d == r)), limit)})</td>'
                      for r in reasons]
            cells.append(num(fittable))
            if summary and limit == ph.events:
                fitted = int(round(summary[c] / 100.0 * ph.events))
                cells.append(num(fitted, "≈ {:,}"))
                cells.append(num(max(fittable - fitted, 0), "≈ {:,}"))
            else:
                cells += ["<td>–</td>", "<td>–</td>"]
            rows.append(cells)
        out = ['<p class="lead">Each worker subtracts the channel\'s <code>bcg_est</code>, smooths the '
               "trace with the kernel of <code>win.txt</code> (a moving weighted average, renormalised "
               "where it runs over the ends), and fits only a channel with one or two peaks above 500 "
               "that lie at least 200 samples apart (a single peak: at least 200 samples from the "
               "start). The same rules are applied here to the raw events of the processing phase; "
               "the fits that failed (no convergence in 50 iterations) are the fittable channels that "
               "the console log does not count as good.</p>",
               table(["", "Events", NO_PEAK.capitalize(), MANY_PEAKS.capitalize(),
                      "Peaks too close / too early", "Fittable", "Fitted (log)", "Fit failed"], rows)]
        if limit < ph.events:
            out.append(f"<p>Only the first {limit:,} of {ph.events:,} events were scanned "
                       "(--scan-limit).</p>")
        return out

    def example_section(self):
        a, b = self.a, self.b
        n = len(a)
        picks = []

        def add(r, why):
            r = int(r)
            if r not in [p for p, _ in picks] and len(picks) < self.examples:
                picks.append((r, why))

        two = np.nonzero((a["amplitude2"] != 0) | (b["amplitude2"] != 0))[0]
        for r in two[np.linspace(0, len(two) - 1, min(4, len(two))).astype(int)] if len(two) else []:
            add(r, "two-pulse fit")
        for c, rec in enumerate((a, b)):
            for ln in self.lines[c][:2]:
                add(np.argmin(np.abs(rec["amplitude1"] - ln["position"])),
                    f"amplitude on the line at {ln['position']:,.0f} in channel {CHANNEL[c]}")
        add(np.argmax(a["ssr"]), "largest residual in channel A")
        add(np.argmax(b["ssr"]), "largest residual in channel B")
        add(np.argmin(a["amplitude1"]), "smallest amplitude in channel A")
        add(np.argmax(a["amplitude1"]), "largest amplitude in channel A")
        for r in np.linspace(0, n - 1, self.examples).astype(int):
            add(r, "evenly spaced through the records")
        picks.sort()

        ph = self.processing
        located = {}
        if ph.events:
            for r, e, diff in locate_records(ph, a, b, [p for p, _ in picks], self.workers, self.say):
                located[r] = (e, diff)
        rows_ab = " / ".join(self.result_names)
        if not ph.events:
            intro = ("The raw files of the processing phase are not in the run folder: the fitted curves "
                     "are shown without the raw traces.")
        elif self.workers == 1:
            intro = ("This run had one worker, so the records follow the raw events in order, leaving out "
                     "the events not fitted in both channels. Each record's raw event was found in that "
                     "order and confirmed: laid over its raw traces, the record's fitted curves give back "
                     "the residual sums of squares stored in the record.")
        else:
            intro = ("With several workers the records follow the order in which results reached rank 0, "
                     "not the event order, and carry no event number. Each record's raw event was found "
                     "by its content: the only event whose raw traces, under the record's fitted curves, "
                     "give back the residual sums of squares stored in the record (any other event "
                     "misses them by orders of magnitude).")
        out = [f'<p class="lead">{intro} The smoothed trace is what the worker searched for peaks '
               "(shifted back by <code>bcg_est</code> to lie on the raw samples); the fitted model is "
               "evaluated from the record's parameters with the fitter's formula. Under each trace: data "
               "minus fit, with the band of ± its RMS.</p>"]
        for k, (r, why) in enumerate(picks):
            e, diff = located.get(r, (None, None))
            ra, rb = a[r], b[r]
            models = curves(ra, rb)
            samples = smoothed = None
            where = f"record {r:,} of {rows_ab}"
            if e is not None:
                name, local, samples = ph.locate(e)
                samples = np.asarray(samples, dtype=np.float64)
                if self.kernel is not None:
                    smoothed = [smooth(samples[:, c] - self.bcg_est[c], self.kernel) for c in (0, 1)]
                title = f"Event {local:,} of {name} — {why}"
                caption = (f"Event {local:,} of <code>{esc(name)}</code> (counted from 0), "
                           f"{esc(where)}: {esc(why)}. Residual sums of squares recomputed from the raw "
                           f"samples agree with the record to {diff:.1e}.")
            else:
                title = f"Record {r:,} — {why} (raw event not found)"
                caption = (f"{esc(where)}: {esc(why)}. Its raw event was not found in the raw files of "
                           "the processing phase; only the fitted curves are shown.")
            fname = f"event_{k + 1:02d}.png"
            figures.event(os.path.join(self.out_dir, fname), title, samples, smoothed, models,
                          (ra, rb), self.bcg_est)
            out.append(figure(fname, title, caption))
        out += self.skipped_examples()
        return out

    def skipped_examples(self):
        if self.decisions is None:
            return []
        bad = np.nonzero((self.decisions[:, 0] != FITTABLE) | (self.decisions[:, 1] != FITTABLE))[0]
        if len(bad) == 0:
            return []
        out = ["<h3>Events the workers did not fit</h3>",
               f"<p>{len(bad):,} events of the processing phase have a channel that the worker's rules "
               "leave out; the first two are shown.</p>"]
        for k, e in enumerate(bad[:2]):
            name, local, samples = self.processing.locate(int(e))
            samples = np.asarray(samples, dtype=np.float64)
            smoothed = [smooth(samples[:, c] - self.bcg_est[c], self.kernel) for c in (0, 1)]
            why = "; ".join(f"channel {CHANNEL[c]}: {self.decisions[e, c]}" for c in (0, 1)
                            if self.decisions[e, c] != FITTABLE)
            title = f"Event {local:,} of {name} — not fitted ({why})"
            fname = f"skipped_{k + 1}.png"
            reasons = [self.decisions[e, c] if self.decisions[e, c] != FITTABLE
                       else "fittable (the other channel was not)"
                       for c in (0, 1)]
            figures.event(os.path.join(self.out_dir, fname), title, samples, smoothed, None, None,
                          self.bcg_est, reasons)
            out.append(figure(fname, title, f"Event {local:,} of <code>{esc(name)}</code>: {esc(why)}. "
                                            "Raw samples, the smoothed trace with the peak threshold, and the peaks the worker's rule "
                                            "finds in it (triangles)."))
        return out

    def parameter_section(self):
        rows = []
        for field in RESULT_FIELDS:
            cells = [f"<code>{field}</code>"]
            for rec in (self.a, self.b):
                v = rec[field]
                cells += [num(np.mean(v), "{:,.6g}"), num(np.std(v), "{:,.4g}"),
                          num(np.min(v), "{:,.6g}"), num(np.max(v), "{:,.6g}")]
            rows.append(cells)
        two = [int(np.sum(r["amplitude2"] != 0)) for r in (self.a, self.b)]
        return [table(["Field", "A mean", "A sd", "A min", "A max", "B mean", "B sd", "B min", "B max"],
                      rows),
                f"<p>Channels fitted with two pulses: A {two[0]:,}, B {two[1]:,}. A single-pulse fit "
                "holds amplitude 2 at 0 and position 2 at 1500. Units: amplitudes, baseline and tail "
                "amplitude in ADC counts, positions and width in samples, decay rate per sample, "
                "<code>ssr</code> in ADC counts².</p>"]

    def config_section(self):
        rows, classes = [], []
        for k, v, remark in self.entries:
            if k == "#":
                rows.append(["#", esc(v), ""])
                classes.append("muted")
            else:
                shown = " ".join(str(x) for x in v) if isinstance(v, list) else (
                    f'"{v}"' if isinstance(v, str) else str(v))
                rows.append([f"<code>{esc(k)}</code>", f"<code>{esc(shown)}</code>", esc(remark)])
                classes.append("")
        return [table(["Key", "Value", "Remark"], rows, classes)]

    # -- the page ---------------------------------------------------------

    def write(self):
        os.makedirs(self.out_dir, exist_ok=True)
        for old in os.listdir(self.out_dir):
            if old.startswith(("event_", "skipped_")) and old.endswith(".png"):
                os.remove(os.path.join(self.out_dir, old))
        sections = [
            ("run", "Run", self.run_section),
            ("calibration", "Calibration of the decay rate", self.calibration_section),
            ("spectra", "Spectra", self.spectra_section),
            ("decisions", "Why channels were not fitted", self.decisions_section),
            ("events", "Example events", self.example_section),
            ("parameters", "Fit parameters", self.parameter_section),
            ("configuration", "Configuration (zorv_mpi.ini)", self.config_section),
        ]
        body = []
        for anchor, title, fn in sections:
            self.say(f"Report: {title.lower()}")
            body.append(f'<section id="{anchor}"><h2>{esc(title)}</h2>\n' + "\n".join(fn()) + "</section>")
        nav = " ".join(f'<a href="#{a}">{esc(t)}</a>' for a, t, _ in sections)
        stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
        page = f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>zorv run report: {esc(os.path.basename(self.run_dir))}</title>
<style>{CSS}</style>
</head>
<body>
<header><h1>zorv run report</h1>
<p>{esc(self.run_dir)} · {len(self.a):,} events fitted in both channels · made {esc(stamp)}</p></header>
<nav>{nav}</nav>
<main>
{chr(10).join(body)}
</main>
</body>
</html>
"""
        index = os.path.join(self.out_dir, "index.html")
        tmp = index + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(page)
        os.replace(tmp, index)
        return index


def build(run_dir, out_dir=None, examples=12, scan_limit=200000, say=None):
    """Writes the report of the run in `run_dir`; returns the path of its
    index.html."""
    if say is None:
        def say(msg):
            print(msg, file=sys.stderr, flush=True)
    report = Report(run_dir, out_dir, examples, scan_limit, say)
    report.read()
    return report.write()


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m zorv.report",
        description="Writes RUN_DIR/report/index.html: a page with the run's calibration, spectra, "
                    "fit quality and example events, figures beside it.")
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the folder zorv_mpi ran in")
    parser.add_argument("--out", help="output folder (default RUN_DIR/report)")
    parser.add_argument("--events", type=int, default=12, help="example events to show (12)")
    parser.add_argument("--scan-limit", type=int, default=200000,
                        help="raw events scanned for the workers' decisions (200000)")
    args = parser.parse_args(argv)
    index = build(args.run_dir, args.out, args.events, args.scan_limit)
    print(index)
    return 0


if __name__ == "__main__":
    sys.exit(main())
