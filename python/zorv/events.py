"""Raw events behind a run's results.

A result record carries no event number. With one worker the records
follow the events in order (skipping the events not fitted in both
channels); with several they follow the order in which results reached the
master. Either way the raw event of a record is found here by its content:
the record's fitted curves, laid over the raw traces of the right event,
give back the residual sums of squares stored in the record (to about 1e-9:
the fitter reports the sum of the parameters before its last, tiny step),
while any other event misses them by orders of magnitude.
"""

import os

import numpy as np

from .files import SAMPLES, Progress, is_present, open_raw
from .model import FITTABLE, classify, fitted_curve, smooth

SSR_MATCH = 1e-6  # relative agreement of the residual sums that identifies an event


class Phase:
    """The raw events of one phase (sessions first .. last) as one sequence:
    event e is record e - offset of the session file that holds it."""

    def __init__(self, run_dir, config, key):
        first, last = config.get(key, [0, -1])
        base = config.get("infile_path", "")
        offset = int(config.get("data_offset", 0))
        waveforms = int(config.get("waveforms", 0))
        self.files = []      # (name, memmap or None, first event)
        self.missing = []
        self.expected = waveforms * (last - first + 1)
        start = 0
        for s in range(first, last + 1):
            name = f"{base}.{s}"
            path = os.path.join(run_dir, name)
            raw = None
            if is_present(path):
                raw = open_raw(path, offset, waveforms)
            else:
                self.missing.append(name)
            self.files.append((name, raw, start))
            start += 0 if raw is None else len(raw)
        self.events = start

    def locate(self, e):
        """(file name, event number within the file, the event's samples)."""
        for name, raw, start in self.files:
            if raw is not None and start <= e < start + len(raw):
                return name, e - start, raw[e - start]
        raise IndexError(e)

    def gather(self, events, points, channel):
        """Samples at `points` of `channel` for many events: (n, len(points))."""
        out = np.empty((len(events), len(points)), dtype=np.float64)
        events = np.asarray(events)
        for name, raw, start in self.files:
            if raw is None:
                continue
            inside = (events >= start) & (events < start + len(raw))
            if np.any(inside):
                rows = events[inside] - start
                out[inside] = raw[rows[:, None], points[None, :], channel]
        return out

    def blocks(self, size):
        """(first event, int16 array of up to `size` events) over the phase."""
        for name, raw, start in self.files:
            if raw is None:
                continue
            for i in range(0, len(raw), size):
                yield start + i, np.asarray(raw[i:i + size])


def curves(ra, rb):
    """The fitted curves of both channels of one event over its samples."""
    return [fitted_curve(r) for r in (ra, rb)]


def find_event(phase, ra, rb, candidates):
    """The event among `candidates` whose raw traces give back the residual
    sums of squares of records ra (channel A) and rb (channel B), as
    (event, largest relative difference of the two sums), or (None, None).
    A few samples sort out the candidates first; the survivors are checked
    on every sample."""
    models = curves(ra, rb)
    points = np.unique(np.linspace(0, SAMPLES - 1, 48).astype(np.int64))
    candidates = np.asarray(candidates, dtype=np.int64)
    keep = np.ones(len(candidates), dtype=bool)
    for c, (r, m) in enumerate(zip((ra, rb), models)):
        # Per sample the residual is noise of variance ssr / SAMPLES; the wrong
        # event's pulse, baseline or tail stands out by thousands of counts.
        var = max(r["ssr"] / SAMPLES, 1.0)
        d = phase.gather(candidates, points, c) - m[points]
        keep &= np.mean(d * d, axis=1) < 16.0 * var
    for e in candidates[keep]:
        _, _, samples = phase.locate(int(e))
        worst = 0.0
        for c, (r, m) in enumerate(zip((ra, rb), models)):
            resid = samples[:, c].astype(np.float64) - m
            ssr = float(np.dot(resid, resid))
            worst = max(worst, abs(ssr - r["ssr"]) / r["ssr"])
        if worst < SSR_MATCH:
            return int(e), worst
    return None, None


def search_window(record, records, events, workers):
    """Events that can hold `record`: with one worker, from the record's
    index on by at most the number of events that gave no record; with
    several, that range widened by what workers can overtake each other."""
    skipped = max(events - records, 0)
    margin = 0 if workers == 1 else 50 * max(workers or 0, 1) + 16
    lo = max(record - margin, 0)
    hi = min(record + skipped + margin + 1, events)
    return np.arange(lo, hi)


def locate_records(phase, a, b, picks, workers, say=print):
    """For each record index in `picks`, (record, event or None, relative
    ssr difference or None). Searches the likely window first, then the
    whole phase."""
    found = []
    say(f"Finding the raw events of {len(picks)} example records")
    for r in picks:
        window = search_window(r, len(a), phase.events, workers)
        e, diff = find_event(phase, a[r], b[r], window)
        if e is None and len(window) < phase.events:
            e, diff = find_event(phase, a[r], b[r], np.arange(phase.events))
        found.append((r, e, diff))
    return found


def scan_decisions(phase, bcg_est, kernel, limit=None, progress=None):
    """The worker's decision for every channel of the phase's events (up to
    `limit` events): an (events, 2) array of reason strings (`FITTABLE` or
    why the channel is skipped), with console progress for large phases."""
    n = phase.events if limit is None else min(limit, phase.events)
    out = np.empty((n, 2), dtype=object)
    if progress is None:
        progress = n >= 2000
    bar = Progress("Smoothing and searching peaks of the raw events", n, progress)
    for first, block in phase.blocks(1000):
        if first >= n:
            break
        block = block[:n - first]
        for c in (0, 1):
            sm = smooth(block[:, :, c].astype(np.float64) - bcg_est[c], kernel)
            for i in range(len(block)):
                out[first + i, c] = classify(sm[i])
        bar.update(first + len(block))
    bar.close()
    return out


__all__ = ["Phase", "curves", "find_event", "locate_records", "scan_decisions", "FITTABLE"]
