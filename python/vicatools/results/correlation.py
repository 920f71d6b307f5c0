"""How the estimates of a scan at different temperatures are correlated.

Runs at one temperature are independent, so each estimate's standard error over its runs
is honest.  A run of the multi-temperature walk ("multi-walk") serves several
temperatures from the same samples: its values there are correlated, and so are the
estimates that share such runs.  Every result of one run carries one id
(``VirialEstimate.run_ids``, kept in the results store and in the scan's JSON); the
estimates at T_k and T_l share the m runs of equal ids.

With n_k and n_l runs at T_k and T_l and per-run covariance c_kl of the values (estimated
from the m shared runs, deviations from each estimate's own mean, m - 1 in the
denominator), the covariance of the two means is m c_kl / (n_k n_l): with every run shared
(the usual multi-walk scan) it is the runs' sample covariance over n, the same formula as
the variance of a mean; with no run shared (separate runs, one-temperature methods) it is 0.
Pairs sharing fewer than two runs count as uncorrelated (one shared run gives no spread).

For a fit across temperatures this means: the points are not independent, and the
parameters' covariance must take the cross terms (`sandwich`), or the fit's error bars are
wrong (too small, for the positive correlation of neighbouring temperatures of one walk).
"""
from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from . import thermo


def covariance_of_means(data: Sequence[Sequence[Sequence[float]]], ids: Sequence[Sequence[str]]) -> NDArray[Any]:
    """The covariance matrix of the means of `data`: ``data[k][r]`` is run r's values at
    point k (one or more quantities, the same number for every run of a point) and
    ``ids[k][r]`` its run id ("" or a missing id: a run of its own).  Rows and columns run
    over the points' quantities in order (point 0's first)."""
    sizes = [len(d[0]) if d else 0 for d in data]
    offsets = np.concatenate([[0], np.cumsum(sizes)]).astype(int)
    out = np.zeros((int(offsets[-1]), int(offsets[-1])))
    devs: List[NDArray[Any]] = []
    by_id: List[Dict[str, int]] = []
    for k, d in enumerate(data):
        x = np.asarray(d, dtype=float).reshape(len(d), sizes[k])
        devs.append(x - x.mean(axis=0) if len(d) else x)
        named = list(ids[k]) if k < len(ids) else []
        by_id.append({i: r for r, i in enumerate(named[: len(d)]) if i})
    for k in range(len(data)):
        for j in range(k, len(data)):
            if k == j:
                pairs: List[Tuple[int, int]] = [(r, r) for r in range(len(data[k]))]
            else:
                pairs = [(r, by_id[j][i]) for i, r in by_id[k].items() if i in by_id[j]]
            m = len(pairs)
            if m < 2:
                continue
            a = devs[k][[p for p, _ in pairs]]
            b = devs[j][[q for _, q in pairs]]
            block = m * (a.T @ b) / (m - 1) / (len(data[k]) * len(data[j]))
            out[offsets[k]:offsets[k + 1], offsets[j]:offsets[j + 1]] = block
            out[offsets[j]:offsets[j + 1], offsets[k]:offsets[k + 1]] = block.T
    return out


def value_covariance(estimates: Sequence[Any]) -> List[List[float]]:
    """The covariance of the values of `estimates` (`VirialEstimate`s, in their unit): their
    squared standard errors on the diagonal, the covariance through shared runs off it (0
    between estimates of separate runs).  An integration's diagonal is its squared error estimate."""
    data = [[[thermo.derived(r, e.order)[0]] for r in e.runs] for e in estimates]
    cov = covariance_of_means(data, [e.run_ids for e in estimates])
    for k, e in enumerate(estimates):
        if e.error_kind == "integration" or len(e.runs) < 2:
            cov[k, :] = 0.0
            cov[:, k] = 0.0
            cov[k, k] = e.value_stderr**2
    return [[float(x) for x in row] for row in cov]


def value_correlation(estimates: Sequence[Any]) -> List[List[float]]:
    """The correlation matrix of the estimates' values (`value_covariance` over the products
    of their standard errors): 1 on the diagonal, 0 between estimates of separate runs,
    NaN where an estimate has no spread."""
    cov = value_covariance(estimates)
    sd = [math.sqrt(cov[k][k]) for k in range(len(cov))]
    return [[1.0 if k == j and sd[k] > 0.0 else cov[k][j] / (sd[k] * sd[j]) if sd[k] > 0.0 and sd[j] > 0.0
             else math.nan for j in range(len(cov))] for k in range(len(cov))]


def sandwich(design: NDArray[Any], weight: NDArray[Any], cov: NDArray[Any], residual: NDArray[Any],
             noise: Optional[NDArray[Any]] = None) -> Tuple[NDArray[Any], float]:
    """For a least-squares fit with weights `weight` (the inverse of the data's covariance
    without its cross terms) of data whose full covariance is `cov`: the parameters'
    covariance H A'W C W A H (H the inverse of A'W A), and chi^2 = r'W r scaled so that its
    expectation under the fitted form is the degrees of freedom (correlated data let the
    fit absorb part of the noise, so r'W r alone falls short of them), that expectation
    taken with the covariance `noise` (default `cov`)."""
    a, w = design, weight
    h = np.linalg.inv(a.T @ w @ a)
    param = h @ a.T @ w @ cov @ w @ a @ h
    chi2 = float(residual @ w @ residual)
    project = np.eye(len(residual)) - a @ h @ a.T @ w
    noise = cov if noise is None else noise
    expected = float(np.trace(w @ project @ noise @ project.T))
    dof = len(residual) - a.shape[1]
    if expected > 0.0 and dof > 0:
        chi2 *= dof / expected
    return param, chi2
