"""Nodes and kernel of the product rule behind `vicatools.methods.quantum`.

A pair of rigid molecules: molecule 1 with its centre of mass at the origin,
molecule 2 with its centre of mass at r on the z axis.  Each molecule is held in
its principal-axes frame (centre of mass at the origin); an orientation is the
rotation R = Rz(alpha) Ry(beta) Rz(gamma) of that frame.  Rotating the pair
about z changes nothing, so molecule 1 keeps alpha = 0 (or, when it is a
single point, molecule 2 does).  Rules:

* cos(beta): Gauss-Legendre on [-1, 1] (on [0, 1] for a linear molecule that
  its inversion maps onto itself, such as N2 or CO2);
* alpha, gamma: the trapezoid rule over one period, which converges
  geometrically for smooth periodic integrands; gamma runs over 2 pi / k when a
  k-fold axis (k = 2: the C2 axis of water) is chosen as the body z axis; for
  two molecules that each have a mirror plane through their body z axis
  (linear molecules, water) alpha of molecule 2 runs over [0, pi] only: the
  mirror image of the pair through the xz plane, the same pair turned by
  (alpha, gamma) -> (-alpha, -gamma), has the same energy and squared forces
  and torques;
* r: Gauss-Legendre panels on [r_lo, r_far] (r_lo = 0 at the coarsest level,
  then 0.7 times the smallest r at which it found a configuration that counts) and, beyond, Gauss-Legendre in x = 1/r
  on [0, 1/r_far] (r^2 dr = x^-4 dx), which reaches r = infinity with no cutoff.

The kernel returns, at every node, the pair energy U (K), the squared total
force |F|^2 (K²/Å², the same on both molecules) and the rotational sum
sum_i sum_alpha tau_{i,alpha}^2 / I_{i,alpha} (K²/(u·Å²)) over both molecules,
torques about each centre of mass on the principal axes.  Forces and torques are
analytic: every site pair u(d) = c1/d + c6/d^6 + c12/d^12.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, List, Sequence, Tuple

import numpy as np

from ..models.masses import MassError, inertia
from ..models.mixing import core_c12, pair_coefficients
from ..models.model import Model

_SYMMETRY_TOL = 1e-6  # Å: sites that coincide after a symmetry operation


@dataclass(frozen=True)
class RigidBody:
    """A molecule in its principal-axes frame.

    kind: "point" (no rotation term: all mass on one point and one site, or every
    moment 0), "linear" or "nonlinear"; body: site positions (n, 3) in Å;
    inverse_moments: 1/I for each body axis in 1/(u·Å²) (0 where I = 0);
    gamma_fold: k of the k-fold axis taken as body z (1: none);
    centrosymmetric: a linear molecule that inversion maps onto itself;
    mirror: a mirror plane holds the body z axis (body xz or yz plane): the
    molecule's mirror image is itself turned about z."""

    kind: str
    mass: float
    body: Any
    inverse_moments: Tuple[float, float, float]
    gamma_fold: int
    centrosymmetric: bool
    mirror: bool = False


def _site_key(model: Model, i: int) -> Tuple[float, ...]:
    s = model.sites[i]
    return (s.epsilon, s.sigma, s.charge, s.mass or 0.0)


def _maps_onto_itself(model: Model, moved: Any, body: Any) -> bool:
    for i, p in enumerate(moved):
        d = np.linalg.norm(body - p, axis=1)
        j = int(np.argmin(d))
        if d[j] > _SYMMETRY_TOL or _site_key(model, i) != _site_key(model, j):
            return False
    return True


def rigid_body(model: Model) -> RigidBody:
    """The principal-axes frame of `model` (raises `MassError` without masses)."""
    info = inertia(model)
    x = np.array([s.position for s in model.sites], dtype=float) - np.array(info.centre)
    axes = np.array(info.axes).T  # columns: principal axes, ascending moments
    body = x @ axes
    moments = info.moments
    spread = float(np.max(np.linalg.norm(x, axis=1))) if len(x) else 0.0
    if moments[2] == 0.0 and spread <= _SYMMETRY_TOL:
        return RigidBody("point", info.mass, body * 0.0, (0.0, 0.0, 0.0), 1, False, True)
    if info.linear:
        off = np.linalg.norm(body[:, 1:], axis=1)
        if float(np.max(off)) > _SYMMETRY_TOL:
            raise MassError(
                f"model {model.name!r}: its massive sites lie on a line but a massless site does not; "
                "the rotation about that line has no moment of inertia: give that site a mass"
            )
        # the molecular axis (moment 0) becomes body z; every site on it
        on_axis = np.zeros_like(body)
        on_axis[:, 2] = body[:, 0]
        inv = 1.0 / moments[1]
        centro = _maps_onto_itself(model, -on_axis, on_axis)
        return RigidBody("linear", info.mass, on_axis, (inv, inv, 0.0), 1, centro, True)
    inv_m = [1.0 / m for m in moments]
    # body z: a principal axis about which a half turn maps the molecule onto itself
    for k in (2, 0, 1):
        order = [a for a in range(3) if a != k] + [k]
        frame = body[:, order]
        if np.linalg.det(np.eye(3)[:, order]) < 0.0:
            frame[:, 0] = -frame[:, 0]
        half_turn = frame * np.array([-1.0, -1.0, 1.0])
        if _maps_onto_itself(model, half_turn, frame):
            inv3 = (inv_m[order[0]], inv_m[order[1]], inv_m[order[2]])
            return RigidBody("nonlinear", info.mass, frame, inv3, 2, False, _has_mirror(model, frame))
    return RigidBody("nonlinear", info.mass, body, (inv_m[0], inv_m[1], inv_m[2]), 1, False, _has_mirror(model, body))


