"""C of argon (Lennard-Jones, epsilon/k = 119.8 K, sigma = 3.405 A) by quadrature:
CPU seconds to a relative precision, many temperatures against one, and the
quadrature beside Mayer sampling (vt.b3, method "mayer") at equal error.

    python benchmarks/b3_quadrature.py                 # all three parts
    python benchmarks/b3_quadrature.py --skip-mayer    # without the sampled runs
    python benchmarks/b3_quadrature.py --mayer-runs 8 --mayer-dev-tol 1e-3

CPU seconds are those of the calling thread (time.thread_time), so the load of the
machine matters little.  "true error" is the distance from a pass at rtol 1e-11 (whose
own error estimate is printed beside it).
"""
from __future__ import annotations

import argparse
import math
import time

import vicatools as vt
from vicatools.methods.b3_quadrature import integrate_b3

TEMPERATURES = [80.0, 100.0, 119.8, 150.0, 200.0, 300.0, 500.0, 1000.0]


def timed(fn):
    t0 = time.thread_time()
    out = fn()
    return out, time.thread_time() - t0


def best_of(fn, repeats: int):
    """The result of `fn` and its smallest CPU time over `repeats` calls."""
    cpu = math.inf
    out = None
    for _ in range(repeats):
        out, c = timed(fn)
        cpu = min(cpu, c)
    return out, cpu


def part_precision(ar: vt.Model, rtol: float, order_max: int, repeats: int) -> None:
    print(f"\n1. one temperature per call, rtol {rtol:g}, order_max {order_max} (best of {repeats} calls)")
    print(f"{'T/K':>8} {'C/A^6':>20} {'error est.':>11} {'true error':>11} {'rel. true':>10} {'CPU s':>7} {'evals':>10}")
    worst = 0.0
    for t in TEMPERATURES:
        (r,), cpu = best_of(lambda: integrate_b3([ar] * 3, temperatures=[t], order_max=order_max, rtol=rtol), repeats)
        (ref,) = integrate_b3([ar] * 3, temperatures=[t], order_max=order_max, rtol=1e-11)
        true = max(abs(a - b) for a, b in zip(r.entries, ref.entries))
        rel = abs(r.entries[0] - ref.entries[0]) / abs(ref.entries[0])
        worst = max(worst, cpu)
        print(f"{t:8.1f} {r.entries[0]:20.10f} {r.errors[0]:11.2e} {true:11.2e} {rel:10.1e} {cpu:7.3f} {r.evaluations:10d}"
              f"{'' if r.converged else '  NOT CONVERGED'}")
    print(f"slowest temperature: {worst:.3f} CPU s (entries 0..{order_max} together)")


def part_many(ar: vt.Model, rtol: float, order_max: int, repeats: int) -> None:
    print(f"\n2. many temperatures in one pass (80-1000 K, rtol {rtol:g}, order_max {order_max})")
    print(f"{'temps':>6} {'CPU s':>8} {'per T':>8} {'x one T':>8} {'evals':>10}")
    base = None
    for n in (1, 10, 100):
        ts = [80.0 * (1000.0 / 80.0) ** (i / max(n - 1, 1)) for i in range(n)] if n > 1 else [119.8]
        res, cpu = best_of(lambda: integrate_b3([ar] * 3, temperatures=ts, order_max=order_max, rtol=rtol), repeats)
        base = cpu if base is None else base
        ok = all(r.converged for r in res)
        print(f"{n:6d} {cpu:8.3f} {cpu / n:8.4f} {cpu / base:8.2f} {res[0].evaluations:10d}{'' if ok else '  NOT CONVERGED'}")


