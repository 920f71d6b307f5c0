"""Write python/vicatools/data/experimental.json: reference B(T) and C(T) of the library gases.

Development tool only (not run by the package or its tests).  Run from the repository root:

    python scripts/make_experimental_data.py

Two kinds of sets are written for each gas, and every set says which it is:

* "measured": B from measurements (gas densities, Burnett expansions, speed of sound), each value
  with the uncertainty its compilation gives for it (``"uncertainty": "stated"``), and the citation
  of the original measurement (``scripts/measured_virial_data.py``).
* "equation": B and C from the reference equation of state of the gas (zero-density limits of the
  Helmholtz-energy equation, CoolProp's "Bvirial" and "Cvirial").  The cited papers state
  uncertainties for densities, speeds of sound and heat capacities, not for virial coefficients, so
  the uncertainty written is our own estimate (``"uncertainty": "estimated"``): an absolute plus a
  relative part, set conservatively from how well such equations represent measured virial data.
  When CoolProp (``pip install CoolProp``) is not installed the equation points already in the file
  are kept.  Temperatures stay inside each equation's range; C only from about 0.9 Tc up.

The default comparison of a gas (`vicatools.experimental` without ``source``) uses its measured
sets listed in ``DEFAULT`` of ``measured_virial_data.py``.
"""
import json
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from measured_virial_data import DEFAULT, MEASURED  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent.parent / "python" / "vicatools" / "data" / "experimental.json"

EQUATIONS = {
    "argon": dict(
        coolprop="Argon", models=["argon"], key="tegeler-1999",
        source="Ch. Tegeler, R. Span, W. Wagner, J. Phys. Chem. Ref. Data 28, 779 (1999)",
        b_t=[100, 120, 150, 200, 250, 273.15, 300, 350, 400, 450, 500, 600, 700],
        c_t=[150, 200, 250, 273.15, 300, 350, 400, 450, 500, 600, 700],
        b_u=(0.5, 0.005), c_u=(20.0, 0.05),
    ),
    "neon": dict(
        coolprop="Neon", models=["neon"], key="thol-2019",
        source="M. Thol, R. Beckmueller, R. Weiss, A. H. Harvey, E. W. Lemmon, R. T. Jacobsen, R. Span, "
        "Thermodynamic Properties for Neon for Temperatures from the Triple Point to 700 K at Pressures to "
        "700 MPa (2019); the neon equation of CoolProp 8.0.0, which cites it as submitted to J. Phys. Chem. "
        "Ref. Data",
        b_t=[30, 35, 40, 45, 50, 60, 70, 80, 90, 100, 110, 125, 150, 200, 250, 273.15, 300, 400, 500, 600, 700],
        c_t=[40, 50, 60, 70, 80, 90, 100, 125, 150, 200, 250, 273.15, 300, 400, 500, 600, 700],
        b_u=(1.0, 0.02), c_u=(20.0, 0.1),
    ),
    "methane": dict(
        coolprop="Methane", models=["trappe-methane", "lj-methane", "mie-methane", "exp6-methane"], key="setzmann-1991",
        source="U. Setzmann, W. Wagner, J. Phys. Chem. Ref. Data 20, 1061 (1991)",
        b_t=[120, 150, 200, 250, 273.15, 300, 350, 400, 450, 500, 600],
        c_t=[200, 250, 273.15, 300, 350, 400, 450, 500, 600],
        b_u=(0.5, 0.005), c_u=(50.0, 0.05),
    ),
    "ethane": dict(
        coolprop="Ethane", models=["trappe-ethane", "mie-ethane"], key="buecker-2006",
        source="D. Buecker, W. Wagner, J. Phys. Chem. Ref. Data 35, 205 (2006)",
        b_t=[200, 250, 273.15, 300, 350, 400, 450, 500, 600],
        c_t=[300, 350, 400, 450, 500, 600],
        b_u=(1.0, 0.01), c_u=(300.0, 0.1),
    ),
    "nitrogen": dict(
        coolprop="Nitrogen", models=["trappe-n2", "lj-nitrogen"], key="span-2000",
        source="R. Span, E. W. Lemmon, R. T. Jacobsen, W. Wagner, A. Yokozeki, J. Phys. Chem. Ref. Data 29, "
        "1361 (2000)",
        b_t=[80, 100, 125, 150, 200, 250, 273.15, 300, 350, 400, 500, 600, 800, 1000],
        c_t=[125, 150, 200, 250, 273.15, 300, 350, 400, 500, 600, 800, 1000],
        b_u=(0.5, 0.005), c_u=(30.0, 0.05),
    ),
    "carbon dioxide": dict(
        coolprop="CarbonDioxide", models=["trappe-co2", "lj-co2", "epm2-co2", "saft-mie-co2"], key="span-1996",
        source="R. Span, W. Wagner, J. Phys. Chem. Ref. Data 25, 1509 (1996)",
        b_t=[220, 250, 273.15, 300, 350, 400, 450, 500, 600, 800, 1000],
        c_t=[300, 350, 400, 450, 500, 600, 800, 1000],
        b_u=(0.5, 0.01), c_u=(100.0, 0.05),
    ),
    "water": dict(
        coolprop="Water", models=["spce", "tip4p-2005", "spc", "tip3p", "tip4p", "tip4p-ew", "tip4p-ice", "opc", "tip5p"], key="iapws-95",
        source="IAPWS-95: W. Wagner, A. Pruss, J. Phys. Chem. Ref. Data 31, 387 (2002); for B compare "
        "A. H. Harvey, E. W. Lemmon, J. Phys. Chem. Ref. Data 33, 369 (2004)",
        b_t=[300, 325, 350, 373.15, 400, 450, 500, 600, 700, 800, 1000, 1200],
        c_t=[450, 500, 600, 700, 800, 1000, 1200],
        b_u=(2.0, 0.01), c_u=(0.0, 0.25),
    ),
}

