"""Peer benchmark, scipy's side: the traces of peer_gna fitted by least_squares.

    peer_scipy.py TRACES RESULTS TIMINGS [SECONDS]

Same single-pulse model as gna fits (first pulse, baseline, tail; the second
pulse locked out), six free parameters A1, lambda, B, t1, sigma, C, with the
analytic Jacobian, by scipy.optimize.least_squares(method="lm"), that is
MINPACK's lmder.

Stopping: gna stops when sqrt(sum (delta_j / p_j)^2) < 1e-9. MINPACK stops
when its trust radius falls to xtol * |D x|; with x_scale = |x0| (D = 1/|x0|)
that is a relative step per parameter, measured against the start values,
and after a good step the radius is twice the scaled step, with |D x| about
sqrt(6), so xtol = 1e-9 stops at a scaled step of about 1.2e-9. ftol and
gtol are set to the machine epsilon, the least that "lm" accepts, so that
they stay out of the way.

Timed: the least_squares call per trace, CPU time of this process
(time.process_time), pass after pass until SECONDS (default 1) are used.
Run it with one BLAS thread (OPENBLAS_NUM_THREADS=1, OMP_NUM_THREADS=1).
"""
import sys
import time

import numpy as np
import scipy
from scipy.optimize import least_squares
from scipy.special import erf

POINTS = 2500
SQRT2 = 1.4142135623730951
INV_SQRT_PI = 0.5641895835477563
EPS = np.finfo(float).eps
CONVERGED, FAILED, OWN_TEST = 0, 1, 2   # status of a fit, as in peer_files.h
TRACES_MAGIC, RESULTS_MAGIC = b"ZPTRACE1", b"ZPRESLT1"

TRACE = np.dtype([("event", "<i4"), ("channel", "<i4"), ("y", "<f8", POINTS),
                  ("p0", "<f8", 8), ("lock", "<i4", 8)])
RESULT = np.dtype([("status", "<i4"), ("n_jac", "<i4"), ("n_fun", "<i4"), ("unused", "<i4"),
                   ("ssr", "<f8"), ("p", "<f8", 8), ("sp", "<f8", 8)])


def read_file(name, magic, dtype):
    with open(name, "rb") as f:
        head = f.read(16)
        if head[:8] != magic:
            raise SystemExit(f"Error: '{name}' is not a {magic.decode()} file")
        count = int(np.frombuffer(head[8:12], "<i4")[0])
        return np.fromfile(f, dtype=dtype, count=count)


def write_file(name, magic, records):
    with open(name, "wb") as f:
        f.write(magic)
        f.write(np.array([len(records), 0], "<i4").tobytes())
        f.write(records.tobytes())


def blas_library():
    """The BLAS that numpy has loaded, from the process's memory map. (Only
    the last J^T f of least_squares uses it; MINPACK has its own QR.)"""
    with open("/proc/self/maps") as f:
        names = {line.split()[-1] for line in f if "blas" in line or "atlas" in line}
    libs = sorted(n for n in names if n.startswith("/") and n.rsplit("/", 1)[-1].startswith("lib"))
    return ", ".join(libs) or "none loaded"


class Pulse:
    """Residuals model - y and the Jacobian of one trace. MINPACK asks for
    the Jacobian at the point whose residuals it has just had, so the
    special functions of the last residual call are kept for it."""

    x = np.arange(POINTS, dtype=float)

    def __init__(self, y):
        self.y = y
        self.q = None
        self.jac_buf = np.empty((POINTS, 6))
        self.jac_buf[:, 2] = 1.0

    def _terms(self, q):
        a, lam, b, t, s, c = q
        x = self.x
        d = x - t
        e = np.exp(lam * x)
        h = 0.5 * np.exp(d * lam + 0.5 * lam * lam * s * s)
        g = -lam * s * s - d
        cc = 1.0 - erf(g / (SQRT2 * s))
        self.q = q.copy()
        self.terms = (d, e, h, g, cc)
        return a * h * cc + b + c * e - self.y

    def fun(self, q):
        return self._terms(q)

    def jac(self, q):
        if self.q is None or not np.array_equal(q, self.q):
            self._terms(q)
        a, lam, _, _, s, c = q
        d, e, h, g, cc = self.terms
        gauss = INV_SQRT_PI * np.exp(-g * g / (2.0 * s * s))
        ah = a * h
        J = self.jac_buf
        J[:, 0] = h * cc
        J[:, 1] = c * self.x * e + ah * (-g * cc + SQRT2 * s * gauss)
        J[:, 3] = ah * (-lam * cc - SQRT2 / s * gauss)
        J[:, 4] = ah * (lam * lam * s * cc - SQRT2 * (d / (s * s) - lam) * gauss)
        J[:, 5] = e
        return J


def fit(trace):
    p0 = trace["p0"][:6].copy()
    model = Pulse(trace["y"])
    scale = np.where(p0 != 0.0, np.abs(p0), 1.0)
    return least_squares(model.fun, p0, jac=model.jac, method="lm", x_scale=scale,
                         xtol=1e-9, ftol=EPS, gtol=EPS)


def main():
    if len(sys.argv) < 4:
        raise SystemExit("usage: peer_scipy.py TRACES RESULTS TIMINGS [SECONDS]")
    min_seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 1.0
    traces = read_file(sys.argv[1], TRACES_MAGIC, TRACE)
    for t in traces:
        if list(t["lock"]) != [0, 0, 0, 0, 0, 0, 1, 1]:
            raise SystemExit("Error: peer_scipy fits the single-pulse model with A1 .. C free only")
    print(f"scipy: numpy {np.__version__}, scipy {scipy.__version__}, BLAS {blas_library()}")

    results = np.zeros(len(traces), RESULT)
    cpu = 0.0
    fits = 0
    wall0 = time.monotonic()
    first = True
    while first or cpu < min_seconds:
        t0 = time.process_time()
        fitted = [fit(t) for t in traces]
        cpu += time.process_time() - t0
        fits += len(traces)
        if first:
            for r, res, t in zip(results, fitted, traces):
                # The xtol test met (least_squares' status 3, or 4 with ftol
                # too) is our test; ftol or gtol alone is MINPACK's own.
                r["status"] = (CONVERGED if res.status in (3, 4)
                               else OWN_TEST if res.status > 0 else FAILED)
                r["n_jac"] = res.njev
                r["n_fun"] = res.nfev
                r["ssr"] = 2.0 * res.cost
                r["p"][:6] = res.x
                r["p"][6:] = t["p0"][6:]
            first = False
    wall = time.monotonic() - wall0
    write_file(sys.argv[2], RESULTS_MAGIC, results)
    with open(sys.argv[3], "a") as f:
        f.write(f"scipy {fits} {cpu:.6f} {wall:.6f}\n")
    print(f"scipy: {fits:5d} fits in {cpu:.3f} s CPU ({wall:.3f} s wall): {fits / cpu:.0f} fits/s")


if __name__ == "__main__":
    main()
