"""A run folder of zorv_mpi as one table, for notebooks and scripts.

    run = zorv.open_run("work")
    run.events["a_amplitude1"]          # channel A's amplitude, one value per event
    run.to_pandas()                     # the same table as a DataFrame
    run.to_hdf5("work.h5")              # table, summary, settings and decay histograms

`open_run` joins the files that zorv_mpi writes record by record: record i
of both result files "<abfile_path><c>.bin", line i of "events.txt" (the
raw event of record i) and, when the run wrote them, record i of both
precision files "<abfile_path><c>.err.bin". The folder may hold a finished
run, a stopped one or one still running.

`Run.events` is a numpy structured array with one row per result record,
sorted by raw event (session, then record):

- ``session``, ``record`` (int64): the raw event, record ``record`` of the
  raw file "<infile_path>.<session>";
- ``a_ssr``, ``a_amplitude1``, ..., ``a_position2``: channel A's result
  record (`files.RESULT_FIELDS`), then ``b_ssr`` ... ``b_position2``;
- with the precision files only: ``a_iterations`` (the Gauss-Newton
  iterations of the fit, a whole number stored as float64) and the standard
  errors ``a_amplitude1_err`` ... ``a_position2_err``, then the same for
  channel B. A run of a zorv_mpi older than the precision files has none of
  these fields (`Run.has_precision` is False); a record whose precision is
  not known holds NaN in all of them.

A record whose raw event is not known (its line of events.txt is "- -")
has session and record -1 (a raw event's record is never negative) and is
sorted after every known one, in file order. `Run.file_index` gives each
row's position in the result files, to reach the decay lists or anything
else kept in file order.

A run folder of a zorv_mpi older than events.txt cannot be joined to its
raw events: `open_run` refuses it (RunError) instead of guessing.

The files must agree: for a run that has ended (the summary says finished,
stopped or error) every result file, events.txt and every precision file
hold the same number of records, or RunError names the one that differs.
A running run (or one killed while running, or without a summary yet) is
written as it goes, each file a little ahead of or behind the others: only
the records present whole in every file are read, and `Run.partial` says
when some were left out.
"""

import json
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .files import (PRECISION_FIELDS, RESULT_FIELDS, PathLike, check_finite, is_present,
                    read_config, read_decay_hist, read_events, read_precision, read_results,
                    read_summary, unknown_events)
from .vocabulary import (CONFIG_NAME, EVENTS_NAME, PHASES, RUN_STATUSES, SUMMARY_NAME,
                         TEMPORARY_SUFFIX, decay_histogram_name, error_file_name,
                         result_file_name)

CHANNELS = ("a", "b")
STATUS_RUNNING = RUN_STATUSES[0]
# The session range of each phase in zorv_mpi.ini.
SESSIONS_KEY = {PHASES[0]: "cal_sessions", PHASES[1]: "sessions"}

PANDAS_NEEDED = "to_pandas needs pandas: apt install python3-pandas, or pip install 'zorv[pandas]'"
H5PY_NEEDED = "to_hdf5 needs h5py: apt install python3-h5py, or pip install 'zorv[hdf5]'"


class RunError(ValueError):
    """A run folder that cannot be read as one table; the message, one
    line, names the file and says why."""


def event_dtype(precision: bool) -> np.dtype:
    """The row type of `Run.events`: session and record, both channels'
    result fields and, with `precision`, both channels' precision fields."""
    fields: List[Tuple[str, str]] = [("session", "<i8"), ("record", "<i8")]
    fields += [(f"{ch}_{name}", "<f8") for ch in CHANNELS for name in RESULT_FIELDS]
    if precision:
        fields += [(f"{ch}_{name}", "<f8") for ch in CHANNELS for name in PRECISION_FIELDS]
    return np.dtype(fields)


def _sessions(settings: Dict[str, Any], phase: str) -> Optional[range]:
    """The sessions of a phase as zorv_mpi.ini gives them, or None when it
    does not say so plainly."""
    v = settings.get(SESSIONS_KEY[phase])
    if isinstance(v, list) and len(v) == 2 and all(type(x) is int for x in v):
        return range(v[0], v[1] + 1)
    return None


