"""Readers of zorv_mpi's files as numpy arrays.

- result files ("<abfile_path>0.bin", "<abfile_path>1.bin"): records of 9
  little-endian doubles, returned as a structured array with named fields;
- decay lists ("decay0.txt"): one "%.12f" value per line;
- decay histograms ("decay_hist0.txt"): 250 lines "%.10f %d" of bin centre
  and count;
- precision files ("<abfile_path>0.err.bin"), beside each result file:
  records of 9 little-endian doubles, the fit's iteration count and the
  standard errors of its parameters, one per result record;
- raw waveform files: a header of `data_offset` bytes, then records of 2,500
  pairs of int16 samples (channel A, channel B), memory-mapped as an array of
  events x samples x channels;
- the configuration "zorv_mpi.ini" as a dict;
- the provenance list "events.txt": the raw event of each result record;
- the run summary "zorv_mpi.summary.json" as a dict (zorv.summary).
"""

import io
import os
import re
import stat
import sys
import time
from typing import IO, Any, Dict, List, Literal, Optional, Sequence, TextIO, Tuple, Union, cast, overload

import numpy as np

from .vocabulary import EVENTS_NAME, SUMMARY_NAME  # noqa: F401

# The record layouts of formats/record_format.h, which the programs share;
# python/tests/test_formats.py holds these numbers to that header.
SAMPLES = 2500                  # samples per channel and event
RECORD_BYTES = SAMPLES * 2 * 2  # one raw event: 2,500 pairs of int16

# Fields of a result record, in file order. Positions and widths are in
# samples, amplitudes and the baseline in raw sample units (ADC counts), the
# decay rate per sample.
RESULT_FIELDS = ("ssr", "amplitude1", "decay_rate", "baseline", "position1",
                 "width", "tail_amplitude", "amplitude2", "position2")
RESULT_DTYPE = np.dtype([(name, "<f8") for name in RESULT_FIELDS])
PARAMETER_FIELDS = RESULT_FIELDS[1:]  # the fit's parameter vector p[0] .. p[7]

# Fields of a precision record, in file order: the Gauss-Newton iterations
# the fit took (the converging one included; a whole number stored as a
# double), then the standard error of each parameter, at the position the
# result record gives the parameter (0 for a parameter the fit held). A
# record whose precision is not known (its result was written before the
# file existed and the run resumed) holds NaN in every field.
PRECISION_FIELDS = ("iterations",) + tuple(f"{name}_err" for name in PARAMETER_FIELDS)
PRECISION_DTYPE = np.dtype([(name, "<f8") for name in PRECISION_FIELDS])

# A path as the readers take it.
PathLike = Union[str, "os.PathLike[str]"]

# A channel fitted with a single pulse holds amplitude 2 at exactly 0, which
# takes the second pulse out of the model, and position 2 here.
PARKED_POSITION = 1500.0

# Files above this size report their reading on the console.
PROGRESS_BYTES = 64 << 20


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO (named pipe)"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "not a plain file"


def _refuse_unless_regular(path: PathLike, mode: int) -> None:
    if not stat.S_ISREG(mode):
        raise ValueError(f"{path} is {_kind(mode)}, not a regular file")


@overload
def open_input(path: PathLike, text: Literal[False] = ...) -> io.BufferedReader:
    ...


@overload
def open_input(path: PathLike, text: Literal[True]) -> TextIO:
    ...


def open_input(path: PathLike, text: bool = False) -> IO[Any]:
    """Opens an input file for reading; raises ValueError for anything but a
    regular file (a folder, a FIFO, a device). The file is opened without
    blocking and checked before anything is read: a plain open of a FIFO
    waits for a writer that may never come."""
    flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags)
    try:
        _refuse_unless_regular(path, os.fstat(fd).st_mode)
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    if text:
        return os.fdopen(fd, "r", encoding="utf-8", errors="replace", newline="")
    return cast(io.BufferedReader, os.fdopen(fd, "rb"))


