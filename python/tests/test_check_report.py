"""The browser check itself: it must pass a clean page and catch a broken
image, a console error and an uncaught exception."""

import base64
import subprocess
import sys

from conftest import ROOT

SCRIPT = ROOT / "scripts" / "check_report.py"
# A 1 x 1 PNG.
PIXEL = base64.b64decode("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==")


def check(tmp_path, body):
    (tmp_path / "ok.png").write_bytes(PIXEL)
    page = tmp_path / "index.html"
    page.write_text(f"<!DOCTYPE html><html><head><meta charset='utf-8'><title>t</title></head>"
                    f"<body>{body}</body></html>")
    shot = tmp_path / "shot.png"
    out = subprocess.run([sys.executable, str(SCRIPT), str(page), str(shot)], capture_output=True,
                         text=True, timeout=120)
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
