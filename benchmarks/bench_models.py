"""CPU seconds of the models layer's own work: reading force-field files through OpenMM,
building site-pair tables and flat law entries, and the dimer-minimum search behind the
derived floors (through vica.Uij for Lennard-Jones models, in Python for other laws).

    python benchmarks/bench_models.py

Each line: what, CPU seconds per call (time.process_time, best of 3).
"""
import pathlib
import sys
import tempfile
import time

import vicatools as vt
from vicatools.models import floors, mixing

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))


def cpu(fn, repeat=3, number=1):
    best = float("inf")
    for _ in range(repeat):
        t = time.process_time()
        for _ in range(number):
            fn()
        best = min(best, (time.process_time() - t) / number)
    return best


def main():
    water = vt.get_model("tip5p")
    print(f"pair_table tip5p x tip5p          {cpu(lambda: vt.pair_table(water, water), number=200):.2e} s")
    print(f"law_entries tip5p x tip5p         {cpu(lambda: mixing.law_entries(water, water), number=200):.2e} s")
    for name in ("tip4p-2005", "mie-ethane", "exp6-methane"):
        m = vt.get_model(name)
        print(f"lowest_dimer_energy {name:<14s}{cpu(lambda: floors.lowest_dimer_energy(m, m), repeat=1):.2e} s")
    try:
        import openmm  # noqa: F401
    except ImportError:
        print("readers: OpenMM not installed")
        return
    import test_models_files as files

    with tempfile.TemporaryDirectory() as tmp:
        top, gro = files._gromacs(pathlib.Path(tmp), vt.get_model("tip4p-2005"))
        vt.load_model(top, coordinates=gro)  # OpenMM's first use
        print(f"load_model GROMACS .top + .gro    {cpu(lambda: vt.load_model(top, coordinates=gro)):.2e} s")


if __name__ == "__main__":
    main()