def is_present(path: PathLike) -> bool:
    """Whether an optional input is there: False when nothing (or a dangling
    link) has its name, True for a regular file; ValueError for anything
    else of that name, which the caller cannot read."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return False
    _refuse_unless_regular(path, mode)
    return True


def _read_text(path: PathLike) -> str:
    with open_input(path, text=True) as f:
        return f.read()


def _lines(path: PathLike, text: str) -> List[str]:
    """The lines of a table file written by zorv_mpi: every line ends with a
    line feed, so text without one at its end was cut short (a full disk)."""
    if text and not text.endswith("\n"):
        raise ValueError(f"{path}: the last line has no line end: the file was cut short")
    return text.split("\n")[:-1]


def _finite(path: PathLike, number: int, token: str, what: str, kind: type = float) -> Any:
    try:
        value = kind(token)
    except ValueError:
        raise ValueError(f"{path}: line {number}: {what} {token!r} is not a number") from None
    if kind is float and not np.isfinite(value):
        raise ValueError(f"{path}: line {number}: {what} {token!r} is not finite")
    return value


class Progress:
    """Console progress of a long read: one line overwritten in place on a
    terminal, a line per tenth otherwise. Quiet below `PROGRESS_BYTES`-sized
    jobs (the caller decides through `enabled`)."""

    def __init__(self, what: str, total: int, enabled: bool = True,
                 stream: Optional[TextIO] = None) -> None:
        self.what = what
        self.total = max(int(total), 1)
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr
        self.tty = self.stream.isatty()
        self.start = time.monotonic()
        self.shown = -1

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        tenth = 10 * done // self.total
        if not self.tty and tenth == self.shown:
            return
        self.shown = tenth
        pct = 100.0 * done / self.total
        end = "\r" if self.tty else "\n"
        self.stream.write(f"{self.what}: {pct:5.1f}%{end}")
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            seconds = time.monotonic() - self.start
            self.stream.write(f"{self.what}: done in {seconds:.1f} s\n")
            self.stream.flush()


def read_results(path: PathLike, progress: Optional[bool] = None,
                 partial: bool = False) -> np.ndarray:
    """The records of a result file as a structured array (fields
    `RESULT_FIELDS`). Raises ValueError when the length is not a whole
    number of 72-byte records, unless `partial`: then the bytes after the
    last whole record (a record still being written by a running zorv_mpi)
    are left out."""
    return _read_records(path, RESULT_DTYPE, progress, partial)


def read_precision(path: PathLike, progress: Optional[bool] = None,
                   partial: bool = False) -> np.ndarray:
    """The records of a precision file "<abfile_path><c>.err.bin" as a
    structured array (fields `PRECISION_FIELDS`), record i beside record i
    of the channel's result file; as `read_results` otherwise."""
    return _read_records(path, PRECISION_DTYPE, progress, partial)


def _read_records(path: PathLike, dtype: np.dtype, progress: Optional[bool],
                  partial: bool) -> np.ndarray:
    with open_input(path) as f:
        size = os.fstat(f.fileno()).st_size
        if size % dtype.itemsize and not partial:
            raise ValueError(f"{path}: {size} bytes is not a whole number of "
                             f"{dtype.itemsize}-byte records")
        n = size // dtype.itemsize
        if progress is None:
            progress = size >= PROGRESS_BYTES
        out = np.empty(n, dtype=dtype)
        chunk = (16 << 20) // dtype.itemsize
        bar = Progress(f"Reading {path}", n, progress)
        for first in range(0, n, chunk):
            block = out[first:first + chunk]
            if f.readinto(block.data.cast("B")) != block.nbytes:
                raise ValueError(f"{path}: file shrank while being read")
            bar.update(first + len(block))
    bar.close()
    return out


def check_finite(records: np.ndarray, path: PathLike) -> None:
    """Raises ValueError naming the first record and field of `records` that
    is not finite. zorv_mpi writes only finite values, so a NaN or an
    infinity in a result file means the file was damaged."""
    for name in RESULT_FIELDS:
        bad = np.nonzero(~np.isfinite(records[name]))[0]
        if len(bad):
            raise ValueError(f"{path}: record {bad[0]:,} (counted from 0) holds {records[name][bad[0]]} "
                             f"in {name}: zorv_mpi writes only finite values, so the file is damaged")


def holds_two_pulses(records: Any) -> Any:
    """True where a result record's channel was fitted with two pulses (one
    record, or an array of them): a single-pulse fit leaves amplitude 2 at
    exactly 0 and position 2 at `PARKED_POSITION`."""
    return records["amplitude2"] != 0.0


def parameters(records: np.ndarray) -> np.ndarray:
    """The 8 fit parameters of result records as a plain (n, 8) array, in
    the order of the pulse model's parameter vector."""
    return np.stack([records[name] for name in PARAMETER_FIELDS], axis=-1)


