"""An estimate as a table row: the CSV columns, also used by `VirialScan.to_dataframe`."""
from __future__ import annotations

from typing import Any, Dict, Tuple

CSV_COLUMNS = ("t_kelvin", "runs", "b", "b_stderr", "t_dbdt", "t_dbdt_stderr", "t2_d2bdt2", "t2_d2bdt2_stderr")
"""Columns of the CSV file of B, in this order."""

CSV_COLUMNS_C = ("t_kelvin", "runs", "c", "c_stderr", "t_dcdt", "t_dcdt_stderr", "t2_d2cdt2", "t2_d2cdt2_stderr")
"""Columns of the CSV file of C, in this order."""


def csv_columns(order: int) -> Tuple[str, ...]:
    """The CSV columns of B (order 2), C (order 3) or B_n (``b4``, ``b4_stderr``, ``t_db4dt``, ...)."""
    x = "b" if order == 2 else "c" if order == 3 else f"b{order}"
    return ("t_kelvin", "runs", x, f"{x}_stderr", f"t_d{x}dt", f"t_d{x}dt_stderr", f"t2_d2{x}dt2", f"t2_d2{x}dt2_stderr")


def estimate_row(e: Any) -> Dict[str, Any]:
    """The CSV row of a `VirialEstimate` (molar units) as a dictionary, keyed by `csv_columns`."""
    m = e.molar()
    values = (m.t_kelvin, m.n_runs, m.value, m.value_stderr, m.t_dxdt, m.t_dxdt_stderr, m.t2_d2xdt2,
              m.t2_d2xdt2_stderr)
    return dict(zip(csv_columns(e.order), values))
