"""Raw events as a worker saw them, told by zorv_event: what became of each
channel (the run summary's outcome names), the peaks found, the fit and,
with traces, the smoothed trace and the fitted model. zorv_event runs the
worker's own code, so the report draws what the worker did rather than a
copy of it.

`explain(run_dir, events)` starts one zorv_event for all the events and
returns (explanations, None), or (None, why) in one line when zorv_event
cannot be found or fails: the report then draws the events without it.
"""

import json
import os
import pathlib
import shutil
import subprocess
from typing import Any, List, Optional, Sequence, Tuple

from .files import SAMPLES
from .vocabulary import OUTCOME_KEYS

PROGRAM = "zorv_event"
ENVIRONMENT = "ZORV_EVENT"  # names the executable, before PATH and the checkout
# Where a build of this checkout puts it, relative to the checkout.
IN_CHECKOUT = pathlib.Path("build") / "tools" / PROGRAM
TIMEOUT = 600  # seconds; a few dozen events take well under one


def find_program() -> Tuple[Optional[str], Optional[str]]:
    """(path, None) of the zorv_event to run, or (None, why not): the one
    ZORV_EVENT names, else the one on PATH, else the one built in the
    checkout this package lies in."""
    named = os.environ.get(ENVIRONMENT)
    if named:
        if os.path.isfile(named) and os.access(named, os.X_OK):
            return named, None
        return None, f"{ENVIRONMENT}={named} is not an executable file"
    on_path = shutil.which(PROGRAM)
    if on_path:
        return on_path, None
    built = pathlib.Path(__file__).resolve().parents[2] / IN_CHECKOUT
    if built.is_file() and os.access(built, os.X_OK):
        return str(built), None
    return None, (f"{PROGRAM} was not found (set {ENVIRONMENT} to it, put it on PATH, or build "
                  f"this checkout into {IN_CHECKOUT.parent})")


def _message(stderr: str) -> str:
    """The line of zorv_event's standard error that says what went wrong."""
    lines = [ln.strip() for ln in stderr.splitlines() if ln.strip()]
    said = [ln for ln in lines if ln.startswith(("Error", "ERROR", PROGRAM))]
    return (said or lines or ["no message"])[-1]


def _check(answer: Any, events: Sequence[Tuple[int, ...]], traces: bool) -> None:
    """Raises ValueError unless `answer` is one explanation per event."""
    if not isinstance(answer, list) or len(answer) != len(events):
        raise ValueError(f"expected {len(events)} events")
    for got, (session, record) in zip(answer, events):
        if (got.get("session"), got.get("record")) != (session, record):
            raise ValueError(f"expected session {session} record {record}")
        channels = got.get("channels")
        if not isinstance(channels, list) or len(channels) != 2:
            raise ValueError("expected two channels")
        for ch in channels:
            if ch.get("outcome") not in OUTCOME_KEYS or not isinstance(ch.get("peaks"), list):
                raise ValueError(f"an outcome of {ch.get('outcome')!r}")
            if traces and any(len(ch.get(k) or ()) != SAMPLES for k in ("smoothed", "model")):
                raise ValueError("traces of other than 2,500 samples")


def explain(run_dir: str, events: Sequence[Sequence[int]],
            traces: bool = True) -> Tuple[Optional[List[Any]], Optional[str]]:
    """(list of zorv_event's objects, one per (session, record) of `events`,
    in order; None) or (None, why not in one line). With `traces` every
    channel also holds "smoothed" (baseline subtracted, as the worker
    searched it) and "model"."""
    if not events:
        return [], None
    program, why = find_program()
    if program is None:
        return None, why
    args = [program] + (["--traces"] if traces else [])
    args += [str(int(v)) for event in events for v in event]
    try:
        done = subprocess.run(args, cwd=run_dir, capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, f"{program} did not answer within {TIMEOUT} s"
    except OSError as e:
        return None, f"{program} could not be started ({e.strerror or e})"
    if done.returncode != 0:
        return None, f"{program} failed (status {done.returncode}): {_message(done.stderr)}"
    try:
        answer = json.loads(done.stdout)
        _check(answer, [tuple(e) for e in events], traces)
    except (ValueError, AttributeError, TypeError) as e:
        return None, f"{program} gave an answer that is not the events asked for ({e})"
    return answer, None
