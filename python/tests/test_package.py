"""The package as a user gets it: installed by pip, without a registry, into
a fresh virtual environment on this Python's site packages, and used from
outside the checkout; and its commands on a Python without numpy or
matplotlib."""

import os
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT
from test_report_inputs import make_run

NEEDS = ("Error: zorv needs numpy and matplotlib ({} not found): pip install numpy matplotlib, "
         "or apt install python3-numpy python3-matplotlib")


def test_pip_install_and_the_zorv_report_command(tmp_path):
    # pip builds in the source folder: a copy keeps the checkout clean.
    source = tmp_path / "source"
    shutil.copytree(ROOT / "python", source,
                    ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True,
                   timeout=300)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    pip = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "--no-index",
                          "--no-build-isolation", str(source)],
                         env=env, capture_output=True, text=True, timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    assert "Successfully installed zorv-0.1.0" in pip.stdout

    # From a folder outside the checkout: the installed package, not the source.
    run_dir = tmp_path / "run"
    run_dir.mkdir()
    make_run(run_dir)
    imported = subprocess.run([str(venv / "bin" / "python"), "-c",
                               "import zorv; print(zorv.__file__); print(len(zorv.read_results('ab0.bin')))"],
                              cwd=run_dir, env=env, capture_output=True, text=True, timeout=120)
    assert imported.returncode == 0, imported.stderr
    where, records = imported.stdout.split()
    assert where.startswith(str(venv)) and records == "1000"

    report = subprocess.run([str(venv / "bin" / "zorv-report"), "--events", "2", str(run_dir)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert report.returncode == 0, report.stderr
    assert report.stdout.strip() == str(run_dir / "report" / "index.html")
    assert "· finished · 1,000 events fitted in both channels ·" in (run_dir / "report" / "index.html").read_text()


# A Python without the module: `sys.modules[name] = None` makes importing it
# fail as if it were not installed; -I keeps the environment out.
WITHOUT = ("import sys, runpy; sys.modules[{module!r}] = None; sys.path.insert(0, {path!r}); "
           "sys.argv = {argv!r}; {run}")


@pytest.mark.parametrize("module, argv, run", [
    ("numpy", ["zorv.report", "."], "runpy.run_module('zorv.report', run_name='__main__', alter_sys=True)"),
    ("matplotlib", ["zorv.report", "."], "runpy.run_module('zorv.report', run_name='__main__', alter_sys=True)"),
    ("numpy", ["zorv-report", "."], "from zorv.cli import report; sys.exit(report())"),
    ("numpy", ["zorv", "show", "ab0.bin"], "runpy.run_module('zorv', run_name='__main__', alter_sys=True)"),
], ids=["python3 -m zorv.report", "without matplotlib", "zorv-report", "python3 -m zorv show"])
def test_without_numpy_or_matplotlib_one_line_says_what_to_install(tmp_path, module, argv, run):
    code = WITHOUT.format(module=module, path=str(ROOT / "python"), argv=argv, run=run)
    out = subprocess.run([sys.executable, "-I", "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 1
    # Without numpy, matplotlib (which needs it) cannot be imported either.
    missing = "matplotlib" if module == "matplotlib" else "numpy and matplotlib"
    assert (out.stdout + out.stderr).splitlines() == [NEEDS.format(missing)]


def test_the_library_without_numpy_names_what_to_install():
    code = ("import sys; sys.modules['numpy'] = None; sys.path.insert(0, %r); import zorv\n"
            "try:\n    zorv.read_results\nexcept ImportError as e:\n    print(e)" % str(ROOT / "python"))
    out = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == NEEDS.format("numpy")[len("Error: "):]
