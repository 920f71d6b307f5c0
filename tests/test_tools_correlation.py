"""The correlation between the temperatures of a scan: from the runs a multi-walk shares, kept
through the results store and JSON, and taken by the fit of B(T)."""
import math

import numpy as np

import vicatools as vt
from vicatools import io
from vicatools.results.estimate import VirialEstimate, VirialScan

TS = [300.0, 310.0, 330.0]


def _scan(method, results, runs=6):
    return vt.bn("argon", 2, temperatures=TS, runs=runs, dev_tol=1e300, block_steps=1000, max_blocks=12,
                 method=method, progress=False, results=results, workers=1)


def _aligned_corrcoef(scan):
    """numpy's corrcoef of the runs' values, the runs matched by their ids."""
    ids = scan[0].run_ids
    cols = []
    for e in scan:
        by_id = dict(zip(e.run_ids, e.runs))
        cols.append([by_id[i][0] for i in ids])
    return np.corrcoef(np.array(cols))


def test_a_multi_walk_scan_says_how_its_temperatures_are_correlated(tmp_path, capfd):
    path = tmp_path / "runs.jsonl"
    scan = _scan("multi-walk", path)
    capfd.readouterr()
    corr = np.array(scan.correlation())
    assert all(len(set(e.run_ids)) == 6 and set(e.run_ids) == set(scan[0].run_ids) for e in scan)
    np.testing.assert_allclose(corr, _aligned_corrcoef(scan), rtol=1e-9, atol=1e-12)
    assert corr[0, 1] > 0.5  # neighbouring temperatures of one walk share their samples
    cov = np.array(scan.covariance())
    np.testing.assert_allclose(np.sqrt(np.diag(cov)), [e.value_stderr for e in scan], rtol=1e-12)
    # the linkage survives the results store and the scan's JSON
    np.testing.assert_allclose(io.read_store(path).correlation(), corr, rtol=1e-12)
    io.write_json(scan, tmp_path / "scan.json")
    np.testing.assert_allclose(io.read_json(tmp_path / "scan.json").correlation(), corr, rtol=1e-12)
    # separate runs (one walk per temperature): the identity
    walk = _scan("walk", False)
    capfd.readouterr()
    assert not any(e.run_ids for e in walk)
    np.testing.assert_array_equal(walk.correlation(), np.eye(3))


def test_a_temperature_listed_twice_gets_walks_of_its_own(tmp_path, capfd):
    path = tmp_path / "runs.jsonl"
    scan = vt.bn("argon", 2, temperatures=[300.0, 300.0, 330.0], runs=3, dev_tol=1e300, block_steps=1000,
                 max_blocks=12, method="multi-walk", progress=False, results=path, workers=1)
    capfd.readouterr()
    first, second = scan[0], scan[1]
    assert not set(first.run_ids) & set(second.run_ids) and first.value != second.value
    back = io.read_store(path)[0]  # all six runs at 300 K, each once
    assert back.n_runs == 6 and len(set(back.run_ids)) == 6


def _synthetic_scan(rng, ts, truth, runs, shared, rho, spread):
    """A scan of B with `runs` runs per temperature whose values have correlation `rho` between
    temperatures through the first `shared` runs (one id across temperatures); the others are
    runs of their own."""
    k = len(ts)
    cov = spread**2 * (rho * np.ones((k, k)) + (1 - rho) * np.eye(k))
    joint = rng.multivariate_normal(np.zeros(k), cov, size=shared)
    estimates = []
    for j, t in enumerate(ts):
        own = rng.normal(0.0, spread, size=runs - shared)
        values = np.concatenate([joint[:, j], own]) + truth(t)
        ids = [f"w{r}" for r in range(shared)] + [f"t{j}-{r}" for r in range(runs - shared)]
        estimates.append(VirialEstimate.from_runs(2, t, [[v, 0.0] for v in values], "cm^3/mol", run_ids=ids))
    return VirialScan(2, ("synthetic",), tuple(estimates), 1e-3, 1, "lorentz-berthelot")


def test_the_correlation_of_the_estimates_matches_that_over_repeated_scans():
    """With 5 of 8 runs shared and runs correlated 0.8, the estimates' correlation is
    5/8 x 0.8 = 0.5: the mean of `correlation()` over repeated scans agrees with the
    correlation of their values across the repeats (numpy), within their measured spread."""
    rng = np.random.default_rng(7)
    repeats = 400
    got, means = [], []
    for _ in range(repeats):
        s = _synthetic_scan(rng, [300.0, 320.0], lambda t: 0.0, 8, 5, 0.8, 1.0)
        got.append(s.correlation()[0][1])
        means.append([e.value for e in s])
    across = np.corrcoef(np.array(means).T)[0, 1]
    tol = 5 * math.sqrt(np.var(got) / repeats + (1 - across**2) ** 2 / repeats)
    assert abs(np.mean(got) - across) < tol
    assert abs(across - 0.5) < 5 * (1 - 0.25) / math.sqrt(repeats)


def test_the_fit_takes_the_correlation_between_temperatures():
    """A straight B(T) fitted to scans whose temperatures share correlated runs: the parameters'
    standard errors the fit reports agree with their spread over repeated scans (the ratio's
    tolerance from its measured spread), and chi^2 / dof averages 1; treated as independent
    (ids dropped), the error of a0 would be understated."""
    rng = np.random.default_rng(11)
    ts = [250.0, 280.0, 310.0, 340.0, 370.0]
    truth = (-20.0, 60.0)

    def b(t):
        return truth[0] + truth[1] * (298.15 / t - 1.0)

    fits, blind = [], []
    for _ in range(300):
        s = _synthetic_scan(rng, ts, b, 8, 8, 0.9, 2.0)
        fits.append(vt.fit_b(s, "series", 2, use_derivatives=False))
        plain = VirialScan(2, s.models, tuple(e.__class__.from_runs(2, e.t_kelvin, e.runs, e.unit) for e in s),
                           1e-3, 1, "lorentz-berthelot")
        blind.append(vt.fit_b(plain, "series", 2, use_derivatives=False))
    a0 = np.array([f.values[0] for f in fits])
    said = np.array([f.stderrs[0] for f in fits])
    spread = a0.std(ddof=1)
    ratio = said.mean() / spread
    # the error of a standard deviation from n repeats is about 1 / sqrt(2 (n - 1)) of it
    tol = 5 * math.sqrt(1 / (2 * (len(a0) - 1)) + said.var() / said.mean() ** 2 / len(a0))
    assert abs(ratio - 1.0) < tol, (ratio, tol)
    reduced = np.array([f.chi2 / f.dof for f in fits])
    assert abs(reduced.mean() - 1.0) < 5 * reduced.std(ddof=1) / math.sqrt(len(reduced))
    assert np.mean([f.stderrs[0] for f in blind]) / spread < 1.0 - tol
