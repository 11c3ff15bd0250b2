"""A web page about one zorv_mpi run: zorv-report RUN_DIR (or python3 -m
zorv.report RUN_DIR)

RUN_DIR is the folder zorv_mpi ran in: it holds "zorv_mpi.ini", the result
files, decay lists and decay histograms, the provenance list "events.txt",
the run summary "zorv_mpi.summary.json", the checkpoint
"zorv_mpi.checkpoint", and usually "win.txt" and the raw files. The page and
its figures go to RUN_DIR/report/ (or --out): index.html opens offline in
any browser, its figures are PNG files beside it, each with a CSV file of the numbers
it plots. Missing optional files leave their section saying so.

What the run did comes from what zorv_mpi recorded, nothing is worked out
again from the raw files: how it ended, its phases, counts, outcomes per
channel, times, hosts, version and calibrated decay rates from the summary
(where the run stands from the checkpoint when that is newer, see
zorv.state); the raw event of each example record from its line of
events.txt, and only those events are read. A run folder of a zorv_mpi
older than the summary and events.txt is described as far as it can be: the
page says what is not recorded and leaves out the sections that need it.

A run that did not finish is named as such at the top of the page, with the
phase it stopped in; stopped in the calibration phase, its result files
hold that phase's records (decay rate free).

Every input is read and checked before anything is drawn. A file that is
damaged (cut short, not numbers, NaN in a record, a summary that is not
whole, an events.txt that does not belong to the result files, a folder or
FIFO where a file belongs) or an output folder that cannot be written ends
the command with one "Error: " line on standard error and status 1; `build`
raises the exception instead.

How far the numbers can be trusted is on the page too: the fit quality of
every record (a fit whose RMS residual exceeds 5 times its channel's median
is flagged, and the events with a flagged fit are left out of the spectra,
the coincidence map and the timing), the timing resolution (FWHM of the
position differences of the two channels), and the statistical uncertainty
of the calibrated decay rates and of the amplitude lines (zorv.quality says
how each is found).

The pieces: zorv.runview reads and checks the run folder into one view that
nothing changes afterwards; zorv.wording words where the run stands;
zorv.sections and zorv.examples draw one section each from the view alone,
in any order; zorv.quality works out the numbers of trust; zorv.plot draws
each picture and zorv.figures lays the pictures out, saves them and writes
the CSV file beside each; zorv.page holds the HTML pieces; this module
writes the page and is its command line.
"""

import sys

if __name__ == "__main__":
    # python3 -m zorv.report goes through the command's entry point, which
    # checks for numpy and matplotlib before anything imports them.
    from zorv.cli import report
    sys.exit(report())

import argparse  # noqa: E402
import datetime  # noqa: E402
import os  # noqa: E402
import tempfile  # noqa: E402
from typing import Callable, Optional, Sequence, Tuple  # noqa: E402

from .cli import describe  # noqa: E402
from .examples import EVENT_FIGURE, SKIPPED_FIGURE, example_section  # noqa: E402
from .page import CSS, Output, Part, esc  # noqa: E402
from .runview import ReportError, RunView, read_view  # noqa: E402
from .sections import (FLAGGED_FIGURE, calibration_section, config_section,  # noqa: E402
                       outcomes_section, parameter_section, quality_section, run_section,
                       spectra_section, timing_section)
from .vocabulary import CONFIG_NAME, TEMPORARY_SUFFIX  # noqa: E402
from .wording import banner, records_words, state_words  # noqa: E402

# The page's sections in their order: anchor, title, the function that
# draws it from the run's view.
Section = Tuple[str, str, Callable[[RunView, Output], Part]]
SECTIONS: Tuple[Section, ...] = (
    ("run", "Run", run_section),
    ("calibration", "Calibration of the decay rate", calibration_section),
    ("quality", "Fit quality", quality_section),
    ("spectra", "Spectra", spectra_section),
    ("timing", "Coincidence timing", timing_section),
    ("outcomes", "Why channels were not fitted", outcomes_section),
    ("events", "Example events", example_section),
    ("parameters", "Fit parameters", parameter_section),
    ("configuration", f"Configuration ({CONFIG_NAME})", config_section),
)


