"""Write python/vicatools/data/experimental.json: B(T) and C(T) of the library gases
from their reference equations of state.

Development tool only (not run by the package or its tests): needs CoolProp
(``pip install CoolProp``), a library implementing the reference equations
cited below; B and C are its zero-density limits of the Helmholtz-energy
equations (CoolProp's "Bvirial" and "Cvirial").  Run from the repository root:

    python scripts/make_experimental_data.py

The uncertainties written are our conservative estimates of how well each
equation represents measured virial coefficients (an absolute part plus a
relative part, combined as a sum); they are not the uncertainty statements of
the cited papers, which are given for densities, speeds of sound and heat
capacities.  Temperatures stay inside each equation's range of validity; C
only from about the critical temperature up (0.9 Tc and above), where the
equations were fitted to measured C or to gas densities that fix it.
"""
import json
import pathlib
import re

import CoolProp
import CoolProp.CoolProp as CP

FLUIDS = {
    "argon": dict(
        coolprop="Argon",
        models=["argon"],
        source="Ch. Tegeler, R. Span, W. Wagner, J. Phys. Chem. Ref. Data 28, 779 (1999)",
        b_t=[100, 120, 150, 200, 250, 273.15, 300, 350, 400, 450, 500, 600, 700],
        c_t=[150, 200, 250, 273.15, 300, 350, 400, 450, 500, 600, 700],
        b_u=(0.5, 0.005), c_u=(20.0, 0.05),
    ),
    "methane": dict(
        coolprop="Methane",
        models=["trappe-methane"],
        source="U. Setzmann, W. Wagner, J. Phys. Chem. Ref. Data 20, 1061 (1991)",
        b_t=[120, 150, 200, 250, 273.15, 300, 350, 400, 450, 500, 600],
        c_t=[200, 250, 273.15, 300, 350, 400, 450, 500, 600],
        b_u=(0.5, 0.005), c_u=(50.0, 0.05),
    ),
    "ethane": dict(
        coolprop="Ethane",
        models=["trappe-ethane"],
        source="D. Buecker, W. Wagner, J. Phys. Chem. Ref. Data 35, 205 (2006)",
        b_t=[200, 250, 273.15, 300, 350, 400, 450, 500, 600],
        c_t=[300, 350, 400, 450, 500, 600],
        b_u=(1.0, 0.01), c_u=(300.0, 0.1),
    ),
    "nitrogen": dict(
        coolprop="Nitrogen",
        models=["trappe-n2"],
        source="R. Span, E. W. Lemmon, R. T. Jacobsen, W. Wagner, A. Yokozeki, J. Phys. Chem. Ref. Data 29, "
        "1361 (2000)",
        b_t=[80, 100, 125, 150, 200, 250, 273.15, 300, 350, 400, 500, 600, 800, 1000],
        c_t=[125, 150, 200, 250, 273.15, 300, 350, 400, 500, 600, 800, 1000],
        b_u=(0.5, 0.005), c_u=(30.0, 0.05),
    ),
    "carbon dioxide": dict(
        coolprop="CarbonDioxide",
        models=["trappe-co2"],
        source="R. Span, W. Wagner, J. Phys. Chem. Ref. Data 25, 1509 (1996)",
        b_t=[220, 250, 273.15, 300, 350, 400, 450, 500, 600, 800, 1000],
        c_t=[300, 350, 400, 450, 500, 600, 800, 1000],
        b_u=(0.5, 0.01), c_u=(100.0, 0.05),
    ),
    "water": dict(
        coolprop="Water",
        models=["spce", "tip4p-2005"],
        source="IAPWS-95: W. Wagner, A. Pruss, J. Phys. Chem. Ref. Data 31, 387 (2002); for B compare "
        "A. H. Harvey, E. W. Lemmon, J. Phys. Chem. Ref. Data 33, 369 (2004)",
        b_t=[300, 325, 350, 373.15, 400, 450, 500, 600, 700, 800, 1000, 1200],
        c_t=[450, 500, 600, 700, 800, 1000, 1200],
        b_u=(2.0, 0.01), c_u=(0.0, 0.25),
    ),
}


def points(fluid, key, temps, u, factor):
    out = []
    for t in temps:
        v = CP.PropsSI(key, "T", float(t), "Dmolar", 1e-6, fluid) * factor
        out.append([float(t), float(f"{v:.6g}"), float(f"{u[0] + u[1] * abs(v):.3g}")])
    return out


def main():
    data = {
        "note": "B in cm^3/mol and C in cm^6/mol^2 from reference equations of state (zero-density limits, "
        f"evaluated with CoolProp {CoolProp.__version__}); uncertainty: estimated agreement of the equation "
        "with measured virial coefficients (absolute + relative part), not a statement of the cited papers",
        "fluids": {},
    }
    for name, f in FLUIDS.items():
        data["fluids"][name] = {
            "models": f["models"],
            "source": f["source"],
            "B": {"unit": "cm^3/mol", "uncertainty": {"absolute": f["b_u"][0], "relative": f["b_u"][1]},
                  "points": points(f["coolprop"], "Bvirial", f["b_t"], f["b_u"], 1e6)},
            "C": {"unit": "cm^6/mol^2", "uncertainty": {"absolute": f["c_u"][0], "relative": f["c_u"][1]},
                  "points": points(f["coolprop"], "Cvirial", f["c_t"], f["c_u"], 1e12)},
        }
    out = pathlib.Path(__file__).resolve().parent.parent / "python" / "vicatools" / "data" / "experimental.json"
    out.parent.mkdir(exist_ok=True)
    text = json.dumps(data, indent=1)
    text = re.sub(r"\[\s+([-0-9.e]+),\s+([-0-9.e]+),\s+([-0-9.e]+)\s+\]", r"[\1, \2, \3]", text)
    out.write_text(text + "\n", encoding="utf-8")
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
