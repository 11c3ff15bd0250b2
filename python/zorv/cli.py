"""Entry points of the commands: `zorv-report` (also python3 -m zorv.report)
and python3 -m zorv.

They make sure that numpy and matplotlib can be imported before anything
imports them, so that a Python without them ends with one line that names
what to install, instead of a traceback.
"""

import importlib
import sys

REQUIRED = ("numpy", "matplotlib")
INSTALL = ("pip install numpy matplotlib, or apt install python3-numpy python3-matplotlib")


def missing():
    """The required modules that this Python cannot import."""
    out = []
    for name in REQUIRED:
        try:
            importlib.import_module(name)
        except ImportError:
            out.append(name)
    return out


def requirement_error(names):
    return f"zorv needs numpy and matplotlib ({' and '.join(names)} not found): {INSTALL}"


def ready():
    """True when numpy and matplotlib are there; otherwise prints the one
    "Error: " line on standard error that says how to get them."""
    names = missing()
    if names:
        print(f"Error: {requirement_error(names)}", file=sys.stderr)
    return not names


def describe(error):
    """The text of an "Error: " line for an exception raised while reading
    or writing."""
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror or error}"
    return str(error)


def report(argv=None):
    """zorv-report: the exit status of the report's command line."""
    if not ready():
        return 1
    from .report import main
    return main(argv)
