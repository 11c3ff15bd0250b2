"""A web page about one zorv_mpi run: zorv-report RUN_DIR (or python3 -m
zorv.report RUN_DIR)

RUN_DIR is the folder zorv_mpi ran in: it holds "zorv_mpi.ini", the result
files, decay lists and decay histograms, the checkpoint
"zorv_mpi.checkpoint", and usually "win.txt", the raw files and the console
log "zorv_mpi.log". The page and its figures go to RUN_DIR/report/ (or
--out): index.html opens offline in any browser, its figures are PNG files
beside it. Missing optional files leave their section saying so.

The checkpoint tells whether the run finished. A run that did not is named
as such at the top of the page, with the phase it stopped in; stopped in the
calibration phase, its result files hold that phase's records (decay rate
free) and there is no calibration to show yet.

Every input is read and checked before anything is drawn. A file that is
damaged (cut short, not numbers, NaN in a record, a folder or FIFO where a
file belongs) or an output folder that cannot be written ends the command
with one "Error: " line on standard error and status 1; `build` raises the
exception instead.
"""

import sys

if __name__ == "__main__":
    # python3 -m zorv.report goes through the command's entry point, which
    # checks for numpy and matplotlib before anything imports them.
    from zorv.cli import report
    sys.exit(report())

import argparse  # noqa: E402
import datetime  # noqa: E402
import html  # noqa: E402
import os  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from . import figures  # noqa: E402
from .analysis import calibration_estimates  # noqa: E402
from .cli import describe  # noqa: E402
from .events import Phase, curves, locate_records, scan_decisions  # noqa: E402
from .files import (DECAY_BINS, PARKED_POSITION, RESULT_FIELDS, SAMPLES, check_finite,  # noqa: E402
                    config_of, holds_two_pulses, is_present, read_config_entries, read_decay_hist,
                    read_log, read_results)
from .model import CLOSE_PEAKS, FITTABLE, MANY_PEAKS, NO_PEAK, read_kernel, smooth  # noqa: E402
from .state import CHECKPOINT, read_run_state  # noqa: E402

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


class ReportError(Exception):
    """A run folder the report cannot describe; the message says why."""


# The settings the report uses: kind and the value it takes when the key is
# missing (None: the key is needed).
SETTINGS = {
    "abfile_path": ("text", None),
    "infile_path": ("text", ""),
    "waveforms": ("count", 0),
    "data_offset": ("count", 0),
    "sessions": ("sessions", [0, -1]),
    "cal_sessions": ("sessions", [0, -1]),
    "bcg_est": ("pair", [0.0, 0.0]),
    "decay_est": ("pair", [float("nan")] * 2),
}


def check_config(config, path):
    """Fills in the settings the report uses that `config` lacks, and raises
    ReportError for one that is missing without a default or of the wrong
    kind (a damaged zorv_mpi.ini)."""
    for key, (kind, default) in SETTINGS.items():
        if key not in config:
            if default is None:
                raise ReportError(f"{path}: no {key} setting")
            config[key] = default
            continue
        v = config[key]
        whole = [isinstance(x, int) for x in (v if isinstance(v, list) else [v])]
        ok = {"text": isinstance(v, str) and v != "",
              "count": isinstance(v, int) and v >= 0,
              "sessions": isinstance(v, list) and len(v) == 2 and all(whole),
              "pair": isinstance(v, list) and len(v) == 2 and not isinstance(v[0], str)
              and all(np.isfinite(x) for x in v)}[kind]
        if not ok:
            want = {"text": "a quoted name", "count": "a whole number, 0 or more",
                    "sessions": "two whole numbers", "pair": "two numbers"}[kind]
            raise ReportError(f"{path}: {key} = {v!r}: expected {want}")


def esc(v):
    return html.escape(str(v))


