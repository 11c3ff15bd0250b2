#!/usr/bin/env python3
"""Renders a page in headless Chromium and fails on anything a reader would
see broken: a console error or warning of level error, an uncaught script
exception, a resource that failed to load, an image that did not load, a
link to a file beside the page (a figure's CSV) that is not there, or a link
within the page (the report's navigation to its sections) to nothing or to
an element that shows nothing. Saves a screenshot of the whole page.

Usage: scripts/check_report.py PAGE.html SCREENSHOT.png [--width 1280]
       [--clip SELECTOR OUT.png]... [--expect SELECTOR]...

--expect fails the page unless SELECTOR matches an element that shows
something (a box of some height).

Chromium (Debian's chromium) is driven through the DevTools protocol over a
pipe (--remote-debugging-pipe: JSON messages ended by NUL bytes on file
descriptors 3 and 4), so nothing but the standard library is needed and no
port is opened. It runs with a fresh profile and without any network
activity of its own. Exit status 0 when the page is clean, 1 with the
problems listed otherwise, 2 when Chromium could not be run.
"""

import argparse
import base64
import fcntl
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--hide-scrollbars", "--remote-debugging-pipe",
]
TIMEOUT = 60.0


class Browser:
    def __init__(self, executable, profile):
        self.to_browser_r, self.to_browser_w = os.pipe()
        self.from_browser_r, self.from_browser_w = os.pipe()
        # Chromium reads commands from fd 3 and writes answers to fd 4. The
        # child's copies are made there after the fork; file descriptors
        # are left open for that (subprocess would otherwise close 3 and 4
        # after preexec_fn), and the pipe ends first move above 9 so that
        # neither dup2 clobbers the other.
        for name in ("to_browser_r", "from_browser_w"):
            fd = getattr(self, name)
            setattr(self, name, fcntl.fcntl(fd, fcntl.F_DUPFD, 10))
            os.close(fd)

        def child_fds():
            os.dup2(self.to_browser_r, 3)
            os.dup2(self.from_browser_w, 4)
        self.proc = subprocess.Popen(
            [executable, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=child_fds, close_fds=False)
        os.close(self.to_browser_r)
        os.close(self.from_browser_w)
        self.reader = os.fdopen(self.from_browser_r, "rb", buffering=0)
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def send(self, method, params=None, session=None):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        os.write(self.to_browser_w, json.dumps(msg).encode() + b"\0")
        return self.wait(lambda m: m.get("id") == self.next_id)

    def wait(self, match, deadline=None):
        """Reads messages until one matches; events read meanwhile are kept."""
        deadline = deadline or time.monotonic() + TIMEOUT
        for m in self.events:
            if match(m):
                self.events.remove(m)
                return m
        while time.monotonic() < deadline:
            while b"\0" not in self.buffer:
                chunk = self.reader.read(1 << 16)
                if not chunk:
                    raise RuntimeError("Chromium closed the DevTools pipe")
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b"\0", 1)
            m = json.loads(raw)
            if "error" in m and "id" in m and match(m):
                raise RuntimeError(f"DevTools error: {m['error']}")
            if match(m):
                return m
            self.events.append(m)
        raise TimeoutError("no answer from Chromium")

    def close(self):
        try:
            self.send("Browser.close")
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()  # our own child, by its handle
            self.proc.wait()
        os.close(self.to_browser_w)
        self.reader.close()


IMAGE_CHECK = """(() => Array.from(document.images)
  .filter(img => !(img.complete && img.naturalWidth > 0))
  .map(img => img.getAttribute('src')))()"""


# Every link of the page: its href as written, where it leads, and for a link
# within the page whether its target is there and shows something.
LINK_CHECK = """(() => Array.from(document.querySelectorAll('a[href]')).map(a => {
  const href = a.getAttribute('href');
  let shown = null;
  if (href.startsWith('#')) {
    const el = document.getElementById(decodeURIComponent(href.slice(1)));
    shown = el ? el.getBoundingClientRect().height > 0 : false;
  }
  return [href, a.href, shown];
}))()"""


def expect_check(selector):
    return (f"(() => {{ const el = document.querySelector({json.dumps(selector)}); "
            "return !!el && el.getBoundingClientRect().height > 0; })()")


def link_problems(links):
    """What is wrong with the page's links ([href, resolved URL, target
    shown] each): a file link to no file, an in-page link to nothing."""
    problems = []
    for href, url, shown in links:
        if href.startswith("#"):
            if not shown:
                problems.append(f"link to nothing shown on the page: {href}")
            continue
        parts = urllib.parse.urlsplit(url)
        if parts.scheme == "file" and not os.path.isfile(urllib.parse.unquote(parts.path)):
            problems.append(f"link to a file that is not there: {href}")
    return problems


