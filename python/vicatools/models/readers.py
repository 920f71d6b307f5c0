"""Models from the files people already have, read through OpenMM's app layer.

    load_model("water.top", coordinates="water.gro", molecule="SOL")

reads a force field's own files into a rigid `Model`, dispatching by suffix:

* ``.toml`` / ``.json``: our model files (`vicatools.models.files`);
* ``.top`` (GROMACS; its ``#include``\\ d ``.itp`` files are read too) with ``.gro``
  (or ``.pdb``) coordinates; options ``include_dir``, ``defines``;
* ``.prmtop`` / ``.parm7`` (Amber) with ``.inpcrd`` / ``.rst7`` coordinates;
* ``.psf`` (CHARMM) with ``.crd`` / ``.pdb`` coordinates and the option
  ``parameters`` (a list of CHARMM parameter/topology/stream files);
* ``.xml`` (an OpenMM ForceField; more ForceField files in the option
  ``forcefields``) with ``.pdb`` or ``.cif`` coordinates, which also give the
  topology.  Extra particles the force field defines (TIP4P's M) are added.

Each molecule type of the file gives one model (`read_models`); `molecule` picks
one by its GROMACS molecule-type name or its residue name.  The model is the
first molecule of that type, in the conformation of the coordinates:

* positions in Å from the coordinates, virtual sites evaluated by OpenMM;
* charges (e) and the Lennard-Jones sigma/epsilon of each site, in Å and K
  (from nm and kJ/mol);
* the file's combination rule: the energy of every Lennard-Jones site pair is
  taken from the System OpenMM builds (GROMACS comb-rule 1/2/3, [nonbond_params],
  Amber off-diagonal terms, CHARMM NBFIX), and a pair that Lorentz-Berthelot
  mixing of the sites' own parameters does not reproduce is kept as an explicit
  pair law (`PairLaw`);
* numbers read are kept to 12 significant digits (8 for the Lennard-Jones terms
  of Amber files, which hold their A/B coefficients to 9), so that conversion
  noise does not survive: a file written from a model reads back to it.

Only the intermolecular terms of an isolated pair count: cutoffs, PME,
switching, long-range corrections and 1-4 terms do not apply.  A molecule that
the file lets bend or stretch (no rigid constraints) is taken rigid in the given
conformation, with one warning.  OpenMM (``pip install 'vica[openmm]'``) is
needed for every format but our own.
"""
from __future__ import annotations

import math
import pathlib
import warnings
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .model import Model, ModelFileError, PairLaw, PathLike, Site
from .units import KJ_PER_MOL_TO_K, NM_TO_ANGSTROM

_FORMATS = {
    ".top": "gromacs",
    ".prmtop": "amber",
    ".parm7": "amber",
    ".psf": "charmm",
    ".xml": "forcefield",
}


class ReaderWarning(UserWarning):
    """A model read from a force field's files that differs from the file's molecule (flexible taken rigid)."""


def _round(x: float, digits: int = 12) -> float:
    return float(f"{x:.{digits - 1}e}") if x != 0.0 and math.isfinite(x) else x


def load_model(
    path: PathLike, coordinates: Optional[PathLike] = None, molecule: Optional[str] = None, **options: Any
) -> Model:
    """Read a model from our TOML/JSON file or a force field's files (module doc).

    Raises `ModelFileError` naming the file for a broken file, an unknown molecule,
    missing parameters or a missing OpenMM, and `OSError` for a file that cannot be read.
    """
    p = pathlib.Path(path)
    fmt = _FORMATS.get(p.suffix.lower())
    if fmt is None:
        if coordinates is not None or molecule is not None or options:
            raise ModelFileError(
                f"model file {str(p)!r}: coordinates, molecule and reader options are for force-field files "
                f"({', '.join(sorted(_FORMATS))}); this one is read as our TOML/JSON"
            )
        from .files import load_model_file

        return load_model_file(p)
    models = read_models(p, coordinates, **options)
    if molecule is None:
        if len(models) > 1:
            raise ModelFileError(
                f"model file {str(p)!r} holds several molecule types ({', '.join(models)}): choose one with molecule="
            )
        return next(iter(models.values()))
    if molecule not in models:
        raise ModelFileError(
            f"model file {str(p)!r} has no molecule {molecule!r} (molecule types: {', '.join(models) or 'none'})"
        )
    return models[molecule]


