"""Fourth and fifth virial coefficients of the Lennard-Jones fluid, written apart from
the B_n engine.

Units sigma = epsilon = k_B = 1; u(r) = 4 (r^-12 - r^-6), f = exp(-u/T) - 1;
b = 2 pi / 3.  With point 1 at the origin, B_n = -(n-1)/n! times the integral over
points 2..n of the sum over biconnected graphs on the n labelled points of the
product of their bonds.  The graphs are taken type by type.

Series-parallel graphs (those without a K4 minor) reduce to one-dimensional
integrals of radial functions built from f by products and three-dimensional
convolutions.  A convolution is a product of Fourier transforms, and the Fourier
transform of a radial function is a sine transform,

    a^(k) = (4 pi / k) int_0^inf r a(r) sin(kr) dr,   a(r) = (1 / 2 pi^2 r) int_0^inf k a^(k) sin(kr) dk,

done by the type-I discrete sine transform on r_i = i h, k_j = j pi / (N h) (the
trapezoidal rule of an odd smooth integrand: spectral accuracy; f is -1 near the
origin, so r f(r) is odd and smooth).  With g2 = f*f, g3 = f*f*f and ∫ = ∫ d^3r:

    B4:  ring C4 (3 labelled graphs)      ∫ g2^2
         C4 + chord (6)                   ∫ f g2^2
    B5:  ring C5 (12)                     ∫ g2 g3
         C5 + chord (60)                  ∫ f g2 g3
         K2,3 (10)                        ∫ g2^3
         K2,3 + hub edge (10)             ∫ f g2^3
         fan P4 + apex (60)               ∫ f g2 (f * (f g2))

The other graphs hold their points close together and are sampled: points 2..n
drawn independently from a Gaussian about point 1, the sum of the graphs' bond
products divided by the density, in chunks whose spread gives the standard error.
For B4 that is K4 (1 graph); for B5 the 86 graphs of K4 with one edge subdivided
(30), the wheel W4 (15), K5 less two edges meeting at a point (30), K5 less an
edge (10) and K5 (1).  Of the 238 biconnected graphs on five points, 152 are
done by quadrature.

Checks: hard spheres (f = -1 inside the diameter) give the exact B4 / b^3 =
0.2869495 and B5 / b^4 = 0.110252 (Clisby and McCoy 2006); the ring integrals
agree to 1e-7 with a separate bipolar-coordinate quadrature and do not move
when h is halved or the grid doubled in length.  At T* = 1 the sampled B5 graphs
cancel heavily (their sum is a small difference of large terms of both signs),
so their standard error dominates there.

Run ``python tests/reference_lj_virial.py [samples [T* ...]]`` to print the hard-sphere
checks and B4 / b^3 and B5 / b^4 at T* = 1 and 2 (or the given T*) with their
standard errors; the default 4e8 samples take about ten minutes per temperature."""
import itertools
import math
import sys

import numpy as np
from scipy.fft import dst

B = 2 * math.pi / 3
HS_B4 = (2707 * math.pi + 438 * math.sqrt(2) - 4131 * math.acos(1 / 3)) / (4480 * math.pi)
HS_B5 = 0.110252

# What main() printed with 4e8 samples: (n, T*) -> (B_n / b^(n-1), standard error).
# B5 at T* = 1 is the inverse-variance mean of main()'s -2.7558 +- 0.0916 and a
# second run of 4e8 samples with width 0.8 and seed 23: -2.9344 +- 0.1224.
LJ_REFERENCE = {(4, 1.0): (-0.26870, 0.00164), (4, 2.0): (0.12267, 0.00010),
                (5, 1.0): (-2.820, 0.073), (5, 2.0): (-0.00910, 0.00271)}
# T dB_n/dT / b^(n-1) and its standard error, from t_derivative(4, 2.0, 4e8).
LJ_T_DERIVATIVE = {(4, 2.0): (-0.13495, 0.00025)}


def mayer(r, t_star):
    """f(r) of Lennard-Jones at T*; T* = 0 gives hard spheres of diameter 1."""
    r = np.asarray(r, dtype=float)
    if t_star == 0:
        return np.where(r < 1.0, -1.0, np.where(r == 1.0, -0.5, 0.0))
    with np.errstate(over="ignore", divide="ignore"):
        inv6 = 1.0 / r**6
        return np.expm1(-4.0 * (inv6 * inv6 - inv6) / t_star)


class Radial:
    """The grid r_i = i h (i = 1..N-1) and its sine transforms."""

    def __init__(self, h, length):
        self.n = int(round(length / h))
        self.h = h
        self.r = np.arange(1, self.n) * h
        self.k = np.arange(1, self.n) * math.pi / (self.n * h)

    def forward(self, a):
        return 4 * math.pi / self.k * self.h * dst(self.r * a, type=1) / 2

    def inverse(self, a_hat):
        dk = math.pi / (self.n * self.h)
        return dk / (2 * math.pi**2 * self.r) * dst(self.k * a_hat, type=1) / 2

    def integral(self, a):
        """∫ a d^3r (the trapezoidal rule; r^2 a vanishes at 0)."""
        return 4 * math.pi * self.h * float(np.sum(self.r * self.r * a))


def series_parallel(t_star, h=0.005, length=40.0):
    """The one-dimensional graph integrals, by name."""
    grid = Radial(h, length)
    f = mayer(grid.r, t_star)
    f_hat = grid.forward(f)
    g2 = grid.inverse(f_hat**2)
    g3 = grid.inverse(f_hat**3)
    fan = grid.inverse(f_hat * grid.forward(f * g2))
    return {
        "ring4": grid.integral(g2 * g2), "chord4": grid.integral(f * g2 * g2),
        "ring5": grid.integral(g2 * g3), "chord5": grid.integral(f * g2 * g3),
        "k23": grid.integral(g2**3), "k23_hub": grid.integral(f * g2**3),
        "fan": grid.integral(f * g2 * fan),
    }