def part_mayer(ar: vt.Model, runs: int, dev_tol: float) -> None:
    t = 119.8
    print(f"\n3. beside Mayer sampling at {t} K: vt.b3(method='mayer'), {runs} runs, dev_tol {dev_tol:g}")
    scan = vt.b3("argon", temperatures=[t], runs=runs, dev_tol=dev_tol, method="mayer", progress=False, results=False,
                 workers=2)
    e = scan[0]
    cpu_m = sum(e.cpu_seconds)
    merit_m = e.value_stderr * math.sqrt(cpu_m)
    (ref,) = integrate_b3([ar] * 3, temperatures=[t], rtol=1e-11)
    print(f"mayer:     C = {e.value:.2f} +- {e.value_stderr:.2f} A^6 (quadrature: {ref.entries[0]:.4f}; "
          f"{(e.value - ref.entries[0]) / e.value_stderr:+.2f} standard errors), CPU {cpu_m:.1f} s, "
          f"error x sqrt(CPU s) = {merit_m:.1f} A^6")
    # the quadrature at the same error: the loosest rtol whose estimate is within the sampled error
    rtol = min(0.5, e.value_stderr / abs(ref.entries[0]))
    (q,), cpu_q = best_of(lambda: integrate_b3([ar] * 3, temperatures=[t], rtol=rtol), 5)
    merit_q = q.errors[0] * math.sqrt(cpu_q)
    print(f"quadrature at rtol {rtol:.2g}: C = {q.entries[0]:.4f} +- {q.errors[0]:.2g} A^6 "
          f"(true error {abs(q.entries[0] - ref.entries[0]):.2g}), CPU {cpu_q:.4f} s, "
          f"error x sqrt(CPU s) = {merit_q:.3g} A^6")
    print(f"CPU ratio at equal (or smaller) error: {cpu_m / cpu_q:.3g}x; "
          f"ratio of error x sqrt(CPU): {merit_m / merit_q:.3g}x")
    (q7,), cpu7 = best_of(lambda: integrate_b3([ar] * 3, temperatures=[t], rtol=1e-7), 5)
    cpu_m7 = (merit_m / (1e-7 * abs(ref.entries[0]))) ** 2
    print(f"to 1e-7 relative: quadrature {cpu7:.3f} CPU s; Mayer sampling would need about {cpu_m7:.3g} CPU s "
          f"({cpu_m7 / cpu7:.3g}x)")


def part_honesty() -> None:
    """The estimates against the distance from a pass at rtol 1e-11, Lennard-Jones in reduced units."""
    from vicatools import _engine

    lj = [2.0, -4.0, 4.0]
    ts = [0.3, 0.5, 0.7, 1.0, 1.5, 2.5, 4.0, 7.0, 12.0, 20.0]
    refs = {t: _engine.b3_quadrature([lj] * 3, [], [t], -math.inf, 2, 1e-11, 0.0, 2_000_000_000) for t in ts}
    cases = under = 0
    worst = 0.0
    for rtol in (1e-4, 1e-5, 1e-6, 1e-7, 1e-8, 1e-9):
        for t in ts:
            r = _engine.b3_quadrature([lj] * 3, [], [t], -math.inf, 2, rtol, 0.0, 200_000_000)
            for k in range(3):
                true = abs(r["entries"][0][k] - refs[t]["entries"][0][k])
                est = r["errors"][0][k]
                cases += 1
                worst = max(worst, true / est if est > 0 else math.inf)
                under += true > est + refs[t]["errors"][0][k]
    print(f"\n4. honesty: LJ T* {ts[0]}..{ts[-1]}, rtol 1e-4..1e-9, entries 0..2: {cases} cases, "
          f"{under} with the true error above the estimate; largest true / estimate {worst:.3g}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rtol", type=float, default=1e-7)
    ap.add_argument("--order-max", type=int, default=2)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--skip-mayer", action="store_true")
    ap.add_argument("--mayer-runs", type=int, default=8)
    ap.add_argument("--mayer-dev-tol", type=float, default=3e-3)
    args = ap.parse_args()
    ar = vt.get_model("argon")
    part_precision(ar, args.rtol, args.order_max, args.repeats)
    part_many(ar, args.rtol, args.order_max, args.repeats)
    part_honesty()
    if not args.skip_mayer:
        part_mayer(ar, args.mayer_runs, args.mayer_dev_tol)


if __name__ == "__main__":
    main()
