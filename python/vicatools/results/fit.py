"""A fitted B(T) in the forms process simulators and property tables take, with its covariance.

`fit_b` fits one of these forms to a scan of B, by generalised least squares on the
molar values at every scan temperature and, when the runs have them, their T dB/dT
(the two come from the same runs, so each temperature enters with the 2 x 2
covariance of their means over runs).  Temperatures of separate runs are independent of
each other; temperatures served by the same runs of a multi-walk are not
(`vicatools.results.correlation`): the fit then keeps the per-temperature weights, and
the parameters' covariance and chi^2 take the covariance between temperatures
(`correlation.sandwich`: a full inverse would need more runs than data):

* ``"series"``: B = sum_i a_i (T0/T - 1)^i, i = 0 .. terms-1, with T0 = 298.15 K by
  default: the smoothing form of the CRC Handbook's table of second virial coefficients.
* ``"dippr104"``: B = A + B/T + C/T^3 + D/T^8 + E/T^9 (DIPPR equation 104, the form of
  the DIPPR 801 second-virial correlation, here in cm^3/mol and K; ``terms`` of the five
  in that order).
* ``"tsonopoulos"``: B Pc/(R Tc) = f0(Tr) + omega f1(Tr) [+ a/Tr^6 - b/Tr^8], Tsonopoulos'
  correlation (AIChE J. 20, 263 (1974)) with the given Tc and Pc: fits omega, or omega, a
  and b with ``terms=3`` (polar gases).
* ``"pitzer-curl"``: B Pc/(R Tc) = B0(Tr) + omega B1(Tr) (Pitzer and Curl, J. Am. Chem.
  Soc. 79, 2369 (1957)) with the given Tc and Pc: fits omega.

The result, `BFit`, holds the parameters, their covariance matrix (from the standard
errors of the runs alone) and chi^2 with its degrees of freedom: chi^2 / dof well above 1
says the form does not describe the scan within its error bars, and then the covariance
understates the parameters' uncertainty.  `BFit.to_json` and `BFit.to_csv` write it;
calling it gives B and its standard error at any temperature.
"""
from __future__ import annotations

import csv
import json
import math
import pathlib
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

from . import thermo
from .correlation import covariance_of_means, sandwich

if TYPE_CHECKING:
    from .estimate import VirialScan

R_GAS = 8.314462618
"""Molar gas constant in J/(mol K)."""

FORMS = ("series", "dippr104", "tsonopoulos", "pitzer-curl")

Basis = Callable[[float], Tuple[float, float]]
"""A basis function: T -> (phi(T), T dphi/dT), in cm^3/mol."""


def _power(k: int, scale: float = 1.0) -> Basis:
    """scale / T^k."""
    return lambda t: (scale / t**k, -k * scale / t**k)


def _series_term(i: int, t0: float) -> Basis:
    def phi(t: float) -> Tuple[float, float]:
        y = t0 / t - 1.0
        return y**i, (-i * (t0 / t) * y ** (i - 1) if i > 0 else 0.0)

    return phi


def _tr_poly(coefficients: Sequence[Tuple[float, int]], tc: float, scale: float) -> Basis:
    """scale * sum c Tr^-k over (c, k)."""

    def phi(t: float) -> Tuple[float, float]:
        x = tc / t
        return (scale * math.fsum(c * x**k for c, k in coefficients),
                scale * math.fsum(-k * c * x**k for c, k in coefficients))

    return phi


_TSON_F0 = ((0.1445, 0), (-0.330, 1), (-0.1385, 2), (-0.0121, 3), (-0.000607, 8))
_TSON_F1 = ((0.0637, 0), (0.331, 2), (-0.423, 3), (-0.008, 8))
_PC_B0 = ((0.1445, 0), (-0.33, 1), (-0.1385, 2), (-0.0121, 3))
_PC_B1 = ((0.073, 0), (0.46, 1), (-0.5, 2), (-0.097, 3), (-0.0073, 8))


