"""The raw events behind a run's records.

Line i of "events.txt" names the raw event of record i of both result files
as a session and the record's index in that session's raw file
"<infile_path>.<session>" (see `files.read_events`). A raw file is opened
only when one of its events is asked for, memory-mapped: an event costs the
10,000 bytes it occupies, however large the file.
"""

import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .files import RECORD_BYTES, UNKNOWN_EVENT, is_present, open_raw, unknown_events
from .model import fitted_curve
from .vocabulary import raw_file_name

# Relative agreement of the residual sums that confirms a record's raw event.
SSR_MATCH = 1e-6


class RawFiles:
    """The raw files of a run, opened on first use."""

    def __init__(self, run_dir: str, config: Dict[str, Any]) -> None:
        self.run_dir = run_dir
        self.base = config.get("infile_path", "")
        self.offset = int(config.get("data_offset", 0))
        self.waveforms = int(config.get("waveforms", 0))
        # session -> memmap, or None for a file that is not there
        self.opened: Dict[int, Optional[np.ndarray]] = {}

    def name(self, session: int) -> str:
        return raw_file_name(self.base, session)

    def path(self, session: int) -> str:
        return os.path.join(self.run_dir, self.name(session))

    def events_in(self, session: int) -> Optional[int]:
        """Events zorv_mpi reads from the session's raw file (its whole
        records up to `waveforms`), or None without the file; the file is
        only looked at, not opened."""
        if not is_present(self.path(session)):
            return None
        whole = max(os.stat(self.path(session)).st_size - self.offset, 0) // RECORD_BYTES
        return min(whole, self.waveforms)

    def event(self, session: int, record: int) -> Tuple[Optional[np.ndarray], Optional[str]]:
        """(the event's samples as int16 (2500, 2), or None, and why not):
        the reason is "unknown" for a placeholder, "missing" without the raw
        file, "short" when the file ends before the record."""
        if record == UNKNOWN_EVENT:
            return None, "unknown"
        if session not in self.opened:
            path = self.path(session)
            self.opened[session] = (open_raw(path, self.offset, self.waveforms)
                                    if is_present(path) else None)
        raw = self.opened[session]
        if raw is None:
            return None, "missing"
        if record >= len(raw):
            return None, "short"
        return raw[record], None


def curves(ra: Any, rb: Any) -> List[np.ndarray]:
    """The fitted curves of both channels of one event over its samples."""
    return [fitted_curve(r) for r in (ra, rb)]


def ssr_agreement(samples: np.ndarray, records: Sequence[Any],
                  models: Sequence[np.ndarray]) -> float:
    """The largest relative difference between the residual sums of squares
    of the records (channels A and B) and those of their fitted curves over
    the raw samples: about 1e-15 for the record's own event (the fitter
    reports the sum before its last, tiny step), orders of magnitude more
    for any other."""
    worst = 0.0
    for c, (r, m) in enumerate(zip(records, models)):
        resid = np.asarray(samples[:, c], dtype=np.float64) - m
        worst = max(worst, abs(float(np.dot(resid, resid)) - r["ssr"]) / r["ssr"])
    return worst


def events_without_record(events: np.ndarray, sessions: Sequence[int], raw: RawFiles,
                          most: int) -> List[Tuple[int, int]]:
    """Up to `most` raw events (session, record) of the given sessions that
    no line of `events` names, in file order: in a phase that ran to its
    end, the events not fitted in both channels."""
    out: List[Tuple[int, int]] = []
    for s in sessions:
        n = raw.events_in(s)
        if not n:
            continue
        named = np.zeros(n, dtype=bool)
        rec = events["record"][(events["session"] == s) & ~unknown_events(events)]
        named[rec[rec < n]] = True
        out += [(s, int(k)) for k in np.nonzero(~named)[0][:most - len(out)]]
        if len(out) >= most:
            break
    return out
