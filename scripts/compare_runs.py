"""Compares a zorv_mpi run that was interrupted and resumed with one that
ran straight through:

    compare_runs.py REFERENCE_DIR REFERENCE_CONSOLE RUN_DIR RUN_CONSOLE

The events are compared as a multiset of (ab0 record, ab1 record, decay0
line, decay1 line, events.txt line), because the order in which results
arrive varies from run to run; on the way, each run's five outputs must hold
whole, aligned events (record i of both result files and line i of both
decay lists and of events.txt belong to one event, whose decay rate the
decay line repeats). A reference without events.txt (from a zorv_mpi older
than it) leaves it out of both runs' events. The decay histograms, the
calibrated decay rates and the summary line must be identical; the run's
console, which holds all its starts one after the other, must have one
summary line, and every start that took the calibration from the checkpoint
must name the calibrated rates. Prints what differs; exit status 0 when all
agrees, 1 otherwise.
"""

import collections
import os
import struct
import sys

RECORD = 72         # 9 little-endian doubles
DECAY_OFFSET = 16   # the decay rate, the third double
RESUMED = "(calibrated before the interruption)"


def events(directory, problems, with_sources):
    """The run's events as a Counter of tuples, with the line of events.txt
    when `with_sources`; alignment faults are added to `problems`."""
    ab = [open(f"{directory}/ab{c}.bin", "rb").read() for c in (0, 1)]
    lists = [f"decay{c}.txt" for c in (0, 1)] + (["events.txt"] if with_sources else [])
    texts = []
    for name in lists:
        try:
            texts.append(open(f"{directory}/{name}").read())
        except OSError as e:
            problems.append(f"{directory}: cannot read {name} ({e.strerror})")
            return collections.Counter()
    for name, text in zip(lists, texts):
        if text and not text.endswith("\n"):
            problems.append(f"{directory}: {name} ends inside a line")
    texts = [text.splitlines() for text in texts]
    decay, sources = texts[:2], texts[2] if with_sources else None
    n = len(ab[0]) // RECORD
    sizes = {len(ab[0]), len(ab[1])} | {len(lines) * RECORD for lines in texts}
    if len(sizes) != 1 or len(ab[0]) % RECORD:
        problems.append(f"{directory}: outputs not aligned: ab0 {len(ab[0])} bytes, "
                        f"ab1 {len(ab[1])} bytes, "
                        + ", ".join(f"{name} {len(lines)} lines" for name, lines in zip(lists, texts)))
        return collections.Counter()
    found = collections.Counter()
    for i in range(n):
        records = [a[RECORD * i:RECORD * (i + 1)] for a in ab]
        for c in (0, 1):
            rate = struct.unpack_from("<d", records[c], DECAY_OFFSET)[0]
            if decay[c][i] != f"{rate:.12f}":
                problems.append(f"{directory}: decay{c}.txt line {i + 1} is {decay[c][i]}, "
                                f"its record says {rate:.12f}")
                break
        found[(records[0], records[1], decay[0][i], decay[1][i])
              + ((sources[i],) if with_sources else ())] += 1
    return found


def console_lines(path, prefix):
    text = open(path, errors="replace").read().replace("\r", "\n")
    return [line for line in text.split("\n") if line.startswith(prefix)]


def main(reference, reference_console, run, run_console):
    problems = []
    with_sources = os.path.exists(f"{reference}/events.txt")
    want, got = events(reference, problems, with_sources), events(run, problems, with_sources)
    if want != got:
        problems.append(f"events differ: {sum((want - got).values())} of the reference's "
                        f"{sum(want.values())} missing, {sum((got - want).values())} of the "
                        f"run's {sum(got.values())} not in the reference")
    for name in ("decay_hist0.txt", "decay_hist1.txt"):
        if open(f"{reference}/{name}", "rb").read() != open(f"{run}/{name}", "rb").read():
            problems.append(f"{name} differs")

    calibrated = console_lines(reference_console, "Channel ")
    fitted = [line for line in console_lines(run_console, "Channel ") if RESUMED not in line]
    if fitted != calibrated:
        problems.append(f"calibrated decay rates differ: {fitted} instead of {calibrated}")
    # Each channel's rate is the last one the calibration printed for it.
    final = {}
    for line in calibrated:
        final[line.split()[1]] = line.split()[3]
    for line in console_lines(run_console, "Channel "):
        if RESUMED in line and line.split()[3] != final.get(line.split()[1]):
            problems.append(f"taken from the checkpoint: '{line}', calibrated: {final}")

    summary = console_lines(reference_console, "Good waveforms: ")
    if console_lines(run_console, "Good waveforms: ") != summary:
        problems.append(f"summary lines {console_lines(run_console, 'Good waveforms: ')} "
                        f"instead of {summary}")

    for p in problems:
        print(f"  differs: {p}")
    if not problems:
        print(f"  same results: {sum(got.values())} events (as a multiset"
              f"{', with events.txt' if with_sources else ''}), decay histograms, "
              f"calibrated decay rates, '{summary[0]}'")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