@dataclass(frozen=True)
class BFit:
    """B(T) in a standard form, fitted to a scan.

    Attributes:
        form: one of `FORMS`.
        formula: the form written out.
        names, values: the fitted parameters (B in `unit`, T in K).
        covariance: their covariance matrix (from the runs' standard errors).
        unit: unit of B ("cm^3/mol").
        t_min, t_max: the temperature range of the scan in K (do not extrapolate).
        chi2, dof: chi^2 of the fit and its degrees of freedom.
        n_data: number of data fitted (values and T dB/dT).
        constants: fixed constants of the form (T0, or Tc in K and Pc in Pa).
        models: the models of the scan.
    """

    form: str
    formula: str
    names: Tuple[str, ...]
    values: Tuple[float, ...]
    covariance: Tuple[Tuple[float, ...], ...]
    unit: str
    t_min: float
    t_max: float
    chi2: float
    dof: int
    n_data: int
    constants: Dict[str, float] = field(default_factory=dict)
    models: Tuple[str, ...] = ()

    @property
    def stderrs(self) -> Tuple[float, ...]:
        """Standard errors of the parameters (square roots of the covariance diagonal)."""
        return tuple(math.sqrt(max(self.covariance[i][i], 0.0)) for i in range(len(self.values)))

    @property
    def parameters(self) -> Dict[str, float]:
        """The parameters by name."""
        return dict(zip(self.names, self.values))

    @property
    def reduced_chi2(self) -> float:
        """chi^2 / dof (NaN without degrees of freedom)."""
        return self.chi2 / self.dof if self.dof > 0 else math.nan

    def _basis(self) -> List[Basis]:
        return _bases(self.form, len(self.values), self.constants)

    def __call__(self, t_kelvin: float) -> Tuple[float, float]:
        """(B, standard error) at `t_kelvin` in `unit`, from the parameters and their covariance."""
        basis = [b(t_kelvin) for b in self._basis()]
        offset = _offset(self.form, self.constants, t_kelvin)[0]
        g = [p for p, _ in basis]
        value = offset + math.fsum(gi * v for gi, v in zip(g, self.values))
        var = math.fsum(g[i] * self.covariance[i][j] * g[j] for i in range(len(g)) for j in range(len(g)))
        return value, math.sqrt(max(var, 0.0))

    def to_dict(self) -> Dict[str, Any]:
        """A JSON-ready record of the fit."""
        return {
            "form": self.form,
            "formula": self.formula,
            "unit": {"B": self.unit, "T": "K", "Pc": "Pa", "Tc": "K", "T0": "K"},
            "constants": dict(self.constants),
            "parameters": [
                {"name": n, "value": v, "stderr": s} for n, v, s in zip(self.names, self.values, self.stderrs)
            ],
            "covariance": [list(r) for r in self.covariance],
            "t_range": [self.t_min, self.t_max],
            "chi2": self.chi2,
            "dof": self.dof,
            "n_data": self.n_data,
            "models": list(self.models),
        }

    def to_json(self, path: Union[str, pathlib.Path]) -> None:
        """Write `to_dict` as JSON."""
        pathlib.Path(path).write_text(json.dumps(self.to_dict(), indent=1) + "\n", encoding="utf-8")

    def to_csv(self, path: Union[str, pathlib.Path]) -> None:
        """Write one row per parameter: name, value, stderr, then its row of the covariance;
        comment lines (#) before it give the form, unit, constants, range and chi^2."""
        with open(path, "w", newline="", encoding="utf-8") as f:
            f.write(f"# {self.formula}\n# B in {self.unit}, T in K; valid {self.t_min:g} K to {self.t_max:g} K\n")
            if self.constants:
                f.write("# " + ", ".join(f"{k} = {v:.10g}" for k, v in self.constants.items()) + "\n")
            f.write(f"# chi2 = {self.chi2:.6g} with {self.dof} degrees of freedom\n")
            w = csv.writer(f)
            w.writerow(["parameter", "value", "stderr", *(f"cov_{n}" for n in self.names)])
            for n, v, s, row in zip(self.names, self.values, self.stderrs, self.covariance):
                w.writerow([n, repr(v), repr(s), *(repr(c) for c in row)])


def _offset(form: str, constants: Dict[str, float], t: float) -> Tuple[float, float]:
    """The fixed part of the form (f0 of the corresponding-states forms), (value, T d/dT)."""
    if form in ("tsonopoulos", "pitzer-curl"):
        tc, pc = constants["Tc"], constants["Pc"]
        f0 = _TSON_F0 if form == "tsonopoulos" else _PC_B0
        return _tr_poly(f0, tc, R_GAS * tc / pc * 1e6)(t)
    return 0.0, 0.0


def _bases(form: str, terms: int, constants: Dict[str, float]) -> List[Basis]:
    if form == "series":
        return [_series_term(i, constants["T0"]) for i in range(terms)]
    if form == "dippr104":
        return [_power(k) for k in (0, 1, 3, 8, 9)[:terms]]
    tc, pc = constants["Tc"], constants["Pc"]
    scale = R_GAS * tc / pc * 1e6
    if form == "pitzer-curl":
        return [_tr_poly(_PC_B1, tc, scale)]
    return [_tr_poly(_TSON_F1, tc, scale), _tr_poly(((1.0, 6),), tc, scale), _tr_poly(((-1.0, 8),), tc, scale)][
        :terms
    ]


