"""python3 -m zorv: a look at zorv_mpi's files from the command line.

    python3 -m zorv report RUN_DIR      the web-page report (as python3 -m zorv.report)
    python3 -m zorv show FILE...        what a result file, decay list, decay histogram,
                                        configuration, events.txt or run summary holds
    python3 -m zorv export RUN_DIR OUT  the run's events as one table, OUT.h5 or OUT.csv
    python3 -m zorv --help, --version
"""

import os
import sys
from typing import List

from . import cli

# The export's formats by the output's extension.
EXPORTS = {".h5": "HDF5", ".hdf5": "HDF5", ".csv": "CSV"}


def export(run_dir: str, out: str) -> None:
    """Writes the table of the run in `run_dir` (zorv.open_run) to `out`,
    in the format its extension names (`EXPORTS`)."""
    from .run import open_run

    run = open_run(run_dir)
    kind = EXPORTS[os.path.splitext(out)[1].lower()]
    if kind == "HDF5":
        run.to_hdf5(out)
    else:
        run.to_csv(out)
    left = " (a running run: the records all its files hold so far)" if run.partial else ""
    print(f"{out}: {len(run):,} events of the {run.phase or 'unknown'} phase, "
          f"{len(run.fields)} fields{left}")


def show(path: str) -> None:
    import numpy as np

    from . import files
    from .analysis import calibration_estimates

    name = os.path.basename(path)
    if name.endswith(".bin"):
        precision = name.endswith(".err.bin")
        rec = files.read_precision(path) if precision else files.read_results(path)
        print(f"{path}: {len(rec):,} {'precision' if precision else 'result'} records")
        if len(rec):
            print(f"  {'field':<19}{'mean':>16}{'sd':>14}{'min':>16}{'max':>16}")
            for f in rec.dtype.names:
                v = rec[f]
                print(f"  {f:<19}{np.mean(v):>16.8g}{np.std(v):>14.6g}{np.min(v):>16.8g}{np.max(v):>16.8g}")
    elif name.startswith("decay_hist"):
        h = files.read_decay_hist(path)
        fullest = calibration_estimates(h)[0]
        print(f"{path}: {len(h)} bins from {h['centre'][0]:.10f} to {h['centre'][-1]:.10f}, "
              f"{int(h['count'].sum()):,} values, fullest inner bin {fullest} at "
              f"{h['centre'][fullest]:.10f}")
    elif name.startswith("decay"):
        d = files.read_decay_list(path)
        print(f"{path}: {len(d):,} decay rates, mean {np.mean(d):.10f}, sd {np.std(d):.3g}")
    elif name.endswith(".ini"):
        for k, v in files.read_config(path).items():
            print(f"{k} = {v!r}")
    elif name == files.EVENTS_NAME:
        ev = files.read_events(path)
        known = ev[~files.unknown_events(ev)]
        sessions = ", ".join(f"{s} ({n:,})" for s, n in zip(*np.unique(known["session"], return_counts=True)))
        print(f"{path}: the raw events of {len(ev):,} records, {len(ev) - len(known):,} not known; "
              f"records per session: {sessions or 'none'}")
    elif name.endswith(".json"):
        s = files.read_summary(path)
        print(f"{path}: {s['status']}{' by ' + s['stopped_by'] if 'stopped_by' in s else ''} in the "
              f"{s['phase']} phase; zorv_mpi {s['version']}, started {s['started']}, {s['ranks']} ranks")
        for key, p in s["phases"].items():
            print(f"  {key}: {p['state']}, {p['results']:,} of {p['events']:,} events, good {p['good']}, "
                  f"both {p['both_good']:,}, {p['seconds']:.1f} s")
            for c, counts in enumerate(p["outcomes"]):
                print(f"    channel {'AB'[c]}: " + ", ".join(f"{k} {v:,}" for k, v in counts.items() if v))
        print(f"  decay rates: {s['decay_rates']}, events lost: {s['events_lost']}")
    else:
        raise ValueError(f"{path}: not a file of zorv_mpi that this command knows")


def main(argv: List[str]) -> int:
    if argv and argv[0] in ("-h", "--help"):
        print(cli.MAIN_HELP)
        return 0
    if argv and argv[0] == "--version":
        print(f"zorv {cli.__version__}")
        return 0
    if len(argv) >= 2 and argv[0] == "report":
        return cli.report(argv[1:])
    if len(argv) >= 2 and argv[0] == "show":
        if not cli.ready():
            return 1
        try:
            for path in argv[1:]:
                show(path)
        except (ValueError, OSError) as e:
            print(f"Error: {cli.describe(e)}", file=sys.stderr)
            return 1
        return 0
    if argv and argv[0] == "export":
        if len(argv) != 3:
            print("Usage: python3 -m zorv export RUN_DIR OUT (OUT ending in .h5 or .csv)",
                  file=sys.stderr)
            return 2
        extension = os.path.splitext(argv[2])[1]
        if extension.lower() not in EXPORTS:
            print(f"Error: {argv[2]}: the export writes .h5, .hdf5 or .csv files, not "
                  f"{extension or 'a file without an extension'}", file=sys.stderr)
            return 2
        if not cli.ready():
            return 1
        try:
            export(argv[1], argv[2])
        except (ValueError, OSError, ImportError) as e:
            print(f"Error: {cli.describe(e)}", file=sys.stderr)
            return 1
        return 0
    print((__doc__ or "").strip())
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
