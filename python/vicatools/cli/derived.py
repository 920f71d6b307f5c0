"""What follows from B(T), from the command line: ``boyle``, ``inversion``, ``properties`` and
``fit`` (B(T) in a standard form with its covariance, `vicatools.results.fit`).

Each reads a scan of B from a file (``--from``: the JSON of ``b2 --json`` or a results
store) or makes one of a model first (MODEL, with ``-t`` temperatures or, for the Boyle
and inversion temperatures, a grid around a first guess), and prints the result with its
standard error.  Bad input is one line on standard error and status 2, before any run.
"""
from __future__ import annotations

import argparse
import json
import math
import pathlib
import sys
from typing import Any, Dict, List, Optional, Tuple

from .output import format_value
from .parser import PROG, _positive_int, _UsageError

COMMANDS = ("boyle", "inversion", "properties", "fit")

LJ_BOYLE = 3.418
"""Boyle temperature of the Lennard-Jones fluid in units of epsilon/k: the first guess,
times the depth of the model's lowest pair energy."""

LJ_INVERSION = 6.431
"""Zero-pressure Joule-Thomson inversion temperature of the Lennard-Jones fluid, epsilon/k."""


def add_parsers(sub: Any) -> None:
    """The three subcommands on the command line's subparsers."""
    helps = {
        "boyle": "Boyle temperature (B = 0) with its standard error",
        "inversion": "zero-pressure Joule-Thomson inversion temperature (B = T dB/dT) with its standard error",
        "properties": "Z, fugacity coefficient, residual H, S, Cp, Joule-Thomson coefficient and acoustic "
                      "virial coefficient at given T and p (or density), with standard errors",
        "fit": "B(T) fitted in a standard form (series in 1/T, DIPPR 104, Tsonopoulos, Pitzer-Curl) with its "
               "covariance, to JSON / CSV",
    }
    for name in COMMANDS:
        p = sub.add_parser(name, help=helps[name])
        p.add_argument("model", nargs="?", default=None, metavar="MODEL",
                       help="library name or model file to scan first (leave out with --from)")
        p.add_argument("--from", dest="source", default=None, metavar="FILE",
                       help="a scan of B already made: the JSON of `b2 --json` or a results store (.jsonl)")
        if name == "properties":
            p.add_argument("--temperature", "-T", type=float, nargs="+", required=True, metavar="T",
                           help="temperatures in K (inside the scan read, or scanned at these)")
            state = p.add_mutually_exclusive_group(required=True)
            state.add_argument("--pressure", "-p", type=float, default=None, metavar="PA", help="pressure in Pa")
            state.add_argument("--density", type=float, default=None, metavar="MOL_M3",
                               help="molar density in mol/m^3 (the pressure follows from the virial series)")
            p.add_argument("--c-from", default=None, metavar="FILE",
                           help="a scan of C (JSON of `b3 --json`) for the second-order terms")
            p.add_argument("--cp0", type=float, default=None, metavar="J_MOLK",
                           help="ideal-gas isobaric heat capacity in J/(mol K) (default: classical rigid rotor "
                                "of the model's geometry, no vibration)")
        if name == "fit":
            from ..results.fit import FORMS

            p.add_argument("--form", choices=FORMS, default="series", help="the form (default series)")
            p.add_argument("--terms", type=_positive_int, default=None, metavar="K",
                           help="parameters of the form (default: 3 series, 4 dippr104, 1 corresponding states)")
            p.add_argument("--t0", type=float, default=298.15, metavar="K", help="T0 of the series (298.15 K)")
            p.add_argument("--tc", type=float, default=None, metavar="K", help="critical temperature (Tsonopoulos, "
                                                                             "Pitzer-Curl)")
            p.add_argument("--pc", type=float, default=None, metavar="PA", help="critical pressure in Pa")
            p.add_argument("--csv", default=None, metavar="FILE", help="write the fit as CSV")
        p.add_argument("--temperatures", "-t", nargs="+", type=float, default=None, metavar="T",
                       help="temperatures in K of the scan made of MODEL" + (
                           "" if name in ("properties", "fit") else " (default: 7 around the Lennard-Jones guess "
                           "from the model's lowest pair energy)"))
        p.add_argument("--runs", type=_positive_int, default=8, metavar="N", help="runs per temperature (default 8)")
        p.add_argument("--dev-tol", type=float, default=1e-3, metavar="X", help="relative stop tolerance (1e-3)")
        p.add_argument("--workers", type=_positive_int, default=None, metavar="W", help="worker processes")
        p.add_argument("--results", default=None, metavar="FILE", help="the results store of the scan made")
        p.add_argument("--json", default=None, metavar="FILE", help="write the result as JSON")
        p.add_argument("--quiet", "-q", action="store_true", help="no progress bar and no notes on standard error")


