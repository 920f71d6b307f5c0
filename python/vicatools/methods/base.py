"""What every method shares: the settings of a scan's runs, one task, what a run gives
back, and the `Method` interface.

A method is one way of computing a virial coefficient: Mayer sampling through `vica`
("mayer"), the B_n engine's walk ("walk"), and so on.  Each lives in its own module of
this package, declares what it can compute (`Method.refusal`), turns the settings of
a scan into tasks (`Method.tasks`), runs one task in a worker (`Method.run`), and says
what kind of uncertainty its results carry (`Method.error`): "statistical" (standard
error of the mean over independent runs) or "integration" (an error estimate of a
deterministic rule).  The scan layer (`vicatools.scan`) makes the runs without knowing
any method's insides; the registry (`vicatools.methods`) finds a method by name.
"""
from __future__ import annotations

import hashlib
import json
import math
from abc import ABC, abstractmethod
from dataclasses import dataclass, field
from typing import Any, Callable, ClassVar, Dict, FrozenSet, List, Optional, Sequence, Tuple

from ..models.mixing import LAW_METHODS
from ..models.files import model_to_dict
from ..models.model import Model


def canonical_json(data: Any) -> str:
    return json.dumps(data, sort_keys=True, separators=(",", ":"), allow_nan=True)


def short_hash(data: Any) -> str:
    """16 hex digits of the SHA-256 of `data`'s canonical JSON."""
    return hashlib.sha256(canonical_json(data).encode("utf-8")).hexdigest()[:16]


def json_number(x: float) -> Any:
    """A float in JSON: finite values as numbers, others as the strings "inf", "-inf", "nan"."""
    x = float(x)
    return x if math.isfinite(x) else repr(x)


def model_data(model: Model) -> Dict[str, Any]:
    """A model as stored: `model_to_dict` with a non-finite floor as a string."""
    data = model_to_dict(model)
    data.pop("description", None)  # a listing's text, not part of what runs
    for site in data["sites"]:
        site.pop("mass", None)  # no run depends on masses: stores made before they existed keep their keys
    if "u_min" in data:
        data["u_min"] = json_number(data["u_min"])  # -inf (no floor) as a string
    return data


def models_hash(models: Sequence[Model]) -> str:
    """Hash of the models' full definitions (sites, units converted, floor)."""
    return short_hash([model_data(m) for m in models])


@dataclass(frozen=True)
class ScanSettings:
    """Everything that makes runs of a scan interchangeable, except the temperature:
    the one record that the tasks carry and the results store keys its runs by.

    Attributes:
        order: 2 for B, 3 for C, n for B_n.
        models: two models for B, three for C, n for B_n.
        mixing: mixing rule of the site-pair tables.
        u_min: energy floor in K (-inf for none; -inf for C).
        dev_tol: the runs' relative stop tolerance (the relative precision asked of an
            integration).
        order_max: highest derivative order of the entries.
        length_unit: the runs' unit of length in Å (the reference padding).
        core: distance in Å of the r^-12 core on bare attracting site pairs (0 for none).
        engine: the method's tag in the store (`Method.engine`): "vica" for Mayer sampling
            through Bms / Cms, "bn" for the B_n engine's walk, ...
        block_steps, max_blocks: block length and the most blocks of a B_n engine run.
        revision: the revision of the method's numbers (`Method.revision`); runs of another
            revision have another key, so they are never reused.  0 for records written
            before revisions were kept, whose key leaves it out.
    """

    order: int
    models: Tuple[Model, ...]
    mixing: str
    u_min: float
    dev_tol: float
    order_max: int
    length_unit: float = 1.0
    core: float = 0.0
    engine: str = "vica"
    block_steps: int = 1000000
    max_blocks: int = 1000
    revision: int = 0

    def key_data(self) -> Dict[str, Any]:
        data: Dict[str, Any] = {
            "order": self.order,
            "models_hash": models_hash(self.models),
            "mixing": self.mixing,
            "u_min": json_number(self.u_min),
            "dev_tol": json_number(self.dev_tol),
            "order_max": self.order_max,
            "length_unit": json_number(self.length_unit),
            "core": json_number(self.core),
            "engine": self.engine,
            "block_steps": self.block_steps,
            "max_blocks": self.max_blocks,
        }
        if self.revision:
            data["revision"] = self.revision
        return data

    @property
    def key(self) -> str:
        """16 hex digits identifying these settings."""
        return short_hash(self.key_data())

    def task(self, t_kelvin: float, log_path: Optional[str] = None, token: str = "",
             temperatures: Tuple[float, ...] = ()) -> RunTask:
        """One task of these settings at `t_kelvin` (or at every one of `temperatures`)."""
        return RunTask.of(self, t_kelvin, log_path, token, temperatures)


