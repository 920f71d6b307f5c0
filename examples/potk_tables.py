"""Build site-site interaction laws and a site-pair table for two molecules."""
import vica
from vica import PotK

print(vica.hello())

# A Lennard-Jones site: u(r) = 4 eps ((s/r)^12 - (s/r)^6), eps/k = 119.8 K, s = 3.405 angstrom.
eps, s = 119.8, 3.405
lj = PotK.R6R12(-4 * eps * s**6, 4 * eps * s**12)
print("LJ site:", lj._0, lj._1, "parameters:", len(lj))

# A charged site pair with dispersion: terms in 1/r, 1/r^6 and 1/r^12.
qq = PotK.R1R6R12(332.0, -1.0e3, 1.0e6)
match qq:
    case PotK.R1R6R12(c1, c6, c12):
        print(f"R1R6R12 coefficients: {c1} / r + {c6} / r^6 + {c12} / r^12")

# A table for a two-site molecule (rows) against a three-site molecule (entries):
table = [[lj, lj, PotK.R0()], [lj, qq, PotK.R1(-10.0)]]
print("table shape:", [len(row) for row in table])

# The flag constructor reports a refused flag on standard output and gives R0.
PotK("R7", [1.0])
