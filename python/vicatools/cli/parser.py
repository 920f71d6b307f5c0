"""The command line's arguments: the parser, the argument types, and bad input as one line."""
from __future__ import annotations

import argparse
import math
import re
from typing import Any, Callable, NoReturn

from ..methods import METHODS

PROG = "python -m vicatools"


class _UsageError(Exception):
    """Bad input: one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # a negative number in any form (-2e3, -.5, -inf) is a value, never an option
        self._negative_number_matcher = re.compile(
            r"^-(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$|^-(inf|infinity)$", re.IGNORECASE
        )

    def error(self, message: str) -> NoReturn:
        raise _UsageError(f"{self.prog}: error: {message}")


def _positive_int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


def _padding(text: str) -> Any:
    if text == "auto":
        return text
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not 'auto' nor a length in angstrom: {text!r}") from None
    if not (value > 0.0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be 'auto' or a finite length in angstrom above 0, got {text!r}")
    return value


def build_parser(*more: Callable[[Any], None]) -> _Parser:
    """The parser; each of `more` adds its subcommands to the subparsers."""
    parser = _Parser(prog=PROG, description="Virial coefficients with error bars from vica runs.")
    sub = parser.add_subparsers(dest="command", metavar="{models,b2,b3,b4,b5,bn,boyle,inversion,properties}",
                                parser_class=_Parser)
    sub.required = True
    sub.add_parser("models", help="list the built-in models (name, sites, description, laws, source)")
    for name in ("b2", "b3", "b4", "b5", "bn"):
        what = {"b2": "second virial coefficient B", "b3": "third virial coefficient C",
                "b4": "fourth virial coefficient B4", "b5": "fifth virial coefficient B5",
                "bn": "n-th virial coefficient B_n (--order N)"}[name]
        p = sub.add_parser(name, help=f"{what} with error bars over a temperature scan")
        nmax = {"b2": "MODEL [MODEL2]", "b3": "MODEL [MODEL2 MODEL3]"}.get(name, "MODEL [one MODEL per molecule]")
        p.add_argument("models", nargs="*", metavar="MODEL",
                       help=f"{nmax}: library names (see `models`) or model files (.json/.toml)")
        p.add_argument("--model-file", default=None, metavar="FILE",
                       help="one more model, read from a force field's files: GROMACS .top, Amber .prmtop, "
                            "CHARMM .psf, OpenMM ForceField .xml (needs OpenMM), or our .toml/.json")
        p.add_argument("--coordinates", default=None, metavar="FILE",
                       help="positions for --model-file (.gro, .inpcrd/.rst7, .crd, .pdb, .cif)")
        p.add_argument("--molecule", default=None, metavar="NAME",
                       help="molecule type of --model-file (GROMACS molecule type or residue name)")
        p.add_argument("--parameters", nargs="+", default=None, metavar="FILE",
                       help="CHARMM parameter files for a --model-file .psf")
        p.add_argument("--temperatures", "-t", nargs="+", type=float, default=None, metavar="T",
                       help="temperatures in K (default with --compare: those of the reference values)")
        if name in ("b2", "b3"):
            p.add_argument("--compare", nargs="?", const="library", default=None, metavar="CSV|SETS",
                           help="print the model beside reference values: the shipped ones of the library gas "
                                "(measured B by default; 'equation', 'measured' or set keys, comma-separated, "
                                "choose), or your CSV of T (K), value, uncertainty (cm^3/mol for B, "
                                "cm^6/mol^2 for C)")
        p.add_argument("--runs", type=_positive_int, default=8, metavar="N",
                       help="independent runs per temperature, at least 2 (default 8)")
        p.add_argument("--dev-tol", type=float, default=1e-3, metavar="X",
                       help="relative stop tolerance of every run (default 1e-3)")
        p.add_argument("--order-max", type=_positive_int, default=2, metavar="K",
                       help="highest 1/T derivative order (default 2; 2 is needed for T^2 d2X/dT2)")
        if name == "bn":
            p.add_argument("--order", type=_positive_int, required=True, metavar="N",
                           help="the order n of B_n, 2 to 8")
        if name not in ("b2", "b3"):
            p.add_argument("--force-runs", action="store_true",
                           help="accept fewer than 8 runs per temperature for B4 and higher (their run values are "
                                "heavy-tailed: the error bar is then too small more often than not)")
            p.add_argument("--max-blocks", type=_positive_int, default=20, metavar="B",
                           help="production blocks per run at most (default 20; the error bar shrinks "
                                "as 1/sqrt of the run's length)")
            p.add_argument("--block-steps", type=_positive_int, default=1000000, metavar="S",
                           help="Monte Carlo steps per block, at least 1000 (default 1000000)")
        if name != "b3":
            p.add_argument("--u-min", type=float, default=None, metavar="U",
                           help="energy floor in K (default: the model's recommendation or a derived one)")
        if name in ("b2", "b3"):
            p.add_argument("--reference-padding", type=_padding, default="auto", metavar="{auto,A}",
                           help="padding of the hard-sphere reference in angstrom, or 'auto' (default): changes "
                           "the error bars, not the values; 1 gives runs made in angstrom")
            p.add_argument("--core", default="default", metavar="D|none",
                           help="core distance in angstrom on attracting site pairs with bare charges "
                                + ("(used for C; " if name == "b3" else "(used only with --u-min -inf; ")
                                + "default 0.1), or 'none' to refuse it")
        p.add_argument("--method", choices=("auto", *METHODS), default="auto",
                       help="how to compute it: 'auto' (default) takes the best method that can, "
                            "'mayer' Mayer sampling through vica (B, C), 'walk' the B_n engine")
        if name == "b2":
            p.add_argument("--quantum", choices=("none", "first-order"), default="none",
                           help="'first-order' adds the first-order (Wigner-Kirkwood) quantum correction, "
                                "translational and rotational, from the site masses (default none: classical)")
        p.add_argument("--mixing", choices=("lorentz-berthelot", "geometric"), default="lorentz-berthelot",
                       help="mixing rule for unlike sites (default lorentz-berthelot)")
        p.add_argument("--workers", type=_positive_int, default=None, metavar="W",
                       help="worker processes (default: all cores)")
        p.add_argument("--scheduler", default=None, metavar="ADDRESS",
                       help="send the runs to a running Dask scheduler, e.g. tcp://host:8786")
        p.add_argument("--reduced", action="store_true",
                       help="also print the table in the reduced units of a one-site Lennard-Jones model "
                            "(B_n / sigma^(3(n-1)) at T* = kT/epsilon)")
        p.add_argument("--csv", default=None, metavar="FILE", help="write a CSV table (molar units)")
        p.add_argument("--json", default=None, metavar="FILE", help="write JSON with every run's entries")
        p.add_argument("--plot", default=None, metavar="FILE",
                       help="write a plot, .png, .pdf, .svg, .eps or .ps by its suffix (needs matplotlib)")
        p.add_argument("--plot-style", choices=("screen", "paper", "talk"), default="screen",
                       help="the plot's style: screen (default), paper (one column, serif, 300 dpi) or talk")
        p.add_argument("--results", default=None, metavar="FILE",
                       help="the results store, a JSON Lines file of every run (default: a file in the user's "
                       "data directory named after the scan's settings); runs already there are not made again")
        p.add_argument("--log-dir", default=None, metavar="DIR",
                       help="keep each run's progress lines in a file there (default: discard them)")
        p.add_argument("--quiet", "-q", action="store_true", help="no progress bar and no notes on standard error")
    for add in more:
        add(sub)
    return parser


def parse_core(text: str) -> Any:
    """--core: "default", "none" or a distance in Å above 0."""
    if text in ("default", "none"):
        return text
    try:
        d = float(text)
    except ValueError:
        raise _UsageError(f"--core must be a distance in angstrom or 'none', got {text!r}") from None
    if not (d > 0.0 and math.isfinite(d)):
        raise _UsageError(f"--core must be a distance above 0 angstrom or 'none', got {text!r}")
    return d
