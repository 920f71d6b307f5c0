"""vicatools: from a force field to B(T) and C(T) with error bars, using `vica`.

Units: lengths in Å, energies in K (energy / k_B), charges in e; coefficients
per molecule in Å³ (B) and Å⁶ (C), or molar in cm³/mol and cm⁶/mol² via
``.molar()``.

>>> import vicatools as vt
>>> scan = vt.b2("trappe-co2", temperatures=[250, 300, 400], runs=4)   # doctest: +SKIP
>>> for e in scan.molar():                                            # doctest: +SKIP
...     print(e.t_kelvin, e.value, e.value_stderr)
"""
from __future__ import annotations

import pkgutil

# The compiled engine (vicatools._engine) is built into the installed package.  Run
# from a source checkout (PYTHONPATH=python), the package's search path also takes
# the installed copy's directory, so the engine is found there while every Python
# module still comes from the checkout.
__path__ = pkgutil.extend_path(__path__, __name__)

from .results import experiment, properties
from .models.cores import CORE_DISTANCE, CoreChoice, CoreRefusedError
from .results.curve import Curve, CurvePoint, CurveRoot
from .api import b2, b3, b4, b5, bn
from .methods import METHODS
from .results.estimate import ScanError, ScanFailure, VirialEstimate, VirialScan, mean_and_stderr
from .results.experiment import ComparisonRow, ExperimentalSet, ReferencePoint, compare, experimental
from .models.library import LIBRARY, UnknownModelError, get_model, model_names, resolve_model
from .models.files import model_from_dict, model_to_dict, save_model
from .models.model import Model, ModelFileError, PairLaw, Site
from .models.readers import load_model
from .models.padding import PaddingChoice, choose_padding
from .models.mixing import MIXING_RULES, mix, pair_table, site_potk
from .results.fit import BFit, fit_b
from .results.notes import HeavyTailWarning, ZeroCrossingWarning
from .results.thermo import BoyleTemperature, boyle_temperature, derived, value_at
from .results.quantum import QuantumWarning
from .models.floors import UMinChoice, choose_u_min, derive_u_min, lowest_dimer_energy
from . import plot as _plot  # noqa: F401 - gives VirialScan.plot() its figure

__all__ = [
    "CORE_DISTANCE",
    "ComparisonRow",
    "CoreChoice",
    "CoreRefusedError",
    "Curve",
    "CurvePoint",
    "CurveRoot",
    "ExperimentalSet",
    "ReferencePoint",
    "compare",
    "experimental",
    "fit_b",
    "properties",
    "LIBRARY",
    "MIXING_RULES",
    "BFit",
    "BoyleTemperature",
    "Model",
    "ModelFileError",
    "PaddingChoice",
    "QuantumWarning",
    "ScanError",
    "ScanFailure",
    "PairLaw",
    "Site",
    "UMinChoice",
    "UnknownModelError",
    "VirialEstimate",
    "VirialScan",
    "b2",
    "b3",
    "b4",
    "b5",
    "bn",
    "boyle_temperature",
    "choose_padding",
    "choose_u_min",
    "derive_u_min",
    "derived",
    "get_model",
    "HeavyTailWarning",
    "ZeroCrossingWarning",
    "load_model",
    "lowest_dimer_energy",
    "mean_and_stderr",
    "mix",
    "model_from_dict",
    "model_names",
    "model_to_dict",
    "pair_table",
    "resolve_model",
    "save_model",
    "site_potk",
    "value_at",
]
