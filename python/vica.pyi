"""Virial coefficients of rigid multi-site molecules by Mayer-sampling Monte Carlo.

Units throughout: energies in kelvin (energy divided by Boltzmann's constant;
every energy u enters a run only as -u/T), lengths in a unit of the caller's
choice (L).  Virial coefficients come out per molecule: B in L^3, C in L^6.

A molecule is a sequence of sites, each a sequence of three floats (x, y, z)
in L (numpy arrays of shape (n, 3) are accepted at run time too; pass
``arr.tolist()`` to satisfy a type checker).  A site-pair table for an ordered
pair of molecules (first, second) has one row per site of the first molecule
and, in each row, one `PotK` per site of the second; rows and entries beyond
the molecules' sizes are never read, and a table too small fails at the first
energy evaluation (``pyo3_runtime.PanicException``).

Every run holds the interpreter lock from start to end and writes its progress
lines to the process's standard output file descriptor.
"""

from collections.abc import Sequence

from typing import final

from typing_extensions import Self, disjoint_base

__all__ = ["hello", "PotK", "Uij", "Bms", "Cms"]

_Molecule = Sequence[Sequence[float]]
_Table = Sequence[Sequence[PotK]]

def hello() -> str:
    """A fixed one-line greeting of 23 characters."""

@disjoint_base  # its instances carry a native payload: no class can derive from it and another such base
class PotK:
    """The law of one site-site interaction, at site distance r (in L).

    Built through a variant class (``PotK.R6R12(c6, c12)``, which exposes its
    parameters) or through the flag constructor ``PotK(flag, r)``: ``flag`` is
    exactly "R1", "R6R12" or "R1R6R12" and ``r`` holds as many parameters as
    the flag names.  Any other flag, or a wrong parameter count, prints
    ``Err<PotK::...> => PotK::R0`` on standard output and gives a value that
    acts as ``R0``; no exception is raised.  A value from the flag constructor
    is a plain `PotK` instance exposing neither kind nor parameters, and
    serves in tables exactly like the variant the flag names.

    Parameters are energy coefficients: with energies in K and lengths in L,
    the coefficient of r^-n is in K L^n.
    """

    def __new__(cls, flag: str, r: Sequence[float]) -> Self: ...
    @final
    class R0(PotK):
        """No interaction: energy 0 at every distance.  ``len()`` is 0, so an
        ``R0`` is false in a truth test; every index raises IndexError."""

        __match_args__ = ()
        def __new__(cls) -> Self: ...
        def __len__(self) -> int:
            """The parameter count, 0."""
        def __getitem__(self, key: int, /) -> float:
            """Always raises IndexError ("tuple index out of range")."""

    @final
    class R1(PotK):
        """Energy ``_0 / r``: a charge-charge term (``_0`` = K q_i q_j in K L,
        K = e^2 / (4 pi eps0 k_B) = 167100.947 K angstrom / e^2)."""

        __match_args__ = ("_0",)
        def __new__(cls, _0: float) -> Self: ...
        @property
        def _0(self) -> float:
            """Coefficient of r^-1, in K L."""
        def __len__(self) -> int:
            """The parameter count, 1."""
        def __getitem__(self, key: int, /) -> float:
            """``_0`` at index 0; IndexError beyond; OverflowError for a negative
            index (indices do not count from the end)."""

    @final
    class R6R12(PotK):
        """Energy ``_0 / r^6 + _1 / r^12``: Lennard-Jones 4 eps ((s/r)^12 - (s/r)^6)
        is ``R6R12(-4 eps s^6, 4 eps s^12)``."""

        __match_args__ = ("_0", "_1")
        def __new__(cls, _0: float, _1: float) -> Self: ...
        @property
        def _0(self) -> float:
            """Coefficient of r^-6, in K L^6."""
        @property
        def _1(self) -> float:
            """Coefficient of r^-12, in K L^12."""
        def __len__(self) -> int:
            """The parameter count, 2."""
        def __getitem__(self, key: int, /) -> float:
            """``_0``, ``_1`` at indices 0, 1; IndexError beyond; OverflowError
            for a negative index."""

    @final
    class R1R6R12(PotK):
        """Energy ``_0 / r + _1 / r^6 + _2 / r^12``: a charged Lennard-Jones site pair."""

        __match_args__ = ("_0", "_1", "_2")
        def __new__(cls, _0: float, _1: float, _2: float) -> Self: ...
        @property
        def _0(self) -> float:
            """Coefficient of r^-1, in K L."""
        @property
        def _1(self) -> float:
            """Coefficient of r^-6, in K L^6."""
        @property
        def _2(self) -> float:
            """Coefficient of r^-12, in K L^12."""
        def __len__(self) -> int:
            """The parameter count, 3."""
        def __getitem__(self, key: int, /) -> float:
            """``_0``, ``_1``, ``_2`` at indices 0, 1, 2; IndexError beyond;
            OverflowError for a negative index."""

