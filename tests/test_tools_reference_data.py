"""Shipped reference values: measured sets with their stated uncertainties beside the
reference equations (whose uncertainties are our estimate), and which kind each row is."""
import math

import pytest

import vicatools as vt
from vicatools.results.experiment import sources


def test_default_b_is_measured_with_stated_uncertainties():
    n2 = vt.experimental("trappe-n2")
    assert n2.kind == "measured"
    at300 = [r for r in n2.rows if r.t_kelvin == 300.0]
    # Ewing and Trusler (1992), Landolt-Boernstein IV/21A: B(300 K) = -4.5 +/- 0.1 cm^3/mol
    assert [(r.value, r.uncertainty, r.uncertainty_basis) for r in at300] == [(-4.5, 0.1, "stated")]
    assert "Ewing" in at300[0].source and "Landolt" in at300[0].source
    for name in ("argon", "methane", "ethane", "nitrogen", "carbon dioxide", "water"):
        s = vt.experimental(name)
        assert s.kind == "measured" and len(s.temperatures) >= 5
        assert all(r.uncertainty_basis == "stated" and r.source for r in s.rows)
    c = vt.experimental("argon", "C")
    assert c.kind == "equation" and all(r.uncertainty_basis == "estimated" for r in c.rows)
    assert {k.rstrip("*") for k, *_ in sources("argon")} >= {"tegeler-1999", "gilgen-1994"}
    with pytest.raises(ValueError, match="unknown reference set"):
        vt.experimental("argon", source="nobody-2020")


def test_measured_sets_agree_with_the_reference_equations():
    # two independent origins of B (measurements as compiled; the equations of state fitted to
    # other data as well): where both give a value at one temperature they agree within their
    # uncertainties, which catches a value or a sign copied wrongly into either set
    checked = 0
    for name in ("argon", "methane", "ethane", "nitrogen", "carbon dioxide", "water"):
        eq = {t: (v, u) for t, v, u in vt.experimental(name, source="equation").points}
        for r in vt.experimental(name, source="measured").rows:
            if r.t_kelvin in eq:
                v, u = eq[r.t_kelvin]
                assert abs(r.value - v) <= 2.0 * (r.uncertainty + u), (name, r)
                checked += 1
    assert checked >= 25


def test_neon_has_only_its_equation_marked_as_estimated():
    # no measured neon set is shipped: the default is the reference equation, and every row says so
    for name in ("neon", "ne", "NEON"):
        ne = vt.experimental(name)
        assert ne.kind == "equation" and ne.name == "neon"
        assert all(r.uncertainty_basis == "estimated" and "Thol" in r.source for r in ne.rows)
    assert [k for k, *_ in sources("neon")] == ["thol-2019*"]
    # a value or sign copied wrongly shows in the shape: B of neon rises through zero at its
    # Boyle temperature (about 120 K) and is strongly negative near its critical point (44.4 K)
    b = dict((t, v) for t, v, _ in ne.points)
    assert b[110.0] < 0.0 < b[125.0] and -70.0 < b[45.0] < -30.0
    assert all(v1 < v2 for (_, v1), (_, v2) in zip(sorted(b.items()), sorted(b.items())[1:]))


A3 = 0.6022140857  # cm^3/mol per angstrom^3 per molecule


def scan_of(values_molar, spread=0.05, a=0.0):
    """A B scan with the given molar values at their temperatures, four runs each; the runs'
    T dB/dT is a/T (as of B = b - a/T, whose T^2 d2B/dT2 = -2a/T makes the third entry 0)."""
    ests = []
    for t, v in values_molar.items():
        runs = [[(v + d * spread) / A3, -a / t / A3, 0.0] for d in (-1.5, -0.5, 0.5, 1.5)]
        ests.append(vt.VirialEstimate.from_runs(2, t, runs, "angstrom^3"))
    return vt.VirialScan(2, ("trappe-n2",), tuple(ests), 1e-3, 2, "lorentz-berthelot")


def test_comparison_rows_carry_the_kind_and_trappe_n2_reads_as_measured():
    # a model 1.45 cm^3/mol above B(300 K) of nitrogen (as TraPPE N2 is): against the measured
    # value it is about 14 of the combined uncertainties off, against the equation about 3
    scan = scan_of({300.0: -3.05})
    (row,) = vt.compare(scan, vt.experimental("nitrogen"))
    assert row.kind == "measured" and row.uncertainty_basis == "stated" and "Ewing" in row.source
    assert row.z == pytest.approx(1.45 / math.hypot(0.1, scan[0].molar().value_stderr), rel=1e-6)
    assert 13.0 < row.z < 15.0
    (eq,) = vt.compare(scan, vt.experimental("nitrogen", source="equation"))
    assert eq.kind == "equation" and eq.uncertainty_basis == "estimated" and eq.z < 3.0


def test_figure_names_sources_marks_boyle_and_shows_residuals(tmp_path):
    pytest.importorskip("matplotlib")
    from vicatools.plot import plot_scan

    # B = b - a/T with b = 40 and a = 16400 cm^3 mol^-1 K: Boyle temperature 410 K
    scan = scan_of({t: 40.0 - 16400.0 / t for t in (200.0, 300.0, 400.0, 500.0, 700.0)}, 0.3, 16400.0)
    ref = vt.experimental("argon", source=["estrada-alexanders-1996", "tegeler-1999"])
    for style in ("screen", "paper", "talk"):
        ax = plot_scan(scan, tmp_path / f"b_{style}.png", reference=ref, style=style)
        assert (tmp_path / f"b_{style}.png").stat().st_size > 10000
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert any("measured: Estrada-Alexanders & Trusler 1996" in x for x in labels)
    assert any("Tegeler et al. 1999 (u estimated)" in x for x in labels)
    boyle = next(x for x in labels if x.startswith("Boyle"))
    assert "410.0" in boyle
    fig = ax.figure
    assert len(fig.axes) == 2 and fig.axes[1].get_ylabel().startswith("model")
    assert "\u03b5/k = 36 K" in plot_scan(scan, reference=None).figure.get_supxlabel()
    with pytest.raises(ValueError, match="style"):
        plot_scan(scan, style="poster")