def _record_phase(summary: Optional[Dict[str, Any]], settings: Dict[str, Any],
                  known: np.ndarray) -> Optional[str]:
    """The phase whose records the result files hold. The raw events tell
    it when they all lie in the sessions of one phase and not of the other
    (right even while a new phase has begun after the summary was last
    written); otherwise the summary's phase; None when neither tells."""
    sessions = known["session"]
    if len(sessions):
        lo, hi = int(sessions.min()), int(sessions.max())
        inside = [p for p in PHASES
                  if (r := _sessions(settings, p)) is not None and r.start <= lo and hi < r.stop]
        if len(inside) == 1:
            return inside[0]
    return summary["phase"] if summary is not None else None


def _count_words(n: int, unit: str) -> str:
    return f"{n:,} {unit}{'' if n == 1 else 's'}"


class Run:
    """A zorv_mpi run folder read by `open_run`: the attributes below are
    set once and not changed afterwards.

    path          the run folder (absolute)
    settings      zorv_mpi.ini as a dict (files.read_config)
    summary       zorv_mpi.summary.json as a dict (summary.read_summary),
                  None when the folder has none
    phase         "calibration" or "processing": the phase whose records the
                  result files hold (decay rate free or held); None when
                  neither the raw events nor a summary tell
    events        the table, one row per result record (see the module)
    file_index    int64 array: row i is record file_index[i] of the result
                  files (and line file_index[i] of events.txt)
    has_precision the run wrote precision files: the table has their fields
    partial       records at the end of some files were left out, as they
                  were not yet in all of them (a running run)
    """

    def __init__(self, path: str, settings: Dict[str, Any], summary: Optional[Dict[str, Any]],
                 phase: Optional[str], events: np.ndarray, file_index: np.ndarray,
                 has_precision: bool, partial: bool) -> None:
        self.path = path
        self.settings = settings
        self.summary = summary
        self.phase = phase
        self.events = events
        self.file_index = file_index
        self.has_precision = has_precision
        self.partial = partial

    def __len__(self) -> int:
        return len(self.events)

    def __repr__(self) -> str:
        status = self.summary["status"] if self.summary is not None else "no summary"
        return (f"<zorv.Run {self.path!r}: {_count_words(len(self.events), 'event')} of the "
                f"{self.phase or 'unknown'} phase, {status}"
                f"{', with precision' if self.has_precision else ''}>")

    @property
    def fields(self) -> Tuple[str, ...]:
        """The names of the table's fields, in order."""
        return tuple(self.events.dtype.names or ())

    def decay_histograms(self) -> Tuple[Optional[np.ndarray], Optional[np.ndarray]]:
        """The calibration's decay histograms of channels A and B
        (files.read_decay_hist), None for one that is not in the folder or
        is an earlier run's (the summary says the calibration has not run)."""
        calibrated = self.summary is None or self.summary["decay_rates"] is not None
        out = []
        for c in (0, 1):
            path = os.path.join(self.path, decay_histogram_name(c))
            out.append(read_decay_hist(path) if calibrated and is_present(path) else None)
        return out[0], out[1]

    def to_pandas(self) -> Any:
        """The table as a pandas DataFrame, one column per field; ImportError
        saying how to get pandas when it is not installed."""
        try:
            import pandas
        except ImportError:
            raise ImportError(PANDAS_NEEDED) from None
        return pandas.DataFrame(self.events)

    def to_hdf5(self, path: PathLike) -> None:
        """Writes an HDF5 file through h5py: the table as the dataset
        "events" (a compound type with the table's fields), the decay
        histograms as "decay_hist0" and "decay_hist1" (fields centre and
        count) when the folder has them, and as attributes of the file the
        run summary ("summary", JSON text, absent without one), the
        settings ("settings", JSON text), "phase" and "run_dir". The file
        appears whole or not at all. ImportError saying how to get h5py when
        it is not installed."""
        try:
            import h5py
        except ImportError:
            raise ImportError(H5PY_NEEDED) from None
        hists = self.decay_histograms()

        def write(tmp: str) -> None:
            with h5py.File(tmp, "w") as f:
                f.create_dataset("events", data=self.events)
                for c, h in enumerate(hists):
                    if h is not None:
                        f.create_dataset(decay_histogram_name(c).split(".")[0], data=h)
                if self.summary is not None:
                    f.attrs["summary"] = json.dumps(self.summary)
                f.attrs["settings"] = json.dumps(self.settings)
                f.attrs["phase"] = self.phase or ""
                f.attrs["run_dir"] = self.path
        _write_whole(path, write)

    def to_csv(self, path: PathLike) -> None:
        """Writes the table as CSV: a header line of the field names, then
        one line per row, integers as such and every float in 17 significant
        digits, so that it reads back to the same value. The file appears
        whole or not at all."""
        names = self.fields
        formats = ["%d" if self.events.dtype[n].kind == "i" else "%.17g" for n in names]

        def write(tmp: str) -> None:
            with open(tmp, "w", encoding="utf-8", newline="") as f:
                np.savetxt(f, self.events, fmt=formats, delimiter=",", header=",".join(names),
                           comments="")
        _write_whole(path, write)


