"""The built-in models: parameters as their papers give them, converted to K and Å.

Each model carries its source, a one-line description and a recommended energy
floor (`vicatools.models.floors`).  Positions are in the molecule's own frame
(an axis or a plane through the origin) and kept to 12 significant digits, the
precision at which model files are read (`vicatools.models.readers`).  Parameters
given in kcal/mol or kJ/mol (or as the A, C coefficients of A/r^12 - C/r^6) are
converted here with the constants of `vicatools.models.units`.
"""
from __future__ import annotations

import math
from typing import List, Tuple

from .laws import exp6_from_minimum
from .model import Model, PairLaw, Site
from .units import KCAL_PER_MOL_TO_K, KJ_PER_MOL_TO_K

NO_FLOOR = "every site has a Lennard-Jones core, so the energy is bounded below and no floor is needed"
_NO_FLOOR_LAW = "every site has a repulsive core, so the energy is bounded below and no floor is needed"
Vec = Tuple[float, float, float]


def _r12(x: float) -> float:
    return float(f"{x:.11e}") if x != 0.0 else 0.0


def _vec(x: float, y: float, z: float) -> Vec:
    return (_r12(x), _r12(y), _r12(z))


def _linear(*sites: Tuple[str, float, float, float, float]) -> Tuple[Site, ...]:
    """Sites on the z axis: (name, z in Å, epsilon in K, sigma in Å, charge in e)."""
    return tuple(Site(n, (0.0, 0.0, z), eps, sig, q) for n, z, eps, sig, q in sites)


def _water(r_oh: float, angle_deg: float) -> Tuple[Vec, Vec]:
    """H positions in Å for an X-H length and H-X-H angle (water, H2S), X at the origin, in the xz plane."""
    half = math.radians(angle_deg) / 2.0
    x, z = r_oh * math.sin(half), r_oh * math.cos(half)
    return _vec(x, 0.0, z), _vec(-x, 0.0, z)


def _from_ac(a: float, c: float) -> Tuple[float, float]:
    """(epsilon in K, sigma in Å) of A/r^12 - C/r^6 with A in kcal Å¹²/mol and C in kcal Å⁶/mol."""
    return _r12(c * c / (4.0 * a) * KCAL_PER_MOL_TO_K), _r12((a / c) ** (1.0 / 6.0))


def _three_site_water(name: str, r_oh: float, angle: float, eps: float, sigma: float, q_h: float) -> Tuple[Site, ...]:
    h1, h2 = _water(r_oh, angle)
    return (Site("O", (0.0, 0.0, 0.0), eps, sigma, -2.0 * q_h), Site("H", h1, 0.0, 0.0, q_h), Site("H", h2, 0.0, 0.0, q_h))


def _four_site_water(r_oh: float, angle: float, d_om: float, eps: float, sigma: float, q_h: float) -> Tuple[Site, ...]:
    h1, h2 = _water(r_oh, angle)
    return (
        Site("O", (0.0, 0.0, 0.0), eps, sigma, 0.0),
        Site("H", h1, 0.0, 0.0, q_h),
        Site("H", h2, 0.0, 0.0, q_h),
        Site("M", (0.0, 0.0, d_om), 0.0, 0.0, -2.0 * q_h),
    )


def _tip5p() -> Tuple[Site, ...]:
    h1, h2 = _water(0.9572, 104.52)
    half = math.radians(109.47) / 2.0
    ly, lz = 0.70 * math.sin(half), -0.70 * math.cos(half)
    q = 0.241
    return (
        Site("O", (0.0, 0.0, 0.0), _r12(0.16 * KCAL_PER_MOL_TO_K), 3.12, 0.0),
        Site("H", h1, 0.0, 0.0, q),
        Site("H", h2, 0.0, 0.0, q),
        Site("L", _vec(0.0, ly, lz), 0.0, 0.0, -q),
        Site("L", _vec(0.0, -ly, lz), 0.0, 0.0, -q),
    )