def make_out_dir(out_dir: str) -> None:
    """Makes the output folder and proves that files can be written there,
    before anything is drawn."""
    try:
        os.makedirs(out_dir, exist_ok=True)
    except FileExistsError:
        raise ReportError(f"cannot make the report folder {out_dir}: something that is not "
                          "a folder has its name") from None
    except OSError as e:
        raise ReportError(f"cannot make the report folder {out_dir}: {e.strerror}") from None
    try:
        with tempfile.TemporaryFile(dir=out_dir):
            pass
    except OSError as e:
        raise ReportError(f"cannot write into the report folder {out_dir}: {e.strerror}") from None


def write_page(view: RunView, out: Output, sections: Sequence[Section] = SECTIONS) -> str:
    """Draws `sections` of the run's view into `out` and writes the page
    that shows them; returns the path of its index.html."""
    make_out_dir(out.out_dir)
    # Example events of an earlier report that this one may not draw again.
    for old in os.listdir(out.out_dir):
        if (old.startswith((EVENT_FIGURE, SKIPPED_FIGURE, FLAGGED_FIGURE))
                and old.endswith((".png", ".csv"))):
            os.remove(out.path(old))
    body = []
    for anchor, title, fn in sections:
        out.say(f"Report: {title.lower()}")
        body.append(f'<section id="{anchor}"><h2>{esc(title)}</h2>\n' + fn(view, out).html
                    + "</section>")
    nav = " ".join(f'<a href="#{a}">{esc(t)}</a>' for a, t, _ in sections)
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    page = f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>zorv run report: {esc(os.path.basename(view.run_dir))}</title>
<style>{CSS}</style>
</head>
<body>
<header><h1>zorv run report</h1>
<p>{esc(view.run_dir)} · {esc(state_words(view))} · {esc(records_words(view))} · made {esc(stamp)}</p></header>
<nav>{nav}</nav>
<main>
{banner(view)}
{chr(10).join(body)}
</main>
</body>
</html>
"""
    index = out.path("index.html")
    tmp = index + TEMPORARY_SUFFIX
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(page)
    os.replace(tmp, index)
    return index


def build(run_dir: str, out_dir: Optional[str] = None, examples: int = 12,
          say: Optional[Callable[[str], None]] = None) -> str:
    """Writes the report of the run in `run_dir`; returns the path of its
    index.html."""
    if say is None:
        def say(msg: str) -> None:
            print(msg, file=sys.stderr, flush=True)
    view = read_view(run_dir, say)
    out = Output(os.path.abspath(out_dir or os.path.join(view.run_dir, "report")), examples, say)
    return write_page(view, out)


# Example events at most: each is a figure of its own, and a report is read by
# a person.
MAX_EXAMPLES = 100


def _count(most: Optional[int] = None) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < 0 or (most is not None and value > most):
            raise argparse.ArgumentTypeError(
                f"{value} is out of range (0 to {most})" if most is not None else f"{value} is negative")
        return value
    return parse


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command line: writes the report and prints the path of its page.
    Returns 0, 1 after one "Error: " line on standard error when the run
    folder cannot be described or the report cannot be written, or 2 for a
    bad command line."""
    prog = "zorv-report" if os.path.basename(sys.argv[0]) == "zorv-report" else "python3 -m zorv.report"
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Writes RUN_DIR/report/index.html: a page with the run's calibration, spectra, "
                    "fit quality and example events, figures beside it.")
    parser.add_argument("run_dir", metavar="RUN_DIR", help="the folder zorv_mpi ran in")
    parser.add_argument("--out", help="output folder (default RUN_DIR/report)")
    parser.add_argument("--events", type=_count(MAX_EXAMPLES), default=12,
                        help=f"example events to show, 0 to {MAX_EXAMPLES} (12)")
    args = parser.parse_args(argv)
    try:
        index = build(args.run_dir, args.out, args.events)
    except (ReportError, ValueError, OSError) as e:
        print(f"Error: {describe(e)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("Error: interrupted; the report is not complete", file=sys.stderr)
        return 1
    print(index)
    return 0

