"""Where a run stands: finished or not, in which phase, how far.

zorv_mpi tells it in two files. The run summary "zorv_mpi.summary.json"
(read by `files.read_summary`) is written whole at the end of each phase,
on a stop and at the end of the run, and says the most: how the run ended
(finished, stopped by which signal, ended by an error), per phase the
results, the good fits and the outcomes of every channel. The checkpoint
"zorv_mpi.checkpoint" is written at intervals as well (text, one item per
line):

    zorv_mpi checkpoint 2
    state running | finished
    phase calibration | processing
    next_event N            the event that sequential reading delivers next
    pending K e1 .. eK      events sent but not booked
    counters ALL OK0 OK1 BOTH
    skipped S               events lost to unreadable raw files
    run_error 0 | 1
    calibrated D0 D1        the calibrated decay rates (processing phase)
    outputs B0 .. B4        bytes of ab0, decay0, ab1, decay1, events.txt
    fingerprint KEY VALUE   one line per setting, kernel and raw file
    checksum H              64-bit FNV-1a of every byte above, in hex
    end

A version 1 file has neither the skipped nor the checksum line; a file
written before events.txt existed gives four outputs. Version 2 files also
hold lines that the report takes from the run summary instead (outcomes0,
outcomes1, seconds, calibration_*): they are read past.

`read_run_state(run_dir)` reads the sources in `SOURCES`, the summary
first, and returns the facts of the first one present as a `RunState`,
unless a later one tells another point of the run: a summary is not
rewritten while a phase runs, so a run killed or still running (or a new
run in a folder that holds an earlier run's summary) has a checkpoint
that is newer than its summary. A run folder of a zorv_mpi older than the
summary has the checkpoint alone.
"""

import os
from dataclasses import dataclass
import urllib.parse
from typing import Dict, List, Optional, Tuple

from .files import is_present, open_input, read_summary
from .vocabulary import CHECKPOINT_NAME, PHASES, RUN_STATUSES, SUMMARY_NAME

CHECKPOINT = CHECKPOINT_NAME  # the name the tests and callers know it by
_, PROCESSING = PHASES
STATUS_FINISHED = RUN_STATUSES[1]
RAW_FILE_ITEM = "raw file "


def file_state(path):
    """A file's size and modification time as the checkpoint records those
    of the raw files: "size N, modified S.NNNNNNNNN"."""
    st = os.stat(path)
    return f"size {st.st_size}, modified {st.st_mtime_ns // 10**9}.{st.st_mtime_ns % 10**9:09d}"


@dataclass
class RunState:
    source: str                     # the file the facts were read from
    finished: bool                  # the processing phase ran to its end
    phase: str                      # "calibration" or "processing": the phase the outputs hold
    next_event: Optional[int]       # events of the phase handed out in order so far
    pending: Optional[List[int]]    # events handed out but not booked, done again on resume
    received: int                   # results of the phase received
    good: Tuple[int, int]           # of them, channels A and B fitted
    both: int                       # of them, fitted in both channels (the records)
    run_error: bool                 # a session was lost or an estimate not made
    calibrated: Optional[Tuple[float, float]]  # decay rates the processing phase holds
    # The whole run summary when it is the source; next_event and pending
    # are then None (the summary does not keep them).
    summary: Optional[dict] = None
    # The checkpoint's record of the raw files the run opened: name (as
    # "<infile_path>.<session>") -> "size N, modified S.NNNNNNNNN" when it
    # opened them; None when the source is the summary.
    raw_files: Optional[Dict[str, str]] = None


def _integers(path, number, words, count):
    if len(words) != count:
        raise ValueError(f"{path}: line {number}: expected {count} values, got {len(words)}")
    try:
        values = [int(w) for w in words]
    except ValueError:
        raise ValueError(f"{path}: line {number}: {' '.join(words)!r} are not whole numbers") from None
    if any(v < 0 for v in values):
        raise ValueError(f"{path}: line {number}: a count is negative")
    return values


def fnv1a(data):
    """64-bit FNV-1a of `data` (bytes), as the checkpoint's checksum."""
    h = 14695981039346656037
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h