def _has_mirror(model: Model, frame: Any) -> bool:
    return any(_maps_onto_itself(model, frame * np.array(s), frame) for s in ((1.0, -1.0, 1.0), (-1.0, 1.0, 1.0)))


def _gauss(n: int, a: float, b: float) -> Tuple[Any, Any]:
    # looked up, not called by name: older numpy leaves leggauss without annotations
    leggauss: Any = getattr(np.polynomial.legendre, "leggauss")
    x, w = leggauss(n)
    h = 0.5 * (b - a)
    return a + h * (x + 1.0), h * w


def _periodic(n: int, period: float) -> Tuple[Any, Any]:
    return np.arange(n) * (period / n), np.full(n, 1.0 / n)


def _rotations(alpha: Any, cos_beta: Any, gamma: Any) -> Any:
    """Rz(alpha) Ry(beta) Rz(gamma) for arrays of equal length: (n, 3, 3)."""
    ca, sa = np.cos(alpha), np.sin(alpha)
    cb, sb = cos_beta, np.sqrt(np.maximum(0.0, 1.0 - cos_beta * cos_beta))
    cg, sg = np.cos(gamma), np.sin(gamma)
    r = np.empty((len(alpha), 3, 3))
    r[:, 0, 0] = ca * cb * cg - sa * sg
    r[:, 0, 1] = -ca * cb * sg - sa * cg
    r[:, 0, 2] = ca * sb
    r[:, 1, 0] = sa * cb * cg + ca * sg
    r[:, 1, 1] = -sa * cb * sg + ca * cg
    r[:, 1, 2] = sa * sb
    r[:, 2, 0] = -sb * cg
    r[:, 2, 1] = sb * sg
    r[:, 2, 2] = cb
    return r