def num(v, fmt="{:,}"):
    """A number cell; a value that is not known (NaN) shows as a dash."""
    if isinstance(v, float) and v != v:
        return '<td class="num">–</td>'
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
        """Reads and checks every input before anything is drawn: damaged
        input raises ReportError or ValueError naming the file."""
        if not os.path.isdir(self.run_dir):
            raise ReportError(f"{self.run_dir} is not a folder: RUN_DIR must be the folder "
                              "zorv_mpi ran in")
        ini = self.path("zorv_mpi.ini")
        if not is_present(ini):
            raise ReportError(f"{ini} not found: RUN_DIR must be the folder zorv_mpi ran in")
        self.entries = read_config_entries(ini)
        self.config = config_of(self.entries)
        check_config(self.config, ini)
        self.state = read_run_state(self.run_dir)
        base = self.config["abfile_path"]
        self.result_names = [f"{base}{c}.bin" for c in (0, 1)]
        for name in self.result_names:
            if not is_present(self.path(name)):
                raise ReportError(f"result file {self.path(name)} not found")
        self.say(f"Reading {', '.join(self.result_names)}")
        self.a, self.b = (read_results(self.path(n)) for n in self.result_names)
        for name, rec in zip(self.result_names, (self.a, self.b)):
            check_finite(rec, self.path(name))
        if len(self.a) != len(self.b):
            self.notes.append(f"The result files hold {len(self.a):,} and {len(self.b):,} records; "
                              "record i of both is one event, so only the first "
                              f"{min(len(self.a), len(self.b)):,} are used.")
            n = min(len(self.a), len(self.b))
            self.a, self.b = self.a[:n], self.b[:n]
        # Which phase the records come from: the calibration phase's, with the
        # decay rate free, when the run stopped before the calibration.
        self.calibrated = self.state is None or self.state.phase == "processing"
        self.record_phase = "processing" if self.calibrated else "calibration"
        if len(self.a) == 0:
            raise ReportError("the result files hold no records" + (
                "" if self.state is None or self.state.finished else
                f" yet: the run stopped in the {self.state.phase} phase after "
                f"{self.state.received:,} events"))
        # The decay rates the processing phase held, per channel (one value each
        # when it held the calibrated rate throughout).
        self.held = [np.unique(rec["decay_rate"]) for rec in (self.a, self.b)]
        self.log = read_log(self.path("zorv_mpi.log")) if is_present(self.path("zorv_mpi.log")) else None
        names = [f"decay_hist{c}.txt" for c in (0, 1)]
        present = [is_present(self.path(n)) for n in names]
        # Before the calibration has run, decay histograms in the folder are
        # an earlier run's.
        self.stale_hists = [n for n, p in zip(names, present) if p and not self.calibrated]
        self.hists = [read_decay_hist(self.path(n)) if p and self.calibrated else None
                      for n, p in zip(names, present)]
        for n, h in zip(names, self.hists):
            if h is not None and len(h) != DECAY_BINS:
                raise ReportError(f"{self.path(n)} holds {len(h)} bins, zorv_mpi writes {DECAY_BINS}: "
                                  "the file is incomplete")
        self.kernel = read_kernel(self.path("win.txt")) if is_present(self.path("win.txt")) else None
        self.bcg_est = [float(v) for v in self.config["bcg_est"]]
        self.processing = Phase(self.run_dir, self.config, "sessions")
        self.calibration = Phase(self.run_dir, self.config, "cal_sessions")
        self.phase = self.processing if self.calibrated else self.calibration
        self.workers = (self.log["ranks"] - 1) if self.log and self.log["ranks"] > 1 else None

    # -- the state of the run ---------------------------------------------

    def finished(self):
        return self.state is not None and self.state.finished

    def stop_words(self):
        """How the run stopped, e.g. "stopped by SIGUSR1 in the calibration
        phase after 40 of 120 events"; None for a finished run or one
        without a checkpoint."""
        st = self.state
        if st is None or st.finished:
            return None
        ph = self.calibration if st.phase == "calibration" else self.processing
        total = ph.events or ph.expected
        stop = (self.log or {}).get("stop")
        if stop and stop["phase"] == st.phase and stop["done"] == st.received:
            how = f"stopped by {stop['signal']}" if stop["signal"] else "ended early by an error"
            total = stop["total"]
        else:
            how = "stopped or still running"
        return f"{how} in the {st.phase} phase after {st.received:,} of {total:,} events"

    def banner(self):
        """The box at the top of the page: what is unfinished or unknown."""
        st = self.state
        if st is None:
            return ('<div class="warn"><b>Whether this run finished is not known:</b> the run folder '
                    f"holds no <code>{esc(CHECKPOINT)}</code>. The result files are taken as the "
                    "processing phase's.</div>")
        if st.finished:
            if not st.run_error:
                return ""
            return ('<div class="error"><b>The run finished with an error:</b> '
                    f"<code>{esc(st.source)}</code> records that a raw file was missing or short or "
                    "an estimate was not made; the console log says which.</div>")
        if st.phase == "calibration":
            holds = ("The result files hold the calibration phase's records so far, fitted with the "
                     "decay rate free. The calibration has not run yet and the processing phase has "
                     "not started.")
        else:
            holds = ("The calibration is done; the result files hold the processing phase's records "
                     "so far.")
        return (f'<div class="error"><b>Unfinished run: {esc(self.stop_words())}</b> '
                f"(<code>{esc(st.source)}</code>: state running). {holds} To continue, set "
                "<code>resume = 1</code> in <code>zorv_mpi.ini</code> and start zorv_mpi again.</div>")

    def state_words(self):
        if self.state is None:
            return "finished or not: not known"
        return "finished" if self.state.finished else "NOT FINISHED: " + self.stop_words()

    def records_words(self):
        n = len(self.a)
        if self.record_phase == "calibration":
            return f"{n:,} calibration-phase records (decay rate free)"
        return f"{n:,} events fitted in both channels"

    # -- sections ---------------------------------------------------------

    def run_section(self):
        log = self.log or {}
        st = self.state
        rows = [["Run folder", f"<code>{esc(self.run_dir)}</code>"]]
        if st is None:
            rows.append(["State", f"not known: no {esc(CHECKPOINT)}"])
        elif st.finished:
            rows.append(["State", f"finished ({esc(st.source)})"])
        else:
            rows.append(["State", f'<b>not finished: {esc(self.stop_words())}</b> ({esc(st.source)})'])
        ended = st is None or st.finished
        if log.get("started"):
            rows.append(["Started", esc(time.strftime("%Y-%m-%d %H:%M:%S", log["started"]))])
        if log.get("finished"):
            rows.append(["Finished" if ended else "Last time stamp in the log",
                         esc(time.strftime("%Y-%m-%d %H:%M:%S", log["finished"]))])
        if log.get("duration_s") is not None and ended:
            rows.append(["Duration", f"{log['duration_s']:.0f} s (both phases and the calibration)"])
        if self.workers:
            rows.append(["Ranks", f"{self.workers + 1} (rank 0 reads and writes, {self.workers} "
                                  f"worker{'s' if self.workers > 1 else ''} fit)"])
        if not self.log:
            rows.append(["Console log", "zorv_mpi.log not found: times, rates and per-channel "
                                        "fractions are not known"])
        rates = st.calibrated if st is not None else None
        if rates is None and self.calibrated and all(len(h) == 1 for h in self.held):
            rates = (self.held[0][0], self.held[1][0])
        if rates is not None:
            rows.append(["Calibrated decay rates", "A %.10f, B %.10f per sample (decay times %.1f and "
                         "%.1f samples)" % (rates[0], rates[1], -1 / rates[0], -1 / rates[1])])
        elif not self.calibrated:
            rows.append(["Calibrated decay rates", "not yet: the calibration runs at the end of the "
                                                   "calibration phase"])
        out = [table(None, rows)]

        phases = [("calibration", "cal_sessions", self.calibration),
                  ("processing", "sessions", self.processing)]
        header = ["", "Calibration phase (decay rate free)", "Processing phase (decay rate held)"]
        rows = []

        def row(label, cells):
            rows.append([label] + cells)

        def current(key):
            # The phase the checkpoint's counters and the records belong to.
            return st is not None and st.phase == key

        def progress(key):
            if st is None:
                return "–"
            if current(key) and not st.finished:
                return esc(f"stopped after {st.received:,} events")
            if key == "processing" and st.phase == "calibration":
                return "not started"
            return "complete"

        row("Sessions", [esc("%s to %s" % tuple(self.config[key])) for _, key, _ in phases])
        row("Raw files", [esc(", ".join(n for n, raw, _ in ph.files if raw is not None) or "none found")
                          + (f' <span class="warn">missing: {esc(", ".join(ph.missing))}</span>'
                             if ph.missing else "") for _, _, ph in phases])
        row("Events in the raw files", [num(ph.events) if ph.events else num(ph.expected, "{:,} configured")
                                        for _, _, ph in phases])
        row("Progress", [progress(key) for key, _, _ in phases])
        good = []
        both = []
        for key, _, ph in phases:
            info = (log.get("phases") or {}).get(key)
            whole = ph.events or ph.expected
            if key == "processing" and st is not None and st.phase == "calibration":
                good.append(("–", "–", ""))
                both.append("<td>–</td>")
                continue
            if key == "processing" and log.get("summary") and (st is None or st.finished):
                sa, sb, sall = log["summary"]
                good.append((f"{sa:.2f} %", f"{sb:.2f} %", "at the end of the phase"))
            elif current(key) and st.received:
                fa, fb = (100.0 * g / st.received for g in st.good)
                good.append((f"{fa:.2f} %", f"{fb:.2f} %", f"of the {st.received:,} events done "
                             f"({st.source})"))
            elif info and info["progress"]:
                done, ga, gb, gall, _ = info["progress"][-1]
                good.append((f"{ga:.1f} %", f"{gb:.1f} %", f"at the last progress line, {done:.1f} % done"))
            else:
                good.append(("–", "–", ""))
            if key == self.record_phase:
                n = len(self.a)
                of = st.received if current(key) and not st.finished else whole
                both.append(f'<td class="num">{n:,} ({pct(n, of)})</td>')
            else:
                cal = sum(int(h["count"].sum()) for h in self.hists[:1] if h is not None) or None
                if cal is None and log.get("calibration_read"):
                    cal = log["calibration_read"][0]
                both.append(f'<td class="num">{cal:,} ({pct(cal, whole)})</td>' if cal else "<td>–</td>")
        row("Channel A fitted", [f'<td class="num">{g[0]}</td>' for g in good])
        row("Channel B fitted", [f'<td class="num">{g[1]}</td>' for g in good])
        row("", [f'<td class="muted">{esc(g[2])}</td>' for g in good])
        row("Fitted in both channels (events with a result)", both)
        rates = []
        for key, _, _ in phases:
            info = (log.get("phases") or {}).get(key)
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
        if not self.calibrated:
            out = ["<p>The calibration has not run yet: the run stopped in the calibration phase, and "
                   "zorv_mpi derives the decay rates from the calibration phase's fits only at its end. "
                   "The records so far have the decay rate free; its spread is in the fit parameters "
                   "below.</p>"]
            if self.stale_hists:
                names = " and ".join(self.stale_hists)
                verb = "are" if len(self.stale_hists) > 1 else "is"
                out.append(f"<p>{esc(names)} in the run folder {verb} left from an earlier run and not "
                           "shown.</p>")
            return out
        est = [calibration_estimates(h) if h is not None else (None, float("nan"), float("nan"))
               for h in self.hists]
        logged = (self.log or {}).get("decay", {})
        figures.calibration(os.path.join(self.out_dir, "calibration.png"), self.hists, est, logged)
        start = self.config["decay_est"]
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

    def phase_note(self):
        """The warning over every section drawn from the records, when they
        are the calibration phase's."""
        if self.record_phase == "processing":
            return []
        return [f'<p class="warn">These are the {esc(self.records_words())} of an unfinished run, '
                "not the processing phase's results.</p>"]

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
        return self.phase_note() + [
            '<p class="lead">Amplitude 1 is the amplitude of the first pulse: the height of its '
            "exponential decay at its start before the Gaussian smearing, in ADC counts (raw sample "
            "units). The spectra are binned as <code>zorv_spectra</code> bins them: 1,000 bins whose "
            "end bins are centred on the 0.5 and 99.5 percentiles of both channels' values and also "
            "count everything outside. Its rule picks the lines: the fullest bin within 3 bins either "
            "side, with at least 10 counts and 5 times the median of the inner bins, that is not a "
            "shoulder of a taller line (the spectrum between them must dip below half its height); "
            "the three tallest per channel. A line's position is the vertex "
            "of the parabola through its bin and the two neighbours, its FWHM is measured between "
            "the half-maximum crossings. <code>zorv_spectra</code>'s summary lists the same lines.</p>",
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
                   f"Gaussian, residual sum of squares over the {SAMPLES:,} samples (top axis: the RMS "
                   "residual per sample, to compare with the noise of the digitiser), and for channels "
                   "fitted with two pulses the distance between them."),
        ]

    def decisions_section(self):
        ph = self.phase
        if self.kernel is None or ph.events == 0:
            why = ("win.txt" if self.kernel is None
                   else f"the raw files of the {self.record_phase} phase")
            self.decisions = None
            return [f"<p>Not available: {esc(why)} not found in the run folder.</p>"]
        # An unfinished phase: only the events handed out so far.
        handed = ph.events if self.finished() or self.state is None else self.state.next_event
        limit = min(ph.events, self.scan_limit, handed)
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
            if summary and limit == ph.events and self.record_phase == "processing":
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
               f"start). The same rules are applied here to the raw events of the {self.record_phase} phase; "
               "the fits that failed (no convergence in 50 iterations) are the fittable channels that "
               "the console log does not count as good.</p>",
               table(["", "Events", NO_PEAK.capitalize(), MANY_PEAKS.capitalize(),
                      "Peaks too close / too early", "Fittable", "Fitted (log)", "Fit failed"], rows)]
        if limit < ph.events:
            why = "--scan-limit" if limit == self.scan_limit else "the events handed out so far"
            out.append(f"<p>Only the first {limit:,} of {ph.events:,} events were scanned "
                       f"({esc(why)}).</p>")
        return out

    def example_section(self):
        a, b = self.a, self.b
        n = len(a)
        picks = []

        def add(r, why):
            r = int(r)
            if r not in [p for p, _ in picks] and len(picks) < self.examples:
                picks.append((r, why))

        two = np.nonzero(holds_two_pulses(a) | holds_two_pulses(b))[0]
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

        ph = self.phase
        located = {}
        if ph.events:
            for r, e, diff in locate_records(ph, a, b, [p for p, _ in picks], self.workers, self.say):
                located[r] = (e, diff)
        rows_ab = " / ".join(self.result_names)
        if not ph.events:
            intro = (f"The raw files of the {self.record_phase} phase are not in the run folder: the fitted curves "
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
        out = self.phase_note() + [f'<p class="lead">{intro} The smoothed trace is what the worker searched for peaks '
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
                           f"the {self.record_phase} phase; only the fitted curves are shown.")
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
               f"<p>{len(bad):,} events of the {self.record_phase} phase have a channel that the worker's rules "
               "leave out; the first two are shown.</p>"]
        for k, e in enumerate(bad[:2]):
            name, local, samples = self.phase.locate(int(e))
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
        two = [int(np.sum(holds_two_pulses(r))) for r in (self.a, self.b)]
        return self.phase_note() + [table(["Field", "A mean", "A sd", "A min", "A max", "B mean", "B sd", "B min", "B max"],
                      rows),
                f"<p>Channels fitted with two pulses: A {two[0]:,}, B {two[1]:,}. A single-pulse fit "
                f"holds amplitude 2 at 0 and position 2 at {PARKED_POSITION:g}. Units: amplitudes, "
                "baseline and tail amplitude in ADC counts, positions and width in samples, decay rate "
                "per sample, "
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

    def make_out_dir(self):
        """Makes the output folder and proves that files can be written
        there, before anything is drawn."""
        try:
            os.makedirs(self.out_dir, exist_ok=True)
        except FileExistsError:
            raise ReportError(f"cannot make the report folder {self.out_dir}: something that is not "
                              "a folder has its name") from None
        except OSError as e:
            raise ReportError(f"cannot make the report folder {self.out_dir}: {e.strerror}") from None
        try:
            with tempfile.TemporaryFile(dir=self.out_dir):
                pass
        except OSError as e:
            raise ReportError(f"cannot write into the report folder {self.out_dir}: {e.strerror}") from None

    def write(self):
        self.make_out_dir()
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
<p>{esc(self.run_dir)} · {esc(self.state_words())} · {esc(self.records_words())} · made {esc(stamp)}</p></header>
<nav>{nav}</nav>
<main>
{self.banner()}
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


# Example events at most: each is a figure of its own, and a report is read by
# a person.
MAX_EXAMPLES = 100


def _count(most=None):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < 0 or (most is not None and value > most):
            raise argparse.ArgumentTypeError(
                f"{value} is out of range (0 to {most})" if most is not None else f"{value} is negative")
        return value
    return parse


def main(argv=None):
    """The command line: writes the report and prints the path of its page.
    Returns 0, 1 after one "Error: " line on standard error when the run
    folder cannot be described or the report cannot be written, or 2 for a
    bad command line."""
    prog = "zorv-report" if os.path.basename(sys.argv[0]) == "zorv-report" else "python3 -m zorv.report"
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Writes RUN_DIR/report/index.html: a page with the run's calibration, spectra, "
                    "fit quality and example events, figures beside it.")
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the folder zorv_mpi ran in")
    parser.add_argument("--out", help="output folder (default RUN_DIR/report)")
    parser.add_argument("--events", type=_count(MAX_EXAMPLES), default=12,
                        help=f"example events to show, 0 to {MAX_EXAMPLES} (12)")
    parser.add_argument("--scan-limit", type=_count(), default=200000,
                        help="raw events scanned for the workers' decisions, 0 or more (200000)")
    args = parser.parse_args(argv)
    try:
        index = build(args.run_dir, args.out, args.events, args.scan_limit)
    except (ReportError, ValueError, OSError) as e:
        print(f"Error: {describe(e)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("Error: interrupted; the report is not complete", file=sys.stderr)
        return 1
    print(index)
    return 0
