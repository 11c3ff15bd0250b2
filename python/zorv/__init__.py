"""zorv in Python: numpy readers of zorv_mpi's files, a run folder as one
table for notebooks (zorv.open_run), the fitter's pulse model, and a
web-page report of a run (zorv-report RUN_DIR).

    import zorv
    run = zorv.open_run("work")
    print(len(run.events), run.events["a_amplitude1"].mean(), run.events.dtype.names)
    a = zorv.read_results("work/ab0.bin")

The names below are loaded on first use, so that importing the package
itself needs nothing but Python: the commands (zorv.cli) can then tell a
user without numpy or matplotlib what to install.
"""

import importlib
from typing import TYPE_CHECKING, Any, List

if TYPE_CHECKING:  # what the names below are, for type checkers
    from .files import (  # noqa: F401RESULT_FIELDS, open_raw, parameters, read_config, read_decay_hist,
                        read_decay_list, read_events, read_precision, read_results, read_summary,
                        unknown_events)
    from .model import pulse_model  # noqa: F401
    from .run import Run, RunError, open_run  # noqa: F401
    from .state import read_run_state  # noqa: F401

# Name -> the module that defines it.
_EXPORTS = {
    "RESULT_FIELDS": "files", "open_raw": "files", "parameters": "files", "read_config": "files",
    "read_decay_hist": "files", "read_decay_list": "files", "read_events": "files",
    "unknown_events": "files", "read_precision": "files",
    "read_results": "files", "read_summary": "files", "pulse_model": "model",
    "read_run_state": "state", "open_run": "run", "Run": "run", "RunError": "run",
}

__all__ = list(_EXPORTS)
__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    try:
        module = importlib.import_module(f".{_EXPORTS[name]}", __name__)
    except ImportError as e:
        from .cli import REQUIRED, requirement_error
        if e.name in REQUIRED:
            raise ImportError(requirement_error([str(e.name)])) from e
        raise
    value = getattr(module, name)
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))
