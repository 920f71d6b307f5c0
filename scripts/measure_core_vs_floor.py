"""B of the library models with bare charges: with the energy floor against without floor, with the core.

    python scripts/measure_core_vs_floor.py 8        # runs per temperature

Prints Markdown rows for docs/charge-core.md: model, T, floor, B with floor, core, B with core,
(core - floor) / combined standard error.
"""
import math
import sys
import time

import vicatools as vt
from vicatools.cli import format_value

CASES = [("trappe-n2", [100.0, 300.0]), ("spce", [300.0, 500.0]), ("tip4p-2005", [300.0, 500.0])]

if __name__ == "__main__":
    runs = int(sys.argv[1])
    for name, ts in CASES:
        t0 = time.time()
        f = vt.b2(name, temperatures=ts, runs=runs, dev_tol=1e300, progress=False, workers=2).molar()
        c = vt.b2(name, temperatures=ts, runs=runs, dev_tol=1e300, progress=False, workers=2, u_min=-math.inf).molar()
        for ef, ec in zip(f, c):
            z = (ec.value - ef.value) / math.hypot(ec.value_stderr, ef.value_stderr)
            pairs = ", ".join(a + "-" + b for a, b in c.core.pairs)
            print(f"| `{name}` | {ef.t_kelvin:g} | {f.u_min.value:g} | {format_value(ef.value, ef.value_stderr)} | "
                  f"{c.core.distance:g} ({pairs}) | {format_value(ec.value, ec.value_stderr)} | {z:+.2f} |", flush=True)
        print(f"# {name} {time.time() - t0:.0f}s", flush=True)