def _h2s() -> Tuple[Site, ...]:
    """TraPPE H2S: S-H 1.34 Å, H-S-H 92.0°, the X charge on the bisector 0.30 Å from S towards the H's."""
    h1, h2 = _water(1.34, 92.0)
    return (
        Site("S", (0.0, 0.0, 0.0), 122.0, 3.60, 0.0),
        Site("H", h1, 50.0, 2.50, 0.21),
        Site("H", h2, 50.0, 2.50, 0.21),
        Site("X", (0.0, 0.0, 0.30), 0.0, 0.0, -0.42),
    )


def _ammonia() -> Tuple[Site, ...]:
    d, angle = 1.012, math.radians(106.7)
    rho = d * math.sqrt((1.0 - math.cos(angle)) / 1.5)
    z = math.sqrt(d * d - rho * rho)
    hs = tuple(
        Site("H", _vec(rho * math.cos(k * 2.0 * math.pi / 3.0), rho * math.sin(k * 2.0 * math.pi / 3.0), z), 0.0, 0.0, 0.41)
        for k in range(3)
    )
    return (Site("N", (0.0, 0.0, 0.0), 185.0, 3.42, 0.0),) + hs + (Site("M", (0.0, 0.0, 0.08), 0.0, 0.0, -1.23),)


_HCB = "J. O. Hirschfelder, C. F. Curtiss, R. B. Bird, Molecular Theory of Gases and Liquids (Wiley, 1954), " \
    "Lennard-Jones parameters from second virial coefficients"
_TRAPPE_UA = "TraPPE-UA: M. G. Martin, J. I. Siepmann, J. Phys. Chem. B 102, 2569 (1998)"
_TRAPPE_SMALL = "TraPPE: J. J. Potoff, J. I. Siepmann, AIChE J. 47, 1676 (2001)"
_POTOFF = "Mie force field: J. J. Potoff, D. A. Bernard-Brunel, Mie potentials for phase equilibria calculations: " \
    "application to alkanes and perfluoroalkanes, J. Phys. Chem. B 113, 14725 (2009), doi:10.1021/jp9072137"
_EP = exp6_from_minimum(160.3, 4.1796, 15.0)
_WATER_FLOOR = "the H (and M or L) charges have no Lennard-Jones core and collapse onto the other molecule's sites; "


def _floor(e_min: float) -> str:
    return (
        f"2 x the dimer minimum ({e_min:g} K, a random search with local refinement), which cuts off only "
        "the collapse of bare charges"
    )


