"""Rigid interaction-site models: the `Site`, `PairLaw` and `Model` records.

A model is a rigid set of sites, each with a position (Å), a point charge (e)
and a short-range law, named by ``Site.law``:

``"lj"`` (the default)
    Lennard-Jones 12-6, epsilon/k_B (K) and sigma (Å):
    u = 4 eps [(sigma/r)^12 - (sigma/r)^6].  epsilon = 0 or sigma = 0: no core
    (a bare charge).
``"mie"``
    Mie lambda_r-lambda_a: u = C eps [(sigma/r)^lambda_r - (sigma/r)^lambda_a] with
    C = lambda_r / (lambda_r - lambda_a) (lambda_r / lambda_a)^(lambda_a / (lambda_r - lambda_a)).
    Exponents 12 and 6 give Lennard-Jones, to the bit.
``"exp6"``
    Buckingham exp-6: u = A exp(-B r) - C6 / r^6 with ``exp6 = (A, B, C6)`` in K,
    1/Å and K·Å⁶.  It falls to minus infinity at short range (below its inner
    maximum): runs cut that off with an energy floor (`vicatools.models.floors`).
``"table"``
    u(r) from points ``table = (r, u)`` (Å, K; at least 4, r increasing): a natural
    cubic spline in between, a hard core below the first point, 0 beyond the last.
    A table is the whole pair energy: sites with a table carry no charge.

How two sites' laws combine (mixing rules) is in `vicatools.models.laws`; a
`PairLaw` of the model gives the law of one pair of site names explicitly
(an NBFIX-style override), in place of the mixing rule.

Files (TOML/JSON) are read and written by `vicatools.models.files`, force-field files
read by `vicatools.models.readers`.
"""
from __future__ import annotations

import math
import pathlib
from dataclasses import dataclass, field
from typing import Any, FrozenSet, Mapping, Optional, Sequence, Tuple, Union

PathLike = Union[str, "pathlib.Path"]

LAWS = ("lj", "mie", "exp6", "table")
"""The short-range laws a site or a pair can name."""

Table = Tuple[Tuple[float, ...], Tuple[float, ...]]


class ModelFileError(ValueError):
    """A model file (or dictionary) that cannot be read as a model; the message names the file or field."""


def _finite(owner: str, attr: str, value: Any, negative: bool = False) -> float:
    x = float(value)
    if not math.isfinite(x):
        raise ValueError(f"{owner}: {attr} must be finite, got {value!r}")
    if not negative and x < 0.0:
        raise ValueError(f"{owner}: {attr} must not be negative, got {value!r}")
    return x


def _check_law(obj: Any, owner: str) -> None:
    """Validate and normalise the law fields shared by `Site` and `PairLaw` (in place)."""
    if obj.law not in LAWS:
        raise ValueError(f"{owner}: unknown law {obj.law!r} (use one of {', '.join(LAWS)})")
    for attr in ("epsilon", "sigma"):
        object.__setattr__(obj, attr, _finite(owner, attr, getattr(obj, attr)))
    lr = _finite(owner, "lambda_r", obj.lambda_r)
    la = _finite(owner, "lambda_a", obj.lambda_a)
    if obj.law == "mie" and not (lr > la > 0.0):
        raise ValueError(f"{owner}: Mie exponents need lambda_r > lambda_a > 0, got {lr!r} and {la!r}")
    object.__setattr__(obj, "lambda_r", lr)
    object.__setattr__(obj, "lambda_a", la)
    e6 = tuple(obj.exp6)
    if len(e6) != 3:
        raise ValueError(f"{owner}: exp6 must be (A, B, C6), got {obj.exp6!r}")
    e6 = tuple(_finite(owner, f"exp6 {n}", v) for n, v in zip(("A", "B", "C6"), e6))
    if obj.law == "exp6" and e6[0] > 0.0 and not e6[1] > 0.0:
        raise ValueError(f"{owner}: exp-6 needs B > 0 when A > 0, got {e6!r}")
    object.__setattr__(obj, "exp6", e6)
    tab = tuple(obj.table) if obj.table else ((), ())
    if len(tab) != 2:
        raise ValueError(f"{owner}: table must be (r, u), got {obj.table!r}")
    r = tuple(_finite(owner, "table r", x) for x in tab[0])
    u = tuple(_finite(owner, "table u", x, negative=True) for x in tab[1])
    if obj.law == "table":
        if len(r) < 4 or len(u) != len(r):
            raise ValueError(f"{owner}: a table needs at least 4 points (r, u) of equal count")
        if r[0] <= 0.0 or any(not b > a for a, b in zip(r, r[1:])):
            raise ValueError(f"{owner}: a table's distances must be above 0 and increasing")
    object.__setattr__(obj, "table", (r, u))


def _has_core(obj: Any) -> bool:
    if obj.law in ("lj", "mie"):
        return bool(obj.epsilon > 0.0 and obj.sigma > 0.0)
    if obj.law == "exp6":
        return bool(obj.exp6[0] > 0.0 or obj.exp6[2] > 0.0)
    return bool(obj.table[0])


def _law_name(obj: Any) -> str:
    """The law's name, Mie with exponents 12 and 6 being Lennard-Jones."""
    if obj.law == "mie" and obj.lambda_r == 12.0 and obj.lambda_a == 6.0:
        return "lj"
    return str(obj.law)


