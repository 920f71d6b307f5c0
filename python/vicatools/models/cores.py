"""A repulsive core for attracting site pairs with bare charges.

A site pair whose charges attract (c1 < 0) and which has no Lennard-Jones core
has a pair energy c1 / r without lower bound: two molecules can fall onto each
other.  `vica.Cms` has no energy floor, so C of such a model diverges (the
collapse region is tiny, but exp(-u/T) has no bound there), and `vica.Bms`
needs its floor ``u_min`` unless the pair gets a core.

Mayer-sampling work on the virial coefficients of point-charge water models
(K. M. Benjamin, J. K. Singh, A. J. Schultz, D. A. Kofke, J. Phys. Chem. B 111,
11463 (2007)) keeps unlike bare charges apart by a hard core of about 0.1 Å.
`vica` takes no hard core, so the core is emulated by an r^-12 term on exactly
those site pairs:

    u(r) = c1 / r + c12 / r^12,   c12 = |c1| (d / 2)^11,   d = core distance (0.1 Å)

so that

* u crosses zero at r0 = d / 2 and rises as r^-12 below: a wall of effective
  diameter between d/2 and d at every temperature of interest (|c1| / d is of
  order 10^5 to 10^6 K for the charges of the library models);
* outside d the added term is below (r0 / r)^11 <= 2^-11 (5e-4) of the Coulomb
  term, and below 10^-11 of it beyond 1 Å, so no physical configuration feels
  it: in the library models the other sites' Lennard-Jones repulsion keeps
  unlike bare charges of two molecules well apart (their energy at 0.1 Å is
  above +10^8 K), and the core only removes the singular collapse at a few 10^-4 Å
  and closer;
* the pair energy is bounded below by -(11/12) |c1| / r_m with
  r_m = 12^(1/11) r0 (the minimum of u).

Pairs with a Lennard-Jones core, repelling pairs (c1 > 0) and pairs without
charges are left as they are.

Pairs of other short-range laws (`vicatools.models.laws`) get no core: Mie and
tables are bounded below by their own repulsion; exp-6 falls to minus infinity
inside its inner barrier whatever the charges, so its collapse is cut by the
energy floor (`vicatools.models.floors`), which the B2 integrator and the B_n
walk take, not by a core.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple, Union

from .laws import mixed_law
from .mixing import _pairs
from .units import COULOMB_K_ANGSTROM
from .model import Model

class CoreRefusedError(ValueError):
    """A run that needs the core (bare attracting charges, no floor) with the core refused."""


CORE_DISTANCE = 0.1
"""Default core distance d in Å (see the module doc)."""


@dataclass(frozen=True)
class CoreChoice:
    """The core used for a run.

    Attributes:
        distance: core distance d in Å (0: no core).
        pairs: the site pairs (names, first model's site first) that get the core term.
        origin: "default", "given", "refused" or "not-needed".
        reason: one sentence saying why.
    """

    distance: float
    pairs: Tuple[Tuple[str, str], ...]
    origin: str
    reason: str

    @property
    def applied(self) -> bool:
        """True when some pair gets the core term."""
        return self.distance > 0.0 and bool(self.pairs)


CoreLike = Union[float, CoreChoice, None, str]


def bare_pairs(models: Sequence[Model], mixing: str = "lorentz-berthelot") -> List[Tuple[str, str]]:
    """Names of the site pairs that attract by their charges and have no
    Lennard-Jones core, over every pair of distinct molecules of a run on `models`
    (two for B, three for C), each name pair listed once."""
    out: List[Tuple[str, str]] = []
    for i in range(len(models)):
        for j in range(i + 1, len(models)):
            pairs = _pairs(models[i], models[j])
            for a in models[i].sites:
                for b in models[j].sites:
                    c1 = COULOMB_K_ANGSTROM * a.charge * b.charge
                    if c1 < 0.0 and mixed_law(a, b, mixing, pairs) is None:
                        key = (a.name, b.name)
                        if key not in out and (b.name, a.name) not in out:
                            out.append(key)
    return out


def checked_core(
    models: Sequence[Model], mixing: str = "lorentz-berthelot", core: CoreLike = "default", what: str = "C"
) -> CoreChoice:
    """`choose_core`, raising `CoreRefusedError` when the core is refused but some
    bare charges of `models` can collapse (`what` names the quantity in the message)."""
    choice = choose_core(models, mixing, core)
    if choice.origin == "refused" and choice.pairs:
        names = ", ".join(f"{a}-{b}" for a, b in choice.pairs)
        raise CoreRefusedError(
            f"{what} of these models diverges without a core: the bare charges of the site pairs {names} "
            "fall onto each other (refuse the core only for models without such pairs)"
        )
    return choice


def choose_core(models: Sequence[Model], mixing: str = "lorentz-berthelot", core: CoreLike = "default") -> CoreChoice:
    """The core for a run on `models`: `core` is "default" (``CORE_DISTANCE``), a
    distance in Å (> 0), None or "none" (refused), or a `CoreChoice` (used as it is).

    A refused core is recorded as such: the caller decides whether the run can
    go on without it."""
    if isinstance(core, CoreChoice):
        return core
    pairs = tuple(bare_pairs(models, mixing))
    if core is None or (isinstance(core, str) and core.lower() == "none"):
        return CoreChoice(0.0, pairs, "refused", "refused by the caller")
    if isinstance(core, str):
        if core != "default":
            raise ValueError(f"core must be a distance in angstrom, 'default' or None, got {core!r}")
        distance, origin = CORE_DISTANCE, "default"
    else:
        if isinstance(core, bool) or not isinstance(core, (int, float)):
            raise ValueError(f"core must be a distance in angstrom, 'default' or None, got {core!r}")
        distance = float(core)
        if not (distance > 0.0 and math.isfinite(distance)):
            raise ValueError(f"core distance must be a finite number above 0 angstrom, got {core!r}")
        origin = "given"
    if not pairs:
        return CoreChoice(
            0.0, (), "not-needed", "every site pair that attracts by its charges has a Lennard-Jones core"
        )
    names = ", ".join(f"{a}-{b}" for a, b in pairs)
    return CoreChoice(
        distance,
        pairs,
        origin,
        f"r^-12 core on the bare attracting pairs {names}: zero of the pair energy at {distance / 2:g} A, "
        f"below 5e-4 of the Coulomb term outside {distance:g} A",
    )