def _read_scan(path: str, what: str) -> Any:
    from .. import io

    p = pathlib.Path(path)
    if not p.is_file():
        raise _UsageError(f"{what}: no such file {path!r}")
    try:
        return io.read_store(p) if p.suffix == ".jsonl" else io.read_json(p)
    except (ValueError, KeyError, TypeError, OSError) as exc:
        raise _UsageError(f"{what}: cannot read a scan from {path!r}: {exc}") from None


def _guess_grid(model: Any, factor: float) -> List[float]:
    from ..models.floors import lowest_dimer_energy

    depth = -lowest_dimer_energy(model, model, "lorentz-berthelot")
    if not (depth > 0.0 and math.isfinite(depth)):
        raise _UsageError("cannot guess where to look for a model without an attractive well: give -t")
    guess = factor * depth
    return [round(guess * 0.6 * (1.6 / 0.6) ** (k / 6), 1) for k in range(7)]


def _scan(args: argparse.Namespace) -> Any:
    """The B scan of the command: read, or made of the model."""
    if (args.source is None) == (args.model is None):
        raise _UsageError("give one of MODEL (to scan it) and --from FILE (a scan already made)")
    if args.source is not None:
        scan = _read_scan(args.source, "--from")
        if scan.order != 2:
            raise _UsageError(f"--from: {args.source!r} holds a scan of order {scan.order}, not of B")
        return scan
    from .. import api
    from ..models.library import UnknownModelError, resolve_model
    from ..models.model import ModelFileError

    try:
        model = resolve_model(args.model)
    except (UnknownModelError, ModelFileError, OSError) as exc:
        raise _UsageError(str(exc)) from None
    temps = args.temperatures
    if temps is None:
        temps = (args.temperature if args.command == "properties"
                 else _guess_grid(model, LJ_BOYLE if args.command == "boyle" else LJ_INVERSION))
    for t in temps:
        if not (t > 0.0 and math.isfinite(t)):
            raise _UsageError(f"temperature must be a finite number above 0 K, got {t:g}")
    if args.runs < 2 or not (args.dev_tol > 0.0 and math.isfinite(args.dev_tol)):
        raise _UsageError("--runs must be at least 2 and --dev-tol above 0")
    if not args.quiet:
        print(f"scanning B of {model.name} at {', '.join(f'{t:g}' for t in temps)} K", file=sys.stderr)
    try:
        return api.b2(model, temperatures=temps, runs=args.runs, dev_tol=args.dev_tol, workers=args.workers,
                      progress=not args.quiet, results=args.results)
    except api.ScanError as exc:
        if exc.scan is None or len(exc.scan) < 2:
            raise
        for f in exc.failures:
            print(f"{PROG}: failed: {f}", file=sys.stderr)
        return exc.scan


def run_derived(args: argparse.Namespace) -> int:
    """Run ``boyle``, ``inversion`` or ``properties``; the exit status."""
    if args.command == "properties":
        for t in args.temperature:
            if not (t > 0.0 and math.isfinite(t)):
                raise _UsageError(f"--temperature must be a finite number above 0 K, got {t:g}")
        state = args.pressure if args.pressure is not None else args.density
        if not (state >= 0.0 and math.isfinite(state)):
            raise _UsageError(f"--{'pressure' if args.pressure is not None else 'density'} must be 0 or more")
        if args.cp0 is not None and not (args.cp0 > 0.0 and math.isfinite(args.cp0)):
            raise _UsageError(f"--cp0 must be above 0 J/(mol K), got {args.cp0:g}")
    c = _read_scan(args.c_from, "--c-from") if getattr(args, "c_from", None) else None
    if c is not None and c.order != 3:
        raise _UsageError(f"--c-from: {args.c_from!r} holds a scan of order {c.order}, not of C")
    if args.command == "fit" and args.source is None and args.temperatures is None:
        raise _UsageError("fit of MODEL needs its temperatures: -t T ...")
    scan = _scan(args)
    if args.command == "fit":
        record = _fit(scan, args)
    else:
        record = _roots(scan, args.command) if args.command != "properties" else _properties(scan, c, args)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(record, indent=1) + "\n", encoding="utf-8")
    return 0


def _roots(scan: Any, command: str) -> Dict[str, Any]:
    what = "Boyle temperature" if command == "boyle" else "Joule-Thomson inversion temperature (zero pressure)"
    try:
        root = scan.boyle_temperature() if command == "boyle" else scan.inversion_temperature()
    except ValueError as exc:
        ts = scan.temperatures
        raise ValueError(f"{exc} ({min(ts):g} to {max(ts):g} K): scan a wider range with -t") from None
    print(f"{what} of {' + '.join(scan.models)}: {format_value(root.t_kelvin, root.uncertainty)} K")
    print(f"  standard error from the runs {root.stderr:.2g} K, interpolation error {root.interpolation_error:.2g} K; "
          f"between the scan temperatures {root.bracket[0]:g} and {root.bracket[1]:g} K")
    return {"quantity": what, "models": list(scan.models), "t_kelvin": root.t_kelvin, "stderr": root.stderr,
            "interpolation_error": root.interpolation_error, "uncertainty": root.uncertainty,
            "bracket": list(root.bracket)}


