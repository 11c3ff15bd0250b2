"""A web page about one zorv_mpi run: zorv-report RUN_DIR (or python3 -m
zorv.report RUN_DIR)

RUN_DIR is the folder zorv_mpi ran in: it holds "zorv_mpi.ini", the result
files, decay lists and decay histograms, the provenance list "events.txt",
the run summary "zorv_mpi.summary.json", the checkpoint
"zorv_mpi.checkpoint", and usually "win.txt" and the raw files. The page and
its figures go to RUN_DIR/report/ (or --out): index.html opens offline in
any browser, its figures are PNG files beside it. Missing optional files
leave their section saying so.

What the run did comes from what zorv_mpi recorded, nothing is worked out
again from the raw files: how it ended, its phases, counts, outcomes per
channel, times, hosts, version and calibrated decay rates from the summary
(where the run stands from the checkpoint when that is newer, see
zorv.state); the raw event of each example record from its line of
events.txt, and only those events are read. A run folder of a zorv_mpi
older than the summary and events.txt is described as far as it can be: the
page says what is not recorded and leaves out the sections that need it.

A run that did not finish is named as such at the top of the page, with the
phase it stopped in; stopped in the calibration phase, its result files
hold that phase's records (decay rate free).

Every input is read and checked before anything is drawn. A file that is
damaged (cut short, not numbers, NaN in a record, a summary that is not
whole, an events.txt that does not belong to the result files, a folder or
FIFO where a file belongs) or an output folder that cannot be written ends
the command with one "Error: " line on standard error and status 1; `build`
raises the exception instead.
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
from collections import Counter  # noqa: E402

import numpy as np  # noqa: E402

from . import figures  # noqa: E402
from .analysis import calibration_estimates  # noqa: E402
from .cli import describe  # noqa: E402
from .events import SSR_MATCH, RawFiles, curves, events_without_record, ssr_agreement  # noqa: E402
from .files import (EVENTS_NAME, OUTCOMES, PARKED_POSITION, PHASES,  # noqa: E402
                    RESULT_FIELDS, SAMPLES, SUMMARY_NAME, UNKNOWN_EVENT, check_finite, config_of,
                    holds_two_pulses, is_present, read_config_entries, read_decay_hist, read_events,
                    read_results, unknown_events)
from .model import find_peaks, read_kernel, smooth  # noqa: E402
from .state import CHECKPOINT, file_state, read_checkpoint, where_run_stands  # noqa: E402

CHANNEL = figures.CHANNEL
# The session range of each phase in zorv_mpi.ini.
SESSIONS_KEY = {"calibration": "cal_sessions", "processing": "sessions"}

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
td.num { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums; font-family: "DejaVu Sans Mono", monospace; }
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


def decay_time(rate):
    """The decay time −1/λ of a decay rate, in words: a rate that is not
    negative (a calibration on fits that did not decay) has none."""
    return f"decay time {-1.0 / rate:,.1f} samples" if rate < 0 else "no decay time: not negative"


def pct(part, whole):
    return "–" if not whole else f"{100.0 * part / whole:.2f} %"


class Report:
    def __init__(self, run_dir, out_dir, examples, say):
        self.run_dir = os.path.abspath(run_dir)
        self.out_dir = os.path.abspath(out_dir or os.path.join(self.run_dir, "report"))
        self.examples = examples
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
        base = self.config["abfile_path"]
        self.result_names = [f"{base}{c}.bin" for c in (0, 1)]
        for name in self.result_names:
            if not is_present(self.path(name)):
                raise ReportError(f"result file {self.path(name)} not found")
        self.say(f"Reading {', '.join(self.result_names)}")
        self.a, self.b = (read_results(self.path(n)) for n in self.result_names)
        for name, rec in zip(self.result_names, (self.a, self.b)):
            check_finite(rec, self.path(name))
        self.has_summary = is_present(self.path(SUMMARY_NAME))
        counts = (len(self.a), len(self.b))
        self.state, passed_over = where_run_stands(self.run_dir, counts[0] if counts[0] == counts[1]
                                                   else None)
        if counts[0] != counts[1]:
            self.check_result_counts(counts)
            n = min(counts)
            self.a, self.b = self.a[:n], self.b[:n]
        if passed_over:
            self.notes.append(f"{passed_over}. Its facts are not shown; where the run stands is "
                              + (f"taken from {self.state.source}." if self.state else "not known."))
        self.summary = self.state.summary if self.state else None
        st = self.state
        if st is not None and st.summary is None and not st.finished and st.both != len(self.a):
            self.notes.append(
                f"The result files hold {len(self.a):,} records, {st.source} (written at intervals) "
                f"counts {st.both:,} of {st.received:,} results: the run went on after it (or is "
                "still running). The counts and shares of the table are the checkpoint's; the "
                f"sections below show all {len(self.a):,} records of the files.")
        # Which phase the records come from: the calibration phase's, with the
        # decay rate free, when the run stopped before the processing phase.
        st = self.state
        self.record_phase = "calibration" if st is not None and st.phase == "calibration" else "processing"
        self.calibrated = st is None or st.calibrated is not None
        if len(self.a) == 0:
            raise ReportError("the result files hold no records" + (
                "" if st is None or st.finished else
                f" yet: the run stopped in the {st.phase} phase after {st.received:,} events"))
        # The decay rates the processing phase held, per channel (one value each
        # when it held the calibrated rate throughout).
        self.held = [np.unique(rec["decay_rate"]) for rec in (self.a, self.b)]
        self.events = None
        if is_present(self.path(EVENTS_NAME)):
            self.events = read_events(self.path(EVENTS_NAME))
            self.check_events()
        names = [f"decay_hist{c}.txt" for c in (0, 1)]
        present = [is_present(self.path(n)) for n in names]
        # Before the calibration has run, decay histograms in the folder are
        # an earlier run's.
        self.stale_hists = [n for n, p in zip(names, present) if p and not self.calibrated]
        self.hists = [read_decay_hist(self.path(n)) if p and self.calibrated else None
                      for n, p in zip(names, present)]
        self.kernel = read_kernel(self.path("win.txt")) if is_present(self.path("win.txt")) else None
        self.bcg_est = [float(v) for v in self.config["bcg_est"]]
        self.raw = RawFiles(self.run_dir, self.config)
        # What the checkpoint recorded of the raw files the run read, to tell
        # a raw file replaced since from a line of events.txt that names
        # another event.
        cp = self.path(CHECKPOINT)
        self.raw_seen = (st.raw_files if st is not None and st.raw_files is not None else
                         read_checkpoint(cp).raw_files if is_present(cp) else None)

    def check_result_counts(self, counts):
        """Result files of unequal length: a finished run writes a record to
        both for every event, so the file that holds other than the count
        the run recorded is damaged; otherwise (a run that did not finish
        may have written one file further than the other) a note."""
        st = self.state
        if st is not None and st.finished:
            wrong = [(name, n) for name, n in zip(self.result_names, counts) if n != st.both]
            said = " and ".join(f"{self.path(name)} holds {n:,} records" for name, n in wrong)
            raise ReportError(f"{said}, {st.source} counts {st.both:,} for the finished run: "
                              f"{'they are' if len(wrong) > 1 else 'the file is'} cut short or not "
                              "this run's")
        self.notes.append(f"The result files hold {counts[0]:,} and {counts[1]:,} records; "
                          "record i of both is one event, so only the first "
                          f"{min(counts):,} are used.")

    def sessions(self, phase):
        first, last = self.config[SESSIONS_KEY[phase]]
        return range(first, last + 1)

    def check_events(self):
        """events.txt must name one raw event of the records' phase for
        every record (a run that did not finish may have written one file
        further than the other: then a note)."""
        path = self.path(EVENTS_NAME)
        ev, n = self.events, len(self.a)
        if len(ev) != n:
            words = (f"{path} holds {len(ev):,} lines and the result files {n:,} records; line i "
                     "names the raw event of record i")
            if self.state is not None and self.state.finished:
                raise ReportError(f"{words}, and a finished run writes them alike: the file does "
                                  "not belong to the result files")
            self.notes.append(f"{words}: the run did not finish writing both, and a record "
                              "beyond the last line has no known raw event.")
        sessions = self.sessions(self.record_phase)
        waveforms = self.config["waveforms"]
        known = ~unknown_events(ev)
        bad = known & ((ev["session"] < sessions.start) | (ev["session"] >= sessions.stop)
                       | ((ev["record"] >= waveforms) if waveforms else False))
        if np.any(bad):
            i = int(np.argmax(bad))
            raise ReportError(
                f"{path}: line {i + 1} names session {ev['session'][i]} record {ev['record'][i]}, "
                f"not an event of the {self.record_phase} phase (sessions {sessions.start} to "
                f"{sessions.stop - 1}, {waveforms:,} records each): the file does not belong to "
                "the result files")

    # -- the state of the run ---------------------------------------------

    def finished(self):
        return self.state is not None and self.state.finished

    def phase_events(self, phase):
        """Events of a phase: the summary's count, else those the raw files
        in the folder hold (None when none is there)."""
        if self.summary:
            return self.summary["phases"][phase]["events"]
        counts = [self.raw.events_in(s) for s in self.sessions(phase)]
        return sum(c for c in counts if c) if any(counts) else None

    def stop_words(self):
        """How the run stopped, e.g. "stopped by SIGUSR1 in the calibration
        phase after 40 of 120 events"; None for a finished run or one
        without a summary or checkpoint."""
        st = self.state
        if st is None or st.finished:
            return None
        total = self.phase_events(st.phase)
        of = f"{st.received:,} of {total:,}" if total is not None else f"{st.received:,}"
        s = self.summary
        if s and s["status"] == "stopped":
            how = f"stopped by {s.get('stopped_by') or 'a signal'}"
        elif s and s["status"] == "error":
            how = "ended early by an error"
        elif s and s["phases"][st.phase]["state"] == "done":
            return f"stopped or still running after the {st.phase} phase ({of} events)"
        else:
            how = "stopped or still running"
        return f"{how} in the {st.phase} phase after {of} events"

    def banner(self):
        """The boxes at the top of the page: what is unfinished or unknown."""
        st = self.state
        out = []
        if st is None:
            out.append('<div class="warn"><b>Whether this run finished is not known:</b> the run '
                       f"folder holds no usable <code>{esc(SUMMARY_NAME)}</code> and no "
                       f"<code>{esc(CHECKPOINT)}</code>. The result files are taken as the "
                       "processing phase's.</div>")
        elif st.finished:
            if st.run_error:
                out.append('<div class="error"><b>The run finished with an error:</b> '
                           f"<code>{esc(st.source)}</code> records that a raw file could not be "
                           "read or an estimate was not made; the console output of zorv_mpi says "
                           "which.</div>")
        else:
            if self.record_phase == "processing":
                holds = ("The calibration is done; the result files hold the processing phase's "
                         "records so far.")
            elif self.calibrated:
                holds = ("The calibration is done and the processing phase has not started: the "
                         "result files hold the calibration phase's records, fitted with the decay "
                         "rate free.")
            else:
                holds = ("The result files hold the calibration phase's records so far, fitted with "
                         "the decay rate free. The calibration has not run yet and the processing "
                         "phase has not started.")
            out.append(f'<div class="error"><b>Unfinished run: {esc(self.stop_words())}</b> '
                       f"(<code>{esc(st.source)}</code>). {holds} To continue, set "
                       "<code>resume = 1</code> in <code>zorv_mpi.ini</code> and start zorv_mpi "
                       "again.</div>")
        missing = []
        if not self.has_summary:
            missing.append(f"no <code>{esc(SUMMARY_NAME)}</code>, so its version, hosts, times and "
                           "the outcomes of the channels are not known")
        if self.events is None:
            missing.append(f"no <code>{esc(EVENTS_NAME)}</code>, so no record names its raw event "
                           "and no example event is shown")
        if missing:
            out.append('<div class="warn"><b>A run of an older zorv_mpi:</b> the run folder holds '
                       + "; and ".join(missing) + ".</div>")
        return "\n".join(out)

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
        st, s = self.state, self.summary
        rows = [["Run folder", f"<code>{esc(self.run_dir)}</code>"]]
        if st is None:
            rows.append(["State", f"not known: no {esc(SUMMARY_NAME)} or {esc(CHECKPOINT)}"])
        elif st.finished:
            rows.append(["State", f"finished ({esc(st.source)})"])
        else:
            rows.append(["State", f'<b>not finished: {esc(self.stop_words())}</b> ({esc(st.source)})'])
        if s:
            rows.append(["zorv_mpi version", f"<code>{esc(s['version'])}</code>"])
            rows.append(["Started", esc(s["started"].replace("T", " ")) + " (local time of the "
                                                                           "last start)"])
            seconds = [s["phases"][p]["seconds"] for p in PHASES]
            rows.append(["Time" if st.finished else "Time so far",
                         f"{sum(seconds):,.1f} s: calibration phase {seconds[0]:,.1f} s, processing "
                         f"phase {seconds[1]:,.1f} s (in all starts)"])
            workers = s["ranks"] - 1
            hosts = ", ".join(f"{esc(h)} ({n} rank{'s' if n > 1 else ''})"
                              for h, n in Counter(s["hosts"]).items())
            rows.append(["Ranks", f"{s['ranks']} (rank 0 reads and writes, {workers} "
                                  f"worker{'s' if workers != 1 else ''} fit) on {hosts}"])
        elif not self.has_summary:
            rows.append(["Run summary", f"{esc(SUMMARY_NAME)} not found (a run of an older "
                                        "zorv_mpi): version, hosts, times and outcomes are not "
                                        "known"])
        rates = st.calibrated if st is not None else None
        if rates is None and self.record_phase == "processing" and all(len(h) == 1 for h in self.held):
            rates = (self.held[0][0], self.held[1][0])
        if rates is not None:
            rows.append(["Calibrated decay rates", ", ".join(
                f"{CHANNEL[c]} {rates[c]:.10f} per sample ({decay_time(rates[c])})" for c in (0, 1))])
        elif not self.calibrated:
            rows.append(["Calibrated decay rates", "not yet: the calibration runs at the end of the "
                                                   "calibration phase"])
        out = [table(None, rows)]

        header = ["", "Calibration phase (decay rate free)", "Processing phase (decay rate held)"]
        rows = [["Sessions"] + [esc("%s to %s" % tuple(self.config[SESSIONS_KEY[p]])) for p in PHASES]]
        files = []
        for p in PHASES:
            present = [self.raw.name(x) for x in self.sessions(p) if self.raw.events_in(x) is not None]
            missing = [self.raw.name(x) for x in self.sessions(p) if self.raw.events_in(x) is None]
            files.append(esc(", ".join(present) or "none found")
                         + (f' <span class="warn">missing: {esc(", ".join(missing))}</span>'
                            if missing else ""))
        rows.append(["Raw files"] + files)
        rows.append(["Events"] + [num(self.phase_events(p)) if self.phase_events(p) is not None
                                  else "<td>–</td>" for p in PHASES])
        rows += self.phase_rows() if s else self.checkpoint_rows()
        out.append(table(header, rows))
        for n in self.notes:
            out.append(f'<p class="warn">{esc(n)}</p>')
        return out

    def phase_rows(self):
        """The rows of the phase table that the summary gives."""
        s = self.summary
        ph = [s["phases"][p] for p in PHASES]

        def state(p):
            if p["state"] in ("done", "not started"):
                return esc(p["state"])
            how = {"running": "ended early", "stopped": f"stopped by {s.get('stopped_by') or 'a signal'}",
                   "error": "ended by an error"}[p["state"]]
            return f"<b>{esc(how)} after {p['results']:,} events</b>"

        def count(p, v):
            return (f'<td class="num">{v:,} ({pct(v, p["results"])})</td>'
                    if p["state"] != "not started" else "<td>–</td>")

        rows = [["State"] + [state(p) for p in ph],
                ["Events analysed (results)"] + [num(p["results"]) if p["state"] != "not started"
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

    def checkpoint_rows(self):
        """The rows of the phase table without a summary: the checkpoint's
        counters of its phase, the records and the calibration's
        histograms."""
        st = self.state

        def progress(p):
            if st is None:
                return "–"
            if st.phase == p and not st.finished:
                return esc(f"stopped after {st.received:,} events")
            if p == "processing" and st.phase == "calibration":
                return "not started"
            return "complete"

        good, both = [], []
        for p in PHASES:
            if p == "processing" and st is not None and st.phase == "calibration":
                good.append(("–", "–"))
                both.append("<td>–</td>")
                continue
            if st is not None and st.phase == p and st.received:
                good.append(tuple(f"{100.0 * g / st.received:.2f} %" for g in st.good))
            else:
                good.append(("–", "–"))
            if p == self.record_phase and st is not None and st.phase == p:
                # The checkpoint's own counts: the result files may have grown
                # since it was written (see the note under the table).
                both.append(f'<td class="num">{st.both:,} ({pct(st.both, st.received)})</td>')
            elif p == self.record_phase:
                whole = self.phase_events(p)
                share = pct(len(self.a), whole) if whole is None or len(self.a) <= whole else (
                    "more than the raw files in the run folder hold")
                both.append(f'<td class="num">{len(self.a):,} ({share})</td>')
            else:
                cal = sum(int(h["count"].sum()) for h in self.hists[:1] if h is not None) or None
                both.append(f'<td class="num">{cal:,} ({pct(cal, self.phase_events(p))})</td>'
                            if cal else "<td>–</td>")
        return [["Progress"] + [progress(p) for p in PHASES],
                ["Channel A fitted"] + [f'<td class="num">{g[0]}</td>' for g in good],
                ["Channel B fitted"] + [f'<td class="num">{g[1]}</td>' for g in good],
                ["Fitted in both channels (events with a result)"] + both]

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
        rates = self.state.calibrated if self.state is not None else None
        figures.calibration(os.path.join(self.out_dir, "calibration.png"), self.hists, est, rates)
        start = self.config["decay_est"]
        rows = []
        for c, held in enumerate(self.held):
            if self.record_phase != "processing":
                shown = "<td>–</td>"
            elif len(held) == 1:
                shown = num(held[0], "{:.10f}")
            else:
                shown = f"<td>{len(held)} values</td>"
            rows.append([f"Channel {CHANNEL[c]}", num(float(start[c]), "{:.6g}"),
                         num(est[c][1], "{:.10f}"), num(est[c][2], "{:.10f}"),
                         num(rates[c] if rates else float("nan"), "{:.17g}"), shown,
                         num(-1.0 / est[c][2] if est[c][2] < 0 else float("nan"), "{:,.2f}")])
        source = esc(self.state.source) if self.state is not None else "not known"
        tab = table(["", "Start value (configuration)", "Maximum bin (recomputed)",
                     "Parabolic (recomputed)", f"Calibrated ({source})",
                     "Held in the processing phase", "Decay time −1/λ (samples)"], rows)
        return [
            '<p class="lead">In the calibration phase every fit leaves the decay rate λ free. zorv_mpi '
            "sorts the fitted rates of each channel, trims the tails (<code>hist_overflow</code> at each "
            "end) and histograms the rest in 250 bins; the end bins collect the trimmed tails. The "
            "fullest inner bin gives the maximum-bin estimate, a parabola through it and its two "
            "neighbours the parabolic estimate, which the processing phase then holds fixed. The "
            "estimates are recomputed here from <code>decay_hist0.txt</code> and "
            "<code>decay_hist1.txt</code> (bin centres with 10 decimals) and compared with the rates "
            "zorv_mpi recorded (17 significant digits).</p>",
            figure("calibration.png", "Decay-rate histograms of the calibration phase",
                   "Decay rates fitted in the calibration phase (λ in 10⁻³ per sample; top axis: the "
                   "decay time −1/λ in samples). Dashed: maximum bin; red line: parabolic estimate; "
                   "red triangle: the calibrated rate zorv_mpi recorded; grey: the two end bins."),
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

    def outcomes_section(self):
        s = self.summary
        if s is None:
            why = (f"{SUMMARY_NAME} is not in the run folder (a run of an older zorv_mpi)"
                   if not self.has_summary else f"{SUMMARY_NAME} is not this run's account (see Run)")
            return [f"<p>Not available: {esc(why)}. zorv_mpi counts the outcomes of the channels in "
                    "its run summary.</p>"]
        # One column per phase and channel, one row per outcome.
        columns = [(key, c) for key in PHASES if s["phases"][key]["state"] != "not started"
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
        out = ['<p class="lead">For every event a worker subtracts each channel\'s '
               "<code>bcg_est</code>, smooths the trace with the kernel of <code>win.txt</code> and "
               "looks for peaks above 500; it fits a channel with one or two peaks that lie at least "
               "200 samples apart (a single peak: at least 200 samples from the start). A fit that does "
               "not converge in 50 iterations, takes a step that is not finite or leaves no residuals "
               "is not good either. zorv_mpi counts what became of every channel; these are its counts "
               f"from <code>{esc(SUMMARY_NAME)}</code>.</p>",
               table(header, rows)]
        if short:
            out.append("<p>Not known: results of a run resumed from a checkpoint of a zorv_mpi that did "
                       "not count the outcomes yet.</p>")
        return out

    def example_section(self):
        if self.events is None:
            return [f"<p>Not available: {esc(EVENTS_NAME)} is not in the run folder (a run of an older "
                    "zorv_mpi), so the raw event of a record is not known.</p>"]
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

        ev = self.events
        rows_ab = " / ".join(self.result_names)
        unknown = int(np.sum(unknown_events(ev)))
        out = self.phase_note() + [
            f'<p class="lead">Line i of <code>{esc(EVENTS_NAME)}</code> names the raw event of record i '
            f"of {esc(rows_ab)}: its session and its place in that session's raw file. Only the "
            "events shown are read from the raw files. Laid over its raw traces, a record's fitted "
            "curves give back the residual sums of squares stored in the record, which confirms the "
            "event. The smoothed trace is what the worker searched for peaks (shifted back by "
            "<code>bcg_est</code> to lie on the raw samples); the fitted model is evaluated from the "
            "record's parameters with the fitter's formula. Under each trace: data minus fit, with "
            "the band of ± its RMS.</p>"]
        if unknown:
            out.append(f"<p>{unknown:,} records have the line <code>- -</code>: they were written "
                       "before the run was resumed from a checkpoint of a zorv_mpi without "
                       f"{esc(EVENTS_NAME)}, and their raw events are not known.</p>")
        self.say(f"Reading the raw events of {len(picks)} example records")
        for k, (r, why) in enumerate(picks):
            ra, rb = a[r], b[r]
            models = curves(ra, rb)
            session, record = (int(ev["session"][r]), int(ev["record"][r])) if r < len(ev) else (
                UNKNOWN_EVENT, UNKNOWN_EVENT)
            samples, lack = self.raw.event(session, record)
            smoothed = None
            where = f"Record {r:,} of {rows_ab}"
            if r < len(ev):
                where += f" (line {r + 1:,} of {EVENTS_NAME})"
            name = self.raw.name(session)
            event = f"event {record:,} of <code>{esc(name)}</code>, session {session}, counted from 0"
            if samples is not None:
                samples = np.asarray(samples, dtype=np.float64)
                if self.kernel is not None:
                    smoothed = [smooth(samples[:, c] - self.bcg_est[c], self.kernel) for c in (0, 1)]
                diff = ssr_agreement(samples, (ra, rb), models)
                title = f"Event {record:,} of {name} — {why}"
                caption = f"{esc(where)}: {event}; {esc(why)}. "
                caption += (f"Residual sums of squares recomputed from the raw samples agree with the "
                            f"record to {diff:.1e}." if diff < SSR_MATCH else
                            f'<span class="error">Residual sums of squares recomputed from the raw '
                            f"samples differ from the record's by {diff:.1e} (relative): "
                            f"{esc(self.mismatch_cause(session, r))}.</span>")
            elif lack == "unknown":
                title = f"Record {r:,} — {why} (raw event not known)"
                said = "its line is - -" if r < len(ev) else f"{EVENTS_NAME} ends before it"
                caption = (f"{esc(where)}: {esc(why)}. Its raw event is not known ({esc(said)}); only "
                           "the fitted curves are shown.")
            else:
                title = f"Event {record:,} of {name} — {why} (raw event not read)"
                said = ("is not in the run folder" if lack == "missing"
                        else "ends before that record")
                caption = (f"{esc(where)}: {event}; {esc(why)}. Not read: <code>{esc(name)}</code> "
                           f"{said}; only the fitted curves are shown.")
            fname = f"event_{k + 1:02d}.png"
            figures.event(os.path.join(self.out_dir, fname), title, samples, smoothed, models,
                          (ra, rb), self.bcg_est)
            out.append(figure(fname, title, caption))
        out += self.no_record_examples()
        return out

    def mismatch_cause(self, session, r):
        """Why a record's raw event does not give back its residual sums:
        the raw file changed since the run, or line r + 1 of events.txt names
        another event; the checkpoint's record of the raw file's size and
        time tells which."""
        name = self.raw.name(session)
        line = f"line {r + 1:,} of {EVENTS_NAME} does not name this record's event"
        seen = self.raw_seen.get(name) if self.raw_seen is not None else None
        if seen is None:
            return (f"{line}, or {name} is not the raw file the run read ({CHECKPOINT}, which "
                    "records the size and time of the raw files the run read, does not tell)")
        now = file_state(self.raw.path(session))
        if now == seen:
            return (f"{name} is the raw file the run read ({seen}, as {CHECKPOINT} records it), so "
                    f"{line}: {EVENTS_NAME} does not belong to the result files")
        if now.split(",")[0] != seen.split(",")[0]:
            return f"{name} is not the raw file the run read ({CHECKPOINT}: {seen}; now {now})"
        return (f"{name} was modified since the run read it ({CHECKPOINT}: {seen}; now {now}): "
                f"it is not the raw file the run read, or {line}")

    def no_record_examples(self):
        """The first two events of the records' phase that gave no record:
        the events of a finished phase that events.txt does not name."""
        s, ev = self.summary, self.events
        if s is None or len(ev) != len(self.a) or np.any(unknown_events(ev)):
            return []
        p = s["phases"][self.record_phase]
        if p["state"] != "done" or s["events_lost"] or p["results"] == p["both_good"]:
            return []
        shown = events_without_record(ev, self.sessions(self.record_phase), self.raw, 2)
        out = ["<h3>Events without a record</h3>",
               f"<p>{p['results'] - p['both_good']:,} events of the {self.record_phase} phase were not "
               f"fitted in both channels and gave no record (the outcome table above counts why); "
               f"the first {len(shown)} of them, the events that {esc(EVENTS_NAME)} does not name, are "
               "shown with the peaks found in the smoothed trace.</p>"]
        for k, (session, record) in enumerate(shown):
            samples = np.asarray(self.raw.event(session, record)[0], dtype=np.float64)
            smoothed = subtitles = None
            if self.kernel is not None:
                smoothed = [smooth(samples[:, c] - self.bcg_est[c], self.kernel) for c in (0, 1)]
                subtitles = []
                for c in (0, 1):
                    peaks = len(find_peaks(smoothed[c])[0])
                    subtitles.append(f"{peaks} peak{'s' if peaks != 1 else ''} above 500")
            name = self.raw.name(session)
            title = f"Event {record:,} of {name} — no record"
            fname = f"skipped_{k + 1}.png"
            figures.event(os.path.join(self.out_dir, fname), title, samples, smoothed, None, None,
                          self.bcg_est, subtitles)
            out.append(figure(fname, title, f"Event {record:,} of <code>{esc(name)}</code> (session "
                                            f"{session}): raw samples, the smoothed trace with the peak "
                                            "threshold and the peaks found in it (triangles)."))
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
            ("outcomes", "Why channels were not fitted", self.outcomes_section),
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


def build(run_dir, out_dir=None, examples=12, say=None):
    """Writes the report of the run in `run_dir`; returns the path of its
    index.html."""
    if say is None:
        def say(msg):
            print(msg, file=sys.stderr, flush=True)
    report = Report(run_dir, out_dir, examples, say)
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
    args = parser.parse_args(argv)
    try:
        index = build(args.run_dir, args.out, args.events)
    except (ReportError, ValueError, OSError) as e:
        print(f"Error: {describe(e)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("Error: interrupted; the report is not complete", file=sys.stderr)
        return 1
    print(index)
    return 0