def _write_whole(path: PathLike, write: Any) -> None:
    """Runs write(temporary name) beside `path`, then renames the file into
    place: a failure leaves no file of a half-written table behind. An
    OSError names `path`, the file the caller asked for."""
    final = os.fspath(path)
    tmp = final + TEMPORARY_SUFFIX
    try:
        write(tmp)
        os.replace(tmp, final)
    except BaseException as e:
        if os.path.lexists(tmp):
            os.unlink(tmp)
        if isinstance(e, OSError):
            raise OSError(e.errno, e.strerror or str(e), final) from e
        raise


def _read_all(paths: Sequence[str], partial: bool) -> Tuple[List[np.ndarray], np.ndarray, bool]:
    """The result records of both channels and events.txt (in `paths`:
    A, B, events), with the precision records of both channels when
    `paths` names them too, each cut to the records present in all. Unless
    `partial`, every file must hold the same number: RunError names the
    first that does not."""
    a, b, events_path = paths[:3]
    records = [read_results(p, partial=partial) for p in (a, b)]
    for p, rec in zip((a, b), records):
        check_finite(rec, p)
    records += [read_precision(p, partial=partial) for p in paths[3:]]
    events = read_events(events_path, partial=partial)
    counts = [len(r) for r in records[:2]] + [len(events)] + [len(r) for r in records[2:]]
    order = [a, b, events_path, *paths[3:]]
    if not partial and len(set(counts)) > 1:
        i = next(k for k, n in enumerate(counts) if n != counts[0])
        unit = "line" if order[i] == events_path else "record"
        raise RunError(f"{order[i]} holds {_count_words(counts[i], unit)}, {a} "
                       f"{_count_words(counts[0], 'record')}: record i of every file belongs to "
                       "line i of events.txt, so a run that has ended writes them alike: the file "
                       "is damaged or not this run's")
    n = min(counts)
    return [r[:n] for r in records], events[:n], len(set(counts)) > 1


