"""Built-in models, each with its source and a recommended energy floor.

Every parameter is the one of the cited paper, converted to K (epsilon/k_B)
and Å.  Sites are written in the molecule's own frame (axis or plane through
the origin); `vica` centres molecules itself.
"""
from __future__ import annotations

import math
import os
import pathlib
from typing import Dict, List, Union

from .model import Model, Site, load_model

_NO_FLOOR = (
    "every site has a Lennard-Jones core, so the energy is bounded below and no floor is needed"
)


def _linear(*sites: tuple[str, float, float, float, float]) -> tuple[Site, ...]:
    """Sites on the z axis: (name, z in Å, epsilon in K, sigma in Å, charge in e)."""
    return tuple(Site(n, (0.0, 0.0, z), eps, sig, q) for n, z, eps, sig, q in sites)


def _water(r_oh: float, angle_deg: float) -> tuple[tuple[float, float, float], tuple[float, float, float]]:
    """H positions in Å for an O-H length and H-O-H angle, O at the origin, in the xz plane."""
    half = math.radians(angle_deg) / 2.0
    x, z = r_oh * math.sin(half), r_oh * math.cos(half)
    return (x, 0.0, z), (-x, 0.0, z)


_H1_SPCE, _H2_SPCE = _water(1.0, 109.47)
_H1_TIP4P, _H2_TIP4P = _water(0.9572, 104.52)

_MODELS: List[Model] = [
    Model(
        "argon",
        _linear(("Ar", 0.0, 119.8, 3.405, 0.0)),
        "Lennard-Jones argon, epsilon/k = 119.8 K, sigma = 3.405 A: A. Michels, Hub. Wijker, H. K. Wijker, "
        "Physica 15, 627 (1949), as tabulated by J. O. Hirschfelder, C. F. Curtiss, R. B. Bird, "
        "Molecular Theory of Gases and Liquids (Wiley, 1954)",
        -math.inf,
        _NO_FLOOR,
    ),
    Model(
        "trappe-methane",
        _linear(("CH4", 0.0, 148.0, 3.730, 0.0)),
        "TraPPE-UA: M. G. Martin, J. I. Siepmann, J. Phys. Chem. B 102, 2569 (1998)",
        -math.inf,
        _NO_FLOOR,
    ),
    Model(
        "trappe-ethane",
        _linear(("CH3", -0.77, 98.0, 3.750, 0.0), ("CH3", 0.77, 98.0, 3.750, 0.0)),
        "TraPPE-UA: M. G. Martin, J. I. Siepmann, J. Phys. Chem. B 102, 2569 (1998)",
        -math.inf,
        _NO_FLOOR,
    ),
    Model(
        "trappe-n2",
        _linear(
            ("N", -0.55, 36.0, 3.31, -0.482),
            ("COM", 0.0, 0.0, 0.0, 0.964),
            ("N", 0.55, 36.0, 3.31, -0.482),
        ),
        "TraPPE: J. J. Potoff, J. I. Siepmann, AIChE J. 47, 1676 (2001)",
        -2000.0,
        "the centre charge has no Lennard-Jones core and collapses onto an N of the other molecule; "
        "measured at 100 K, a floor of -2000 K converges while at -1e4 K the floored integral is about "
        "-1e14 A^3; a floor cuts more safely at higher temperatures",
    ),
    Model(
        "trappe-co2",
        _linear(
            ("O", -1.16, 79.0, 3.05, -0.35),
            ("C", 0.0, 27.0, 2.80, 0.70),
            ("O", 1.16, 79.0, 3.05, -0.35),
        ),
        "TraPPE: J. J. Potoff, J. I. Siepmann, AIChE J. 47, 1676 (2001)",
        -math.inf,
        _NO_FLOOR,
    ),
    Model(
        "spce",
        (
            Site("O", (0.0, 0.0, 0.0), 78.20, 3.166, -0.8476),
            Site("H", _H1_SPCE, 0.0, 0.0, 0.4238),
            Site("H", _H2_SPCE, 0.0, 0.0, 0.4238),
        ),
        "SPC/E: H. J. C. Berendsen, J. R. Grigera, T. P. Straatsma, J. Phys. Chem. 91, 6269 (1987)",
        -7200.0,
        "the H charges have no Lennard-Jones core and collapse onto the O of the other molecule; "
        "2 x the dimer minimum (-3620 K, a random search with local refinement), which cuts off "
        "only the collapse; at 300 K, B2 with floors of -5000, -7200 and -10000 K agree within their "
        "error bars",
    ),
    Model(
        "tip4p-2005",
        (
            Site("O", (0.0, 0.0, 0.0), 93.2, 3.1589, 0.0),
            Site("H", _H1_TIP4P, 0.0, 0.0, 0.5564),
            Site("H", _H2_TIP4P, 0.0, 0.0, 0.5564),
            Site("M", (0.0, 0.0, 0.1546), 0.0, 0.0, -1.1128),
        ),
        "TIP4P/2005: J. L. F. Abascal, C. Vega, J. Chem. Phys. 123, 234505 (2005)",
        -6900.0,
        "the H and M charges have no Lennard-Jones core and collapse onto each other; "
        "2 x the dimer minimum (-3453 K, a random search with local refinement), which cuts off "
        "only the collapse; at 300 K, B2 with floors of -5000 and -6900 K agree within their error "
        "bars (8 runs each)",
    ),
]

LIBRARY: Dict[str, Model] = {m.name: m for m in _MODELS}
"""The built-in models by name."""


class UnknownModelError(ValueError):
    """A model name that is neither in the library nor a readable file."""


def model_names() -> List[str]:
    """Names of the built-in models."""
    return list(LIBRARY)


def get_model(name: str) -> Model:
    """The built-in model `name`; raises `UnknownModelError` listing the known names."""
    try:
        return LIBRARY[name]
    except KeyError:
        raise UnknownModelError(f"unknown model {name!r}; known models: {', '.join(LIBRARY)}") from None


def resolve_model(model: Union[Model, str, "os.PathLike[str]"]) -> Model:
    """A `Model` from a `Model`, a library name, or the path of a model file."""
    if isinstance(model, Model):
        return model
    if isinstance(model, str) and model in LIBRARY:
        return LIBRARY[model]
    path = pathlib.Path(model)
    if path.is_file():
        return load_model(path)
    raise UnknownModelError(
        f"unknown model {str(model)!r} (neither a file nor a library model); known models: {', '.join(LIBRARY)}"
    )
