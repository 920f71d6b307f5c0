"""CPU time of resuming a scan from a large results store: 100 000 records (50 000 of the scan's
settings over 500 temperatures, 50 000 of other settings), the scan asking for 8 runs at each of
10 temperatures.  The first resume builds the store's index; later ones read only the records
they use.

    python benchmarks/bench_store_resume.py [records]
"""
import math
import os
import sys
import tempfile
import time

import vicatools as vt
from vicatools.scan import store


def main(n: int) -> None:
    argon = vt.get_model("argon")
    s = store.ScanSettings(2, (argon, argon), "lorentz-berthelot", -math.inf, 1e-3, 2, revision=1)
    other = store.ScanSettings(2, (argon, argon), "lorentz-berthelot", -math.inf, 1e-4, 2, revision=1)
    lines = [store.RunRecord(x, 300.0, "ok", (-25.0, 60.0, -100.0), 1.0).to_json() for x in (s, other)]
    with tempfile.TemporaryDirectory() as tmp:
        os.environ["XDG_DATA_HOME"] = tmp
        path = os.path.join(tmp, "big.jsonl")
        with open(path, "w") as f:
            for i in range(n):
                f.write(lines[i % 2].replace('"t_kelvin": 300.0', f'"t_kelvin": {100 + i % 500}.0') + "\n")
        wanted = {float(100 + 2 * k): 8 for k in range(10)}
        print(f"{n} records, {os.path.getsize(path) / 2**20:.0f} MiB")
        for what in ("first resume (builds the index)", "second resume", "third resume"):
            start = time.process_time()
            with store.RunStore(path) as st:
                got, skipped = st.select(s.key, wanted)
            cpu = time.process_time() - start
            assert all(len(v) == 8 for v in got.values()) and not skipped
            print(f"{what}: {cpu * 1e3:.1f} ms CPU")
        start = time.process_time()
        full = sum(1 for _ in store.read_records(path))
        print(f"for comparison, parsing every record: {time.process_time() - start:.1f} s CPU ({full} records)")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
