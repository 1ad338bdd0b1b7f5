"""The attribution charts, inspected as bokeh figures with `show` replaced (no browser)."""

import os
import subprocess
import sys
import time

import pandas as pd
import pytest

import meridan.brinson.report as report

COLUMNS = ["PortfolioWeight", "BenchmarkWeight", "WeightDifference", "PortfolioReturn",
           "BenchmarkReturn", "ReturnDifference", "Allocation", "Selection",
           "Interaction", "TotalActiveReturn"]
BLUES8 = ("#084594", "#2171b5", "#4292c6", "#6baed6", "#9ecae1", "#c6dbef", "#deebf7",
          "#f7fbff")


def table(rows):
    """An attribution table: `rows` maps a label to {column: value}; unset cells are 0."""
    frame = pd.DataFrame(0.0, index=list(rows), columns=COLUMNS)
    for label, cells in rows.items():
        for column, value in cells.items():
            frame.loc[label, column] = value
    return frame


@pytest.fixture
def shown(monkeypatch):
    figures = []
    monkeypatch.setattr(report, "show", figures.append)
    return figures


@pytest.fixture
def df():
    return table({
        "现金": {"PortfolioWeight": 0.05},
        "银行": {"PortfolioWeight": 0.55, "BenchmarkWeight": 0.4},
        "医药生物": {"PortfolioWeight": 0.4, "BenchmarkWeight": 0.6},
        "总计": {"PortfolioWeight": 1.0, "BenchmarkWeight": 1.0, "Interaction": 0.004,
                 "Selection": -0.012, "Allocation": 0.003, "TotalActiveReturn": -0.005},
    })


def rects(fig):
    return [(r.glyph.x, r.glyph.y, r.glyph.width, r.glyph.height, r.glyph.fill_color)
            for r in fig.renderers if type(r.glyph).__name__ == "Rect"]


def lines(fig):
    return [(list(r.data_source.data["x"]), list(r.data_source.data["y"]))
            for r in fig.renderers if type(r.glyph).__name__ == "Line"]


def common_settings(fig, title):
    assert (fig.width, fig.height, fig.title.text) == (960, 600, title)
    assert [type(t).__name__ for t in fig.toolbar.tools] == ["SaveTool"]


def test_sector_weight_chart(shown, df):
    before = df.copy()
    assert report.gen_sector_weights(df) is None
    assert len(shown) == 1
    fig = shown[0]
    common_settings(fig, "Sector Weights")
    # The cash row is drawn like a sector; only the last row is left out.
    assert fig.x_range.factors == ["现金", "银行", "医药生物"]
    bars = rects(fig)
    expected = []
    for i, (b, p) in enumerate([(0.0, 0.05), (0.4, 0.55), (0.6, 0.4)]):
        expected.append((i + 0.4, b / 2, 0.2, abs(b), BLUES8[0]))
        expected.append((i + 0.6, p / 2, 0.2, abs(p), BLUES8[4]))
    assert bars == [(pytest.approx(x), pytest.approx(y), w, pytest.approx(h), c)
                    for x, y, w, h, c in expected]
    items = [(item.label.value, len(item.renderers)) for item in fig.legend[0].items]
    assert items == [("benchmark", 3), ("portfolio", 3)]
    assert lines(fig) == [([0, 100], [0, 0])]
    pd.testing.assert_frame_equal(df, before)


def test_brinson_chart_follows_the_weights_chart(shown, df):
    assert report.generate_report(df) is None
    assert [f.title.text for f in shown] == ["Sector Weights", "Brinson Analysis"]
    fig = shown[1]
    common_settings(fig, "Brinson Analysis")
    assert fig.y_range.factors == ["交互作用", "选股配置", "资产配置", "主动收益"]
    # Negative effects lie left of the zero line: centre v / 2, extent |v|.
    values = [0.004, -0.012, 0.003, -0.005]
    assert rects(fig) == [(pytest.approx(v / 2), i + 0.5, pytest.approx(abs(v)), 0.4,
                           BLUES8[i]) for i, v in enumerate(values)]
    assert not fig.legend or not fig.legend[0].items
    assert lines(fig) == [([0, 0], [0, 5])]


def test_single_sector_and_total_row_by_position(shown):
    # The last row is dropped whatever its label; a lone sector gets bars at 0.4 / 0.6.
    one = table({"能源": {"PortfolioWeight": -0.1, "BenchmarkWeight": 1.0},
                 "合计": {"PortfolioWeight": 0.9}})
    report.gen_sector_weights(one)
    bars = rects(shown[0])
    assert [(x, y, h) for x, y, _, h, _ in bars] == [
        (pytest.approx(0.4), 0.5, 1.0), (pytest.approx(0.6), -0.05, 0.1)]


