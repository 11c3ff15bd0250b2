"""zorv.plot: every picture drawn on the Axes it is given (or a new one),
returned, with the numbers it was given to draw, from a run (zorv.open_run),
its events, a pair of result arrays or plain values alike."""

import types

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from matplotlib.collections import QuadMesh  # noqa: E402
from matplotlib.patches import StepPatch  # noqa: E402

from test_report import HEADER, write_session  # noqa: E402
import zorv  # noqa: E402
from zorv import files, model, plot, quality  # noqa: E402

N = 400
EVENTS = 6  # raw events in the run's one session


def records(rng, n):
    rec = np.zeros(n, dtype=files.RESULT_DTYPE)
    rec["ssr"] = 2500 * 50.0 ** 2 * (1 + 0.05 * rng.normal(size=n))
    rec["ssr"][:2] *= 400  # two broken fits, 20 times the noise
    rec["amplitude1"] = np.where(rng.uniform(size=n) < 0.5, 15330.0, 38236.0) * (
        1 + 0.003 * rng.normal(size=n))
    rec["decay_rate"] = -0.0015
    rec["baseline"] = -28000 + 150 * rng.normal(size=n)
    rec["position1"] = 1250 + 40 * rng.normal(size=n)
    rec["width"] = rng.uniform(1, 5, n)
    rec["position2"] = 1500.0
    rec["amplitude2"][5:9] = 9000.0
    rec["position2"][5:9] = rec["position1"][5:9] + 400
    return rec


INI = """abfile_path = "ab"
infile_path = "zorv"
waveforms = {n}
data_offset = {h}
cal_sessions = 0 0
sessions = 1 1
bcg_est = -27000 -27000
"""


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """A run folder of N records (result files, events.txt naming raw events
    of session 1 in shuffled order, a decay histogram, the first EVENTS raw
    events) opened by zorv.open_run; `pair` holds the records in file order."""
    folder = tmp_path_factory.mktemp("plotrun")
    rng = np.random.default_rng(4)
    a, b = records(rng, N), records(rng, N)
    for c, rec in enumerate((a, b)):
        (folder / f"ab{c}.bin").write_bytes(rec.tobytes())
    order = rng.permutation(N)
    (folder / "events.txt").write_text("".join(f"1 {k}\n" for k in order))
    (folder / "zorv_mpi.ini").write_text(INI.format(n=N, h=HEADER))
    write_session(folder / "zorv.1", rng, EVENTS)
    k = np.arange(250)
    counts = np.rint(200 * np.exp(-0.5 * ((k - 125) / 20.0) ** 2)).astype(int)
    (folder / "decay_hist0.txt").write_text(
        "".join("%.10f %d\n" % (-0.0016 + i * 8e-7, n) for i, n in zip(k, counts)))
    opened = zorv.open_run(folder)
    assert opened.events["record"].tolist() == list(range(N))
    return types.SimpleNamespace(run=opened, pair=(a, b), path=str(folder),
                                 row3=np.nonzero(order == 3)[0][0])


def steps(ax):
    return [p for p in ax.patches if isinstance(p, StepPatch)]


def check_spectrum(ax, run):
    (s,) = steps(ax)
    assert s.get_data().values.sum() == N
    assert ax.get_yscale() == "log"


def check_map(ax, run):
    (mesh,) = [c for c in ax.collections if isinstance(c, QuadMesh)]
    assert mesh.get_array().sum() == N


def check_width(ax, run):
    assert [s.get_data().values.sum() for s in steps(ax)] == [N, N]


def check_separation(ax, run):
    assert [s.get_data().values.sum() for s in steps(ax)] == [4, 4]


def check_quality(ax, run):
    (s,) = steps(ax)
    assert s.get_data().values.sum() == N
    rms = quality.rms_residual(run.pair[0]["ssr"])
    limits = [ln.get_xdata()[0] for ln in ax.lines]
    assert limits == [pytest.approx(5 * np.median(rms))]
    assert "2 flagged" in ax.get_legend().get_texts()[1].get_text()


def check_timing(ax, run):
    t = quality.timing(run.pair[0]["position1"] - run.pair[1]["position1"])
    assert steps(ax)[0].get_data().values.tolist() == t.counts.tolist()
    (bar,) = [ln for ln in ax.lines if ln.get_label().startswith("FWHM")]
    assert np.diff(bar.get_xdata())[0] == pytest.approx(t.fwhm)


