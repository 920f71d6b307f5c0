"""C of the library models with bare charges for several core distances: the core only removes the
collapse when C does not depend on its distance.

    python scripts/measure_core_distance.py 8        # runs per case

Prints Markdown rows for docs/charge-core.md: model, T, core distance, C in cm^6/mol^2.
"""
import sys

import vicatools as vt
from vicatools.cli import format_value

CASES = [("trappe-n2", 300.0), ("spce", 500.0), ("tip4p-2005", 500.0)]

if __name__ == "__main__":
    runs = int(sys.argv[1])
    for name, t in CASES:
        for d in (0.05, 0.1, 0.2):
            e = vt.b3(name, temperatures=t, runs=runs, dev_tol=1e300, progress=False, workers=2, core=d).molar()[0]
            print(f"| `{name}` | {t:g} | {d:g} | {format_value(e.value, e.value_stderr)} |", flush=True)
