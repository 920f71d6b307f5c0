"""Boyle and Joule-Thomson inversion temperatures of LJ argon from short runs, against quadrature.

    python scripts/measure_roots.py 370,450,650,900 16 1     # temperatures, runs, repetitions

Needs scipy.  Prints the quadrature roots, then per repetition the roots on the curve with their
standard error, interpolation error and (T - reference) / uncertainty (docs/thermodynamics.md).
"""
import math
import sys
import time

from scipy import integrate, optimize

import vicatools as vt

EPS, SIG = 119.8, 3.405


def lj(t):
    """(B, T dB/dT) of one-site LJ argon in A^3 by adaptive quadrature."""
    def integral(g):
        def h(r):
            x = (SIG / r) ** 6
            bu = 4.0 * EPS * (x * x - x) / t
            return g(bu) * r * r if bu < 700.0 else g(math.inf) * r * r

        pts = [0.9 * SIG, SIG, 2 ** (1 / 6) * SIG, 1.5 * SIG, 3 * SIG]
        return -2.0 * math.pi * integrate.quad(h, 0.0, 80 * SIG, points=pts, limit=500, epsabs=1e-10,
                                               epsrel=1e-12)[0]

    b = integral(lambda bu: -1.0 if bu == math.inf else math.expm1(-bu))
    beta_db = integral(lambda bu: 0.0 if bu == math.inf else -bu * math.exp(-bu))
    return b, -beta_db


if __name__ == "__main__":
    tb = optimize.brentq(lambda t: lj(t)[0], 300, 600, xtol=1e-8)
    ti = optimize.brentq(lambda t: lj(t)[0] - lj(t)[1], 500, 1200, xtol=1e-8)
    print("quadrature Boyle", tb, tb / EPS, "inversion", ti, ti / EPS, flush=True)
    temps = [float(x) for x in sys.argv[1].split(",")]
    runs = int(sys.argv[2])
    for rep in range(int(sys.argv[3])):
        t0 = time.time()
        s = vt.b2("argon", temperatures=temps, runs=runs, dev_tol=1e300, progress=False, workers=2)
        b, i = s.boyle_temperature(), s.inversion_temperature()
        print(f"Boyle {b.t_kelvin:.3f} se {b.stderr:.3f} ie {b.interpolation_error:.2g} "
              f"z {(b.t_kelvin - tb) / b.uncertainty:+.2f} | inv {i.t_kelvin:.2f} se {i.stderr:.2f} "
              f"ie {i.interpolation_error:.2g} z {(i.t_kelvin - ti) / i.uncertainty:+.2f}  {time.time() - t0:.0f}s",
              flush=True)