def biconnected(n, edges):
    """Whether the graph on points 0..n-1 with `edges` is connected and stays so without
    any one point."""
    adj = {v: set() for v in range(n)}
    for a, b in edges:
        adj[a].add(b)
        adj[b].add(a)

    def connected(skip):
        left = [v for v in range(n) if v != skip]
        seen, stack = {left[0]}, [left[0]]
        while stack:
            for w in adj[stack.pop()]:
                if w != skip and w not in seen:
                    seen.add(w)
                    stack.append(w)
        return len(seen) == len(left)

    return connected(None) and all(connected(v) for v in range(n))


def compact_graphs(n):
    """Edge-index lists of the biconnected graphs on n = 4 or 5 points that contain a
    K4 minor: K4 at n = 4; at n = 5 every graph of 8 or more edges and the 7-edge
    graphs whose degrees are (3, 3, 3, 3, 2) (K4 with one edge subdivided)."""
    pairs = list(itertools.combinations(range(n), 2))
    out = []
    for mask in range(1 << len(pairs)):
        e = [i for i in range(len(pairs)) if mask >> i & 1]
        if not biconnected(n, [pairs[i] for i in e]):
            continue
        degrees = sorted(sum(v in pairs[i] for i in e) for v in range(n))
        if n == 4 and len(e) == 6 or n == 5 and (len(e) >= 8 or len(e) == 7 and degrees == [2, 3, 3, 3, 3]):
            out.append(e)
    return pairs, out


def sampled(n, t_stars, samples, width, chunk=100_000, seed=11):
    """Chunk means of the integral of the compact graphs' sum, one row per T*; every
    T* sees the same samples, so differences between rows are paired."""
    pairs, graphs = compact_graphs(n)
    rng = np.random.default_rng(seed)
    norm = (2 * math.pi * width * width) ** (1.5 * (n - 1))
    chunks = max(samples // chunk, 2)
    means = np.empty((len(t_stars), chunks))
    for c in range(chunks):
        p = rng.normal(0.0, width, size=(n - 1, chunk, 3))
        q = np.exp(-np.sum(p * p, axis=(0, 2)) / (2 * width * width)) / norm
        pos = np.concatenate([np.zeros((1, chunk, 3)), p])
        dist = [np.sqrt(np.sum((pos[a] - pos[b]) ** 2, axis=1)) for a, b in pairs]
        for i, t_star in enumerate(t_stars):
            bonds = np.array([mayer(d, t_star) for d in dist])
            total = np.zeros(chunk)
            for e in graphs:
                total += np.prod(bonds[e], axis=0)
            means[i, c] = np.mean(total / q)
    return means


def _series_parallel_at(t_star):
    # hard spheres' f steps at the diameter: a finer, shorter grid (the step itself
    # limits the accuracy to about 1e-6)
    if t_star == 0:
        return series_parallel(0, h=0.0005, length=20.0)
    return series_parallel(t_star)


def _chunks(n, t_stars, samples, width):
    """B_n / b^(n-1) per chunk of samples, one row per T* (0: hard spheres)."""
    rows = []
    for t_star, compact in zip(t_stars, sampled(n, t_stars, samples, width)):
        sp = _series_parallel_at(t_star)
        if n == 4:
            rows.append(-(3 * sp["ring4"] + 6 * sp["chord4"] + compact) / 8 / B**3)
        else:
            quadrature = 12 * sp["ring5"] + 60 * sp["chord5"] + 10 * sp["k23"] + 10 * sp["k23_hub"] + 60 * sp["fan"]
            rows.append(-(quadrature + compact) / 30 / B**4)
    return rows


def _mean_and_error(chunks):
    return float(np.mean(chunks)), float(np.std(chunks, ddof=1) / math.sqrt(len(chunks)))


def bn(n, t_star, samples, width=0.7):
    """B_n / b^(n-1) (n = 4, 5) at T* (0: hard spheres) and its standard error."""
    return _mean_and_error(_chunks(n, [t_star], samples, width)[0])


def t_derivative(n, t_star, samples, width=0.7, h=0.01):
    """T dB_n/dT / b^(n-1) at T* by the central difference over T* (1 +- h), both
    sides on the same samples, and its standard error (from the paired chunks)."""
    low, high = _chunks(n, [t_star * (1 - h), t_star * (1 + h)], samples, width)
    return _mean_and_error((high - low) / (2 * h))


def main():
    samples = int(float(sys.argv[1])) if len(sys.argv) > 1 else 400_000_000
    temperatures = [float(t) for t in sys.argv[2:]] or [1.0, 2.0]
    if 0.0 in temperatures:
        print(f"hard spheres: B4/b^3 = %.5f +- %.5f (exact {HS_B4:.7f})" % bn(4, 0, samples, width=0.6))
        print(f"hard spheres: B5/b^4 = %.5f +- %.5f (Clisby-McCoy {HS_B5})" % bn(5, 0, samples, width=0.6))
    for t_star in (t for t in temperatures if t > 0):
        print(f"T* = {t_star:g}: B4/b^3 = %.5f +- %.5f" % bn(4, t_star, samples), flush=True)
        print(f"T* = {t_star:g}: T dB4/dT / b^3 = %.5f +- %.5f" % t_derivative(4, t_star, samples), flush=True)
        print(f"T* = {t_star:g}: B5/b^4 = %.5f +- %.5f" % bn(5, t_star, samples, width=0.9 if t_star == 1.0 else 0.7),
              flush=True)


if __name__ == "__main__":
    main()
