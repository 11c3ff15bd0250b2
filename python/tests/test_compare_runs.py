"""scripts/compare_runs.py, the judge of scripts/slurm_check.sh and
scripts/cluster_check.sh: the same events in another order pass; a changed,
missing or misaligned event (events.txt included), a different histogram,
calibration or summary fails."""

import importlib.util
import struct

import pytest

from conftest import ROOT

# scripts/ is not a package: the script is loaded from its file.
_location = importlib.util.spec_from_file_location("compare_runs", ROOT / "scripts" / "compare_runs.py")
compare_runs = importlib.util.module_from_spec(_location)
_location.loader.exec_module(compare_runs)

SUMMARY = "Good waveforms: 99.97% 99.93%, All 99.90%\n"
CALIBRATION = ("Channel 0 decay: -0.0014999701    (maximum)\n"
               "Channel 0 decay: -0.0014999727    (parabolic)\n"
               "Channel 1 decay: -0.0014998506    (parabolic)\n")


def write_run(directory, rates, console):
    """A run whose event i has the decay rates rates[i] on both channels and
    a raw event of its own in events.txt."""
    directory.mkdir()
    for c in (0, 1):
        records = [struct.pack("<9d", 1.0 + c, 2.0, r, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0) for r in rates]
        (directory / f"ab{c}.bin").write_bytes(b"".join(records))
        (directory / f"decay{c}.txt").write_text("".join(f"{r:.12f}\n" for r in rates))
        (directory / f"decay_hist{c}.txt").write_text("-0.0015000000 3\n")
    (directory / "events.txt").write_text("".join(f"2 {round(-r * 1e5)}\n" for r in rates))
    (directory / "console.txt").write_text(console)


RESUMED = ("Channel 0 decay: -0.0014999727    (calibrated before the interruption)\n"
           "Channel 1 decay: -0.0014998506    (calibrated before the interruption)\n")


def truncate_ab1(d):
    path = d / "ab1.bin"
    path.write_bytes(path.read_bytes()[:-72])


def misalign(name):
    def spoil(d):
        lines = (d / name).read_text().splitlines(keepends=True)
        (d / name).write_text("".join(lines[1:] + lines[:1]))
    return spoil


misalign_events = misalign("events.txt")


def remove_events(d):
    (d / "events.txt").unlink()


@pytest.mark.parametrize("rates, console, spoil, same", [
    # Another order, the calibration spread over the starts of the run.
    ([-0.0016, -0.0015, -0.0014], CALIBRATION + "x\r" + RESUMED + SUMMARY, None, True),
    ([-0.0014, -0.0015, -0.00161], CALIBRATION + SUMMARY, None, False),
    ([-0.0014, -0.0015], CALIBRATION + SUMMARY, None, False),
    ([-0.0014, -0.0015, -0.0016], CALIBRATION + SUMMARY, truncate_ab1, False),
    ([-0.0014, -0.0015, -0.0016], CALIBRATION + SUMMARY, misalign("decay0.txt"), False),
    ([-0.0014, -0.0015, -0.0016], CALIBRATION + SUMMARY, misalign_events, False),
    ([-0.0014, -0.0015, -0.0016], CALIBRATION + SUMMARY, remove_events, False),
    ([-0.0014, -0.0015, -0.0016], CALIBRATION + SUMMARY,
     lambda d: (d / "decay_hist1.txt").write_text("-0.0015000000 2\n"), False),
    ([-0.0014, -0.0015, -0.0016], CALIBRATION.replace("9727", "9728") + SUMMARY, None, False),
    ([-0.0014, -0.0015, -0.0016], CALIBRATION + RESUMED.replace("8506", "8505") + SUMMARY, None, False),
    ([-0.0014, -0.0015, -0.0016], CALIBRATION + SUMMARY + SUMMARY, None, False),
    ([-0.0014, -0.0015, -0.0016], CALIBRATION + SUMMARY.replace("90", "89"), None, False),
], ids=["reordered", "changed", "missing", "ab1 short", "decay0 misaligned",
        "events.txt misaligned", "no events.txt", "histogram",
        "calibration", "rate taken from the checkpoint", "two summaries", "summary"])
@pytest.mark.parametrize("old_reference", [False, True], ids=["", "reference without events.txt"])
def test_runs_compared(tmp_path, capsys, rates, console, spoil, same, old_reference):
    write_run(tmp_path / "whole", [-0.0014, -0.0015, -0.0016], CALIBRATION + SUMMARY)
    write_run(tmp_path / "run", rates, console)
    if spoil:
        spoil(tmp_path / "run")
    # A reference from before events.txt: the events are compared without it.
    if old_reference:
        (tmp_path / "whole" / "events.txt").unlink()
        if spoil in (misalign_events, remove_events):
            same = True
    status = compare_runs.main(tmp_path / "whole", tmp_path / "whole" / "console.txt",
                               tmp_path / "run", tmp_path / "run" / "console.txt")
    out = capsys.readouterr().out
    assert status == (0 if same else 1), out
    assert ("same results: 3 events" in out) == same
