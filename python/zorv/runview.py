"""What the report knows of a run folder: `read_view(run_dir)` reads and
checks every input once and returns a `RunView`, which nothing changes
afterwards. Every section of the page is drawn from a view alone, so the
sections can be drawn in any order, or one alone.

Damaged input raises ReportError or ValueError naming the file, before
anything is drawn.
"""

import os
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .analysis import amplitude_lines
from .events import RawFiles
from .files import (check_finite, config_of, is_present, read_config_entries, read_decay_hist,
                    read_events, read_results, unknown_events)
from .quality import FitQuality, fit_quality
from .state import RunState, where_run_stands
from .vocabulary import (CHECKPOINT_NAME, CONFIG_NAME, EVENTS_NAME, PHASE_STATES, PHASES,
                         RUN_STATUSES, SUMMARY_NAME, decay_histogram_name, result_file_name)

# The phases, the states of a phase and the statuses of a run, by name.
CALIBRATION, PROCESSING = PHASES
STATE_NOT_STARTED, STATE_RUNNING, STATE_DONE, STATE_STOPPED, STATE_ERROR = PHASE_STATES
STATUS_RUNNING, STATUS_FINISHED, STATUS_STOPPED, STATUS_ERROR = RUN_STATUSES

# The session range of each phase in zorv_mpi.ini.
SESSIONS_KEY = {CALIBRATION: "cal_sessions", PROCESSING: "sessions"}


def phase_sessions(config: Dict[str, Any], phase: str) -> range:
    """The sessions of a phase, as zorv_mpi.ini gives them."""
    first, last = config[SESSIONS_KEY[phase]]
    return range(first, last + 1)


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


def check_config(config: Dict[str, Any], path: str) -> None:
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


@dataclass(frozen=True)
class RunView:
    run_dir: str                    # absolute
    entries: list                   # zorv_mpi.ini's entries in file order (key, value, remark)
    config: dict                    # its settings, those the report uses checked and filled in
    result_names: Tuple[str, str]   # the result files of channels A and B
    a: np.ndarray                   # their records, cut to the same length
    b: np.ndarray
    has_summary: bool               # the run summary is in the folder (used or not)
    state: Optional[RunState]       # where the run stands; None when not known
    summary: Optional[dict]         # the run summary when it tells where the run stands
    notes: Tuple[str, ...]          # what the run table says under it
    record_phase: str               # the phase whose records the result files hold
    calibrated: bool                # the calibration has run (or may have: not known)
    held: tuple                     # per channel the decay rates the records hold
    events: Optional[np.ndarray]    # events.txt, None without it
    stale_hists: Tuple[str, ...]    # decay histograms in the folder left from an earlier run
    hists: tuple                    # per channel the decay histogram, None when not shown
    bcg_est: Tuple[float, float]
    raw: RawFiles                   # the raw files, opened on first use
    raw_seen: Optional[dict]        # the summary's record of the raw files the run read
    has_checkpoint: bool            # zorv_mpi.checkpoint is in the folder (not read)
    # The fit quality of the records: RMS residuals and the fits flagged.
    quality: FitQuality
    # The amplitude spectra of the events without a flagged fit and their
    # lines: (lo, hi, [counts A, B], [lines A, B]).
    spectrum: Tuple[float, float, List[np.ndarray], List[List[dict]]]

    @property
    def lines(self) -> List[List[dict]]:
        """The amplitude lines of channels A and B."""
        return self.spectrum[3]

    @property
    def kept(self) -> Tuple[np.ndarray, np.ndarray]:
        """The records of channels A and B of the events whose fits are not
        flagged in either channel: what the spectra, the coincidence map and
        the timing show."""
        keep = ~self.quality.either
        return self.a[keep], self.b[keep]

    @property
    def finished(self) -> bool:
        return self.state is not None and self.state.finished

    def path(self, name: str) -> str:
        return os.path.join(self.run_dir, name)

    def sessions(self, phase: str) -> range:
        return phase_sessions(self.config, phase)

    def phase_events(self, phase: str) -> Optional[int]:
        """Events of a phase: the summary's count, else those the raw files
        in the folder hold (None when none is there)."""
        if self.summary:
            return self.summary["phases"][phase]["events"]
        counts = [self.raw.events_in(s) for s in self.sessions(phase)]
        return sum(c for c in counts if c) if any(counts) else None