def _names_and_formula(form: str, terms: int) -> Tuple[Tuple[str, ...], str]:
    if form == "series":
        return tuple(f"a{i}" for i in range(terms)), "B = sum_i a_i (T0/T - 1)^i"
    if form == "dippr104":
        names = ("A", "B", "C", "D", "E")[:terms]
        return names, "B = " + " + ".join(("A", "B/T", "C/T^3", "D/T^8", "E/T^9")[:terms])
    if form == "pitzer-curl":
        return ("omega",), "B Pc/(R Tc) = B0(Tr) + omega B1(Tr) (Pitzer-Curl 1957)"
    formula = "B Pc/(R Tc) = f0(Tr) + omega f1(Tr)" + (" + a/Tr^6 - b/Tr^8" if terms == 3 else "")
    return ("omega", "a", "b")[:terms], formula + " (Tsonopoulos 1974)"


def _solve(a: List[List[float]], b: List[float]) -> List[float]:
    """x with a x = b (a symmetric positive definite, small) by Gaussian elimination with pivoting."""
    n = len(b)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for c in range(n):
        p = max(range(c, n), key=lambda r: abs(m[r][c]))
        if m[p][c] == 0.0:
            raise ValueError("the fit is singular: fewer independent data than parameters")
        m[c], m[p] = m[p], m[c]
        for r in range(c + 1, n):
            f = m[r][c] / m[c][c]
            for k in range(c, n + 1):
                m[r][k] -= f * m[c][k]
    x = [0.0] * n
    for r in range(n - 1, -1, -1):
        x[r] = (m[r][n] - math.fsum(m[r][k] * x[k] for k in range(r + 1, n))) / m[r][r]
    return x


def _inverse(a: List[List[float]]) -> List[List[float]]:
    n = len(a)
    cols = [_solve(a, [1.0 if i == j else 0.0 for i in range(n)]) for j in range(n)]
    return [[cols[j][i] for j in range(n)] for i in range(n)]


def _cross_covariance(scan: VirialScan, nodes: List[Tuple[float, List[float], List[List[float]]]]
                      ) -> Optional[Tuple[NDArray[Any], NDArray[Any]]]:
    """The covariance of all the fitted data, molar, when temperatures share runs (else None):
    blocks between temperatures through their shared runs, each widened as its two temperatures'
    own blocks are (so that its correlation is that of the runs), the own blocks as `_node_data`;
    and the same unwidened (the runs' sample covariance, for the expectation of chi^2)."""
    m = scan.molar()
    if not any(e.run_ids for e in m.estimates):
        return None
    data = [[thermo.derived(r, 2)[: len(d)] for r in e.runs] for e, (_, d, _) in zip(m.estimates, nodes)]
    full = covariance_of_means(data, [e.run_ids for e in m.estimates])
    offsets = np.concatenate([[0], np.cumsum([len(d) for _, d, _ in nodes])]).astype(int)
    if not any(full[offsets[k]:offsets[k + 1], offsets[k + 1]:].any() for k in range(len(nodes))):
        return None
    widen = np.concatenate([[nodes[k][2][0][0] / full[offsets[k], offsets[k]]] * len(nodes[k][1])
                            for k in range(len(nodes))])
    return full * np.sqrt(np.outer(widen, widen)), full


def _node_data(scan: VirialScan, use_derivatives: bool) -> List[Tuple[float, List[float], List[List[float]]]]:
    """Per temperature: (T, data, covariance of the data's means), molar."""
    m = scan.molar()
    out = []
    for e in m.estimates:
        rows = [thermo.derived(r, 2)[:2] for r in e.runs]
        n = len(rows)
        k = 2 if use_derivatives and n > 4 and all(math.isfinite(r[1]) for r in rows) else 1
        means = [math.fsum(r[i] for r in rows) / n for i in range(k)]
        # the inverse of a covariance estimated from n runs over-weights by (n - 1) / (n - k - 2) on
        # average (inverse Wishart): the covariance is widened by that factor to weight without bias
        widen = (n - 1) / (n - k - 2) if n > k + 2 else 3.0
        cov = [
            [widen * math.fsum((r[i] - means[i]) * (r[j] - means[j]) for r in rows) / (n - 1) / n for j in range(k)]
            for i in range(k)
        ]
        out.append((e.t_kelvin, means, cov))
    return out


