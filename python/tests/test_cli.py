"""--help and --version of the Python commands: status 0, answered before
numpy is needed; the version is the package's."""

import contextlib
import io
import subprocess
import sys

import pytest

from conftest import ROOT
from zorv import __version__, cli

# A Python that cannot import numpy, as in test_package.py.
RUN = ("import sys, runpy; sys.modules['numpy'] = None; sys.path.insert(0, {path!r}); "
       "sys.argv = {argv!r}; runpy.run_module({module!r}, run_name='__main__', alter_sys=True)")


@pytest.mark.parametrize("module, args, status, first", [
    ("zorv", ["--help"], 0, "Usage: python3 -m zorv COMMAND [ARGUMENT...]"),
    ("zorv", ["-h"], 0, "Usage: python3 -m zorv COMMAND [ARGUMENT...]"),
    ("zorv", ["--version"], 0, f"zorv {__version__}"),
    ("zorv.report", ["--help"], 0, "Usage: python3 -m zorv.report [--out DIR] [--events N] RUN_DIR"),
    ("zorv.report", ["run", "--events", "3", "-h"], 0,
     "Usage: python3 -m zorv.report [--out DIR] [--events N] RUN_DIR"),
    ("zorv.report", ["--version"], 0, f"zorv-report {__version__}"),
    ("zorv.report", ["--", "--version"], 1, "Error: zorv needs numpy and matplotlib"),
])
def test_help_and_version_answer_without_numpy(tmp_path, module, args, status, first):
    code = RUN.format(path=str(ROOT / "python"), argv=[module] + args, module=module)
    out = subprocess.run([sys.executable, "-I", "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == status, out.stderr
    assert (out.stdout + out.stderr).splitlines()[0].startswith(first)
    assert list(tmp_path.iterdir()) == []


def test_zorv_report_names_itself_and_the_version_is_the_packages(monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["/venv/bin/zorv-report", "--help"])
    assert cli.report() == 0
    assert capsys.readouterr().out.startswith("Usage: zorv-report [--out DIR]")
    tomllib = pytest.importorskip("tomllib")
    with open(ROOT / "python" / "pyproject.toml", "rb") as f:
        assert tomllib.load(f)["project"]["version"] == __version__


def test_the_help_names_every_option_of_the_report():
    from zorv import report
    text = io.StringIO()
    with contextlib.redirect_stdout(text), pytest.raises(SystemExit):
        report.main(["--help"])
    options = {word.rstrip(",") for word in text.getvalue().split() if word.startswith("--")}
    assert options and all(o in cli.REPORT_HELP for o in options), options
