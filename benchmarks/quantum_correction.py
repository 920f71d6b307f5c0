"""CPU seconds of the first-order quantum correction by the numpy product rule.

    python benchmarks/quantum_correction.py [--budget N] [--rtol X] [MODEL ...]

For each model, one pass at 300 K and 500 K (every temperature from the same nodes):
the correction (Å³ per molecule), its error estimate, whether it converged, the
evaluations of the last level and the CPU time (time.process_time) of the pass; and,
for one model, the CPU time of 1 against 100 temperatures.
"""
import argparse
import time

import vicatools as vt
from vicatools.methods.quantum import DEFAULT_MAX_NODES, first_order_b2

FLOORS = {"trappe-n2": -2000.0, "spce": -7200.0, "tip4p-2005": -6900.0}


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("models", nargs="*", default=["argon", "trappe-methane", "trappe-n2", "trappe-co2",
                                                 "trappe-ethane", "spce", "tip4p-2005"])
    p.add_argument("--budget", type=int, default=DEFAULT_MAX_NODES)
    p.add_argument("--rtol", type=float, default=1e-4)
    args = p.parse_args()
    print(f"{'model':<16} {'T/K':>6} {'dB/A^3':>14} {'error':>10} {'conv':>5} {'nodes':>10} {'CPU s':>7}")
    for name in args.models:
        model = vt.get_model(name)
        start = time.process_time()
        terms = first_order_b2(model, temperatures=[300.0, 500.0], u_min=FLOORS.get(name, float("-inf")),
                               rtol=args.rtol, max_nodes=args.budget)
        cpu = time.process_time() - start
        for t in terms:
            print(f"{name:<16} {t.t_kelvin:>6g} {t.value:>14.8g} {t.error:>10.2g} {str(t.converged):>5} "
                  f"{t.nodes:>10} {cpu:>7.2f}")
    model = vt.get_model("trappe-co2")
    for n in (1, 100):
        temps = [250.0 + 5.0 * k for k in range(n)]
        start = time.process_time()
        first_order_b2(model, temperatures=temps, rtol=1e-4)
        print(f"trappe-co2, {n} temperature(s): {time.process_time() - start:.2f} CPU s")


if __name__ == "__main__":
    main()