ESTIMATED = ("estimated by us, not stated by the paper (which states uncertainties of densities, speeds of "
             "sound and heat capacities): {a:g} {unit} + {r:.3g} |value|")


def equation_points(fluid, key, temps, u, factor, kept):
    """Points of the reference equation by CoolProp, or (without CoolProp) those ``kept()`` gives."""
    try:
        import CoolProp.CoolProp as CP
    except ImportError:
        return kept(), None
    out = []
    for t in temps:
        v = CP.PropsSI(key, "T", float(t), "Dmolar", 1e-6, fluid) * factor
        out.append([float(t), float(f"{v:.6g}"), float(f"{u[0] + u[1] * abs(v):.3g}")])
    import CoolProp

    return out, CoolProp.__version__


def kept_points(old, name, coefficient):
    """Equation points of the file as it is (either layout)."""
    part = old.get("fluids", {}).get(name, {}).get(coefficient, {})
    if "points" in part:
        return part["points"]
    for s in part.get("sets", {}).values():
        if s.get("kind") == "equation":
            return s["points"]
    raise SystemExit(f"no equation points of {name} {coefficient} to keep: install CoolProp")


def main():
    old = json.loads(OUT.read_text(encoding="utf-8")) if OUT.exists() else {}
    version = None
    data = {
        "note": "Reference values: B in cm^3/mol, C in cm^6/mol^2.  Each set has a kind ('measured': from "
        "measurements, with the uncertainty its compilation states for each value; 'equation': the reference "
        "equation of state's zero-density limit, with an uncertainty estimated by us) and says whether its "
        "uncertainties are 'stated' or 'estimated'.  Written by scripts/make_experimental_data.py.",
        "fluids": {},
    }
    for name, f in EQUATIONS.items():
        entry = {"models": f["models"]}
        for coefficient, temps, u, factor, unit, ckey in (
            ("B", f["b_t"], f["b_u"], 1e6, "cm^3/mol", "Bvirial"),
            ("C", f["c_t"], f["c_u"], 1e12, "cm^6/mol^2", "Cvirial"),
        ):
            pts, v = equation_points(f["coolprop"], ckey, temps, u, factor,
                                     lambda: kept_points(old, name, coefficient))
            version = version or v
            sets = {}
            if coefficient == "B":
                for key, m in MEASURED.get(name, {}).items():
                    sets[key] = {
                        "kind": "measured", "uncertainty": "stated", "source": m["source"],
                        "note": f"{m['method']}; uncertainty as given for each value by the compilation",
                        "points": [[float(t), float(b), float(s)] for t, b, s in zip(m["T"], m["B"], m["u"])],
                    }
            sets[f["key"]] = {
                "kind": "equation", "uncertainty": "estimated", "source": f["source"],
                "note": "zero-density limit of the reference equation of state; uncertainty "
                + ESTIMATED.format(a=u[0], unit=unit, r=u[1]),
                "points": pts,
            }
            default = DEFAULT.get(name, []) if coefficient == "B" else []
            entry[coefficient] = {"unit": unit, "default": default or [f["key"]], "sets": sets}
        data["fluids"][name] = entry
    if version is None:
        found = re.search(r"CoolProp ([0-9][0-9.]*[0-9])", old.get("note", ""))
        version = found.group(1) if found else "(unknown version)"
    data["note"] += f"  Equation values evaluated with CoolProp {version}."
    text = json.dumps(data, indent=1, ensure_ascii=False)
    text = re.sub(r"\[\s+([-0-9.e]+),\s+([-0-9.e]+),\s+([-0-9.e]+)\s+\]", r"[\1, \2, \3]", text)
    text = re.sub(r"\[\s+(\"[^\"]*\"(?:,\s+\"[^\"]*\")*)\s+\]", lambda m: "[" + re.sub(r",\s+", ", ", m.group(1)) + "]", text)
    OUT.write_text(text + "\n", encoding="utf-8")
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
