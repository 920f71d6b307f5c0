"""B2 with its first-order quantum correction: classical value, correction and their sum.

`vicatools.b2(..., quantum="first-order")` computes the classical B2 as always and
the first-order (Wigner–Kirkwood, ħ²) correction ΔB of `vicatools.methods.quantum`,
translational and rotational, with its temperature derivatives.  `corrected` adds
the correction entry by entry to the estimate's entries and to every run's entries,
so that the value, T dB/dT, T² d²B/dT², nearby temperatures (``at``), curves and
derived properties are those of the corrected B.  The estimate keeps the classical
value and the correction with their errors (``classical_value``,
``quantum_correction``, ``*_stderr``); the standard errors of the sum combine the
classical standard error and the correction's integration error in quadrature
(the curves' standard errors, from the runs' spread, carry the classical part only:
the correction is computed to a tenth of it).

The first-order term is the start of a series in ħ²/(m k T σ²) and ħ²/(I k T): when
it is more than `HIGHER_ORDERS_FRACTION` (10 %) of |B| (near the Boyle temperature,
of a tenth of |T dB/dT|: `validity_note`), the next orders are not small either, and the estimate says so in its notes (and a `QuantumWarning` is
issued): higher orders or path-integral methods are needed there.
"""
from __future__ import annotations

import math
import warnings
from dataclasses import replace
from typing import Sequence, Tuple

from .estimate import VirialEstimate, VirialScan

QUANTUM_ORDERS = ("none", "first-order")
"""What ``quantum=`` accepts: no correction, or the first-order (ħ²) correction."""

HIGHER_ORDERS_FRACTION = 0.10
"""Above this fraction of |B| the first-order correction is not a safe approximation."""

LABEL = "first-order quantum corrected (Wigner-Kirkwood, hbar^2)"
"""How output names a corrected value: never without saying that it is first order."""


class QuantumWarning(UserWarning):
    """A first-order quantum correction too large for the first order to be trusted."""


def check_quantum(quantum: object) -> str:
    """`quantum` if it is one of `QUANTUM_ORDERS`, else ValueError."""
    if not isinstance(quantum, str) or quantum not in QUANTUM_ORDERS:
        raise ValueError(f"quantum must be one of {', '.join(QUANTUM_ORDERS)}, got {quantum!r}")
    return quantum


def corrected(
    estimate: VirialEstimate, entries: Sequence[float], errors: Sequence[float], notes: Sequence[str] = ()
) -> VirialEstimate:
    """`estimate` (classical, per molecule) with the correction whose entries
    (β^k/k!) d^kΔB/dβ^k and error estimates are `entries` and `errors` (same unit) added."""
    if estimate.quantum != "none":
        raise ValueError("the estimate already carries a quantum correction")
    if estimate.order != 2:
        raise ValueError("the quantum correction is implemented for B2 only")
    k = len(estimate.entries_mean)
    if len(entries) < k or len(errors) < k:
        raise ValueError(f"the correction needs {k} entries and errors, got {len(entries)} and {len(errors)}")
    q = tuple(float(x) for x in entries[:k])
    qe = tuple(abs(float(x)) for x in errors[:k])
    corr = VirialEstimate.from_integral(2, estimate.t_kelvin, q, qe, estimate.unit)
    return replace(
        estimate,
        value=estimate.value + corr.value,
        value_stderr=math.hypot(estimate.value_stderr, corr.value_stderr),
        t_dxdt=estimate.t_dxdt + corr.t_dxdt,
        t_dxdt_stderr=math.hypot(estimate.t_dxdt_stderr, corr.t_dxdt_stderr),
        t2_d2xdt2=estimate.t2_d2xdt2 + corr.t2_d2xdt2,
        t2_d2xdt2_stderr=math.hypot(estimate.t2_d2xdt2_stderr, corr.t2_d2xdt2_stderr),
        entries_mean=tuple(a + b for a, b in zip(estimate.entries_mean, q)),
        entries_stderr=tuple(math.hypot(a, b) for a, b in zip(estimate.entries_stderr, qe)),
        runs=tuple(tuple(a + b for a, b in zip(r, q)) for r in estimate.runs),
        notes=estimate.notes + tuple(notes),
        quantum="first-order",
        classical_value=estimate.value,
        classical_value_stderr=estimate.value_stderr,
        quantum_correction=corr.value,
        quantum_correction_stderr=corr.value_stderr,
        quantum_entries=q,
        quantum_errors=qe,
    )