def _axis_nodes(body: RigidBody, n_cos: int, n_per: int, free_alpha: bool, mirror: bool) -> List[Tuple[Any, Any]]:
    """(nodes, weights) per Euler angle of one molecule; weights of each angle sum to 1."""
    if body.kind == "point":
        return [(np.zeros(1), np.ones(1))] * 3
    lo = 0.0 if body.centrosymmetric else -1.0
    cb, wb = _gauss(n_cos, lo, 1.0)
    wb = wb / wb.sum()
    if not free_alpha:
        alpha = (np.zeros(1), np.ones(1))
    elif mirror:
        a = np.linspace(0.0, math.pi, n_per // 2 + 1)
        w = np.full(a.size, 1.0)
        w[0] = w[-1] = 0.5
        alpha = (a, w / w.sum())
    else:
        alpha = _periodic(n_per, 2.0 * math.pi)
    gamma = (np.zeros(1), np.ones(1)) if body.kind == "linear" else _periodic(n_per, 2.0 * math.pi / body.gamma_fold)
    return [alpha, (cb, wb), gamma]


def orientation_nodes(b1: RigidBody, b2: RigidBody, n_cos: int, n_per: int) -> Tuple[Any, Any, Any]:
    """Rotations of molecule 1 and 2 (each (n, 3, 3)) and weights (summing to 1)."""
    fixed_first = b1.kind != "point"
    mirror = b1.mirror and b2.mirror and b2.kind != "point"
    per1 = _axis_nodes(b1, n_cos, n_per, False, False)
    per2 = _axis_nodes(b2, n_cos, n_per, fixed_first, mirror and fixed_first)
    grids = np.meshgrid(*(p[0] for p in per1 + per2), indexing="ij")
    weights = np.ones(grids[0].shape)
    for axis, (_, w) in enumerate(per1 + per2):
        shape = [1] * 6
        shape[axis] = w.size
        weights = weights * w.reshape(shape)
    g = [x.ravel() for x in grids]
    return _rotations(g[0], g[1], g[2]), _rotations(g[3], g[4], g[5]), weights.ravel()


def radial_nodes(r_lo: float, r_far: float, n_panels: int, n_per_panel: int, n_tail: int) -> Tuple[Any, Any]:
    """Nodes r (Å) and weights of int_{r_lo}^inf r^2 h(r) dr (the factor r^2 included)."""
    rs, ws = [], []
    edges = np.linspace(r_lo, r_far, n_panels + 1)
    for a, b in zip(edges[:-1], edges[1:]):
        x, w = _gauss(n_per_panel, float(a), float(b))
        rs.append(x)
        ws.append(w * x * x)
    x, w = _gauss(n_tail, 0.0, 1.0 / r_far)
    rs.append(1.0 / x)
    ws.append(w / x**4)
    return np.concatenate(rs), np.concatenate(ws)


def pair_laws(first: Model, second: Model, mixing: str, core: float) -> List[Tuple[int, int, float, float, float]]:
    """(a, b, c1, c6, c12) for every site pair with a non-zero law; ValueError for a
    site law other than Lennard-Jones (with Coulomb)."""
    for m in (first, second):
        if m.laws != {"lj"}:
            raise ValueError(
                f"model {m.name!r} uses the law(s) {', '.join(sorted(m.laws))}: the product rule of the quantum "
                "correction takes Lennard-Jones and Coulomb sites only"
            )
    pairs = first.pairs + tuple(p for p in second.pairs if not any(q.names(p.a, p.b) for q in first.pairs))
    out = []
    for a, sa in enumerate(first.sites):
        for b, sb in enumerate(second.sites):
            c1, c6, c12 = pair_coefficients(sa, sb, mixing, pairs)
            if core > 0.0 and c1 < 0.0 and c12 == 0.0:
                c12 = core_c12(c1, core)
            if c1 != 0.0 or c6 != 0.0 or c12 != 0.0:
                out.append((a, b, c1, c6, c12))
    return out


def kernel(
    r: Any, x1: Any, y2: Any, rot1: Any, rot2: Any, b1: RigidBody, b2: RigidBody, laws: Sequence[Tuple[int, int, float, float, float]]
) -> Tuple[Any, Any, Any]:
    """(U, |F|^2, rotational sum), each (len(r), n_orient), at distances r (Å).

    x1: lab positions of molecule 1's sites (n1, n_orient, 3) about its centre;
    y2: the same for molecule 2 about its own centre."""
    shape = (len(r), x1.shape[1])
    u = np.zeros(shape)
    f1 = [np.zeros((len(r), x1.shape[1], 3)) for _ in range(x1.shape[0])]  # force on each site of 1
    f2 = [np.zeros((len(r), x1.shape[1], 3)) for _ in range(y2.shape[0])]  # force on each site of 2
    rz = r[:, None]
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        for a, b, c1, c6, c12 in laws:
            d = x1[a] - y2[b]  # (n_orient, 3) before the shift by r along z
            dx, dy = d[:, 0][None, :], d[:, 1][None, :]
            dz = d[:, 2][None, :] - rz
            d2 = dx * dx + dy * dy + dz * dz
            inv2 = 1.0 / d2
            inv6 = inv2 * inv2 * inv2
            u += (c6 + c12 * inv6) * inv6
            g = -(6.0 * c6 + 12.0 * c12 * inv6) * inv6 * inv2  # u'(d)/d
            if c1 != 0.0:
                inv1 = np.sqrt(inv2)
                u += c1 * inv1
                g -= c1 * inv1 * inv2
            fx, fy, fz = -g * dx, -g * dy, -g * dz  # force on site a; -that on site b
            fa, fb = f1[a], f2[b]
            fa[..., 0] += fx
            fa[..., 1] += fy
            fa[..., 2] += fz
            fb[..., 0] -= fx
            fb[..., 1] -= fy
            fb[..., 2] -= fz
        force = sum(f1[1:], f1[0].copy())
        force2 = (force * force).sum(axis=-1)
        rot = np.zeros(shape)
        for body, pos, forces, rmat in ((b1, x1, f1, rot1), (b2, y2, f2, rot2)):
            if body.kind == "point":
                continue
            tau = sum((np.cross(pos[i][None, :, :], forces[i]) for i in range(len(forces))), np.zeros_like(forces[0]))
            tau_body = np.einsum("rnk,nka->rna", tau, rmat)  # components on the principal axes
            for k in range(3):
                if body.inverse_moments[k] != 0.0:
                    rot += body.inverse_moments[k] * tau_body[..., k] ** 2
    return u, force2, rot