def read_view(run_dir: str, say: Callable[[str], None] = lambda msg: None) -> RunView:
    """Reads and checks every input of the run in `run_dir`: damaged input
    raises ReportError or ValueError naming the file."""
    run_dir = os.path.abspath(run_dir)

    def path(name: str) -> str:
        return os.path.join(run_dir, name)

    if not os.path.isdir(run_dir):
        raise ReportError(f"{run_dir} is not a folder: RUN_DIR must be the folder "
                          "zorv_mpi ran in")
    ini = path(CONFIG_NAME)
    if not is_present(ini):
        raise ReportError(f"{ini} not found: RUN_DIR must be the folder zorv_mpi ran in")
    entries = read_config_entries(ini)
    config = config_of(entries)
    check_config(config, ini)
    result_names = (result_file_name(config["abfile_path"], 0),
                    result_file_name(config["abfile_path"], 1))
    for name in result_names:
        if not is_present(path(name)):
            raise ReportError(f"result file {path(name)} not found")
    say(f"Reading {', '.join(result_names)}")
    a, b = (read_results(path(n)) for n in result_names)
    for name, rec in zip(result_names, (a, b)):
        check_finite(rec, path(name))
    has_summary = is_present(path(SUMMARY_NAME))
    notes = []
    counts = (len(a), len(b))
    st, passed_over = where_run_stands(run_dir, counts[0] if counts[0] == counts[1] else None)
    if counts[0] != counts[1]:
        notes.append(result_count_note(st, [path(n) for n in result_names], counts))
        n = min(counts)
        a, b = a[:n], b[:n]
    if passed_over:
        notes.append(f"{passed_over}. Its facts are not shown; where the run stands is not known.")
    if st is not None and not st.finished and st.both != len(a):
        how = ("written at every checkpoint" if st.at_intervals else
               "written by an older zorv_mpi only at the end of a phase")
        notes.append(
            f"The result files hold {len(a):,} records, {st.source} ({how}) counts {st.both:,} "
            f"of {st.received:,} results: the run went on after it (or is still running). The "
            f"counts and shares of the table are the summary's; the sections below show all "
            f"{len(a):,} records of the files.")
    elif st is not None and not st.finished and not st.at_intervals:
        notes.append(f"{st.source} is of an older zorv_mpi, which wrote it only at the end of a "
                     "phase and on a stop: if the run was killed or is still running, it went on "
                     "after the point the summary tells.")
    # Which phase the records come from: the calibration phase's, with the
    # decay rate free, when the run stopped before the processing phase.
    record_phase = CALIBRATION if st is not None and st.phase == CALIBRATION else PROCESSING
    calibrated = st is None or st.calibrated is not None
    if len(a) == 0:
        raise ReportError("the result files hold no records" + (
            "" if st is None or st.finished else
            f" yet: the run stopped in the {st.phase} phase after {st.received:,} events"))
    events = None
    if is_present(path(EVENTS_NAME)):
        events = read_events(path(EVENTS_NAME))
        notes += check_events(events, len(a), st, path(EVENTS_NAME), record_phase,
                              phase_sessions(config, record_phase), config["waveforms"])
    names = [decay_histogram_name(c) for c in (0, 1)]
    present = [is_present(path(n)) for n in names]
    q = fit_quality(a, b)
    return RunView(
        run_dir=run_dir, entries=entries, config=config, result_names=result_names, a=a, b=b,
        has_summary=has_summary, state=st,
        summary=st.summary if st else None, notes=tuple(notes), record_phase=record_phase,
        calibrated=calibrated,
        # The decay rates the processing phase held, per channel (one value
        # each when it held the calibrated rate throughout).
        held=tuple(np.unique(rec["decay_rate"]) for rec in (a, b)),
        events=events,
        # Before the calibration has run, decay histograms in the folder are
        # an earlier run's.
        stale_hists=tuple(n for n, p in zip(names, present) if p and not calibrated),
        hists=tuple(read_decay_hist(path(n)) if p and calibrated else None
                    for n, p in zip(names, present)),
        bcg_est=(float(config["bcg_est"][0]), float(config["bcg_est"][1])),
        raw=RawFiles(run_dir, config),
        # What the summary recorded of the raw files the run read, to tell
        # a raw file replaced since from a line of events.txt that names
        # another event.
        raw_seen=st.raw_files if st is not None else None,
        has_checkpoint=is_present(path(CHECKPOINT_NAME)),
        quality=q,
        spectrum=amplitude_lines(a[~q.either], b[~q.either]))


def result_count_note(st: Optional[RunState], paths: Sequence[str],
                      counts: Sequence[int]) -> str:
    """Result files of unequal length: a finished run writes a record to
    both for every event, so the file that holds other than the count the
    run recorded is damaged (ReportError); otherwise (a run that did not
    finish may have written one file further than the other) a note."""
    if st is not None and st.finished:
        wrong = [(p, n) for p, n in zip(paths, counts) if n != st.both]
        said = " and ".join(f"{p} holds {n:,} records" for p, n in wrong)
        raise ReportError(f"{said}, {st.source} counts {st.both:,} for the finished run: "
                          f"{'they are' if len(wrong) > 1 else 'the file is'} cut short or not "
                          "this run's")
    return (f"The result files hold {counts[0]:,} and {counts[1]:,} records; record i of both "
            f"is one event, so only the first {min(counts):,} are used.")


def check_events(ev: np.ndarray, records: int, st: Optional[RunState], path: str, phase: str,
                 sessions: range, waveforms: int) -> List[str]:
    """events.txt must name one raw event of the records' phase for every
    record: ReportError otherwise, or the note that a run that did not
    finish wrote one file further than the other. Returns the notes."""
    notes = []
    if len(ev) != records:
        words = (f"{path} holds {len(ev):,} lines and the result files {records:,} records; line i "
                 "names the raw event of record i")
        if st is not None and st.finished:
            raise ReportError(f"{words}, and a finished run writes them alike: the file does "
                              "not belong to the result files")
        notes.append(f"{words}: the run did not finish writing both, and a record "
                     "beyond the last line has no known raw event.")
    known = ~unknown_events(ev)
    bad = known & ((ev["session"] < sessions.start) | (ev["session"] >= sessions.stop)
                   | ((ev["record"] >= waveforms) if waveforms else False))
    if np.any(bad):
        i = int(np.argmax(bad))
        raise ReportError(
            f"{path}: line {i + 1} names session {ev['session'][i]} record {ev['record'][i]}, "
            f"not an event of the {phase} phase (sessions {sessions.start} to "
            f"{sessions.stop - 1}, {waveforms:,} records each): the file does not belong to "
            "the result files")
    return notes
