"""A scan of many temperatures: one multi-temperature walk against one walk per temperature.

For each case (argon B3, TraPPE CO2 B3 at 200-800 K, TraPPE CO2 B4 at 300-600 K, ten
temperatures each) this makes `--runs` runs of fixed length of

  separate  the B_n engine's single-temperature walk (`_engine.bn_run`) at every temperature;
  multi     multi-temperature walks (`_engine.bn_multi_run`), the temperatures split into
            walks by `--span` (T_max / T_min of one walk; 0: one walk for all);
  mayer     (with --mayer, orders 3 only) `vica.Cms` through `vt.b3` with dev_tol 1e-2, the
            default method for C today;

and measures, at every temperature, the spread of one run's value (sd over the runs) and
the CPU seconds of a run (the thread's CPU time).  A scan that reaches the error e at
every temperature costs

  separate:  sum_k sd_k^2 cpu_k / e^2        (each temperature run as long as it needs)
  multi:     sum_walks max_(k in walk) sd_k^2 cpu_walk / e^2   (the worst temperature of a
             walk sets its length)

and the ratio multi / separate of these is printed as (b), "one error for all
temperatures".  Where the temperatures differ much in difficulty (CO2 B3 at 200 K spreads
30 times more than at 800 K), (b) is set by the hardest temperature alone, so the ratio
(a) "every temperature's error at most the separate walk's" is printed too: the CPU of
multi-temperature walks long enough that at every temperature their error is at most
that of the separate walks (of equal length at every temperature), over the CPU of
those separate walks,

  (a) = sum_walks max_(k in walk) (sd_multi,k / sd_separate,k)^2 cpu_walk / sum_k cpu_k.

Below 1 the multi-temperature walk is cheaper.  Each ratio is uncertain by about
2 / sqrt(2 (N - 1)) relative (the sd of N runs' sd, twice).

    python benchmarks/scan_walk.py --runs 10
    python benchmarks/scan_walk.py --only co2-b3 --span 0 1.5 2 4 --runs 10
"""
from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time
from types import SimpleNamespace
from typing import Dict, List, Sequence, Tuple

import vicatools as vt
from vicatools import _engine
from vicatools.methods.multiwalk import run_multi_walk, split_temperatures
from vicatools.models.mixing import pair_table

from vicatools.methods.walk import REFERENCE_WEIGHT, engine_table, reference_padding


def geometric(low: float, high: float, count: int) -> List[float]:
    return [round(low * (high / low) ** (k / (count - 1)), 3) for k in range(count)]


CASES: Dict[str, Tuple[str, int, List[float], int]] = {
    # name: (model, n, temperatures, block_steps); runs of 10 blocks after tuning
    "argon-b3": ("argon", 3, geometric(100.0, 1000.0, 10), 100000),
    "co2-b3": ("trappe-co2", 3, geometric(200.0, 800.0, 10), 100000),
    "co2-b4": ("trappe-co2", 4, geometric(300.0, 600.0, 10), 100000),
}


class quiet:
    """File descriptor 1 to the null device (the engine's progress lines)."""

    def __enter__(self) -> None:
        sys.stdout.flush()
        self.saved = os.dup(1)
        self.null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(self.null, 1)

    def __exit__(self, *exc: object) -> None:
        os.dup2(self.saved, 1)
        os.close(self.saved)
        os.close(self.null)


def task_of(model: str, n: int, block_steps: int, blocks: int) -> SimpleNamespace:
    m = vt.resolve_model(model)
    floor = vt.choose_u_min([m, m], "lorentz-berthelot", None).value
    return SimpleNamespace(models=(m,) * n, mixing="lorentz-berthelot", u_min=floor, dev_tol=1e-300, order_max=2,
                           length_unit=1.0, core=0.0, block_steps=block_steps, max_blocks=blocks)


def separate_run(task: SimpleNamespace, t: float) -> Tuple[float, float]:
    m = task.models
    n = len(m)
    tables = [engine_table(pair_table(m[i], m[j], task.mixing, 1.0, 0.0)) for i in range(n) for j in range(i + 1, n)]
    c0 = time.thread_time()
    out = _engine.bn_run([x.positions for x in m], tables, t, task.u_min, task.dev_tol, task.order_max,
                         task.block_steps, task.max_blocks, REFERENCE_WEIGHT, 0.0, reference_padding(m))
    return out[0], time.thread_time() - c0


def multi_run(task: SimpleNamespace, ts: Sequence[float]) -> Tuple[List[float], float]:
    c0 = time.thread_time()
    out = run_multi_walk(task, ts)
    return [row[0] for row in out], time.thread_time() - c0