def read_checkpoint(path):
    """The `RunState` a checkpoint tells. Raises ValueError, naming the line,
    for a file that is not a whole checkpoint (wrong header, an unknown or
    repeated item, a value out of place, a checksum that does not match, no
    "end" line, or a processing phase without calibrated rates)."""
    with open_input(path, text=True) as f:
        text = f.read()
    lines = text.split("\n")
    if text.endswith("\n"):
        lines.pop()
    headers = ("zorv_mpi checkpoint 1", "zorv_mpi checkpoint 2")
    if not lines or lines[0] not in headers:
        raise ValueError(f"{path}: line 1: not a zorv_mpi checkpoint (expected "
                         f"'{headers[1]}')")
    version = headers.index(lines[0]) + 1
    items = {}
    raw_files = {}
    ended = False
    offset = len(lines[0]) + 1
    for number, line in enumerate(lines[1:], 2):
        start, offset = offset, offset + len(line) + 1
        if version == 2 and line.startswith("checksum ") and "checksum" not in items:
            body = text[:start].encode("utf-8", "surrogateescape")
            if line.split()[1:] != [f"{fnv1a(body):016x}"]:
                raise ValueError(f"{path}: line {number}: the checksum does not match the "
                                 "checkpoint's contents")
            items["checksum"] = (number, [])
            continue
        words = line.split()
        if ended:
            if words:
                raise ValueError(f"{path}: line {number}: text after the 'end' line")
            continue
        if words == ["end"]:
            ended = True
            continue
        if not words:
            raise ValueError(f"{path}: line {number}: empty line")
        key, values = words[0], words[1:]
        if key == "fingerprint":
            # Items and values are percent-encoded; a raw file's item is
            # "raw file <name>".
            item, value = (urllib.parse.unquote(w, errors="surrogateescape")
                           for w in (values + ["", ""])[:2])
            if item.startswith(RAW_FILE_ITEM):
                raw_files[item[len(RAW_FILE_ITEM):]] = value
            continue
        if key in items:
            raise ValueError(f"{path}: line {number}: '{key}' a second time")
        items[key] = (number, values)
    if not ended:
        raise ValueError(f"{path}: no 'end' line: the checkpoint is incomplete")
    needed = ("state", "phase", "next_event", "pending", "counters", "run_error", "outputs")
    for key in needed + (("skipped", "checksum") if version == 2 else ()):
        if key not in items:
            raise ValueError(f"{path}: no '{key}' line")

    def word(key, choices):
        number, values = items[key]
        if len(values) != 1 or values[0] not in choices:
            raise ValueError(f"{path}: line {number}: {key} must be one of {', '.join(choices)}")
        return values[0]

    def ints(key, count=None):
        number, values = items[key]
        return _integers(path, number, values, len(values) if count is None else count)

    finished = word("state", ("running", "finished")) == "finished"
    phase = word("phase", PHASES)
    next_event, = ints("next_event", 1)
    pending = ints("pending")
    if not pending or pending[0] != len(pending) - 1:
        raise ValueError(f"{path}: line {items['pending'][0]}: pending must give its count, "
                         "then that many events")
    received, good_a, good_b, both = ints("counters", 4)
    run_error, = ints("run_error", 1)
    outputs = ints("outputs")
    if len(outputs) not in (4, 5):
        raise ValueError(f"{path}: line {items['outputs'][0]}: outputs must give 4 or 5 sizes")
    calibrated = None
    if "calibrated" in items:
        number, values = items["calibrated"]
        try:
            calibrated = tuple(float(v) for v in values)
        except ValueError:
            calibrated = ()
        if len(calibrated) != 2 or not all(abs(v) < float("inf") for v in calibrated):
            raise ValueError(f"{path}: line {number}: calibrated must give two finite decay rates")
    elif phase == PROCESSING:
        raise ValueError(f"{path}: the processing phase without a 'calibrated' line")
    return RunState(source=os.path.basename(path), finished=finished, phase=phase,
                    next_event=next_event, pending=pending[1:], received=received,
                    good=(good_a, good_b), both=both, run_error=bool(run_error),
                    calibrated=calibrated, raw_files=raw_files)


def read_summary_state(path):
    """The `RunState` a run summary tells (ValueError for a damaged one)."""
    summary = read_summary(path)
    phase = summary["phase"]
    p = summary["phases"][phase]
    rates = summary["decay_rates"]
    return RunState(source=os.path.basename(path), finished=summary["status"] == STATUS_FINISHED,
                    phase=phase, next_event=None, pending=None, received=p["results"],
                    good=tuple(p["good"]), both=p["both_good"], run_error=summary["events_lost"],
                    calibrated=None if rates is None else tuple(rates), summary=summary)


def _point(st):
    """What a source says about the point the run reached."""
    return (st.phase, st.finished, st.received, st.good, st.both)


def _told(st):
    words = "finished" if st.finished else f"the {st.phase} phase after {st.received:,} results"
    return f"{words}, {st.both:,} records"


# The files that tell where a run stands, in the order they are asked.
SOURCES = ((SUMMARY_NAME, read_summary_state), (CHECKPOINT, read_checkpoint))


def where_run_stands(run_dir, records=None):
    """(RunState or None, note or None): the state of the run in `run_dir`
    from the first of `SOURCES` that is there and agrees with the later
    ones; `records`, the records of the result files, must also agree with
    the summary's count. The note says why a summary in the folder was
    passed over. Raises ValueError for a damaged source."""
    states = [reader(os.path.join(run_dir, name)) for name, reader in SOURCES
              if is_present(os.path.join(run_dir, name))]
    if not states:
        return None, None
    first, rest = states[0], states[1:]
    if first.summary is None:
        return first, None
    for later in rest:
        if _point(later) != _point(first):
            return later, (f"{first.source} tells {_told(first)}, {later.source} (written at "
                           f"intervals) {_told(later)}: the summary is from an earlier point of "
                           "the run or from an earlier run")
    if records is not None and first.both != records:
        return (rest[0] if rest else None,
                f"{first.source} counts {first.both:,} records, the result files hold "
                f"{records:,}: the summary is from an earlier point of the run or from an "
                "earlier run")
    return first, None


def read_run_state(run_dir):
    """The `RunState` of the run in `run_dir` (see `where_run_stands`), or
    None when neither file is there."""
    return where_run_stands(run_dir)[0]