def test_figures_without_showing(shown, df):
    weights, effects = report.report_figures(df=df)
    assert shown == []
    assert (weights.title.text, effects.title.text) == ("Sector Weights",
                                                         "Brinson Analysis")


@pytest.mark.parametrize("call", ["generate_report", "report_figures"])
def test_missing_total_row(shown, df, call):
    with pytest.raises(KeyError, match="总计"):
        getattr(report, call)(df.iloc[:-1])
    # generate_report shows the weights before it looks for the total row.
    assert len(shown) == (call == "generate_report")


@pytest.mark.parametrize("column", ["BenchmarkWeight", "PortfolioWeight", "Selection"])
def test_missing_column(shown, df, column):
    with pytest.raises(KeyError, match=column):
        report.generate_report(df.drop(columns=column))


def test_bokeh_names_are_looked_up_at_call_time(monkeypatch, shown, df):
    made = []
    original = report.figure

    def figure(**kwargs):
        made.append(kwargs)
        return original(**kwargs)

    monkeypatch.setattr(report, "figure", figure)
    monkeypatch.setattr(report, "Blues8", ("red",) * 8)
    monkeypatch.setattr(report, "TOOLS", ["save", "pan"])
    report.generate_report(df)
    assert [sorted(k) for k in made] == [["height", "tools", "width", "x_range"],
                                         ["height", "tools", "width", "y_range"]]
    assert made[0]["tools"] == ["save", "pan"]
    assert {c for f in shown for *_, c in rects(f)} == {"red"}


def test_module_constants():
    assert type(report.TOOLS) is list and report.TOOLS == ["save"]
    assert tuple(report.Blues8) == BLUES8


KERNEL = (
    "import sys, types\n"
    "shell = types.SimpleNamespace(kernel=object())\n"
    "sys.modules['IPython'] = types.SimpleNamespace(get_ipython=lambda: shell)\n"
)
TERMINAL_IPYTHON = (
    "from IPython.terminal.interactiveshell import TerminalInteractiveShell\n"
    "TerminalInteractiveShell.instance()\n"
)
BROKEN_NOTEBOOK = (
    KERNEL + "import bokeh.io\n"
    "def refuse(**kwargs):\n"
    "    raise RuntimeError('no notebook here')\n"
    "bokeh.io.output_notebook = refuse\n"
)


@pytest.mark.parametrize("setup, expected", [
    # Whatever IPython is installed, or the terminal, nothing outside a kernel is set
    # up for a notebook; charts go to a standalone inline page.
    ("", ["False", "inline"]),
    ("import sys\nsys.modules['IPython'] = None\n", ["False", "inline"]),
    (TERMINAL_IPYTHON, ["False", "inline"]),
    (BROKEN_NOTEBOOK, ["False", "inline"]),
    (KERNEL + "import bokeh.io\nbokeh.io.output_notebook = lambda **k: print('notebook')\n",
     ["notebook", "False", "None"]),
], ids=["plain", "no-ipython", "terminal-ipython", "broken-kernel", "kernel"])
def test_import_outside_a_notebook(tmp_path, setup, expected):
    if setup == TERMINAL_IPYTHON:
        pytest.importorskip("IPython")
    code = (
        setup
        + "import meridan.brinson.report as r\n"
        "from bokeh.io.state import curstate\n"
        "s = curstate()\n"
        "print(s.notebook, s.file.resources.mode if s.file else None)\n"
    )
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], cwd=tmp_path,
                         capture_output=True, text=True, check=True,
                         stdin=subprocess.DEVNULL)
    assert out.stdout.split() == expected
    assert list(tmp_path.iterdir()) == []


def test_plain_repl_survives_the_import(tmp_path):
    # An analyst's plain `python` prompt, IPython installed: importing the report
    # module keeps the prompt and the session's variables.
    pytest.importorskip("IPython")
    import pty
    import select

    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(tmp_path)
        os.execv(sys.executable, [sys.executable, "-q", "-i"])
    seen = b""

    def until(marker, timeout=60.0):
        nonlocal seen
        deadline = time.monotonic() + timeout
        while marker not in seen:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError(f"no {marker!r} in {seen!r}")
            try:
                seen += os.read(fd, 4096)
            except OSError:
                raise AssertionError(f"the interpreter ended: {seen!r}") from None

    def send(line):
        nonlocal seen
        seen = b""
        os.write(fd, line + b"\n")
        until(b">>> ")

    try:
        until(b">>> ")
        send(b"kept = 6 * 7")
        send(b"from meridan.brinson import calc, report")
        send(b"print('value', kept)")
        assert b"value 42" in seen
        assert b"In [" not in seen
    finally:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        os.close(fd)