def check(page, screenshot, width, clips, expect=()):
    executable = shutil.which("chromium") or shutil.which("chromium-browser")
    if executable is None:
        print("check_report: chromium not found (Debian package chromium)")
        return 2
    url = pathlib.Path(page).resolve().as_uri()
    problems = []
    with tempfile.TemporaryDirectory(prefix="zorv-chromium-") as profile:
        browser = Browser(executable, profile)
        try:
            target = browser.send("Target.createTarget", {"url": "about:blank"})["result"]["targetId"]
            session = browser.send("Target.attachToTarget", {"targetId": target, "flatten": True})
            session = session["result"]["sessionId"]
            for domain in ("Page", "Runtime", "Log", "Network"):
                browser.send(f"{domain}.enable", session=session)
            browser.send("Emulation.setDeviceMetricsOverride",
                         {"width": width, "height": 900, "deviceScaleFactor": 1, "mobile": False},
                         session=session)
            browser.send("Page.navigate", {"url": url}, session=session)
            browser.wait(lambda m: m.get("method") == "Page.loadEventFired")
            images = browser.send("Runtime.evaluate", {"expression": IMAGE_CHECK, "returnByValue": True},
                                  session=session)["result"]["result"]["value"]
            count = browser.send("Runtime.evaluate", {"expression": "document.images.length",
                                                      "returnByValue": True},
                                 session=session)["result"]["result"]["value"]
            for src in images:
                problems.append(f"image did not load: {src}")
            links = browser.send("Runtime.evaluate", {"expression": LINK_CHECK, "returnByValue": True},
                                 session=session)["result"]["result"]["value"]
            problems += link_problems(links)
            for selector in expect:
                found = browser.send("Runtime.evaluate", {"expression": expect_check(selector),
                                                          "returnByValue": True},
                                     session=session)["result"]["result"]["value"]
                if not found:
                    problems.append(f"nothing shown for {selector}")
            for m in browser.events:
                method, params = m.get("method"), m.get("params", {})
                if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                    text = " ".join(str(a.get("value", a.get("description", ""))) for a in params.get("args", []))
                    problems.append(f"console {params['type']}: {text}")
                elif method == "Runtime.exceptionThrown":
                    d = params.get("exceptionDetails", {})
                    problems.append(f"uncaught exception: {d.get('exception', {}).get('description', d.get('text'))}")
                elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                    e = params["entry"]
                    problems.append(f"console error ({e.get('source')}): {e.get('text')} {e.get('url', '')}".rstrip())
                elif method == "Network.loadingFailed":
                    problems.append(f"failed to load: {params.get('errorText')}")
            # The whole page in one picture.
            metrics = browser.send("Page.getLayoutMetrics", session=session)["result"]
            height = int(metrics["cssContentSize"]["height"])
            shot = browser.send("Page.captureScreenshot",
                                {"format": "png", "captureBeyondViewport": True,
                                 "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}},
                                session=session)
            pathlib.Path(screenshot).write_bytes(base64.b64decode(shot["result"]["data"]))
            for selector, out in clips:
                box = browser.send("Runtime.evaluate", {
                    "expression": f"(() => {{ const r = document.querySelector({json.dumps(selector)})"
                                  ".getBoundingClientRect(); return [r.x + scrollX, r.y + scrollY, "
                                  "r.width, r.height]; })()", "returnByValue": True},
                    session=session)["result"]["result"]["value"]
                shot = browser.send("Page.captureScreenshot",
                                    {"format": "png", "captureBeyondViewport": True,
                                     "clip": {"x": box[0], "y": box[1], "width": box[2],
                                              "height": box[3], "scale": 1}}, session=session)
                pathlib.Path(out).write_bytes(base64.b64decode(shot["result"]["data"]))
        except (RuntimeError, TimeoutError, KeyError) as e:
            print(f"check_report: {e}")
            browser.close()
            return 2
        browser.close()
    if problems:
        print(f"check_report: {page}: {len(problems)} problem(s)")
        for p in problems:
            print(f"  {p}")
        return 1
    print(f"check_report: {page}: {count} images loaded, {len(links)} links resolve, no console "
          f"error; screenshot {screenshot} ({width} x {height} px)")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("page")
    parser.add_argument("screenshot")
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--clip", nargs=2, action="append", default=[], metavar=("SELECTOR", "OUT"),
                        help="also save the element matching SELECTOR as OUT")
    parser.add_argument("--expect", action="append", default=[], metavar="SELECTOR",
                        help="fail unless SELECTOR matches an element that shows something")
    args = parser.parse_args()
    if not os.path.exists(args.page):
        print(f"check_report: {args.page} not found")
        return 2
    return check(args.page, args.screenshot, args.width, args.clip, args.expect)


if __name__ == "__main__":
    sys.exit(main())