def classical(estimate: VirialEstimate) -> VirialEstimate:
    """The classical estimate behind a corrected one (the estimate itself when classical)."""
    if estimate.quantum == "none":
        return estimate
    q, qe = estimate.quantum_entries, estimate.quantum_errors
    corr = VirialEstimate.from_integral(2, estimate.t_kelvin, q, qe, estimate.unit)

    def minus(total: float, part: float) -> float:
        return math.sqrt(max(total * total - part * part, 0.0))

    return replace(
        estimate,
        value=estimate.classical_value,
        value_stderr=estimate.classical_value_stderr,
        t_dxdt=estimate.t_dxdt - corr.t_dxdt,
        t_dxdt_stderr=minus(estimate.t_dxdt_stderr, corr.t_dxdt_stderr),
        t2_d2xdt2=estimate.t2_d2xdt2 - corr.t2_d2xdt2,
        t2_d2xdt2_stderr=minus(estimate.t2_d2xdt2_stderr, corr.t2_d2xdt2_stderr),
        entries_mean=tuple(a - b for a, b in zip(estimate.entries_mean, q)),
        entries_stderr=tuple(minus(a, b) for a, b in zip(estimate.entries_stderr, qe)),
        runs=tuple(tuple(a - b for a, b in zip(r, q)) for r in estimate.runs),
        quantum="none",
        quantum_correction=0.0,
        quantum_correction_stderr=0.0,
        quantum_entries=(),
        quantum_errors=(),
    )


def validity_note(estimate: VirialEstimate) -> str:
    """A note when the correction exceeds `HIGHER_ORDERS_FRACTION` of |B|, else "".

    Near the Boyle temperature B passes through zero while its attractive and repulsive
    parts, and the correction, stay finite: there |B| is replaced by a tenth of
    |T dB/dT| (the change of B over a tenth of T) when that is larger."""
    c, b = estimate.quantum_correction, estimate.value
    scale = max(abs(b), 0.1 * abs(estimate.t_dxdt)) if math.isfinite(estimate.t_dxdt) else abs(b)
    if estimate.quantum == "none" or not abs(c) > HIGHER_ORDERS_FRACTION * scale:
        return ""
    share = abs(c) / abs(b) if b != 0.0 else math.inf
    return (
        f"the first-order quantum correction is {100 * share:.0f} % of |B| at {estimate.t_kelvin:g} K "
        f"(above {100 * HIGHER_ORDERS_FRACTION:.0f} %): higher orders or path integrals are needed there"
    )


def apply(scan: VirialScan, terms: Sequence[Tuple[Sequence[float], Sequence[float], Sequence[str]]],
          warn: bool = True) -> VirialScan:
    """`scan` (classical B2, per molecule) with one correction per estimate, each
    (entries, errors, notes); large corrections get a note and, with `warn`, a `QuantumWarning`."""
    if len(terms) != len(scan.estimates):
        raise ValueError(f"{len(terms)} corrections for {len(scan.estimates)} temperatures")
    out = []
    for e, (entries, errors, notes) in zip(scan.estimates, terms):
        c = corrected(e, entries, errors, notes)
        note = validity_note(c)
        if note:
            c = replace(c, notes=c.notes + (note,))
            if warn:
                warnings.warn(f"B2 of {' + '.join(scan.models)}: {note}", QuantumWarning, stacklevel=3)
        out.append(c)
    return replace(scan, estimates=tuple(out))


def classical_scan(scan: VirialScan) -> VirialScan:
    """The classical scan behind a corrected one."""
    return replace(scan, estimates=tuple(classical(e) for e in scan.estimates))