def read_decay_list(path: PathLike) -> np.ndarray:
    """A decay list: one decay rate per line, as a float64 array. Raises
    ValueError for a line that is not one finite number or a file cut short."""
    lines = _lines(path, _read_text(path))
    try:
        out = np.array(lines, dtype=np.float64)
        if np.all(np.isfinite(out)):
            return out
    except ValueError:
        pass
    # Something is wrong: find the first line that says what.
    for i, line in enumerate(lines):
        parts = line.split()
        if len(parts) != 1:
            raise ValueError(f"{path}: line {i + 1}: expected one decay rate, got {line!r}")
        _finite(path, i + 1, parts[0], "decay rate")
    raise ValueError(f"{path}: not a list of decay rates")


DECAY_BINS = 250  # lines of a decay histogram as zorv_mpi writes it
DECAY_HIST_DTYPE = np.dtype([("centre", "<f8"), ("count", "<i8")])


def read_decay_hist(path: PathLike) -> np.ndarray:
    """A decay histogram: structured array with fields `centre` (bin centre,
    decay rate per sample) and `count`. Raises ValueError for an empty file,
    a file cut short, a line that is not a finite centre and a count, or
    other than the `DECAY_BINS` lines that zorv_mpi writes."""
    lines = _lines(path, _read_text(path))
    if not lines:
        raise ValueError(f"{path}: empty: the histogram has no bins")
    out = np.empty(len(lines), dtype=DECAY_HIST_DTYPE)
    for i, line in enumerate(lines):
        parts = line.split()
        if len(parts) != 2:
            raise ValueError(f"{path}: line {i + 1}: expected bin centre and count, got {line!r}")
        out["centre"][i] = _finite(path, i + 1, parts[0], "bin centre")
        count = _finite(path, i + 1, parts[1], "count", int)
        if count < 0:
            raise ValueError(f"{path}: line {i + 1}: count {count} is negative")
        out["count"][i] = count
    if len(out) != DECAY_BINS:
        raise ValueError(f"{path} holds {len(out)} bin{'s' if len(out) != 1 else ''}, zorv_mpi "
                         f"writes {DECAY_BINS}: the file is incomplete")
    return out


def open_raw(path: PathLike, data_offset: int = 0, records: Optional[int] = None) -> np.ndarray:
    """A raw waveform file memory-mapped as int16 of shape (events, 2500, 2):
    [event, sample, channel] with channel 0 = A and 1 = B. `data_offset`
    header bytes are skipped; `records` (the configuration's `waveforms`)
    limits the events to those zorv_mpi reads, otherwise every complete
    record behind the header counts. Bytes after the last whole record are
    left out, as zorv_mpi leaves them."""
    st = os.stat(path)
    _refuse_unless_regular(path, st.st_mode)
    size = st.st_size
    complete = max(size - data_offset, 0) // RECORD_BYTES
    n = complete if records is None else min(int(records), complete)
    if n == 0:
        return np.zeros((0, SAMPLES, 2), dtype="<i2")
    return np.memmap(path, dtype="<i2", mode="r", offset=data_offset,
                     shape=(n, SAMPLES, 2))


_NUMBER = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$")


def _number(token: str) -> Union[int, float, None]:
    if not _NUMBER.match(token):
        return None
    value = float(token)
    if re.fullmatch(r"[-+]?\d+", token):
        return int(token)
    return value


def _parse_value(text: str) -> Tuple[Any, str]:
    """Value of a "key = value [remark]" entry: a quoted string, or the
    numbers at its start (one number alone, several as a list), or else the
    first word. Returns (value, remark)."""
    text = text.strip()
    if text.startswith('"'):
        end = text.find('"', 1)
        if end < 0:
            return text[1:], ""
        return text[1:end], text[end + 1:].strip()
    tokens = text.split()
    numbers: List[Union[int, float]] = []
    for token in tokens:
        v = _number(token)
        if v is None:
            break
        numbers.append(v)
    if numbers:
        value = numbers[0] if len(numbers) == 1 else numbers
        rest = text
        for _ in numbers:
            rest = rest.lstrip()
            rest = rest[len(rest.split(None, 1)[0]):]
        return value, rest.strip()
    if not tokens:
        return "", ""
    return tokens[0], text[len(tokens[0]):].strip()