@dataclass(frozen=True, init=False)
class RunTask:
    """One run: the scan's settings at one temperature (or, for a method that serves
    several temperatures from one run, at each of `temperatures`).

    Built from settings (`ScanSettings.task`) or field by field:
    ``RunTask(order, models, mixing, t_kelvin, u_min, dev_tol, order_max, log_path, token,
    length_unit=1.0, core=0.0, engine="vica", block_steps=1000000, max_blocks=1000)``.
    Every field of the settings reads through (``task.order``, ``task.models``, ...).

    Attributes:
        settings: the scan's settings.
        t_kelvin: temperature in K (the first of `temperatures` when there are several).
        log_path: file for the run's progress lines, or None to discard them.
        token: distinguishes otherwise equal tasks (executors that cache equal calls,
            such as Dask's, must not merge two runs).
        temperatures: every temperature of a run that serves several; () for one.
    """

    settings: ScanSettings
    t_kelvin: float
    log_path: Optional[str]
    token: str
    temperatures: Tuple[float, ...]

    def __init__(self, order: int, models: Tuple[Model, ...], mixing: str, t_kelvin: float, u_min: float,
                 dev_tol: float, order_max: int, log_path: Optional[str], token: str, length_unit: float = 1.0,
                 core: float = 0.0, engine: str = "vica", block_steps: int = 1000000, max_blocks: int = 1000,
                 temperatures: Tuple[float, ...] = ()) -> None:
        settings = ScanSettings(order, tuple(models), mixing, u_min, dev_tol, order_max, length_unit, core, engine,
                                block_steps, max_blocks)
        object.__setattr__(self, "settings", settings)
        object.__setattr__(self, "t_kelvin", float(t_kelvin))
        object.__setattr__(self, "log_path", log_path)
        object.__setattr__(self, "token", token)
        object.__setattr__(self, "temperatures", tuple(float(t) for t in temperatures))

    @classmethod
    def of(cls, settings: ScanSettings, t_kelvin: float, log_path: Optional[str] = None, token: str = "",
           temperatures: Tuple[float, ...] = ()) -> RunTask:
        task = cls.__new__(cls)
        object.__setattr__(task, "settings", settings)
        object.__setattr__(task, "t_kelvin", float(t_kelvin))
        object.__setattr__(task, "log_path", log_path)
        object.__setattr__(task, "token", token)
        object.__setattr__(task, "temperatures", tuple(float(t) for t in temperatures))
        return task

    def __getattr__(self, name: str) -> Any:
        # the settings' fields read through; guarded for copy and pickle, which look for
        # special names before the instance has its fields
        if name.startswith("__") or name == "settings":
            raise AttributeError(name)
        return getattr(self.settings, name)

    @property
    def all_temperatures(self) -> Tuple[float, ...]:
        """The temperatures this run serves, in K."""
        return self.temperatures or (self.t_kelvin,)


