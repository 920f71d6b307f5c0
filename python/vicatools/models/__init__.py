"""What interacts: molecules as sites (`Model`, `Site`), the model library and model
files, mixing rules and site-pair tables, cores, energy floors, the reference
padding and units.  Imports nothing from the other layers of `vicatools`."""
from __future__ import annotations

from .files import model_from_dict, model_to_dict, save_model
from .model import Model, ModelFileError, PairLaw, Site
from .readers import load_model

__all__ = ["Model", "ModelFileError", "PairLaw", "Site", "load_model", "model_from_dict", "model_to_dict", "save_model"]