def read_config_entries(path: PathLike) -> List[Tuple[str, Any, str]]:
    """Every entry of a "zorv_mpi.ini" in file order: (key, value, remark).
    Comment entries ("# = text") have the key "#" and their text as value.
    Any key is accepted; a value that stands on the line after its "=" is
    found there, as zorv_mpi finds it."""
    entries: List[Tuple[str, Any, str]] = []
    lines = _read_text(path).split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        parts = line.split(None, 2)
        if not parts:
            continue
        if len(parts) < 2 or parts[1] != "=":
            raise ValueError(f"{path}: line {i}: expected 'key = value', got {line!r}")
        key = parts[0]
        rest = parts[2] if len(parts) > 2 else ""
        if key == "#":
            entries.append((key, rest.strip(), ""))
            continue
        while not rest.strip() and i < len(lines):
            rest = lines[i]
            i += 1
        value, remark = _parse_value(rest)
        entries.append((key, value, remark))
    return entries


def read_config(path: PathLike) -> Dict[str, Any]:
    """A "zorv_mpi.ini" as a dict key -> value (comments left out; a key
    given twice takes the later value, as in zorv_mpi). Paths are str,
    single numbers int or float, pairs lists: {"abfile_path": "ab",
    "waveforms": 10000, "bcg_est": [-24000, -24000], ...}."""
    return config_of(read_config_entries(path))


def config_of(entries: Sequence[Tuple[str, Any, str]]) -> Dict[str, Any]:
    """The dict of `read_config` from the entries of `read_config_entries`."""
    return {k: v for k, v, _ in entries if k != "#"}


# ---------------------------------------------------------------------------
# Provenance and the run summary

EVENTS_DTYPE = np.dtype([("session", "<i8"), ("record", "<i8")])
# A record whose raw event is not known: its line is "- -" (records written
# before a resume from a checkpoint of a zorv_mpi without events.txt). It
# reads as this value in both fields. Sessions may be negative (the raw file
# of session -1 is "<infile_path>.-1"), so a session of -1 names a real
# raw event; the record is never negative: `unknown_events` looks at it.
UNKNOWN_EVENT = -1

_EVENT_LINES = re.compile(r"(?:-?\d{1,18} \d{1,18}\n|- -\n)*", re.ASCII)
_EVENT_LINE = re.compile(r"-?\d{1,18} \d{1,18}", re.ASCII)


def unknown_events(events: np.ndarray) -> np.ndarray:
    """True for the rows of `read_events` whose raw event is not known (the
    line "- -"): their record is `UNKNOWN_EVENT`, which a raw event's record
    never is."""
    return events["record"] == UNKNOWN_EVENT


def read_events(path: PathLike, partial: bool = False) -> np.ndarray:
    """The provenance list "events.txt": line i names the raw event of
    record i of both result files (and line i of both decay lists) as
    "<session> <record>", the record's index in the raw file of that session
    counted from 0; a session may be negative, as zorv_mpi's session
    numbers may be. Returns a structured array with int64 fields `session`
    and `record`; a placeholder line "- -" (raw event not known) gives -1 in
    both: tell it by the record (`unknown_events`), since -1 is also a
    session. Raises ValueError for a file cut short or a line that is not
    two whole numbers (the record 0 or more) or the placeholder. With
    `partial`, a last line without its line end (one still being written
    by a running zorv_mpi) is left out instead."""
    text = _read_text(path)
    if partial:
        text = text[:text.rfind("\n") + 1]
    lines = _lines(path, text)
    if _EVENT_LINES.fullmatch(text):
        # What zorv_mpi writes: one pass in C over the whole text. "- -" is
        # only ever a placeholder line: a session's minus sign has a digit
        # after it.
        numbers = np.array(text.replace("- -", "-1 -1").split(), dtype=np.int64)
        out = np.empty(len(lines), dtype=EVENTS_DTYPE)
        out["session"], out["record"] = numbers[0::2], numbers[1::2]
        return out
    out = np.empty(len(lines), dtype=EVENTS_DTYPE)
    for i, line in enumerate(lines):
        words = line.split()
        if words == ["-", "-"]:
            out[i] = (UNKNOWN_EVENT, UNKNOWN_EVENT)
            continue
        if not _EVENT_LINE.fullmatch(" ".join(words)):
            raise ValueError(f"{path}: line {i + 1}: expected \"<session> <record>\" (two whole "
                             f"numbers, the record 0 or more) or \"- -\", got {line!r}")
        out[i] = (int(words[0]), int(words[1]))
    return out


# The run summary's reader lives in zorv.summary; it is imported from here too.
from .summary import OUTCOMES, read_summary  # noqa: E402,F401
