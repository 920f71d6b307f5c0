"""B2 by integration against Mayer sampling, in CPU seconds.

For each model at 300 K: the integration's CPU seconds to 1e-6 relative
(`vicatools.methods.cubature.integrate_b2`, B and its two derivative entries),
Mayer sampling as `vt.b2` runs it today (8 runs of vica.Bms, CPU seconds of the
runs), the figure of merit error * sqrt(CPU s) of both (lower is better) and
the CPU the integration needs for the sampling's own standard error (the factor
saved at equal error).  Then the waters at 300-500 K to 1e-5, a scan of 100
temperatures against one, and what the curve grid of a scan (33 temperatures
uniform in ln T, `grid_temperatures`) adds to a pass of 3 temperatures.

    python benchmarks/b2_cubature.py            # everything (Mayer sampling takes minutes)
    python benchmarks/b2_cubature.py --no-mayer # the integration only

CPU seconds are those of this process (integration) and the sum of the runs'
own CPU seconds (sampling), so the machine's load matters little.
"""
from __future__ import annotations

import argparse
import math
import time
import warnings

import numpy as np

import vicatools as vt
from vicatools.methods.cubature import grid_temperatures, integrate_b2

SMALL = ["argon", "trappe-co2", "trappe-n2", "trappe-ethane"]
WATERS = ["spce", "tip4p-2005"]


def cubature(name, temperatures, rtol, order_max=2):
    t0 = time.process_time()
    recs = integrate_b2(name, temperatures=temperatures, rtol=rtol, order_max=order_max)
    return recs, time.process_time() - t0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--no-mayer", action="store_true", help="skip the Mayer-sampling side")
    ap.add_argument("--runs", type=int, default=8, help="Mayer-sampling runs per model (default 8)")
    args = ap.parse_args()
    warnings.simplefilter("ignore")

    print("B2 at 300 K, per molecule in A^3; integration to rtol 1e-6 (entries k = 0..2)")
    print(f"{'model':<15} {'B2':>14} {'error':>9} {'CPU s':>7} {'evals':>11} {'err*sqrt(CPU)':>13}"
          + ("" if args.no_mayer else f" | {'Mayer B2':>10} {'stderr':>7} {'CPU s':>7} {'err*sqrt(CPU)':>13}"
                                      f" {'CPU eq.':>8} {'saved':>8}"))
    for name in SMALL:
        (rec,), cpu = cubature(name, [300.0], 1e-6)
        line = (f"{name:<15} {rec.value:>14.6f} {rec.error:>9.2g} {cpu:>7.3f} {rec.evaluations:>11d} "
                f"{rec.error * math.sqrt(cpu):>13.3g}")
        if not args.no_mayer:
            scan = vt.b2(name, temperatures=[300.0], runs=args.runs, progress=False, results=False, method="mayer")
            e = scan.estimates[0]
            mcpu = sum(e.cpu_seconds)
            # the integration at the sampling's error (relative), B only
            (eq,), eq_cpu = cubature(name, [300.0], max(e.value_stderr / abs(rec.value), 1e-12), order_max=0)
            line += (f" | {e.value:>10.3f} {e.value_stderr:>7.3f} {mcpu:>7.2f} "
                     f"{e.value_stderr * math.sqrt(mcpu):>13.3g} {eq_cpu:>8.4f} {mcpu / max(eq_cpu, 1e-6):>8.0f}x")
        print(line, flush=True)

    print("\nWaters to rtol 1e-5 (entries k = 0..2)")
    print(f"{'model':<15} {'T/K':>5} {'B2':>14} {'error':>9} {'CPU s':>7} {'evals':>11} {'converged':>9}")
    for name in WATERS:
        for t in (300.0, 400.0, 500.0):
            (rec,), cpu = cubature(name, [t], 1e-5)
            print(f"{name:<15} {t:>5.0f} {rec.value:>14.4f} {rec.error:>9.2g} {cpu:>7.2f} {rec.evaluations:>11d} "
                  f"{str(rec.converged):>9}", flush=True)

    print("\nOne pass for many temperatures (250-500 K)")
    print(f"{'model':<15} {'rtol':>6} {'CPU s (1 T)':>12} {'CPU s (100 T)':>14} {'ratio':>6}")
    for name, rtol in (("trappe-co2", 1e-6), ("spce", 1e-4)):
        _, one = cubature(name, [250.0], rtol)
        _, many = cubature(name, list(np.linspace(250.0, 500.0, 100)), rtol)
        print(f"{name:<15} {rtol:>6.0e} {one:>12.3f} {many:>14.3f} {many / one:>6.2f}", flush=True)

    print("\nThe curve grid of a scan: 3 temperatures (250, 330, 500 K) with and without it")
    print(f"{'model':<15} {'rtol':>6} {'CPU s (3 T)':>12} {'CPU s (+grid)':>14} {'ratio':>6}")
    for name, rtol in (("trappe-co2", 1e-6), ("spce", 1e-4)):
        ts = [250.0, 330.0, 500.0]
        _, bare = cubature(name, ts, rtol)
        _, grid = cubature(name, ts + grid_temperatures(ts), rtol)
        print(f"{name:<15} {rtol:>6.0e} {bare:>12.3f} {grid:>14.3f} {grid / bare:>6.2f}", flush=True)


if __name__ == "__main__":
    main()