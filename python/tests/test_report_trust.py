"""The report's numbers a physicist leans on, on a run folder made here with
three broken fits in channel A and one in B: the fit-quality section flags
them and shows the worst, the spectra and the timing leave them out and say so, the
timing resolution is the drawn one, and the CSV file beside every figure
reads back to the numbers it plots."""

import html
import re

import numpy as np
import pytest

from test_report_inputs import make_run
from zorv import files, quality, report

BROKEN = [10, 500, 900]  # records whose channel A fit is broken
BROKEN_B = 300           # ... and one whose channel B fit is


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    run_dir = tmp_path_factory.mktemp("trust")
    make_run(run_dir)
    a = files.read_results(run_dir / "ab0.bin")
    a["ssr"][BROKEN] *= [400.0, 2500.0, 10000.0]  # 20, 50 and 100 times the noise
    (run_dir / "ab0.bin").write_bytes(a.tobytes())
    b = files.read_results(run_dir / "ab1.bin")
    b["ssr"][BROKEN_B] *= 900.0  # 30 times the noise
    (run_dir / "ab1.bin").write_bytes(b.tobytes())
    index = report.build(str(run_dir), str(run_dir / "report"), examples=3, say=lambda m: None)
    page = open(index, encoding="utf-8").read()
    return run_dir / "report", page, a, b


def read_csv(path):
    return np.genfromtxt(path, delimiter=",", names=True, dtype=None, encoding="utf-8")


def test_every_figure_has_its_csv_beside_it(made):
    out, page, _, _ = made
    figures = re.findall(r'<figure><img src="([^"]+)".*?</figure>', page, re.S)
    links = re.findall(r'<figure><img src="[^"]+".*?<a class="csv" href="([^"]+)"', page, re.S)
    assert len(figures) >= 8 and links == [f[:-4] + ".csv" for f in figures]
    for name in links:
        assert (out / name).stat().st_size > 0, name


def test_flagged_fits_are_counted_shown_and_left_out(made):
    out, page, a, b = made
    text = re.sub(r"<[^>]+>", " ", html.unescape(page))
    assert re.search(r"Channel A\s+1,000\s+[\d.]+\s+[\d.]+ to [\d.]+\s+[\d.]+\s+3 \(0\.30 %\)", text)
    assert re.search(r"Channel B\s+1,000\s+[\d.]+\s+[\d.]+ to [\d.]+\s+[\d.]+\s+1 \(0\.10 %\)", text)
    assert ("Left out: the 4 events with a fit flagged in the fit quality above (3 in channel A, 1 in "
            "channel B), from the spectra and the coincidence map alike") in text
    # The worst first, over their records (no raw files here: the fitted curves only).
    shown = re.findall(r"Record (\d+) of ab0\.bin / ab1\.bin [^;]*; flagged: RMS residual [\d,]+ "
                       r"in channel ([AB]), (\d+) times its median", page)
    assert [(int(r), c) for r, c, _ in shown] == [(900, "A"), (500, "A"), (300, "B")]
    assert [int(k) for _, _, k in shown] == pytest.approx([100, 50, 30], rel=0.1)
    assert all((out / f"flagged_{k}.png").exists() for k in (1, 2, 3))


def test_timing_resolution(made):
    _, page, a, b = made
    text = re.sub(r"<[^>]+>", " ", html.unescape(page))
    row = re.search(r"Bin width \(samples\)\s+([\d,]+)\s+(\d+)\s+(\d+)\s+(-?[\d.]+)\s+([\d.]+)", text)
    used, left_out, outside, median, fwhm = row.groups()
    assert (int(used.replace(",", "")) + int(outside), int(left_out)) == (996, 4)
    # position 1 of both channels: 1250 + 40 N(0, 1) each, so the difference
    # is a Gaussian of sigma 40 sqrt 2.
    assert float(fwhm) == pytest.approx(2.3548 * 40 * np.sqrt(2), rel=0.15)


def kept(a, b):
    """The events without a flagged fit in either channel."""
    return ~quality.fit_quality(a, b).either


def clipped_histogram(values, low, high):
    edges = np.append(low, high[-1])
    return np.histogram(np.clip(values, edges[0], edges[-1]), bins=edges)[0]


def check_amplitudes(t, a, b, run_dir):
    for c, rec in enumerate((a, b)):
        v = rec["amplitude1"][kept(a, b)]
        assert np.array_equal(t[f"fits_{'AB'[c]}"], clipped_histogram(v, t["amplitude1_low"],
                                                                     t["amplitude1_high"]))
    assert t["fits_A"].sum() == t["fits_B"].sum() == 996


def check_map(t, a, b, run_dir):
    both = kept(a, b)
    low = np.unique(t["amplitude1_A_low"])
    edges = np.append(low, t["amplitude1_A_high"].max())
    h = np.histogram2d(np.clip(a["amplitude1"][both], edges[0], edges[-1]),
                       np.clip(b["amplitude1"][both], edges[0], edges[-1]), bins=[edges, edges])[0]
    assert np.array_equal(t["events"], h.ravel()) and t["events"].sum() == 996


def check_timing(t, a, b, run_dir):
    d = (a["position1"] - b["position1"])[kept(a, b)]
    edges = np.append(t["difference_low"], t["difference_high"][-1])
    assert np.array_equal(t["events"], np.histogram(d[(d >= edges[0]) & (d <= edges[-1])], edges)[0])


def check_quality(t, a, b, run_dir):
    for c, rec in enumerate((a, b)):
        rows = t[t["channel"] == "AB"[c]]
        edges = np.append(rows["rms_low"], rows["rms_high"][-1])
        assert np.array_equal(rows["fits"], np.histogram(np.sqrt(rec["ssr"] / 2500), edges)[0])


def check_distributions(t, a, b, run_dir):
    for field in ("position1", "width", "ssr"):
        for c, rec in enumerate((a, b)):
            rows = t[(t["quantity"] == field) & (t["channel"] == "AB"[c])]
            assert np.array_equal(rows["fits"], clipped_histogram(rec[field], rows["low"], rows["high"]))
    assert not np.any(t["quantity"] == "separation")  # no two-pulse fits in this run


def check_calibration(t, a, b, run_dir):
    for c in (0, 1):
        rows = t[t["channel"] == "AB"[c]]
        hist = files.read_decay_hist(run_dir / f"decay_hist{c}.txt")
        assert np.array_equal(rows["decay_rate"], hist["centre"])
        assert np.array_equal(rows["fits"], hist["count"])


# figure's CSV -> what it must read back to
CSV = {"amplitudes.csv": check_amplitudes, "amplitude_map.csv": check_map,
       "timing.csv": check_timing, "fit_quality.csv": check_quality,
       "distributions.csv": check_distributions, "calibration.csv": check_calibration}


@pytest.mark.parametrize("name, check", CSV.items(), ids=CSV.keys())
def test_csv_reads_back_to_the_plotted_numbers(made, name, check):
    out, _, a, b = made
    check(read_csv(out / name), a, b, out.parent)


def test_event_csv_is_the_fitted_curve(made):
    out, _, a, b = made
    from zorv import model
    t = np.genfromtxt(out / "flagged_1.csv", delimiter=",", names=True)
    assert np.array_equal(t["sample"], np.arange(2500))
    assert np.allclose(t["fit_A"], model.fitted_curve(a[900]), rtol=1e-15)
    assert np.isnan(t["raw_A"]).all()  # no raw file in this run folder