def fit_b(
    scan: VirialScan,
    form: str = "series",
    terms: Optional[int] = None,
    *,
    t0: float = 298.15,
    tc: Optional[float] = None,
    pc: Optional[float] = None,
    use_derivatives: bool = True,
) -> BFit:
    """Fit `form` (see the module) to the molar B of `scan`; `terms` parameters (default: 3 for
    "series", 4 for "dippr104", 1 for the corresponding-states forms).  The corresponding-states
    forms need the critical temperature `tc` (K) and pressure `pc` (Pa).  With `use_derivatives`
    the runs' T dB/dT at every temperature is fitted as well."""
    if scan.order != 2:
        raise ValueError("fit_b fits B (a scan of order 2)")
    if form not in FORMS:
        raise ValueError(f"form must be one of {', '.join(FORMS)}, got {form!r}")
    most = {"series": 8, "dippr104": 5, "tsonopoulos": 3, "pitzer-curl": 1}[form]
    terms = terms if terms is not None else {"series": 3, "dippr104": 4}.get(form, 1)
    if isinstance(terms, bool) or not isinstance(terms, int) or not 1 <= terms <= most:
        raise ValueError(f"terms of {form} must be an integer from 1 to {most}, got {terms!r}")
    constants: Dict[str, float] = {}
    if form == "series":
        if not (t0 > 0.0 and math.isfinite(t0)):
            raise ValueError(f"t0 must be a temperature above 0 K, got {t0!r}")
        constants["T0"] = float(t0)
    elif form in ("tsonopoulos", "pitzer-curl"):
        if tc is None or pc is None or not (tc > 0.0 and pc > 0.0 and math.isfinite(tc) and math.isfinite(pc)):
            raise ValueError(f"the {form} form needs the critical temperature tc (K) and pressure pc (Pa) above 0")
        constants.update(Tc=float(tc), Pc=float(pc))
    basis = _bases(form, terms, constants)
    nodes = _node_data(scan, use_derivatives)
    n_data = sum(len(d) for _, d, _ in nodes)
    if n_data < terms:
        raise ValueError(f"{n_data} data (values and T dB/dT) cannot fix {terms} parameters: scan more temperatures")
    # normal equations of generalised least squares, block by block
    ata = [[0.0] * terms for _ in range(terms)]
    atb = [0.0] * terms
    blocks = []
    for t, d, cov in nodes:
        k = len(d)
        phis = [b(t) for b in basis]
        rows = [[p[i] for p in phis] for i in range(k)]
        off = _offset(form, constants, t)
        y = [d[i] - off[i] for i in range(k)]
        if any(cov[i][i] <= 0.0 for i in range(k)):
            raise ValueError(f"no spread over the runs at {t:g} K: cannot weight the fit")
        w = _inverse(cov)
        blocks.append((rows, y, w))
        for p in range(terms):
            for q in range(terms):
                ata[p][q] += math.fsum(rows[i][p] * w[i][j] * rows[j][q] for i in range(k) for j in range(k))
            atb[p] += math.fsum(rows[i][p] * w[i][j] * y[j] for i in range(k) for j in range(k))
    values = _solve(ata, atb)
    covariance = _inverse(ata)
    chi2 = 0.0
    residuals: List[float] = []
    for rows, y, w in blocks:
        r = [y[i] - math.fsum(a * v for a, v in zip(rows[i], values)) for i in range(len(y))]
        residuals.extend(r)
        chi2 += math.fsum(r[i] * w[i][j] * r[j] for i in range(len(r)) for j in range(len(r)))
    cross = _cross_covariance(scan, nodes)
    if cross is not None:
        # temperatures that share runs: the weights stay per temperature, the errors take the cross terms
        design = np.array([row for rows, _, _ in blocks for row in rows], dtype=float)
        weight = np.zeros((len(residuals), len(residuals)))
        at = 0
        for rows, _, w in blocks:
            weight[at:at + len(rows), at:at + len(rows)] = w
            at += len(rows)
        full_cov, chi2 = sandwich(design, weight, cross[0], np.array(residuals), cross[1])
        covariance = [[float(x) for x in row] for row in full_cov]
    names, formula = _names_and_formula(form, terms)
    ts = [t for t, _, _ in nodes]
    return BFit(
        form, formula, names, tuple(values), tuple(tuple(r) for r in covariance), scan.molar().unit,
        min(ts), max(ts), chi2, n_data - terms, n_data, constants, tuple(scan.models),
    )