def read_models(path: PathLike, coordinates: Optional[PathLike] = None, **options: Any) -> Dict[str, Model]:
    """One `Model` per molecule type of a force field's files, by name (module doc)."""
    p = pathlib.Path(path)
    fmt = _FORMATS.get(p.suffix.lower())
    if fmt is None:
        raise ModelFileError(f"model file {str(p)!r}: not a force-field file ({', '.join(sorted(_FORMATS))})")
    if coordinates is None:
        raise ModelFileError(f"model file {str(p)!r}: the positions come from a coordinates file (coordinates=...)")
    known = {"gromacs": {"include_dir", "defines"}, "charmm": {"parameters"}, "forcefield": {"forcefields"}}.get(
        fmt, set()
    )
    for key in options:
        if key not in known:
            raise ModelFileError(f"model file {str(p)!r}: unknown option {key!r} for a {fmt} file")
    for f in [p, pathlib.Path(coordinates)]:
        if not f.is_file():
            raise OSError(2, f"model file {str(f)!r}: no such file")
    try:
        import openmm.app  # noqa: F401
    except ImportError as exc:
        if isinstance(exc, ModuleNotFoundError) and exc.name == "openmm":
            why = "needs OpenMM (pip install 'vica[openmm]')"
        else:  # OpenMM before 8.2 (the last for Python 3.9) was built against numpy 1 and fails under numpy 2
            why = (f"needs OpenMM's app layer, which does not import here ({exc}); OpenMM before 8.2 needs "
                   "numpy < 2 (pip install 'vica[openmm]' takes matching versions)")
        raise ModelFileError(f"model file {str(p)!r}: reading {fmt} files {why}") from None
    try:
        topology, system, positions, names = _open(fmt, p, pathlib.Path(coordinates), options)
        return _models(p, fmt, topology, system, positions, names)
    except ModelFileError:
        raise
    except OSError:
        raise
    except Exception as exc:  # OpenMM's parsers raise many kinds
        text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise ModelFileError(f"model file {str(p)!r}: {text}") from None


def _coordinates(path: pathlib.Path) -> Tuple[Any, Any]:
    """(topology or None, positions) of a coordinates file."""
    from openmm import app

    suffix = path.suffix.lower()
    if suffix == ".gro":
        gro = app.GromacsGroFile(str(path))
        return None, gro.getPositions()
    if suffix in (".inpcrd", ".rst7"):
        return None, app.AmberInpcrdFile(str(path)).getPositions()
    if suffix == ".crd":
        return None, app.CharmmCrdFile(str(path)).positions
    if suffix == ".pdb":
        pdb = app.PDBFile(str(path))
        return pdb.topology, pdb.getPositions()
    if suffix in (".cif", ".pdbx"):
        cif = app.PDBxFile(str(path))
        return cif.topology, cif.getPositions()
    raise ModelFileError(f"coordinates file {str(path)!r}: unknown kind (.gro, .inpcrd, .rst7, .crd, .pdb, .cif)")


def _open(fmt: str, path: pathlib.Path, coords: pathlib.Path, options: Dict[str, Any]) -> Tuple[Any, Any, Any, Any]:
    """(topology, System without cutoffs, positions, molecule-type names per molecule or None)."""
    from openmm import app

    coord_top, positions = _coordinates(coords)
    names = None
    if fmt == "gromacs":
        include = options.get("include_dir")
        top = app.GromacsTopFile(str(path), includeDir=str(include) if include else None, defines=options.get("defines"))
        topology = top.topology
        system = top.createSystem(nonbondedMethod=app.NoCutoff, constraints=None, rigidWater=True)
        # molecule-type names in the order of [ molecules] (OpenMM keeps them in a private list;
        # without it the residue names serve)
        listed = getattr(top, "_molecules", None) or []
        names = [name for name, count in listed for _ in range(int(count))] or None
    elif fmt == "amber":
        prm = app.AmberPrmtopFile(str(path))
        topology = prm.topology
        system = prm.createSystem(nonbondedMethod=app.NoCutoff, constraints=None, rigidWater=True)
    elif fmt == "charmm":
        params = options.get("parameters")
        if not params:
            raise ModelFileError(f"model file {str(path)!r}: a CHARMM psf needs its parameter files (parameters=[...])")
        psf = app.CharmmPsfFile(str(path))
        parameter_set = app.CharmmParameterSet(*[str(x) for x in params])
        topology = psf.topology
        system = psf.createSystem(parameter_set, nonbondedMethod=app.NoCutoff, constraints=None, rigidWater=True)
    else:
        if coord_top is None:
            raise ModelFileError(f"model file {str(path)!r}: a ForceField file needs .pdb or .cif coordinates")
        ff = app.ForceField(str(path), *[str(x) for x in options.get("forcefields", ())])
        modeller = app.Modeller(coord_top, positions)
        modeller.addExtraParticles(ff)
        topology, positions = modeller.topology, modeller.positions
        system = ff.createSystem(topology, nonbondedMethod=app.NoCutoff, constraints=None, rigidWater=True)
    if len(positions) != system.getNumParticles():
        raise ModelFileError(
            f"coordinates file {str(coords)!r} has {len(positions)} atoms, the topology {system.getNumParticles()}"
        )
    return topology, system, positions, names


