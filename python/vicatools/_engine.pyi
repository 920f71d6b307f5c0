"""Mayer-sampling engines of vicatools beyond B and C: B_n of n rigid molecules."""
from typing import Any, Dict, List, Sequence

def bn_run(
    molecules: Sequence[Sequence[Sequence[float]]],
    tables: Sequence[Sequence[Sequence[Sequence[float]]]],
    t_kelvin: float,
    u_min: float,
    dev_tol: float,
    order_max: int,
    block_steps: int,
    max_blocks: int,
    reference_weight: float,
    hard_sphere_diameter: float,
    reference_padding: float,
    law_tables: Sequence[Sequence[Sequence[float]]] = ...,
) -> List[float]: ...

def bn_multi_run(
    molecules: Sequence[Sequence[Sequence[float]]],
    tables: Sequence[Sequence[Sequence[Sequence[float]]]],
    law_tables: Sequence[Sequence[Sequence[float]]],
    temperatures: Sequence[float],
    u_min: float,
    dev_tol: float,
    order_max: int,
    block_steps: int,
    max_blocks: int,
    reference_weight: float,
    hard_sphere_diameter: float,
    reference_padding: float,
) -> List[List[float]]: ...

def bn_run_stop(
    molecules: Sequence[Sequence[Sequence[float]]],
    tables: Sequence[Sequence[Sequence[Sequence[float]]]],
    t_kelvin: float,
    u_min: float,
    dev_tol: float,
    order_max: int,
    block_steps: int,
    max_blocks: int,
    reference_weight: float,
    hard_sphere_diameter: float,
    reference_padding: float,
    law_tables: Sequence[Sequence[Sequence[float]]],
    absolute_below: float,
) -> Dict[str, Any]: ...

def bn_multi_run_stop(
    molecules: Sequence[Sequence[Sequence[float]]],
    tables: Sequence[Sequence[Sequence[Sequence[float]]]],
    law_tables: Sequence[Sequence[Sequence[float]]],
    temperatures: Sequence[float],
    u_min: float,
    dev_tol: float,
    order_max: int,
    block_steps: int,
    max_blocks: int,
    reference_weight: float,
    hard_sphere_diameter: float,
    reference_padding: float,
    absolute_below: float,
) -> Dict[str, Any]: ...

def bn_run_keyed(
    seed: int,
    molecules: Sequence[Sequence[Sequence[float]]],
    tables: Sequence[Sequence[Sequence[Sequence[float]]]],
    t_kelvin: float,
    u_min: float,
    dev_tol: float,
    order_max: int,
    block_steps: int,
    max_blocks: int,
    reference_weight: float,
    hard_sphere_diameter: float,
    reference_padding: float,
) -> List[float]: ...

def b3_quadrature(
    laws: Sequence[Sequence[float]],
    tables: Sequence[Sequence[Sequence[float]]],
    temperatures: Sequence[float],
    u_min: float,
    order_max: int,
    rtol: float,
    atol: float,
    max_evaluations: int,
) -> Dict[str, Any]: ...

def b2_cubature(
    molecule1: Sequence[Sequence[float]],
    molecule2: Sequence[Sequence[float]],
    laws: Sequence[Sequence[Sequence[float]]],
    tables: Sequence[Sequence[Sequence[float]]],
    temperatures: Sequence[float],
    u_min: float,
    order_max: int,
    rtol: float,
    atol: float,
    max_evaluations: int,
    masses1: Sequence[float],
    masses2: Sequence[float],
) -> Dict[str, Any]: ...
