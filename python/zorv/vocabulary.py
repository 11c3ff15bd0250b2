"""The run folder's vocabulary, as zorv_mpi spells it (formats/run_files.h):
the names of the files a run reads and writes, its phases and statuses, what
can become of a channel, and which raw event an event number of a phase is.
python/tests/test_formats.py holds this module to the header."""

from typing import Tuple

CONFIG_NAME = "zorv_mpi.ini"
KERNEL_NAME = "win.txt"
LOCK_NAME = "zorv_mpi.lock"
CHECKPOINT_NAME = "zorv_mpi.checkpoint"
SUMMARY_NAME = "zorv_mpi.summary.json"
EVENTS_NAME = "events.txt"
WORKER_MARK_NAME = "fit.txt"
TEMPORARY_SUFFIX = ".tmp"


def raw_file_name(infile_path: str, session: int) -> str:
    """The raw file of `session`: "<infile_path>.<session>"."""
    return f"{infile_path}.{session}"


def result_file_name(abfile_path: str, channel: int) -> str:
    """Channel `channel`'s result file: "<abfile_path><channel>.bin"."""
    return f"{abfile_path}{channel}.bin"


def error_file_name(abfile_path: str, channel: int) -> str:
    """Channel `channel`'s precision file, aligned with its result file:
    "<abfile_path><channel>.err.bin"."""
    return f"{abfile_path}{channel}.err.bin"


def decay_list_name(channel: int) -> str:
    """Channel `channel`'s decay list: "decay<channel>.txt"."""
    return f"decay{channel}.txt"


def decay_histogram_name(channel: int) -> str:
    """Channel `channel`'s decay histogram: "decay_hist<channel>.txt"."""
    return f"decay_hist{channel}.txt"


PHASES = ("calibration", "processing")
RUN_STATUSES = ("running", "finished", "stopped", "error")
PHASE_STATES = ("not started", "running", "done", "stopped", "error")
OUTCOME_KEYS = ("fitted", "no_peak", "three_or_more_peaks", "peaks_too_close",
                "peak_too_early", "fit_not_finite", "fit_not_converged", "no_residuals")


def raw_event(first_session: int, waveforms: int, event: int) -> Tuple[int, int]:
    """(session, record) of event `event` of a phase whose sessions start at
    `first_session`: record event mod waveforms of session
    first_session + event div waveforms."""
    return first_session + event // waveforms, event % waveforms


def event_number(first_session: int, waveforms: int, session: int, record: int) -> int:
    """The event number of a raw event, the inverse of `raw_event`."""
    return (session - first_session) * waveforms + record
