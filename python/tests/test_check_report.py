"""The browser check itself: it must pass a clean page and catch a broken
image, a console error, an uncaught exception, a link to a file or a section
that is not there, and an element expected that shows nothing."""

import base64
import subprocess
import sys

import pytest

from conftest import ROOT

SCRIPT = ROOT / "scripts" / "check_report.py"
# A 1 x 1 PNG.
PIXEL = base64.b64decode("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==")


def check(tmp_path, body, *options):
    (tmp_path / "ok.png").write_bytes(PIXEL)
    (tmp_path / "ok.csv").write_text("x,y\n1,2\n")
    page = tmp_path / "index.html"
    page.write_text(f"<!DOCTYPE html><html><head><meta charset='utf-8'><title>t</title></head>"
                    f"<body>{body}</body></html>")
    shot = tmp_path / "shot.png"
    out = subprocess.run([sys.executable, str(SCRIPT), str(page), str(shot), *options],
                         capture_output=True, text=True, timeout=120)
    return out.returncode, out.stdout, shot


def test_clean_page_passes_with_a_screenshot(tmp_path):
    status, out, shot = check(tmp_path, "<h1>Fine</h1><img src='ok.png' alt='dot'>")
    assert status == 0, out
    assert "1 images loaded" in out
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_broken_page_fails(tmp_path):
    status, out, _ = check(tmp_path, "<img src='ok.png' alt='dot'><img src='gone.png' alt='x'>"
                                     "<script>console.error('boom'); undefinedFunction();</script>")
    assert status == 1, out
    assert "image did not load: gone.png" in out
    assert "console error: boom" in out
    assert "uncaught exception" in out and "undefinedFunction" in out


# (page body, options, problems the check must name; none: the page passes)
LINKS = {
    "links that resolve": ("<nav><a href='#s'>S</a></nav><section id='s'><p>text</p>"
                           "<a href='ok.csv'>numbers</a></section>", ["--expect", "#s p"], []),
    "a figure's CSV not there": ("<a href='ok.csv'>a</a><a href='gone.csv'>b</a>", [],
                                 ["link to a file that is not there: gone.csv"]),
    "a section not there, one empty": ("<a href='#nowhere'>a</a><a href='#e'>b</a><section id='e'>"
                                       "</section>", [],
                                       ["link to nothing shown on the page: #nowhere",
                                        "link to nothing shown on the page: #e"]),
    "expected, not there": ("<section id='timing'><p>t</p></section>",
                            ["--expect", "#timing p", "--expect", "#quality img"],
                            ["nothing shown for #quality img"]),
}


@pytest.mark.parametrize("body, options, problems", LINKS.values(), ids=LINKS.keys())
def test_links_and_expected_sections(tmp_path, body, options, problems):
    status, out, _ = check(tmp_path, body, *options)
    assert status == (1 if problems else 0), out
    for p in problems:
        assert p in out
    assert out.count("\n  ") == len(problems)
