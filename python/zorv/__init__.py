"""zorv in Python: numpy readers of zorv_mpi's files, the fitter's pulse
model, and a web-page report of a run (zorv-report RUN_DIR).

    import zorv
    a = zorv.read_results("work/ab0.bin")
    print(len(a), a["amplitude1"].mean(), a.dtype.names)

The names below are loaded on first use, so that importing the package
itself needs nothing but Python: the commands (zorv.cli) can then tell a
user without numpy or matplotlib what to install.
"""

import importlib

# Name -> the module that defines it.
_EXPORTS = {
    "RESULT_FIELDS": "files", "open_raw": "files", "parameters": "files", "read_config": "files",
    "read_decay_hist": "files", "read_decay_list": "files", "read_events": "files",
    "unknown_events": "files",
    "read_results": "files", "read_summary": "files", "pulse_model": "model",
    "read_run_state": "state",
}

__all__ = list(_EXPORTS)
__version__ = "0.1.0"


def __getattr__(name):
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    try:
        module = importlib.import_module(f".{_EXPORTS[name]}", __name__)
    except ImportError as e:
        from .cli import REQUIRED, requirement_error
        if e.name in REQUIRED:
            raise ImportError(requirement_error([e.name])) from e
        raise
    value = getattr(module, name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