MODELS: List[Model] = [
    # -- noble gases and one-site gases ------------------------------------------------------------
    Model("argon", _linear(("Ar", 0.0, 119.8, 3.405, 0.0)),
          "Lennard-Jones argon, epsilon/k = 119.8 K, sigma = 3.405 A: A. Michels, Hub. Wijker, H. K. Wijker, "
          "Physica 15, 627 (1949), as tabulated by J. O. Hirschfelder, C. F. Curtiss, R. B. Bird, "
          "Molecular Theory of Gases and Liquids (Wiley, 1954)",
          -math.inf, NO_FLOOR, description="argon, one Lennard-Jones site fitted to B2"),
    Model("neon", _linear(("Ne", 0.0, 35.60, 2.749, 0.0)), _HCB, -math.inf, NO_FLOOR,
          description="neon, one Lennard-Jones site fitted to B2"),
    Model("krypton", _linear(("Kr", 0.0, 171.0, 3.60, 0.0)), _HCB, -math.inf, NO_FLOOR,
          description="krypton, one Lennard-Jones site fitted to B2"),
    Model("xenon", _linear(("Xe", 0.0, 221.0, 4.100, 0.0)), _HCB, -math.inf, NO_FLOOR,
          description="xenon, one Lennard-Jones site fitted to B2"),
    Model("lj-methane", _linear(("CH4", 0.0, 148.2, 3.817, 0.0)), _HCB, -math.inf, NO_FLOOR,
          description="methane, one Lennard-Jones site fitted to B2"),
    Model("lj-nitrogen", _linear(("N2", 0.0, 95.05, 3.698, 0.0)), _HCB, -math.inf, NO_FLOOR,
          description="nitrogen, one Lennard-Jones site fitted to B2"),
    Model("lj-co2", _linear(("CO2", 0.0, 189.0, 4.486, 0.0)), _HCB, -math.inf, NO_FLOOR,
          description="carbon dioxide, one Lennard-Jones site fitted to B2"),
    # -- TraPPE --------------------------------------------------------------------------------------
    Model("trappe-methane", _linear(("CH4", 0.0, 148.0, 3.730, 0.0)), _TRAPPE_UA, -math.inf, NO_FLOOR,
          description="methane, TraPPE united atom (fitted to phase equilibria)"),
    Model("trappe-ethane", _linear(("CH3", -0.77, 98.0, 3.750, 0.0), ("CH3", 0.77, 98.0, 3.750, 0.0)),
          _TRAPPE_UA, -math.inf, NO_FLOOR, description="ethane, TraPPE united atom, two CH3 sites 1.54 A apart"),
    Model("trappe-n2",
          _linear(("N", -0.55, 36.0, 3.31, -0.482), ("COM", 0.0, 0.0, 0.0, 0.964), ("N", 0.55, 36.0, 3.31, -0.482)),
          _TRAPPE_SMALL, -2000.0,
          "the centre charge has no Lennard-Jones core and collapses onto an N of the other molecule; "
          "measured at 100 K, a floor of -2000 K converges while at -1e4 K the floored integral is about "
          "-1e14 A^3; a floor cuts more safely at higher temperatures",
          description="nitrogen, TraPPE: two LJ sites and a charged centre (quadrupole)"),
    Model("trappe-co2",
          _linear(("O", -1.16, 79.0, 3.05, -0.35), ("C", 0.0, 27.0, 2.80, 0.70), ("O", 1.16, 79.0, 3.05, -0.35)),
          _TRAPPE_SMALL, -math.inf, NO_FLOOR, description="carbon dioxide, TraPPE: three charged LJ sites"),
    Model("trappe-o2",
          _linear(("O", -0.605, 49.0, 3.02, -0.113), ("COM", 0.0, 0.0, 0.0, 0.226), ("O", 0.605, 49.0, 3.02, -0.113)),
          "TraPPE: L. Zhang, J. I. Siepmann, Theor. Chem. Acc. 115, 391 (2006)", -390.0,
          "the centre charge has no Lennard-Jones core and collapses onto an O of the other molecule; "
          + _floor(-193.9),
          description="oxygen, TraPPE: two LJ sites and a charged centre (quadrupole)"),
    Model("trappe-ammonia", _ammonia(),
          "TraPPE: L. Zhang, J. I. Siepmann, Collect. Czech. Chem. Commun. 75, 577 (2010), the model with the M "
          "site 0.08 A from N", -2900.0,
          "the H and M charges have no Lennard-Jones core and collapse onto the other molecule's sites; "
          + _floor(-1435.6),
          description="ammonia, TraPPE: N with LJ, three charged H and an M site on the axis"),
    Model("trappe-h2s", _h2s(),
          "TraPPE: M. S. Shah, M. Tsapatsis, J. I. Siepmann, Development of the transferable potentials for phase "
          "equilibria model for hydrogen sulfide, J. Phys. Chem. B 119, 7041 (2015), the four-site "
          "model with Lennard-Jones sites on S and both H: S epsilon/k = 122 K, sigma = 3.60 A; H 50 K, 2.50 A, "
          "q = +0.21; X q = -0.42 on the bisector 0.30 A from S; S-H 1.34 A, H-S-H 92.0 deg", -1510.0,
          "the X charge has no Lennard-Jones core; it sits 0.30 A inside the S core, so an H of the other "
          "molecule reaches it only through the S-H repulsion, but the Coulomb term still falls without bound "
          "at contact; " + _floor(-755.2),
          description="hydrogen sulfide, TraPPE: LJ on S and H, charged H and an X site on the bisector"),
    Model("epm2-co2",
          _linear(("O", -1.149, 80.507, 3.033, -0.3256), ("C", 0.0, 28.129, 2.757, 0.6512),
                  ("O", 1.149, 80.507, 3.033, -0.3256)),
          "EPM2 (rigid): J. G. Harris, K. H. Yung, J. Phys. Chem. 99, 12021 (1995); the paper's C-O cross "
          "parameters (geometric means) are kept as an explicit pair", -math.inf, NO_FLOOR,
          pairs=(PairLaw("C", "O", "lj", 47.588, 2.892),),
          description="carbon dioxide, EPM2 taken rigid (linear), explicit C-O pair"),
    # -- water -----------------------------------------------------------------------------------------
    Model("spc", _three_site_water("spc", 1.0, 109.47, 78.20, 3.166, 0.41),
          "SPC: H. J. C. Berendsen, J. P. M. Postma, W. F. van Gunsteren, J. Hermans, in Intermolecular Forces, "
          "ed. B. Pullman (Reidel, 1981), p. 331", -6600.0, _WATER_FLOOR + _floor(-3318.0),
          description="water, SPC: three sites, LJ on O"),
    Model("spce", _three_site_water("spce", 1.0, 109.47, 78.20, 3.166, 0.4238),
          "SPC/E: H. J. C. Berendsen, J. R. Grigera, T. P. Straatsma, J. Phys. Chem. 91, 6269 (1987)",
          -7200.0,
          "the H charges have no Lennard-Jones core and collapse onto the O of the other molecule; "
          "2 x the dimer minimum (-3620 K, a random search with local refinement), which cuts off "
          "only the collapse; at 300 K, B2 with floors of -5000, -7200 and -10000 K agree within their "
          "error bars", description="water, SPC/E: three sites, LJ on O"),
    Model("tip3p", _three_site_water("tip3p", 0.9572, 104.52, *_from_ac(582.0e3, 595.0), 0.417),
          "TIP3P: W. L. Jorgensen, J. Chandrasekhar, J. D. Madura, R. W. Impey, M. L. Klein, J. Chem. Phys. 79, "
          "926 (1983); A = 582.0e3 kcal A^12/mol, C = 595.0 kcal A^6/mol", -6600.0, _WATER_FLOOR + _floor(-3289.6),
          description="water, TIP3P: three sites, LJ on O"),
    Model("tip4p", _four_site_water(0.9572, 104.52, 0.15, *_from_ac(600.0e3, 610.0), 0.52),
          "TIP4P: W. L. Jorgensen, J. Chandrasekhar, J. D. Madura, R. W. Impey, M. L. Klein, J. Chem. Phys. 79, "
          "926 (1983); A = 600.0e3 kcal A^12/mol, C = 610.0 kcal A^6/mol", -6300.0, _WATER_FLOOR + _floor(-3137.6),
          description="water, TIP4P: four sites, LJ on O, charge on M"),
    Model("tip4p-ew", _four_site_water(0.9572, 104.52, 0.125, _r12(0.16275 * KCAL_PER_MOL_TO_K), 3.16435, 0.52422),
          "TIP4P-Ew: H. W. Horn, W. C. Swope, J. W. Pitera, J. D. Madura, T. J. Dick, G. L. Hura, "
          "T. Head-Gordon, J. Chem. Phys. 120, 9665 (2004)", -6900.0, _WATER_FLOOR + _floor(-3446.4),
          description="water, TIP4P-Ew: TIP4P refitted for Ewald sums"),
    Model("tip4p-2005", _four_site_water(0.9572, 104.52, 0.1546, 93.2, 3.1589, 0.5564),
          "TIP4P/2005: J. L. F. Abascal, C. Vega, J. Chem. Phys. 123, 234505 (2005)",
          -6900.0,
          "the H and M charges have no Lennard-Jones core and collapse onto each other; "
          "2 x the dimer minimum (-3453 K, a random search with local refinement), which cuts off "
          "only the collapse; at 300 K, B2 with floors of -5000 and -6900 K agree within their error "
          "bars (8 runs each)", description="water, TIP4P/2005: four sites, LJ on O, charge on M"),
    Model("tip4p-ice", _four_site_water(0.9572, 104.52, 0.1577, 106.1, 3.1668, 0.5897),
          "TIP4P/Ice: J. L. F. Abascal, E. Sanz, R. Garcia Fernandez, C. Vega, J. Chem. Phys. 122, 234511 (2005)",
          -7500.0, _WATER_FLOOR + _floor(-3769.3), description="water, TIP4P/Ice: TIP4P refitted to ice phases"),
    Model("opc", _four_site_water(0.8724, 103.6, 0.1594, _r12(0.89036 * KJ_PER_MOL_TO_K), 3.16655, 0.6791),
          "OPC: S. Izadi, R. Anandakrishnan, A. V. Onufriev, J. Phys. Chem. Lett. 5, 3863 (2014)",
          -7400.0, _WATER_FLOOR + _floor(-3692.4), description="water, OPC: four sites fitted by multipoles"),
    Model("tip5p", _tip5p(),
          "TIP5P: M. W. Mahoney, W. L. Jorgensen, J. Chem. Phys. 112, 8910 (2000)", -6800.0,
          _WATER_FLOOR + _floor(-3414.3), description="water, TIP5P: five sites, two lone-pair charges"),
    # -- Mie -------------------------------------------------------------------------------------------
    Model("saft-mie-co2", (Site("CO2", (0.0, 0.0, 0.0), 353.55, 3.741, 0.0, "mie", 23.0, 6.66),),
          "SAFT-gamma Mie, one segment: C. Avendano, T. Lafitte, A. Galindo, C. S. Adjiman, G. Jackson, "
          "E. A. Mueller, SAFT-gamma force field for the simulation of molecular fluids. 1. A single-site coarse "
          "grained model of carbon dioxide, J. Phys. Chem. B 115, 11154 (2011): epsilon/k = 353.55 K, "
          "sigma = 3.741 A, lambda_r = 23.0, lambda_a = 6.66", -math.inf, _NO_FLOOR_LAW,
          description="carbon dioxide, one Mie 23-6.66 bead (coarse grained)"),
    Model("mie-methane", (Site("CH4", (0.0, 0.0, 0.0), 161.0, 3.740, 0.0, "mie", 14.0, 6.0),),
          _POTOFF + ": CH4 epsilon/k = 161.00 K, sigma = 3.740 A, lambda_r = 14, lambda_a = 6",
          -math.inf, _NO_FLOOR_LAW, description="methane, one Mie 14-6 site"),
    Model("mie-ethane", tuple(Site("CH3", (0.0, 0.0, z), 121.25, 3.783, 0.0, "mie", 16.0, 6.0) for z in (-0.77, 0.77)),
          _POTOFF + ": CH3 epsilon/k = 121.25 K, sigma = 3.783 A, lambda_r = 16, lambda_a = 6; C-C 1.54 A",
          -math.inf, _NO_FLOOR_LAW, description="ethane, two Mie 16-6 CH3 sites 1.54 A apart"),
    # -- exp-6 -----------------------------------------------------------------------------------------
    Model("exp6-methane", (Site("CH4", (0.0, 0.0, 0.0), law="exp6", exp6=_EP),),
          "exp-6: J. R. Errington, A. Z. Panagiotopoulos, A new intermolecular potential model for the n-alkane "
          "homologous series, J. Phys. Chem. B 103, 6314 (1999), methane: epsilon/k = 160.3 K, r_m = 4.1796 A, "
          "alpha = 15", -1000.0,
          "exp-6 falls to minus infinity inside its inner barrier (below 1 A): a floor far below the well "
          "(-160.3 K) and far above the collapse cuts it off",
          description="methane, one modified-Buckingham exp-6 site"),
]