def sd_rel_error(runs: int) -> float:
    return 1.0 / math.sqrt(2 * (runs - 1))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=10)
    ap.add_argument("--only", nargs="*", default=None, choices=sorted(CASES))
    ap.add_argument("--span", nargs="*", type=float, default=[2.0], help="T_max / T_min of one walk (0: one walk)")
    ap.add_argument("--blocks", type=int, default=10)
    ap.add_argument("--mayer", action="store_true", help="also vica.Cms through vt.b3 (orders 3), dev_tol 1e-2")
    args = ap.parse_args()
    for name, (model, n, ts, block_steps) in CASES.items():
        if args.only and name not in args.only:
            continue
        task = task_of(model, n, block_steps, args.blocks)
        steps = block_steps * (args.blocks + 1)
        print(f"\n== {name}: B{n} of {model}, {len(ts)} temperatures {ts[0]:g}..{ts[-1]:g} K, {args.runs} runs of "
              f"{steps:.2g} steps each, CPU s of the run's thread", flush=True)
        sep: Dict[float, Tuple[List[float], List[float]]] = {}
        with quiet():
            for t in ts:
                vals, cpus = [], []
                for _ in range(args.runs):
                    v, c = separate_run(task, t)
                    vals.append(v)
                    cpus.append(c)
                sep[t] = (vals, cpus)
        cost_sep = math.fsum(statistics.variance(sep[t][0]) * statistics.fmean(sep[t][1]) for t in ts)
        cpu_sep = math.fsum(statistics.fmean(sep[t][1]) for t in ts)
        var_sep = {t: statistics.variance(sep[t][0]) for t in ts}
        print(f"separate walks: {cpu_sep:.2f} CPU s per scan of one run per temperature")
        results = []
        for span in args.span:
            groups = [tuple(range(len(ts)))] if span == 0 else split_temperatures(ts, span)
            cost_multi = 0.0
            cpu_multi = 0.0
            matched = 0.0
            mean_matched = 0.0
            rows = []
            for g in groups:
                gts = [ts[i] for i in g]
                vals: List[List[float]] = []
                cpus: List[float] = []
                with quiet():
                    for _ in range(args.runs):
                        v, c = multi_run(task, gts)
                        vals.append(v)
                        cpus.append(c)
                cpu = statistics.fmean(cpus)
                var = [statistics.variance([r[k] for r in vals]) for k in range(len(g))]
                cost_multi += max(var) * cpu
                cpu_multi += cpu
                matched += max(var[k] / var_sep[ts[i]] for k, i in enumerate(g)) * cpu
                mean_matched += statistics.fmean(var[k] / var_sep[ts[i]] for k, i in enumerate(g)) * cpu
                for k, i in enumerate(g):
                    t = ts[i]
                    ms, ss = statistics.fmean(sep[t][0]), statistics.stdev(sep[t][0])
                    mm, sm = statistics.fmean([r[k] for r in vals]), math.sqrt(var[k])
                    z = (mm - ms) / math.sqrt((ss**2 + sm**2) / args.runs)
                    eff_sep = ss * math.sqrt(statistics.fmean(sep[t][1]))
                    rows.append((t, ms, ss, mm, sm, z, eff_sep, sm * math.sqrt(cpu / len(g))))
            ratio = cost_multi / cost_sep
            ratio_matched = matched / cpu_sep
            err = 2 * sd_rel_error(args.runs)
            label = "one walk" if span == 0 else f"span {span:g} ({len(groups)} walks)"
            print(f"multi, {label}: {cpu_multi:.2f} CPU s per run of the scan; CPU multi / separate for "
                  f"(a) every temperature's error at most the separate walk's: {ratio_matched:.3f}, "
                  f"(b) one error for all temperatures: {ratio:.3f} (each +/- about {100 * err:.0f} %); (a) with the "
                  f"mean instead of the largest variance ratio of a walk: {mean_matched / cpu_sep:.3f}", flush=True)
            print(f"  {'T K':>8} {'separate mean':>14} {'sd':>10} {'multi mean':>14} {'sd':>10} {'z':>6} {'sd ratio':>8}")
            for t, ms, ss, mm, sm, z, _, _ in rows:
                print(f"  {t:>8.1f} {ms:>14.6g} {ss:>10.3g} {mm:>14.6g} {sm:>10.3g} {z:>6.2f} {sm / ss:>8.2f}")
            results.append((span, ratio_matched))
        if args.mayer and n == 3:
            s = vt.b3(model, temperatures=ts, runs=args.runs, dev_tol=1e-2, order_max=2, progress=False,
                      results=False, workers=1)
            cost_mayer = math.fsum(statistics.variance([r[0] for r in e.runs]) * statistics.fmean(e.cpu_seconds)
                                   for e in s)
            cpu_mayer = math.fsum(statistics.fmean(e.cpu_seconds) for e in s)
            matched_mayer = {e.t_kelvin: statistics.variance([r[0] for r in e.runs]) for e in s}
            print(f"vica.Cms (vt.b3, dev_tol 1e-2, padding {s.reference_padding.angstrom:.3g} A): "
                  f"{cpu_mayer:.2f} CPU s per scan of one run per temperature; (b) separate B_n walks / Cms = "
                  f"{cost_sep / cost_mayer:.3f}", flush=True)
            del matched_mayer


if __name__ == "__main__":
    main()