@dataclass(frozen=True)
class RunResult:
    """What one run gives back at one temperature.

    Attributes:
        entries: the run's entries, per molecule in Å^(3(n-1)):
            (beta^k / k!) d^k X / d beta^k for k = 0..order_max (`vicatools.results.thermo`).
        cpu_seconds: CPU time of the thread that made the run, in s (shared out over the
            temperatures of a run that serves several).
        errors: an integration's error estimate of each entry (empty for sampled runs).
        converged: False when an integration could not meet its tolerance.
        note: why the run stopped where it did, when that is worth saying.
        t_kelvin: the temperature of these entries, for a run that serves several (else None).
        run_id: for a run that serves several temperatures, one id on its result at each
            ("" for a run of one temperature): the estimates at different temperatures
            share the runs of equal ids, whose values are correlated.
        curve: for the first result of an integration that serves several temperatures, the
            extra temperatures it integrated for the scan's curve: (T, entries, errors) each
            (`vicatools.results.integral_curve`).
    """

    entries: Tuple[float, ...]
    cpu_seconds: float
    errors: Tuple[float, ...] = ()
    converged: bool = True
    note: str = ""
    t_kelvin: Optional[float] = None
    run_id: str = ""
    curve: Tuple[Tuple[float, Tuple[float, ...], Tuple[float, ...]], ...] = ()


class Method(ABC):
    """One way of computing a virial coefficient (see the module doc).

    Class attributes:
        name: the name users choose it by (``method="mayer"``).
        engine: its tag in the settings key and the results store.
        error: "statistical" (runs are independent; the estimate's standard error is
            their standard error of the mean) or "integration" (one run, its error estimate).
        orders: the lowest and highest order it computes.
        serves_many: True when one run serves every temperature of a scan.
        revision: the revision of its numbers, part of every stored run's settings key:
            bump it whenever a change (to the engine, the tools' conversions or the
            estimator) changes the numbers its runs give, so that runs made before are
            made again rather than reused.  `fingerprint` is the hash of the numbers of a
            few fixed-seed runs at this revision (tests/test_tools_revisions.py computes it
            and fails when the numbers changed but the revision did not).
        laws: the site laws it runs (`vicatools.models.model.LAWS`; ``Model.laws``).
    """

    name: ClassVar[str]
    engine: ClassVar[str]
    error: ClassVar[str] = "statistical"
    orders: ClassVar[Tuple[int, int]] = (2, 3)
    serves_many: ClassVar[bool] = False
    revision: ClassVar[int] = 1
    fingerprint: ClassVar[str] = ""
    laws: ClassVar[FrozenSet[str]] = frozenset({"lj"})

    def refusal(self, order: int, models: Sequence[Model]) -> Optional[str]:
        """Why this method cannot compute `order` for `models` (one line), or None."""
        low, high = self.orders
        if not low <= order <= high:
            return f"method {self.name!r} computes orders {low} to {high}, not {order}"
        for m in models:
            other = m.laws - self.laws
            if other:
                elsewhere = " or ".join(f"'{n}'" for n in LAW_METHODS if n != self.name)
                return (
                    f"method {self.name!r} runs the {', '.join(sorted(self.laws))} law only, and model {m.name!r} "
                    f"uses {', '.join(sorted(other))}: use method={elsewhere}"
                )
        return None

    def suits(self, order: int, n_temperatures: int) -> bool:
        """Whether "auto" may take this method for `order` in a scan of `n_temperatures`
        (a method that serves many temperatures: from two on)."""
        return not self.serves_many or n_temperatures >= 2

    def runs_per_temperature(self, runs: int) -> int:
        """How many runs a temperature needs when `runs` are asked (1 for an integration)."""
        return 1 if self.error == "integration" else runs

    def tasks(self, settings: ScanSettings, missing: Sequence[Tuple[int, float, int]],
              log_path: Callable[[int, float, int], Optional[str]], nonce: str) -> List[Tuple[Tuple[int, ...], RunTask]]:
        """The tasks that make the runs still missing: `missing` holds (index of the
        temperature in the scan, T, runs missing); each task comes with the indices of the
        temperatures it serves.  By default one task per run and temperature."""
        out: List[Tuple[Tuple[int, ...], RunTask]] = []
        for i, t, count in missing:
            for r in range(count):
                out.append(((i,), settings.task(t, log_path(i, t, r), f"{nonce}-{i}-{r}")))
        return out

    @abstractmethod
    def run(self, task: RunTask) -> Any:
        """Make one run in a worker: its entries (a list of floats, per molecule in Å
        units) or one `RunResult` (entries with a note on how the run ended) for a task at
        one temperature, or one `RunResult` per temperature of ``task.all_temperatures``."""