def check_calibration(ax, run):
    hist = files.read_decay_hist(f"{run.path}/decay_hist0.txt")
    heights = [p.get_height() for p in ax.containers[0]]
    assert heights == hist["count"].tolist()


def check_event(ax, run):
    (fit,) = [ln for ln in ax.lines if ln.get_label() == "fit, one pulse"]
    record = run.pair[1][run.row3]  # the record of raw event 3, where the file has it
    assert np.array_equal(fit.get_ydata(), model.fitted_curve(record))
    (raw,) = [ln for ln in ax.lines if ln.get_label() == "raw samples"]
    samples = files.open_raw(f"{run.path}/zorv.1", HEADER)[3, :, 1]
    assert np.array_equal(raw.get_ydata(), samples)


# picture -> (draws it from data on ax, checks what it drew)
PICTURES = {
    "spectrum": (lambda d, ax: plot.spectrum(d, 1, ax), check_spectrum),
    "coincidence map": (lambda d, ax: plot.coincidence_map(d, ax), check_map),
    "width": (lambda d, ax: plot.parameter(d, "width", ax), check_width),
    "separation": (lambda d, ax: plot.parameter(d, "separation", ax), check_separation),
    "fit quality": (lambda d, ax: plot.fit_quality(d, 0, ax), check_quality),
    "time difference": (lambda d, ax: plot.time_difference(d, ax), check_timing),
}
FORMS = {"run": lambda r: r.run, "events": lambda r: r.run.events, "pair": lambda r: r.pair}


@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS.keys())
@pytest.mark.parametrize("draw, check", PICTURES.values(), ids=PICTURES.keys())
def test_picture_on_given_axes(run, form, draw, check):
    fig, ax = plt.subplots()
    assert draw(form(run), ax) is ax
    check(ax, run)
    plt.close(fig)


# Pictures of a run's folder: the decay histogram and the raw events.
FROM_FOLDER = {
    "calibration": (lambda r, ax: plot.calibration(r.run, 0, ax), check_calibration),
    "event": (lambda r, ax: plot.event(r.run, 3, 1, ax), check_event),
}


@pytest.mark.parametrize("draw, check", FROM_FOLDER.values(), ids=FROM_FOLDER.keys())
def test_picture_of_the_run_folder(run, draw, check):
    fig, ax = plt.subplots()
    assert draw(run, ax) is ax
    check(ax, run)
    plt.close(fig)


# Plain values: (draws them on a new figure, what they hold)
PLAIN = {
    "spectrum": (lambda v: plot.spectrum(v), lambda ax, v: steps(ax)[0].get_data().values.sum() == len(v)),
    "parameter": (lambda v: plot.parameter(v, "width"),
                  lambda ax, v: steps(ax)[0].get_data().values.sum() == len(v)),
    # ... all but the 1 % beyond the 0.5 and 99.5 percentiles
    "time difference": (lambda v: plot.time_difference(v),
                        lambda ax, v: steps(ax)[0].get_data().values.sum() == len(v) - 6),
}


@pytest.mark.parametrize("draw, holds", PLAIN.values(), ids=PLAIN.keys())
def test_plain_values_on_a_new_figure(draw, holds):
    v = np.random.default_rng(2).normal(20000, 300, 500)
    ax = draw(v)
    assert holds(ax, v)
    assert len(ax.figure.axes) >= 1
    plt.close(ax.figure)


def test_event_with_its_residuals(run):
    fig, (ax, res) = plt.subplots(2)
    plot.event(run.run, 3, 1, ax, residuals=res)
    samples = files.open_raw(f"{run.path}/zorv.1", HEADER)[3, :, 1]
    assert np.allclose(res.lines[0].get_ydata(), samples - model.fitted_curve(run.pair[1][run.row3]))
    plt.close(fig)


@pytest.mark.parametrize("data", ["work", np.zeros(3, dtype=[("x", "<f8")]), (1, 2, 3)])
def test_what_is_not_a_run_is_named_in_one_line(data):
    with pytest.raises(TypeError) as e:
        plot.coincidence_map(data)
    assert "expected a run" in str(e.value) and "\n" not in str(e.value)
