"""Where a run stands: finished or not, in which phase, how far.

zorv_mpi records it in its checkpoint "zorv_mpi.checkpoint" (text, one item
per line):

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

`read_run_state(run_dir)` asks the sources in `SOURCES` in turn and returns
the facts of the first one present as a `RunState`, so that another file
telling the same facts can stand before the checkpoint by adding its reader
there.
"""

import os
from dataclasses import dataclass
from typing import List, Optional, Tuple

from .files import is_present, open_input

CHECKPOINT = "zorv_mpi.checkpoint"
PHASES = ("calibration", "processing")


@dataclass
class RunState:
    source: str                     # the file the facts were read from
    finished: bool                  # the processing phase ran to its end
    phase: str                      # "calibration" or "processing": the phase the outputs hold
    next_event: int                 # events of the phase handed out in order so far
    pending: List[int]              # events handed out but not booked, done again on resume
    received: int                   # results of the phase received
    good: Tuple[int, int]           # of them, channels A and B fitted
    both: int                       # of them, fitted in both channels (the records)
    run_error: bool                 # a session was lost or an estimate not made
    calibrated: Optional[Tuple[float, float]]  # decay rates the processing phase holds


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
    elif phase == "processing":
        raise ValueError(f"{path}: the processing phase without a 'calibrated' line")
    return RunState(source=os.path.basename(path), finished=finished, phase=phase,
                    next_event=next_event, pending=pending[1:], received=received,
                    good=(good_a, good_b), both=both, run_error=bool(run_error),
                    calibrated=calibrated)


# The files that tell where a run stands, the first one present wins: a
# run summary that zorv_mpi writes at its end would go before the checkpoint.
SOURCES = ((CHECKPOINT, read_checkpoint),)


def read_run_state(run_dir):
    """The `RunState` of the run in `run_dir` from the first of `SOURCES`
    that is there, or None when none is."""
    for name, reader in SOURCES:
        path = os.path.join(run_dir, name)
        if is_present(path):
            return reader(path)
    return None