def _check_events(events: np.ndarray, path: str, settings: Dict[str, Any],
                  phase: Optional[str]) -> None:
    """RunError unless every known raw event is one of the records' phase
    and no raw event is named twice: otherwise events.txt does not belong
    to the result files, and a join would pair records with wrong events."""
    known = events[~unknown_events(events)]
    sessions = _sessions(settings, phase) if phase is not None else None
    waveforms = settings.get("waveforms")
    if sessions is not None:
        bad = (known["session"] < sessions.start) | (known["session"] >= sessions.stop)
        if type(waveforms) is int and waveforms > 0:
            bad |= known["record"] >= waveforms
        if np.any(bad):
            i = int(np.nonzero(~unknown_events(events))[0][np.argmax(bad)])
            raise RunError(f"{path}: line {i + 1} names session {events['session'][i]} record "
                           f"{events['record'][i]}, not an event of the {phase} phase (sessions "
                           f"{sessions.start} to {sessions.stop - 1} in {CONFIG_NAME}): the file "
                           "does not belong to the result files")
    pairs = np.sort(known)
    same = np.nonzero(pairs[1:] == pairs[:-1])[0]
    if len(same):
        s, r = pairs[same[0]]
        lines = np.nonzero((events["session"] == s) & (events["record"] == r))[0][:2] + 1
        raise RunError(f"{path}: lines {lines[0]} and {lines[1]} both name session {s} record {r}: "
                       "zorv_mpi fits every raw event once, so the file is damaged")


def open_run(path: PathLike) -> Run:
    """Reads the run in the folder `path` into a `Run` (see the module for
    its table). Raises RunError (a ValueError) for a folder that is not a
    run, a run that predates events.txt, and files that do not agree, and
    ValueError for a damaged file; the message, one line, names the file."""
    run_dir = os.path.abspath(os.fspath(path))

    def at(name: str) -> str:
        return os.path.join(run_dir, name)

    if not os.path.isdir(run_dir):
        raise RunError(f"{run_dir} is not a folder: open_run takes the folder zorv_mpi ran in")
    if not is_present(at(CONFIG_NAME)):
        raise RunError(f"{at(CONFIG_NAME)} not found: open_run takes the folder zorv_mpi ran in")
    settings = read_config(at(CONFIG_NAME))
    base = settings.get("abfile_path")
    if not isinstance(base, str) or not base:
        raise RunError(f"{at(CONFIG_NAME)}: no abfile_path setting, which names the result files")
    results = [at(result_file_name(base, c)) for c in (0, 1)]
    for p in results:
        if not is_present(p):
            raise RunError(f"result file {p} not found")
    if not is_present(at(EVENTS_NAME)):
        raise RunError(f"{at(EVENTS_NAME)} not found: the run predates it (a zorv_mpi older than "
                       "events.txt), so its records cannot be joined to their raw events")
    errors = [at(error_file_name(base, c)) for c in (0, 1)]
    present = [is_present(p) for p in errors]
    if present[0] != present[1]:
        there, missing = (errors[0], errors[1]) if present[0] else (errors[1], errors[0])
        raise RunError(f"{missing} not found, though {os.path.basename(there)} is: zorv_mpi "
                       "writes the precision files of both channels together")
    has_precision = all(present)
    summary = read_summary(at(SUMMARY_NAME)) if is_present(at(SUMMARY_NAME)) else None
    # A run still going (or killed while it went) writes each file a little
    # ahead of the others; one that has ended leaves them alike.
    partial = summary is None or summary["status"] == STATUS_RUNNING
    records, events, cut = _read_all(results + [at(EVENTS_NAME)] + (errors if has_precision else []),
                                     partial)
    known = events[~unknown_events(events)]
    phase = _record_phase(summary, settings, known)
    _check_events(events, at(EVENTS_NAME), settings, phase)

    # Known raw events first, by session and record; the unknown ones after
    # them in file order (lexsort is stable; its last key sorts first).
    order = np.lexsort((events["record"], events["session"], unknown_events(events)))
    table = np.empty(len(events), dtype=event_dtype(has_precision))
    table["session"] = events["session"][order]
    table["record"] = events["record"][order]
    precisions: List[Optional[np.ndarray]] = list(records[2:]) if has_precision else [None, None]
    for ch, result, precision in zip(CHANNELS, records[:2], precisions):
        for name in RESULT_FIELDS:
            table[f"{ch}_{name}"] = result[name][order]
        if precision is not None:
            for name in PRECISION_FIELDS:
                table[f"{ch}_{name}"] = precision[name][order]
    return Run(path=run_dir, settings=settings, summary=summary, phase=phase, events=table,
               file_index=order.astype(np.int64), has_precision=has_precision, partial=cut)
