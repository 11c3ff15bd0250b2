"""examples/analysis.ipynb runs from top to bottom on a small run made here
(jupyter nbconvert --execute, with ZORV_RUN naming the run): no cell fails,
every picture is drawn, the cut and the events picked through events.txt
are the run's, and the HDF5 export holds every event."""

import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

from conftest import ROOT
from test_report import HEADER, INI, MPI_ENV, mpiexec, write_session
from zorv import files

NOTEBOOK = ROOT / "examples" / "analysis.ipynb"
WAVEFORMS = 60


def nbconvert():
    found = shutil.which("jupyter")
    if found is None or subprocess.run([found, "nbconvert", "--version"], capture_output=True).returncode:
        return None
    return [found, "nbconvert"]


@pytest.fixture(scope="module")
def executed(build_dir, tmp_path_factory):
    command = nbconvert()
    if command is None:
        pytest.skip("jupyter nbconvert is not installed (scripts/install_deps.sh)")
    run_dir = tmp_path_factory.mktemp("nbrun")
    rng = np.random.default_rng(21)
    write_session(run_dir / "zorv.1", rng, WAVEFORMS)
    write_session(run_dir / "zorv.2", rng, WAVEFORMS, [7], [20])
    (run_dir / "zorv_mpi.ini").write_text(INI.format(w=WAVEFORMS, h=HEADER))
    shutil.copy(ROOT / "examples" / "win.txt", run_dir / "win.txt")
    mpi = subprocess.run(mpiexec(build_dir), cwd=run_dir, env=MPI_ENV, capture_output=True,
                         text=True, timeout=120)
    assert mpi.returncode == 0, mpi.stdout + mpi.stderr
    out = run_dir / "executed.ipynb"
    done = subprocess.run([*command, "--to", "notebook", "--execute", str(NOTEBOOK), "--output",
                           str(out)], env=dict(os.environ, ZORV_RUN=str(run_dir)),
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    return run_dir, json.loads(out.read_text())


def outputs(notebook, kind):
    return [o for c in notebook["cells"] if c["cell_type"] == "code" for o in c["outputs"]
            if o["output_type"] == kind or kind in o.get("data", {})]


def text(notebook):
    return "".join("".join(o["text"]) for o in outputs(notebook, "stream"))


def test_notebook_runs_and_draws_every_picture(executed):
    _, nb = executed
    assert not outputs(nb, "error")
    # spectrum, fit quality with the cut spectrum, timing, an event
    assert len(outputs(nb, "image/png")) == 4


def test_notebook_reads_the_run(executed):
    run_dir, nb = executed
    said = text(nb)
    records = len(files.read_results(run_dir / "ab0.bin"))
    assert f"{records:,} events" in said
    # The first five lines of events.txt, found in the table.
    listed = files.read_events(run_dir / "events.txt")[:5]
    picked = re.findall(r"session (\d+) record (\d+): amplitude A", said)
    assert sorted((int(s), int(r)) for s, r in picked) == sorted(map(tuple, listed.tolist()))
    assert re.search(r"; 0 of [\d,]+ events cut", said)
    assert re.search(rf"run\.h5 \['decay_hist0', 'decay_hist1', 'events'\] \({records},\)", said)
