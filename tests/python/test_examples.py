"""The examples cannot rot: the notebook is executed, and the command's report is
opened in headless Chromium, which must draw the charts without a script error."""

import contextlib
import io
import json
import pathlib
import re
import shutil
import subprocess

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
ANALYSES = ["meridan.brinson.calc", "meridan.exposure", "meridan.risk", "meridan.profit",
            "meridan.style"]


def _need_analyses():
    for name in ANALYSES:
        pytest.importorskip(name)


@pytest.mark.sample
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_notebook_runs(tmp_path):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    _need_analyses()
    notebook = nbformat.read(EXAMPLES / "analysis.ipynb", as_version=4)
    client = nbclient.NotebookClient(notebook, timeout=300, kernel_name="python3",
                                     resources={"metadata": {"path": str(tmp_path)}})
    client.execute()
    outputs = [o for cell in notebook.cells if cell.cell_type == "code"
               for o in cell.outputs]
    assert not [o for o in outputs if o.output_type == "error"]
    # The charts reach the notebook as bokeh output, with BokehJS loaded inline.
    mimes = {m for o in outputs for m in o.get("data", {})}
    assert "application/vnd.bokehjs_exec.v0+json" in mimes

    # It is the command's analysis: the same days, value, reconciliation and active
    # return.
    printed = "".join(o.get("text", "") for o in outputs if o.output_type == "stream")
    from meridan import cli

    command = io.StringIO()
    with contextlib.redirect_stdout(command):
        assert cli.main(["analyse", str(EXAMPLES / "sample_statement.csv"), "--out",
                         str(tmp_path / "report.html")]) == 0
    said = command.getvalue()
    days = re.search(r"Analysed .* trading days\)", printed).group(0)
    value = re.search(r"Value .* a year", printed).group(0)
    agreed = re.search(r"Reconciliation: .*", printed).group(0)
    active = re.search(r"total active return ([-+][\d.]+%)", printed).group(1)
    assert days in said and value in said and agreed in said
    assert re.search(r"总计 .* %s\n" % re.escape(active.lstrip("+")), said)


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    pytest.skip("no Chromium installed")


# The page's own script, run in the browser after load: whether a canvas of every
# chart holds a drawn (non-blank) pixel, and the errors seen.
_PROBE = """
<script>
window.__errors = [];
window.addEventListener("error", e => window.__errors.push(String(e.message)));
function __probe() {
  const canvases = [];
  const walk = root => {
    if (!root) return;
    root.querySelectorAll("canvas").forEach(c => canvases.push(c));
    root.querySelectorAll("*").forEach(el => el.shadowRoot && walk(el.shadowRoot));
  };
  walk(document);
  const drawn = canvases.filter(c => {
    if (!c.width || !c.height) return false;
    const data = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    for (let i = 3; i < data.length; i += 4) if (data[i] !== 0) return true;
    return false;
  }).length;
  document.title = JSON.stringify({canvases: canvases.length, drawn: drawn,
                                   errors: window.__errors});
}
setTimeout(__probe, 3000);
</script>
"""


@pytest.mark.sample
def test_report_renders_in_chromium(tmp_path):
    browser = _chromium()
    _need_analyses()
    from meridan import cli

    out = tmp_path / "report.html"
    assert cli.main(["analyse", str(EXAMPLES / "sample_statement.csv"), "--end",
                     "2025-12-31", "--out", str(out)]) == 0
    page = out.read_text(encoding="utf-8")
    # BokehJS is in the page itself: no script is fetched.
    assert "<script" in page and not re.search(r"<script[^>]*\bsrc=", page)
    probe = tmp_path / "probe.html"
    # BokehJS itself contains the text "</body>": the probe goes before the last one.
    head, tail = page.rsplit("</body>", 1)
    probe.write_text(head + _PROBE + "</body>" + tail, encoding="utf-8")
    run = subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--enable-logging=stderr", "--v=0", "--virtual-time-budget=10000",
         "--dump-dom", probe.as_uri()],
        capture_output=True, text=True, timeout=120)
    title = run.stdout.split("<title>", 1)[1].split("</title>", 1)[0]
    report = json.loads(title.replace("&quot;", '"'))
    assert report["errors"] == []
    assert "Uncaught" not in run.stderr
    # Three charts: sector weights, effects, value curve; each draws on a canvas.
    assert report["drawn"] >= 3, report


def test_the_installed_sample_statement_is_the_example():
    import meridan

    installed = pathlib.Path(meridan.sample_statement())
    assert installed.read_bytes() == (EXAMPLES / "sample_statement.csv").read_bytes()
    # and the wheel takes it: the package folder is packaged whole
    assert installed.parent.parent == pathlib.Path(meridan.__file__).parent
