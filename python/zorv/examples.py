"""The report's example events: records picked for what they show, each
drawn over the raw event that events.txt names for it (only those events
are read), and the first events of a finished phase that gave no record.
One zorv_event tells how the worker saw all the raw events drawn (smoothed
trace, peaks, outcome of each channel)."""

from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import figures
from .events import SSR_MATCH, curves, events_without_record, ssr_agreement
from .explain import explain
from .files import OUTCOMES, UNKNOWN_EVENT, holds_two_pulses, unknown_events
from .page import Output, Part, esc, figure, part
from .runview import STATE_DONE, RunView
from .state import file_state
from .vocabulary import EVENTS_NAME, SUMMARY_NAME
from .wording import phase_note

CHANNEL = figures.CHANNEL
OUTCOME_WORDS = dict(OUTCOMES)

# A record to show and why: (record, why).
Pick = Tuple[int, str]
# Its raw event: (session, record in the raw file, samples or None, why not).
Found = Tuple[int, int, Optional[np.ndarray], Optional[str]]

# The first figure files of an example event and of an event without a record.
EVENT_FIGURE = "event_"
SKIPPED_FIGURE = "skipped_"


def picks(view: RunView, most: int) -> List[Pick]:
    """Up to `most` records to show, in record order, with why each was
    picked: (record, why)."""
    a, b = view.a, view.b
    out: List[Pick] = []

    def add(r: Any, why: str) -> None:
        r = int(r)
        if r not in [p for p, _ in out] and len(out) < most:
            out.append((r, why))

    two = np.nonzero(holds_two_pulses(a) | holds_two_pulses(b))[0]
    for r in two[np.linspace(0, len(two) - 1, min(4, len(two))).astype(int)] if len(two) else []:
        add(r, "two-pulse fit")
    for c, rec in enumerate((a, b)):
        for ln in view.lines[c][:2]:
            add(np.argmin(np.abs(rec["amplitude1"] - ln["position"])),
                f"amplitude on the line at {ln['position']:,.0f} in channel {CHANNEL[c]}")
    add(np.argmax(a["ssr"]), "largest residual in channel A")
    add(np.argmax(b["ssr"]), "largest residual in channel B")
    add(np.argmin(a["amplitude1"]), "smallest amplitude in channel A")
    add(np.argmax(a["amplitude1"]), "largest amplitude in channel A")
    for r in np.linspace(0, len(a) - 1, most).astype(int):
        add(r, "evenly spaced through the records")
    return sorted(out)


def example_section(view: RunView, out: Output) -> Part:
    if view.events is None:
        return part([f"<p>Not available: {esc(EVENTS_NAME)} is not in the run folder (a run of an "
                     "older zorv_mpi), so the raw event of a record is not known.</p>"])
    chosen = picks(view, out.examples)
    ev = view.events
    rows_ab = " / ".join(view.result_names)
    unknown = int(np.sum(unknown_events(ev)))
    html = phase_note(view) + [
        f'<p class="lead">Line i of <code>{esc(EVENTS_NAME)}</code> names the raw event of record i '
        f"of {esc(rows_ab)}: its session and its place in that session's raw file. Only the "
        "events shown are read from the raw files. Laid over its raw traces, a record's fitted "
        "curves give back the residual sums of squares stored in the record, which confirms the "
        "event. The smoothed trace is what the worker searched for peaks (shifted back by "
        "<code>bcg_est</code> to lie on the raw samples); the fitted model is evaluated from the "
        "record's parameters with the fitter's formula. Under each trace: data minus fit, with "
        "the band of ± its RMS.</p>"]
    if unknown:
        html.append(f"<p>{unknown:,} records have the line <code>- -</code>: they were written "
                    "before the run was resumed from a checkpoint of a zorv_mpi without "
                    f"{esc(EVENTS_NAME)}, and their raw events are not known.</p>")
    without = events_without_a_record(view)
    found = read_records(view, out, chosen, "example")
    worker, why_not = explained(view, found, without)
    if why_not:
        html.append(not_explained(why_not))
    shown, drawn = record_figures(view, out, chosen, found, worker, EVENT_FIGURE, "{:02d}")
    html += shown
    skipped = no_record_examples(view, out, without, worker)
    return part(html + [skipped.html] if skipped.html else html, drawn + list(skipped.figures))


