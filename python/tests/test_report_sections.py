"""The report's sections stand alone: each is drawn from the run's view and
nothing else, so one alone in a folder of its own (drawn first, on a fresh
view) or in reverse order, a section gives the HTML and the figures it gives
in the page's order."""

import os

from test_report_inputs import make_run
from zorv import page, report, runview


def draw(run_dir, sections, out_dir):
    out_dir.mkdir()
    view, out = runview.read_view(run_dir), page.Output(str(out_dir), examples=3)
    return {anchor: fn(view, out) for anchor, _, fn in sections}


def test_sections_alone_or_in_any_order(tmp_path):
    run_dir = tmp_path / "run-folder"
    run_dir.mkdir()
    make_run(run_dir)
    # Last section first: one that needs what an earlier one leaves behind
    # finds nothing.
    alone = {s[0]: draw(run_dir, [s], tmp_path / s[0])[s[0]] for s in report.SECTIONS[::-1]}
    in_order = draw(run_dir, report.SECTIONS, tmp_path / "in-order")
    assert draw(run_dir, report.SECTIONS[::-1], tmp_path / "reversed") == in_order
    assert alone == in_order
    for anchor, part in alone.items():
        assert sorted(os.listdir(tmp_path / anchor)) == sorted(part.figures), anchor
        for name in part.figures:
            assert (tmp_path / anchor / name).read_bytes() == \
                (tmp_path / "in-order" / name).read_bytes(), name
    assert "event_03.png" in in_order["events"].figures
