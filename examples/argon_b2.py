"""Second virial coefficient of argon as Lennard-Jones molecules of one site.

    python examples/argon_b2.py

Lengths are in angstrom, energies in kelvin (energy / Boltzmann's constant):
sigma = 3.405 A, epsilon / k = 119.8 K, so the pair energy
4 eps ((sigma/r)^12 - (sigma/r)^6) is the table entry R6R12(-4 eps sigma^6,
4 eps sigma^12).  Bms returns B in the length unit cubed per molecule, here
A^3 / molecule; 1 A^3 / molecule = 1e-24 cm^3 * 6.02214076e23 / mol
= 0.6022140760 cm^3 / mol.

Each run prints its progress lines on standard output; the table at the end
compares the Monte Carlo value with a radial quadrature of
B = -2 pi int (exp(-u/T) - 1) r^2 dr.
"""
import math

import vica

SIGMA = 3.405  # angstrom
EPS = 119.8  # kelvin
A3_TO_CM3_PER_MOL = 0.6022140760


def lj_energy(r):
    x = (SIGMA / r) ** 6
    return 4.0 * EPS * (x * x - x)


def b2_quadrature(t, r_max=60.0, n=60000):
    """-2 pi int_0^r_max f r^2 dr by Simpson's rule (in A^3 / molecule)."""
    h = r_max / n
    total = 0.0
    for i in range(1, n + 1):  # the integrand vanishes at r = 0 (f = -1, r^2 = 0)
        r = i * h
        w = 1.0 if i == n else (4.0 if i % 2 else 2.0)
        total += w * math.expm1(-lj_energy(r) / t) * r * r
    return -2.0 * math.pi * total * h / 3.0


def main():
    argon = [[0.0, 0.0, 0.0]]
    table = [[vica.PotK.R6R12(-4.0 * EPS * SIGMA**6, 4.0 * EPS * SIGMA**12)]]
    bms = vica.Bms(argon, argon, table)
    rows = []
    for t in (150.0, 300.0, 600.0):
        # u_min far below the well depth (-119.8 K): no configuration is cut off.
        # dev_tol = 0.002 on the relative spread of the last ten running
        # estimates; order_max = 1 also returns T-derivative information.
        b, b1 = bms.run(t, -1.0e6, 0.002, 1)
        rows.append((t, b * A3_TO_CM3_PER_MOL, b2_quadrature(t) * A3_TO_CM3_PER_MOL, b1 * A3_TO_CM3_PER_MOL))
    print()
    print("  T / K   B2 (Mayer sampling)   B2 (quadrature)   beta dB2/dbeta   [cm^3/mol]")
    for t, mc, quad, d1 in rows:
        print(f"{t:7.1f}   {mc:19.3f}   {quad:15.3f}   {d1:14.3f}")


if __name__ == "__main__":
    main()