def read_records(view: RunView, out: Output, chosen: Sequence[Pick], what: str) -> List[Found]:
    """The raw events of the `chosen` records ((record, why) each), read
    from the raw files events.txt names for them: per record (session,
    record in the raw file, samples or None, why not)."""
    ev = known_events(view)
    out.say(f"Reading the raw events of {len(chosen)} {what} records")
    found: List[Found] = []
    for r, _ in chosen:
        session, record = (int(ev["session"][r]), int(ev["record"][r])) if r < len(ev) else (
            UNKNOWN_EVENT, UNKNOWN_EVENT)
        samples, lack = view.raw.event(session, record)
        found.append((session, record, samples, lack))
    return found


def known_events(view: RunView) -> np.ndarray:
    """events.txt as read, for the sections that draw records only when the
    run folder has it."""
    if view.events is None:
        raise ValueError(f"{EVENTS_NAME} is not in the run folder")
    return view.events


def explained(view: RunView, found: Sequence[Found],
              without: Sequence[Tuple[int, int]] = ()) -> Tuple[Dict[Tuple[int, int], dict],
                                                              Optional[str]]:
    """One zorv_event for every raw event to be drawn (those `found` and
    the events `without` a record): ({(session, record): what it tells},
    None) or ({}, why not)."""
    asked = [(s, e) for s, e, samples, _ in found if samples is not None] + list(without)
    told, why_not = explain(view.run_dir, asked) if asked else ([], None)
    return dict(zip(asked, told or [{}] * len(asked))), why_not


def not_explained(why_not: str) -> str:
    return (f'<p class="warn">The events are not explained as the worker saw them: '
            f"{esc(why_not)}. Their smoothed traces, peaks and outcomes are not shown.</p>")


def record_figures(view: RunView, out: Output, chosen: Sequence[Pick], found: Sequence[Found],
                   worker: Dict[Tuple[int, int], dict], prefix: str,
                   number: str = "{}") -> Tuple[List[str], List[str]]:
    """The figures of the `chosen` records over their raw events `found`
    (see `read_records`) with what zorv_event told of them (`worker`),
    named prefix + number of each + ".png", a CSV of the numbers beside
    each: (HTML of each, file names)."""
    a, b, ev = view.a, view.b, known_events(view)
    rows_ab = " / ".join(view.result_names)
    html, drawn = [], []
    for k, ((r, why), (session, record, samples, lack)) in enumerate(zip(chosen, found)):
        ra, rb = a[r], b[r]
        models = curves(ra, rb)
        smoothed = traces(worker.get((session, record)))
        where = f"Record {r:,} of {rows_ab}"
        if r < len(ev):
            where += f" (line {r + 1:,} of {EVENTS_NAME})"
        name = view.raw.name(session)
        event = f"event {record:,} of <code>{esc(name)}</code>, session {session}, counted from 0"
        if samples is not None:
            samples = np.asarray(samples, dtype=np.float64)
            diff = ssr_agreement(samples, (ra, rb), models)
            title = f"Event {record:,} of {name} — {why}"
            caption = f"{esc(where)}: {event}; {esc(why)}. "
            caption += (f"Residual sums of squares recomputed from the raw samples agree with the "
                        f"record to {diff:.1e}." if diff < SSR_MATCH else
                        f'<span class="error">Residual sums of squares recomputed from the raw '
                        f"samples differ from the record's by {diff:.1e} (relative): "
                        f"{esc(mismatch_cause(view, session, r))}.</span>")
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
        fname = f"{prefix}{number.format(k + 1)}.png"
        figures.event(out.path(fname), title, samples, smoothed, models, (ra, rb), view.bcg_est)
        html.append(figure(fname, title, caption, figures.csv_name(fname)))
        drawn += [fname, figures.csv_name(fname)]
    return html, drawn


def traces(told: Optional[dict]) -> Optional[List[np.ndarray]]:
    """The smoothed traces (baseline subtracted) of both channels of an
    event as zorv_event tells it, or None."""
    if not told:
        return None
    return [np.asarray(ch["smoothed"], dtype=np.float64) for ch in told["channels"]]


