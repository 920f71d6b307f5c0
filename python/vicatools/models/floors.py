"""The energy floor ``u_min`` of `vica.Bms` runs.

`vica.Bms` counts a configuration whose energy is at or below ``u_min`` as a
full overlap (Mayer value -1).  Where a charged site has no Lennard-Jones core
(the centre site of TraPPE N2, the H and M sites of water models), two
molecules can fall onto each other: the Coulomb term of an opposite-charge pair
goes to minus infinity at contact, in a region so small that no sampler finds
it, but whose weight exp(-u/T) grows without bound.  A floor just below the
physical dimer minimum cuts that region off without touching any physical
configuration; a floor far below it lets the region dominate the estimate (its
contribution grows like exp(-u_min / T), so a floor that is safe at low T is
safer still at high T).

Rules, in order (`choose_u_min`):

1. a floor given by the caller is used as given;
2. a library model paired with itself uses the floor recommended with it;
3. a pair in which no site pair can collapse (every pair that attracts by its
   charges has a Lennard-Jones core) needs no floor: -inf;
4. otherwise the floor is ``FLOOR_FACTOR`` (2) times the lowest dimer energy
   found by `lowest_dimer_energy`, a short seeded random search with local
   refinement over `vica.Uij.uij`.  Rule 4 is deterministic (fixed seed).
"""
from __future__ import annotations

import math
import random
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple

from .laws import entry_energy, inner_barrier
from .model import Model
from .mixing import can_collapse, law_entries, pair_table

FLOOR_FACTOR = 2.0
"""Multiple of the lowest dimer energy found that rule 4 takes as the floor."""


@dataclass(frozen=True)
class UMinChoice:
    """The floor used for a B2 run.

    Attributes:
        value: u_min in K (may be -inf: no floor).
        origin: "given", "model" (recommended with the model), "not-needed" (rule 3), "derived" (rule 4),
            or "stored" (read back from a results store by `vicatools.io.read_store`).
        reason: one sentence saying why.
    """

    value: float
    origin: str
    reason: str


def _turns_polar(u: float) -> float:
    """Polar angle in turns with cos(theta) uniform, from a uniform u in [0, 1)."""
    return math.acos(1.0 - 2.0 * u) / (2.0 * math.pi)


def lowest_dimer_energy(
    first: Model,
    second: Model,
    mixing: str = "lorentz-berthelot",
    samples: int = 20000,
    refine_steps: int = 1500,
    seed: int = 20240601,
) -> float:
    """Lowest energy in K of two molecules (centred on their site centroids) found by
    a seeded random search: `samples` random distances and orientations, then
    `refine_steps` shrinking random moves from each of the four best.  An upper
    bound of the true minimum (the physical dimer well, not the collapse of
    bare charges, whose region is far too small to be met).

    Models of Lennard-Jones and charges are searched through `vica.Uij`; other
    laws through their Python energies (`vicatools.models.laws.entry_energy`),
    an exp-6 pair counting as a wall inside its inner barrier (the collapse that
    the floor cuts off is not a dimer well)."""
    a = first.centred()
    b = second.centred()
    reach = max(math.sqrt(sum(x * x for x in p)) for p in a) + max(math.sqrt(sum(x * x for x in p)) for p in b)
    sigma = max(max(s.sigma for s in list(first.sites) + list(second.sites)), _largest_size(first, second, mixing))
    r_max = reach + 2.0 * max(sigma, 1.0)
    rng = random.Random(seed)
    energy = _vica_energy(a, b, first, second, mixing) if (first.laws | second.laws) == {"lj"} else \
        _python_energy(a, b, first, second, mixing)

    found: List[tuple[float, List[float]]] = []
    for _ in range(samples):
        x = [
            rng.uniform(0.0, r_max),
            rng.random(),
            _turns_polar(rng.random()),
            rng.random(),
            _turns_polar(rng.random()),
            rng.random(),
        ]
        found.append((energy(x), x))
    found.sort(key=lambda item: item[0])
    best = found[0][0]
    for e0, x0 in found[:4]:
        e, x = e0, list(x0)
        for step in range(refine_steps):
            scale = 0.3 * 0.01 ** (step / refine_steps)
            trial = [x[0] + rng.gauss(0.0, scale)] + [v + rng.gauss(0.0, 0.1 * scale) for v in x[1:]]
            et = energy(trial)
            if et < e:
                e, x = et, trial
        best = min(best, e)
    return best


def _largest_size(first: Model, second: Model, mixing: str) -> float:
    from .padding import largest_sigma

    return largest_sigma([first, second], mixing)


def _rotation(turns: Sequence[float]) -> List[List[float]]:
    """Rotation matrix from (phi, theta, psi) in turns (z-y-z Euler angles)."""
    f, t, p = (2.0 * math.pi * x for x in turns)
    cf, sf, ct, st, cp, sp = math.cos(f), math.sin(f), math.cos(t), math.sin(t), math.cos(p), math.sin(p)
    return [
        [cf * ct * cp - sf * sp, -cf * ct * sp - sf * cp, cf * st],
        [sf * ct * cp + cf * sp, -sf * ct * sp + cf * cp, sf * st],
        [-st * cp, st * sp, ct],
    ]


