"""Built-in models, each with its source and a recommended energy floor.

Every parameter is the one of the cited paper, converted to K (epsilon/k_B)
and Å (the models themselves are in `vicatools.models.catalog`).  Sites are
written in the molecule's own frame (axis or plane through the origin); `vica`
centres molecules itself.
"""
from __future__ import annotations

import os
import pathlib
from typing import Dict, List, Union

from .catalog import MODELS
from .model import Model
from .readers import load_model

LIBRARY: Dict[str, Model] = {m.name: m for m in MODELS}
"""The built-in models by name."""


class UnknownModelError(ValueError):
    """A model name that is neither in the library nor a readable file."""


def model_names() -> List[str]:
    """Names of the built-in models."""
    return list(LIBRARY)


def describe_models() -> List[tuple[str, str, str]]:
    """(name, one-line description, laws) of every built-in model, for listings."""
    return [(m.name, m.description, ", ".join(sorted(m.laws))) for m in MODELS]


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
