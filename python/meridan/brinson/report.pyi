# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Charts of the Brinson attribution table: sector weights and the total effects.

Inside a running IPython kernel (a notebook) the charts are shown inline;
anywhere else (a script, a plain or IPython terminal) `show` writes a standalone
page into the temporary directory and opens it in a browser.
BokehJS is embedded in either case, so no network access is needed.
"""

from typing import Any

import pandas as pd

Blues8: tuple[str, ...]
TOOLS: list[str]

def gen_sector_weights(df: pd.DataFrame) -> None:
    """Shows the sector-weight chart of attribution table `df`: per sector (every row
    but the last, the total), the benchmark's and the portfolio's average weight
    (fractions) as bars side by side. Returns None.
    """

def generate_report(df: pd.DataFrame) -> None:
    """Shows the sector-weight chart, then the Brinson chart of attribution table
    `df`: the interaction, selection, allocation and total active return of its
    row "总计" as horizontal bars (fractions). Returns None.
    """

def report_figures(df: pd.DataFrame) -> tuple[Any, Any]:
    """The two charts of attribution table `df` as bokeh figures, without showing
    them: a tuple (sector-weight chart, Brinson chart), for embedding in a page
    (bokeh.embed.file_html) or further styling.
    """