def _pressure_of(scan: Any, c: Any, t: float, rho: float) -> float:
    """p = rho R T (1 + B rho + C rho^2) in Pa, rho in mol/m^3."""
    from ..models.units import MOLAR_GAS

    def value(s: Any, factor: float) -> float:
        m = s.molar()
        hit = [e for e in m.estimates if e.t_kelvin == t]
        return float(hit[0].value if hit else m.curve(t).value) * factor

    b = value(scan, 1e-6)
    cc = value(c, 1e-12) if c is not None else 0.0
    return rho * MOLAR_GAS * t * (1.0 + b * rho + cc * rho * rho)


def _cp0(scan: Any, given: Optional[float]) -> Tuple[float, str]:
    from ..models.library import resolve_model
    from ..models.units import MOLAR_GAS
    from ..results.properties import ideal_gamma

    if given is not None:
        return given, "given"
    try:
        g = ideal_gamma(resolve_model(scan.models[0]))
    except Exception:  # noqa: BLE001 - a model not found again: no default
        raise _UsageError(f"cannot find model {scan.models[0]!r} for its ideal-gas heat capacity: give --cp0") from None
    return MOLAR_GAS * g / (g - 1.0), f"classical rigid rotor, cp0/cv0 = {g:.4g}, no vibration"


def _properties(scan: Any, c: Any, args: argparse.Namespace) -> Dict[str, Any]:
    from ..results import properties as pr

    if len(scan.models) != 1 and args.cp0 is None:
        raise _UsageError("a mixture's ideal-gas heat capacity is not known here: give --cp0")
    cp0, cp0_origin = _cp0(scan, args.cp0)
    out = []
    for t in args.temperature:
        p = args.pressure if args.pressure is not None else _pressure_of(scan, c, t, args.density)
        try:
            props = [
                pr.compressibility_factor(scan, t, p, c), pr.fugacity_coefficient(scan, t, p, c),
                pr.residual_enthalpy(scan, t, p, c), pr.residual_entropy(scan, t, p, c),
                pr.residual_isobaric_heat_capacity(scan, t, p, c), pr.joule_thomson_coefficient(scan, t, cp0),
                pr.acoustic_virial(scan, t, cp0 / (cp0 - 8.31446261815324)),
            ]
        except ValueError as exc:
            raise _UsageError(str(exc)) from None
        series = "B and C" if c is not None else "B only"
        how = f"p = {p:.6g} Pa" + ("" if args.pressure is not None else f" (from density {args.density:g} mol/m^3)")
        print(f"{' + '.join(scan.models)} at T = {t:g} K, {how}; virial series with {series}")
        for d in props:
            zero = " (zero pressure)" if d.p_pa == 0.0 and d.name in ("mu_JT", "beta_a") else ""
            unit = "" if d.unit == "1" else d.unit
            print(f"  {d.name:<7} {format_value(d.value, d.stderr):>28}  {unit}{zero}")
        print(f"  cp0 = {cp0:.5g} J/(mol K) ({cp0_origin})")
        out.append({"t_kelvin": t, "p_pa": p, "series": series, "cp0": cp0,
                    "properties": [{"name": d.name, "value": d.value, "stderr": d.stderr, "unit": d.unit}
                                   for d in props]})
    return {"models": list(scan.models), "states": out}


def _fit(scan: Any, args: argparse.Namespace) -> Dict[str, Any]:
    from ..results.fit import fit_b

    try:
        f = fit_b(scan, args.form, args.terms, t0=args.t0, tc=args.tc, pc=args.pc)
    except ValueError as exc:
        raise _UsageError(str(exc)) from None
    print(f"{f.formula}: B in {f.unit}, T in K, fitted to {' + '.join(f.models)} from {f.t_min:g} to {f.t_max:g} K")
    if f.constants:
        print("  " + ", ".join(f"{k} = {v:g}" for k, v in f.constants.items()))
    for n, v, e in zip(f.names, f.values, f.stderrs):
        print(f"  {n:<6} {format_value(v, e):>30}")
    print(f"  chi^2 = {f.chi2:.4g} with {f.dof} degrees of freedom"
          + ("; the form does not describe the scan within its error bars" if f.dof and f.reduced_chi2 > 3 else ""))
    if args.csv:
        f.to_csv(args.csv)
    return f.to_dict()
