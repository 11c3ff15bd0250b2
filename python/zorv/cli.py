"""Entry points of the commands: `zorv-report` (also python3 -m zorv.report)
and python3 -m zorv.

They make sure that numpy and matplotlib can be imported before anything
imports them, so that a Python without them ends with one line that names
what to install, instead of a traceback. --help and --version are answered
here, before that check: they need neither, and a man page is made from them.
"""

import importlib
import os
import sys
from typing import List, Optional, Sequence

from . import __version__

REQUIRED = ("numpy", "matplotlib")
INSTALL = ("pip install numpy matplotlib, or apt install python3-numpy python3-matplotlib")


def missing() -> List[str]:
    """The required modules that this Python cannot import."""
    out: List[str] = []
    for name in REQUIRED:
        try:
            importlib.import_module(name)
        except ImportError:
            out.append(name)
    return out


def requirement_error(names: Sequence[str]) -> str:
    return f"zorv needs numpy and matplotlib ({' and '.join(names)} not found): {INSTALL}"


def ready() -> bool:
    """True when numpy and matplotlib are there; otherwise prints the one
    "Error: " line on standard error that says how to get them."""
    names = missing()
    if names:
        print(f"Error: {requirement_error(names)}", file=sys.stderr)
    return not names


def describe(error: BaseException) -> str:
    """The text of an "Error: " line for an exception raised while reading
    or writing."""
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror or error}"
    return str(error)


REPORT_HELP = """\
Usage: {prog} [--out DIR] [--events N] RUN_DIR

Writes RUN_DIR/report/index.html, a web page of the zorv_mpi run in RUN_DIR:
how the run went, the calibration, spectra, fit quality and example events,
its figures beside it. Prints the page's path.

Options:
  --out DIR     output folder (default RUN_DIR/report)
  --events N    example events to show, 0 to 100 (default 12)
  -h, --help    print this text and exit
  --version     print the version and exit

Exit status: 0 written; 1 a damaged input or a report that could not be
written, which one "Error: " line names; 2 a bad command line.

python3 -m zorv show FILE... prints what a file of a run holds."""

MAIN_HELP = """\
Usage: python3 -m zorv COMMAND [ARGUMENT...]

A look at zorv_mpi's files from the command line.

Commands:
  report RUN_DIR [--out DIR] [--events N]
                the web-page report of a run (as zorv-report, python3 -m zorv.report)
  show FILE...  what a result file, decay list, decay histogram, zorv_mpi.ini,
                events.txt or run summary holds
  export RUN_DIR OUT
                the run's events as one table (zorv.open_run): OUT.h5 (HDF5, with
                the summary, settings and decay histograms) or OUT.csv

Options:
  -h, --help    print this text and exit
  --version     print the version and exit

Exit status: 0 done; 1 a file that could not be read or written; 2 a bad
command line."""


def asks(argv: Sequence[str], names: Sequence[str]) -> bool:
    """True when one of the options `names` stands among argv before any "--"."""
    for arg in argv:
        if arg == "--":
            return False
        if arg in names:
            return True
    return False


def report_prog() -> str:
    return "zorv-report" if os.path.basename(sys.argv[0]) == "zorv-report" else "python3 -m zorv.report"


def report(argv: Optional[Sequence[str]] = None) -> int:
    """zorv-report: the exit status of the report's command line."""
    args = sys.argv[1:] if argv is None else list(argv)
    if asks(args, ("-h", "--help")):
        print(REPORT_HELP.format(prog=report_prog()))
        return 0
    if asks(args, ("--version",)):
        print(f"zorv-report {__version__}")
        return 0
    if not ready():
        return 1
    from .report import main
    return main(argv)