def _vica_energy(
    a: Sequence[Sequence[float]], b: Sequence[Sequence[float]], first: Model, second: Model, mixing: str
) -> Callable[[Sequence[float]], float]:
    """Dimer energy of (r and five angles in turns) by `vica.Uij`."""
    import vica

    uij = vica.Uij(a, b, pair_table(first, second, mixing))

    def energy(x: Sequence[float]) -> float:
        return float(uij.uij(*x))

    return energy


def _python_energy(
    a: Sequence[Sequence[float]], b: Sequence[Sequence[float]], first: Model, second: Model, mixing: str
) -> Callable[[Sequence[float]], float]:
    """Dimer energy of x = (r, three Euler angles of the first, polar and last Euler angle
    of the second; in turns) by the flat entries, the second molecule at distance r along z."""
    rows, tables = law_entries(first, second, mixing)
    walls = [[inner_barrier(e, tables) for e in row] for row in rows]

    def energy(x: Sequence[float]) -> float:
        ra, rb = _rotation(x[1:4]), _rotation((0.0, x[4], x[5]))
        pa = [[sum(ra[i][k] * p[k] for k in range(3)) for i in range(3)] for p in a]
        pb = [[sum(rb[i][k] * p[k] for k in range(3)) + (x[0] if i == 2 else 0.0) for i in range(3)] for p in b]
        total = 0.0
        for i, p in enumerate(pa):
            for j, q in enumerate(pb):
                r = math.dist(p, q)
                if r <= walls[i][j] or r == 0.0:
                    return math.inf
                total += entry_energy(rows[i][j], tables, r)
        return total

    return energy


def derive_u_min(first: Model, second: Model, mixing: str = "lorentz-berthelot") -> UMinChoice:
    """Rules 3 and 4 of the module doc for the pair (first, second)."""
    if not can_collapse(first, second, mixing):
        return UMinChoice(
            -math.inf,
            "not-needed",
            "every site pair that attracts by its charges has a Lennard-Jones core, "
            "so the energy is bounded below and no floor is needed",
        )
    e_min = lowest_dimer_energy(first, second, mixing)
    if not e_min < 0.0:
        return UMinChoice(-1000.0, "derived", "no attractive dimer found by the search; floor set to -1000 K")
    return UMinChoice(
        FLOOR_FACTOR * e_min,
        "derived",
        f"{FLOOR_FACTOR:g} x the lowest dimer energy found by a random search ({e_min:.1f} K); "
        "bare charges collapse below it",
    )


def choose_u_min(
    models: Sequence[Model], mixing: str = "lorentz-berthelot", u_min: Optional[float] = None
) -> UMinChoice:
    """The floor for B2 of ``models`` (one model, or the pair): rules 1 to 4 of the module doc."""
    if u_min is not None:
        if math.isnan(u_min):
            raise ValueError("u_min must be a number, got nan")
        return UMinChoice(float(u_min), "given", "given by the caller")
    first = models[0]
    second = models[1] if len(models) > 1 else first
    if first == second and first.u_min is not None:
        return UMinChoice(first.u_min, "model", first.u_min_reason or f"recommended with model {first.name!r}")
    return derive_u_min(first, second, mixing)


def check_floor(first: Model, second: Model, mixing: str, u_min: float) -> None:
    """Refuse a floor above the lowest pair energy of the two models (found by
    `lowest_dimer_energy`): every configuration at or below the floor
    counts as a full overlap, so such a floor would cut into the attractive well."""
    if not math.isfinite(u_min):
        return
    e_min = lowest_dimer_energy(first, second, mixing)
    if u_min > e_min:
        pair = first.name if first is second or first == second else f"{first.name} + {second.name}"
        raise ValueError(
            f"u_min = {u_min:g} K is above the lowest pair energy of {pair} ({e_min:.4g} K): every "
            f"configuration at or below the floor counts as a full overlap (f = -1), so this floor "
            f"would cut off part of the attractive well and give a wrong B; give a floor below "
            f"{e_min:.4g} K, or none"
        )


def check_floors(models: Sequence[Model], mixing: str, u_min: float) -> None:
    """Refuse a floor given for runs of `models` (two for B, n for B_n) unless it lies below
    the lowest pair energy of every pair of them that interacts in the runs (`check_floor`
    for each distinct pair), or is -inf (no floor).  A floor of +inf or NaN is refused too:
    every configuration would count as a full overlap."""
    if math.isnan(u_min) or u_min == math.inf:
        raise ValueError(f"u_min must be a number (in K, below the pair energies' minimum) or -inf for none, "
                         f"got {u_min!r}")
    if u_min == -math.inf:
        return
    seen: List[Tuple[Model, Model]] = []
    for i, a in enumerate(models):
        for b in models[i + 1:]:
            if any((a == x and b == y) or (a == y and b == x) for x, y in seen):
                continue
            seen.append((a, b))
            check_floor(a, b, mixing, u_min)


def bn_u_min(models: Sequence[Model], mixing: str, u_min: Optional[float]) -> UMinChoice:
    """The energy floor of a B_n run: the rule of `choose_u_min` for each pair of
    distinct models, the highest floor of them all."""
    distinct: List[Model] = []
    for m in models:
        if all(m is not d for d in distinct):
            distinct.append(m)
    if len(distinct) == 1:
        return choose_u_min(distinct, mixing, u_min)
    choices = [
        choose_u_min([a, b], mixing, u_min) for i, a in enumerate(distinct) for b in distinct[i:]
    ]
    return max(choices, key=lambda c: c.value)