def mismatch_cause(view: RunView, session: int, r: int) -> str:
    """Why a record's raw event does not give back its residual sums: the
    raw file changed since the run, or line r + 1 of events.txt names
    another event; the summary's record of the raw file's size and time
    tells which."""
    name = view.raw.name(session)
    line = f"line {r + 1:,} of {EVENTS_NAME} does not name this record's event"
    if view.raw_seen is None:
        return (f"{line}, or {name} is not the raw file the run read (the size and time of the "
                f"raw files the run read are not known: the folder holds no {SUMMARY_NAME} that "
                "records them)")
    seen = view.raw_seen.get(name)
    if seen is None:
        return (f"{line}, or {name} is not the raw file the run read ({SUMMARY_NAME} records no "
                "size and time of it)")
    now = file_state(view.raw.path(session))
    if now == seen:
        return (f"{name} is the raw file the run read ({seen}, as {SUMMARY_NAME} records it), "
                f"so {line}: {EVENTS_NAME} does not belong to the result files")
    if now.split(",")[0] != seen.split(",")[0]:
        return f"{name} is not the raw file the run read ({SUMMARY_NAME}: {seen}; now {now})"
    return (f"{name} was modified since the run read it ({SUMMARY_NAME}: {seen}; now {now}): "
            f"it is not the raw file the run read, or {line}")


def events_without_a_record(view: RunView, most: int = 2) -> List[Tuple[int, int]]:
    """The first `most` events of the records' phase that gave no record,
    (session, record) each: the events of a finished phase that events.txt
    does not name (none when that is not known)."""
    s, ev = view.summary, view.events
    if s is None or ev is None or len(ev) != len(view.a) or np.any(unknown_events(ev)):
        return []
    p = s["phases"][view.record_phase]
    if p["state"] != STATE_DONE or s["events_lost"] or p["results"] == p["both_good"]:
        return []
    return events_without_record(ev, view.sessions(view.record_phase), view.raw, most)


def channel_words(told: dict, c: int) -> str:
    """What became of channel c of an event as zorv_event tells it."""
    ch = told["channels"][c]
    words = OUTCOME_WORDS[ch["outcome"]]
    n = len(ch["peaks"])
    return words if ch["outcome"] == "no_peak" else f"{words}; {n} peak{'s' if n != 1 else ''} above 500"


def no_record_examples(view: RunView, out: Output, shown: Sequence[Tuple[int, int]],
                       worker: Dict[Tuple[int, int], dict]) -> Part:
    """The events `shown` of the records' phase that gave no record, drawn
    with what zorv_event (in `worker`) tells of them."""
    if not shown:
        return part([])
    s: Any = view.summary  # there are events without a record only by the summary
    p = s["phases"][view.record_phase]
    html = ["<h3>Events without a record</h3>",
            f"<p>{p['results'] - p['both_good']:,} events of the {view.record_phase} phase were not "
            f"fitted in both channels and gave no record (the outcome table above counts why); "
            f"the first {len(shown)} of them, the events that {esc(EVENTS_NAME)} does not name, are "
            "shown as the worker saw them (zorv_event runs its code on them): the smoothed trace, "
            "the peaks found in it and what became of each channel.</p>"]
    drawn = []
    for k, (session, record) in enumerate(shown):
        samples = np.asarray(view.raw.event(session, record)[0], dtype=np.float64)
        told = worker.get((session, record))
        subtitles = [channel_words(told, c) for c in (0, 1)] if told else None
        peaks = [ch["peaks"] for ch in told["channels"]] if told else None
        name = view.raw.name(session)
        title = f"Event {record:,} of {name} — no record"
        fname = f"{SKIPPED_FIGURE}{k + 1}.png"
        figures.event(out.path(fname), title, samples, traces(told), None, None, view.bcg_est,
                      subtitles, peaks)
        caption = (f"Event {record:,} of <code>{esc(name)}</code> (session {session}): raw samples"
                   + (", the smoothed trace with the peak threshold and the peaks found in it "
                      "(triangles). " + "; ".join(
                          f'{"Channel" if c == 0 else "channel"} {CHANNEL[c]}: <span class="outcome">'
                          f'{esc(OUTCOME_WORDS[told["channels"][c]["outcome"]])}</span>'
                          for c in (0, 1)) + "."
                      if told else "."))
        html.append(figure(fname, title, caption, figures.csv_name(fname)))
        drawn += [fname, figures.csv_name(fname)]
    return part(html, drawn)