@dataclass(frozen=True)
class Site:
    """One interaction site.

    Attributes:
        name: label of the site; pair overrides (`PairLaw`) refer to it.
        position: (x, y, z) in Å, in the molecule's own frame.
        epsilon: well depth epsilon/k_B in K of the "lj" and "mie" laws (0: no core).
        sigma: diameter in Å of the "lj" and "mie" laws (0: no core).
        charge: point charge in elementary charges e.
        law: "lj", "mie", "exp6" or "table" (see the module doc).
        lambda_r, lambda_a: the Mie exponents (12 and 6: Lennard-Jones).
        exp6: (A in K, B in 1/Å, C6 in K·Å⁶) of the "exp6" law.
        table: (r in Å, u in K) of the "table" law.
    """

    name: str
    position: Tuple[float, float, float]
    epsilon: float = 0.0
    sigma: float = 0.0
    charge: float = 0.0
    law: str = "lj"
    lambda_r: float = 12.0
    lambda_a: float = 6.0
    exp6: Tuple[float, float, float] = (0.0, 0.0, 0.0)
    table: Table = ((), ())

    def __post_init__(self) -> None:
        pos = tuple(float(x) for x in self.position)
        if len(pos) != 3 or not all(math.isfinite(x) for x in pos):
            raise ValueError(f"site {self.name!r}: position must be three finite numbers, got {self.position!r}")
        object.__setattr__(self, "position", pos)
        object.__setattr__(self, "charge", _finite(f"site {self.name!r}", "charge", self.charge, negative=True))
        _check_law(self, f"site {self.name!r}")
        if self.law == "table" and self.charge != 0.0:
            raise ValueError(
                f"site {self.name!r}: a table is the whole pair energy, so a site with a table carries no charge"
            )

    @property
    def has_core(self) -> bool:
        """True when the site has a short-range law (for "lj": epsilon > 0 and sigma > 0)."""
        return _has_core(self)

    @property
    def law_name(self) -> str:
        """The site's law, a Mie site with exponents 12 and 6 being "lj"."""
        return _law_name(self)


@dataclass(frozen=True)
class PairLaw:
    """The short-range law of the site pair named (a, b), in either order, given
    explicitly instead of by a mixing rule (NBFIX-style).  Fields as in `Site`.
    The pair's Coulomb term still comes from the sites' charges."""

    a: str
    b: str
    law: str = "lj"
    epsilon: float = 0.0
    sigma: float = 0.0
    lambda_r: float = 12.0
    lambda_a: float = 6.0
    exp6: Tuple[float, float, float] = (0.0, 0.0, 0.0)
    table: Table = ((), ())

    def __post_init__(self) -> None:
        _check_law(self, f"pair ({self.a!r}, {self.b!r})")

    def names(self, a: str, b: str) -> bool:
        """True when this override is for the site names `a` and `b` (either order)."""
        return (self.a, self.b) == (a, b) or (self.a, self.b) == (b, a)

    @property
    def has_core(self) -> bool:
        """True when the pair has a short-range term."""
        return _has_core(self)

    @property
    def law_name(self) -> str:
        """The pair's law, Mie with exponents 12 and 6 being "lj"."""
        return _law_name(self)


@dataclass(frozen=True)
class Model:
    """A rigid molecule of interaction sites.

    Attributes:
        name: short name (library key or the file's ``name``).
        sites: the sites, in order.
        source: citation of the parameters.
        u_min: recommended energy floor in K, or None when the model carries none
            (then `vicatools.models.floors.choose_u_min` derives one).
        u_min_reason: why that floor.
        pairs: explicit laws of site pairs by name (`PairLaw`), in place of mixing; one
            name is a site of this model, the other of this model or, for a mixture,
            of the other model.
        description: one line for listings (what the model is for).
    """

    name: str
    sites: Tuple[Site, ...]
    source: str = ""
    u_min: Optional[float] = None
    u_min_reason: str = ""
    pairs: Tuple[PairLaw, ...] = ()
    description: str = field(default="", compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "sites", tuple(self.sites))
        object.__setattr__(self, "pairs", tuple(self.pairs))
        if not self.sites:
            raise ValueError(f"model {self.name!r} has no sites")
        if self.u_min is not None:
            object.__setattr__(self, "u_min", float(self.u_min))
        names = {s.name for s in self.sites}
        seen = set()
        for p in self.pairs:
            if not isinstance(p, PairLaw):
                raise ValueError(f"model {self.name!r}: pairs must be PairLaw records, got {p!r}")
            if p.a not in names and p.b not in names:
                raise ValueError(f"model {self.name!r}: pair ({p.a!r}, {p.b!r}) names no site of the model")
            key = frozenset((p.a, p.b))
            if key in seen:
                raise ValueError(f"model {self.name!r}: pair ({p.a!r}, {p.b!r}) is given twice")
            seen.add(key)

    @property
    def positions(self) -> list[list[float]]:
        """Site positions as a list of [x, y, z] in Å, the shape `vica` takes."""
        return [list(s.position) for s in self.sites]

    @property
    def net_charge(self) -> float:
        """Sum of the site charges in e."""
        return math.fsum(s.charge for s in self.sites)

    @property
    def laws(self) -> FrozenSet[str]:
        """The short-range laws the model's sites and pairs use ("lj", "mie", "exp6",
        "table"; Mie with exponents 12 and 6 counts as "lj"), so that a method can say
        whether it runs the model.  A model of bare charges only gives {"lj"}."""
        out = {s.law_name for s in self.sites if s.has_core} | {p.law_name for p in self.pairs if p.has_core}
        return frozenset(out or {"lj"})

    def centred(self) -> list[list[float]]:
        """Site positions in Å relative to the unweighted centroid of the sites."""
        n = len(self.sites)
        c = [math.fsum(s.position[k] for s in self.sites) / n for k in range(3)]
        return [[s.position[k] - c[k] for k in range(3)] for s in self.sites]

