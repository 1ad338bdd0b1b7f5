"""The README stays true: its Python blocks run in order, as written, outside the
checkout, and the tour's figures (the comments after its prints) are what it prints
and what the command prints for the sample statement."""

import contextlib
import io
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def _blocks(text):
    return re.findall(r"```python\n(.*?)```", text, re.S)


def _tour(text):
    return text.split("## A tour of the analyses", 1)[1].split("\n## ", 1)[0]


def _promised(block):
    """The outputs the comments after print(...) promise, in order."""
    return [line.split("#", 1)[1].strip() for line in block.splitlines()
            if line.startswith("print(") and "#" in line]


@pytest.mark.sample
def test_readme_python_blocks_run_in_order(tmp_path, monkeypatch):
    for name in ("meridan.brinson.calc", "meridan.exposure", "meridan.risk",
                 "meridan.profit", "meridan.style"):
        pytest.importorskip(name)
    from meridan import cli
    from meridan.brinson import report

    monkeypatch.setattr(report, "show", lambda figure: None)  # no browser
    monkeypatch.chdir(tmp_path)  # nothing may depend on the checkout's files
    text = README.read_text(encoding="utf-8")
    blocks, tour = _blocks(text), _blocks(_tour(text))
    assert len(tour) == 5 and all(block in blocks for block in tour)
    namespace, printed = {}, io.StringIO()
    with contextlib.redirect_stdout(printed):
        for block in blocks:
            exec(compile(block, str(README), "exec"), namespace)
            if block == tour[-1]:
                toured = dict(namespace)  # later examples reuse the names
    output = printed.getvalue()
    promised = [p for block in tour for p in _promised(block)]
    assert len(promised) == 12
    position = 0
    for expected in promised:
        position = output.index(expected, position) + len(expected)

    # The command on the same statement prints the same figures.
    command = io.StringIO()
    with contextlib.redirect_stdout(command):
        assert cli.main(["analyse", "sample", "--out", str(tmp_path / "r.html")]) == 0
    said = command.getvalue()
    assert f"Opening cash {toured['cash']:,.2f}" in said
    values = toured["values"]
    assert f"{values.iloc[-1] / values.iloc[0] - 1:+.2%} (benchmark" in said
    assert toured["check"].line() in said
    total = toured["table"].loc["总计", "TotalActiveReturn"]
    assert re.search(r"总计 .* %s\n" % re.escape(f"{total:.2%}"), said)
    assert f"{toured['risk']['total']['portfolio']['sharpe']:.3f}" in said