@final
class Uij:
    """The energy of a pair of rigid molecules.

    ``moli`` and ``molj`` are used with their coordinates as given (not
    centred); ``potk`` has one row per site of ``moli`` and one entry per site
    of ``molj``.  Site distances below 1e-30 L (and NaN ones) count as 1e-30.
    """

    def __new__(cls, moli: _Molecule, molj: _Molecule, potk: _Table) -> Self: ...
    def uij(self, r: float, phi1: float, theta1: float, phi2: float, theta2: float, psi2: float) -> float:
        """The pair energy in K at one geometry.

        ``moli`` is turned by Ry(theta1) Rz(phi1) about its own origin;
        ``molj`` is turned by Rz(psi2) Ry(theta2) Rz(phi2) about its origin and
        moved to (0, 0, r).  r is in L; the five angles are in turns
        (1.0 = a full revolution, 0.25 = a right angle).
        """
    def u_r(self, r: float, dev_tol: float, num_inner: int, num_outer: int, num_print: int) -> float:
        """The plain (unweighted) average of ``uij`` over random orientations at
        distance r (in L), in K.

        Samples come in blocks of ``num_inner``: 10 warm-up blocks, then at most
        ``num_outer`` blocks, a progress line ``[Uij::u_r] ...`` after every
        block whose number is a multiple of ``num_print`` (0 is refused once a
        main block has run).  Stops when the root of the summed squared
        deviations of the last ten running means is below 2.22e-8 or below
        ``dev_tol`` times |mean|.  The integers are unsigned (a negative value
        raises OverflowError).
        """

@final
class Bms:
    """The second virial coefficient of a pair of rigid molecules.

    Both molecules are centred on the unweighted centroid of their sites;
    ``potk`` has one row per site of ``mol1`` and one entry per site of
    ``mol2``.
    """

    def __new__(cls, mol1: _Molecule, mol2: _Molecule, potk: _Table) -> Self: ...
    def run(self, t_kelvin: float, u_min: float, dev_tol: float, order_max: int) -> list[float]:
        """One independent Mayer-sampling run at temperature ``t_kelvin`` (K).

        ``u_min`` (K): a configuration whose energy is at or below it counts as
        an overlap (f = -1, no derivative terms).  ``dev_tol``: relative
        tolerance of the stop rule on the last ten running estimates (checked
        from production block 10 on; at most 1000 blocks of 10^6 steps).
        ``order_max``: highest derivative order (unsigned).

        Returns ``order_max + 1`` floats, per molecule, in L^3: entry 0 is B,
        entry k is (beta^k / k!) d^k B / d beta^k with beta = 1/T (the
        coefficient of eps^k when beta -> beta (1 + eps)).  With L in angstrom,
        multiply by 0.602214076 for cm^3/mol.
        """

@final
class Cms:
    """The third virial coefficient of a triple of rigid molecules.

    The molecules are centred on their centroids; the tables are oriented as
    their names say: ``potk12`` is (mol1, mol2), ``potk13`` is (mol1, mol3),
    ``potk23`` is (mol2, mol3), each with one row per site of the first and
    one entry per site of the second.
    """

    def __new__(
        cls, mol1: _Molecule, mol2: _Molecule, mol3: _Molecule, potk12: _Table, potk13: _Table, potk23: _Table
    ) -> Self: ...
    def run(self, t_kelvin: float, dev_tol: float, order_max: int) -> list[float]:
        """One independent Mayer-sampling run at temperature ``t_kelvin`` (K).

        Returns ``order_max + 1`` floats, per molecule, in L^6: entry 0 is C,
        entry k is (beta^k / (k! 2^(k/2))) d^k C / d beta^k with beta = 1/T
        (note the 2^(k/2), which `Bms` does not have).  ``dev_tol`` and the
        stop rule as for `Bms.run`.  With L in angstrom, multiply by
        0.602214076^2 for cm^6/mol^2.
        """