def _virtual_positions(system: Any, positions: Any) -> List[Tuple[float, float, float]]:
    """All positions in nm with the virtual sites placed by OpenMM."""
    import openmm
    from openmm import unit

    integrator = openmm.VerletIntegrator(0.001)
    context = openmm.Context(system, integrator, openmm.Platform.getPlatformByName("Reference"))
    context.setPositions(positions)
    context.computeVirtualSites()
    pos = context.getState(getPositions=True).getPositions(asNumpy=False)
    out = [tuple(float(v) for v in p.value_in_unit(unit.nanometer)) for p in pos]
    del context, integrator
    return out  # type: ignore[return-value]


def _molecules(topology: Any, system: Any) -> List[List[int]]:
    """Particle indices of each molecule (bonded components, virtual sites with their parents)."""
    n = system.getNumParticles()
    parent = list(range(n))

    def find(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    def join(i: int, j: int) -> None:
        parent[find(i)] = find(j)

    for bond in topology.bonds():
        join(bond[0].index, bond[1].index)
    for i in range(system.getNumConstraints()):
        a, b, _ = system.getConstraintParameters(i)
        join(a, b)
    for i in range(n):
        if system.isVirtualSite(i):
            vs = system.getVirtualSite(i)
            for k in range(vs.getNumParticles()):
                join(i, vs.getParticle(k))
    groups: Dict[int, List[int]] = {}
    for i in range(n):
        groups.setdefault(find(i), []).append(i)
    return sorted(groups.values(), key=lambda g: g[0])


def _forces(system: Any) -> Tuple[Any, List[Any]]:
    import openmm

    nb, custom = None, []
    for force in system.getForces():
        if isinstance(force, openmm.NonbondedForce):
            nb = force
        elif isinstance(force, openmm.CustomNonbondedForce):
            custom.append(force)
    return nb, custom


def _custom_pair(force: Any, i: int, j: int, distances: Sequence[float]) -> List[float]:
    """Energies in kJ/mol of particles i and j alone under `force`, at `distances` in nm."""
    import openmm

    f = openmm.CustomNonbondedForce(force.getEnergyFunction())
    for k in range(force.getNumPerParticleParameters()):
        f.addPerParticleParameter(force.getPerParticleParameterName(k))
    for k in range(force.getNumGlobalParameters()):
        f.addGlobalParameter(force.getGlobalParameterName(k), force.getGlobalParameterDefaultValue(k))
    for k in range(force.getNumTabulatedFunctions()):
        f.addTabulatedFunction(force.getTabulatedFunctionName(k), openmm.XmlSerializer.clone(force.getTabulatedFunction(k)))
    f.addParticle(force.getParticleParameters(i))
    f.addParticle(force.getParticleParameters(j))
    f.setNonbondedMethod(openmm.CustomNonbondedForce.NoCutoff)
    system = openmm.System()
    system.addParticle(1.0)
    system.addParticle(1.0)
    system.addForce(f)
    context = openmm.Context(system, openmm.VerletIntegrator(0.001), openmm.Platform.getPlatformByName("Reference"))
    out = []
    for r in distances:
        context.setPositions([openmm.Vec3(0.0, 0.0, 0.0), openmm.Vec3(0.0, 0.0, r)])
        out.append(context.getState(getEnergy=True).getPotentialEnergy().value_in_unit(openmm.unit.kilojoule_per_mole))
    return out


def _lj_of_pair(nb: Any, custom: Sequence[Any], i: int, j: int, where: str) -> Tuple[float, float]:
    """(c6, c12) in kJ/mol nm^6 and nm^12 of the short-range energy of particles i and j."""
    c6 = c12 = 0.0
    if nb is not None:
        _, si, ei = nb.getParticleParameters(i)
        _, sj, ej = nb.getParticleParameters(j)
        eps = math.sqrt(ei.value_in_unit_system(_md()) * ej.value_in_unit_system(_md()))
        sig = 0.5 * (si.value_in_unit_system(_md()) + sj.value_in_unit_system(_md()))
        c6, c12 = -4.0 * eps * sig**6, 4.0 * eps * sig**12
    r = (0.3, 0.45, 0.6)
    for force in custom:
        u = _custom_pair(force, i, j, r)
        # u = c12 / r^12 + c6 / r^6 from the first two, checked at the third
        a = [[x**-12, x**-6] for x in r]
        det = a[0][0] * a[1][1] - a[0][1] * a[1][0]
        k12 = (u[0] * a[1][1] - a[0][1] * u[1]) / det
        k6 = (a[0][0] * u[1] - u[0] * a[1][0]) / det
        check = k12 * a[2][0] + k6 * a[2][1]
        if not math.isclose(check, u[2], rel_tol=1e-7, abs_tol=1e-12):
            raise ModelFileError(
                f"{where}: a nonbonded term ({force.getEnergyFunction()[:40]}...) is not of the 12-6 form; "
                "write the model by hand with a table law"
            )
        c6, c12 = c6 + k6, c12 + k12
    return c6, c12


def _md() -> Any:
    from openmm import unit

    return unit.md_unit_system


def _eps_sigma(c6: float, c12: float, digits: int) -> Tuple[float, float]:
    """(epsilon in K, sigma in Å) of c6 / r^6 + c12 / r^12 in kJ/mol and nm (0, 0: none)."""
    if c12 == 0.0 and c6 == 0.0:
        return 0.0, 0.0
    if not (c12 > 0.0 and c6 < 0.0):
        raise ModelFileError(f"a Lennard-Jones pair with c6 = {c6!r}, c12 = {c12!r} is not a 12-6 well")
    eps = c6 * c6 / (4.0 * c12)
    sigma = (c12 / -c6) ** (1.0 / 6.0)
    return _round(eps * KJ_PER_MOL_TO_K, digits), _round(sigma * NM_TO_ANGSTROM, digits)


def _flexible(system: Any, members: Sequence[int]) -> bool:
    real = [i for i in members if not system.isVirtualSite(i) and system.getParticleMass(i)._value > 0.0]
    n = len(real)
    if n < 2:
        return False
    inside = set(real)
    constraints = 0
    for k in range(system.getNumConstraints()):
        a, b, _ = system.getConstraintParameters(k)
        constraints += a in inside and b in inside
    return constraints < (1 if n == 2 else 3 * n - 6)


def _models(path: pathlib.Path, fmt: str, topology: Any, system: Any, positions: Any, names: Any) -> Dict[str, Model]:
    nb, custom = _forces(system)
    pos = _virtual_positions(system, positions)
    atoms = list(topology.atoms())
    digits = 8 if fmt == "amber" else 12
    out: Dict[str, Model] = {}
    for members in _molecules(topology, system):
        first = members[0]
        if names is not None:
            name = names[atoms[first].residue.chain.index] if atoms[first].residue.chain.index < len(names) else None
        else:
            name = None
        name = name or atoms[first].residue.name
        if name in out:
            continue
        where = f"model file {str(path)!r}, molecule {name!r}"
        sites = []
        for i in members:
            q = nb.getParticleParameters(i)[0].value_in_unit_system(_md()) if nb is not None else 0.0
            c6, c12 = _lj_of_pair(nb, custom, i, i, where)
            eps, sigma = _eps_sigma(c6, c12, digits)
            xyz = tuple(_round(x * NM_TO_ANGSTROM) for x in pos[i])
            mass = float(system.getParticleMass(i)._value)  # u; 0 for virtual sites (TIP4P's M)
            sites.append(Site(atoms[i].name, (xyz[0], xyz[1], xyz[2]), eps, sigma, _round(q), mass=mass))
        pairs = _explicit_pairs(nb, custom, members, sites, digits, where)
        if _flexible(system, members):
            warnings.warn(
                f"{where}: the molecule is flexible in the file; it is taken rigid in the given conformation",
                ReaderWarning,
                stacklevel=4,
            )
        out[name] = Model(
            name,
            tuple(sites),
            f"read from {path.name} by OpenMM (intermolecular terms of an isolated pair: cutoffs, PME and "
            "1-4 terms do not apply)",
            pairs=tuple(pairs),
            description=f"{name} from {path.name}",
        )
    if not out:
        raise ModelFileError(f"model file {str(path)!r}: no molecule found")
    return out


def _explicit_pairs(
    nb: Any, custom: Sequence[Any], members: Sequence[int], sites: Sequence[Site], digits: int, where: str
) -> List[PairLaw]:
    """Pairs of distinct site names whose file energy Lorentz-Berthelot mixing does not give."""
    pairs: List[PairLaw] = []
    seen = set()
    for x, i in enumerate(members):
        for y, j in enumerate(members):
            a, b = sites[x], sites[y]
            key = frozenset((a.name, b.name))
            if y <= x or key in seen:
                continue
            seen.add(key)
            if a.name == b.name:
                continue
            eps, sigma = _eps_sigma(*_lj_of_pair(nb, custom, i, j, where), digits)
            mixed = (
                (_round(math.sqrt(a.epsilon * b.epsilon), digits), _round(0.5 * (a.sigma + b.sigma), digits))
                if a.has_core and b.has_core
                else (0.0, 0.0)
            )
            if not (math.isclose(eps, mixed[0], rel_tol=1e-9) and math.isclose(sigma, mixed[1], rel_tol=1e-9)):
                pairs.append(PairLaw(a.name, b.name, "lj", eps, sigma))
    return pairs
