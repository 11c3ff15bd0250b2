"""Where a run stands: finished or not, in which phase, how far.

zorv_mpi tells it in its run summary "zorv_mpi.summary.json" (read by
`files.read_summary`), which it writes whole at every checkpoint, at the
end of each phase, on a stop and at the end of the run: how the run ended
(or "running": still running, or killed), per phase its state, results,
good fits and the outcomes of every channel, and the state of every raw file
as the run first opened it. Its checkpoint "zorv_mpi.checkpoint" is
zorv_mpi's own, for resuming; nothing here reads it.

A summary of an older zorv_mpi was written only at the end of a phase or on
a stop and lacks "raw_files": a run of it that was killed, or is still
running, has gone on after the point its summary tells. A run folder of a
zorv_mpi older still holds no summary at all.
"""

import os
from dataclasses import dataclass
from typing import Dict, Optional, Tuple

from .files import is_present, read_summary
from .vocabulary import RUN_STATUSES, SUMMARY_NAME

STATUS_FINISHED = RUN_STATUSES[1]


def file_state(path: str) -> str:
    """A file's size and modification time as the run summary records those
    of the raw files: "size N, modified S.NNNNNNNNN"."""
    st = os.stat(path)
    return f"size {st.st_size}, modified {st.st_mtime_ns // 10**9}.{st.st_mtime_ns % 10**9:09d}"


@dataclass
class RunState:
    source: str                     # the file the facts were read from
    finished: bool                  # the processing phase ran to its end
    phase: str                      # "calibration" or "processing": the phase the outputs hold
    received: int                   # results of the phase received
    good: Tuple[int, int]           # of them, channels A and B fitted
    both: int                       # of them, fitted in both channels (the records)
    run_error: bool                 # a session was lost or an estimate not made
    calibrated: Optional[Tuple[float, float]]  # decay rates the processing phase holds
    summary: dict                   # the whole run summary
    # The raw files the run opened: name (as "<infile_path>.<session>") ->
    # "size N, modified S.NNNNNNNNN" (or "missing") when it first opened
    # them; None for a summary of an older zorv_mpi, which does not say.
    raw_files: Optional[Dict[str, str]] = None

    @property
    def at_intervals(self) -> bool:
        """The summary is rewritten at every checkpoint (not only at the end
        of a phase, as an older zorv_mpi wrote it)."""
        return self.raw_files is not None


def read_summary_state(path: str) -> RunState:
    """The `RunState` a run summary tells (ValueError for a damaged one)."""
    summary = read_summary(path)
    phase = summary["phase"]
    p = summary["phases"][phase]
    rates = summary["decay_rates"]
    good = p["good"]
    return RunState(source=os.path.basename(path), finished=summary["status"] == STATUS_FINISHED,
                    phase=phase, received=p["results"], good=(good[0], good[1]),
                    both=p["both_good"], run_error=summary["events_lost"],
                    calibrated=None if rates is None else (rates[0], rates[1]), summary=summary,
                    raw_files=summary.get("raw_files"))


def where_run_stands(run_dir: str,
                     records: Optional[int] = None) -> Tuple[Optional[RunState], Optional[str]]:
    """(RunState or None, note or None): the state of the run in `run_dir`
    from its summary, unless `records`, the records of the result files,
    show that the summary is of an earlier point or an earlier run: fewer
    records than it counts, or (for a finished run) any other number. The
    note then says why the summary was passed over. Raises ValueError for a
    damaged summary."""
    path = os.path.join(run_dir, SUMMARY_NAME)
    if not is_present(path):
        return None, None
    st = read_summary_state(path)
    if records is None or records == st.both or (records > st.both and not st.finished):
        return st, None
    return None, (f"{st.source} counts {st.both:,} records, the result files hold {records:,}: "
                  "the summary is from an earlier point of the run or from an earlier run")


def read_run_state(run_dir: str) -> Optional[RunState]:
    """The `RunState` of the run in `run_dir` (see `where_run_stands`), or
    None when it is not known."""
    return where_run_stands(run_dir)[0]
