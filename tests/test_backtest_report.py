"""The backtest's HTML report opened in a real headless browser (Debian's
chromium; scripts/os-packages.sh installs it): every plot is in the document and
drawn, the plots share one time axis, and no script fails. The report's
scripts are inline, so the page needs nothing from the network."""

import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest
from tavrolix_sandbox import history as H
from tavrolix_sandbox.backtest import Backtest, Strategy

pytest.importorskip("bokeh")
HERE = os.path.dirname(os.path.abspath(__file__))
T0 = 1772409600

# Collects errors before anything else runs.
CATCH = """<script>
window.__errors = [];
window.addEventListener('error', function (e) { window.__errors.push('error: ' + (e.message || e)); });
window.addEventListener('unhandledrejection', function (e) { window.__errors.push('rejection: ' + e.reason); });
var __ce = console.error;
console.error = function () { window.__errors.push('console: ' + Array.prototype.join.call(arguments, ' ')); __ce.apply(console, arguments); };
</script>"""

# Once rendering settles: the models' names, the plots' time axes, the canvases drawn on.
PROBE = """<pre id="probe"></pre><script>
function __canvases(root, out) {
  root.querySelectorAll('*').forEach(function (el) {
    if (el.tagName === 'CANVAS') out.push(el);
    if (el.shadowRoot) __canvases(el.shadowRoot, out);
  });
  return out;
}
function __painted(c) {
  try {
    var d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    for (var i = 3; i < d.length; i += 4 * 7) if (d[i] !== 0) return true;
  } catch (e) { window.__errors.push('probe: ' + e); }
  return false;
}
var __tries = 0;
function __probe() {
  var out = {errors: window.__errors, names: [], xranges: [], canvases: 0, painted: 0, docs: 0};
  if (window.Bokeh && Bokeh.documents) {
    out.docs = Bokeh.documents.length;
    Bokeh.documents.forEach(function (d) {
      var models = d._all_models ? Array.from(d._all_models.values()) : Array.from(d.all_models);
      models.forEach(function (m) {
        if (m.name) out.names.push(m.name);
        if (m.x_range && m.renderers && m.toolbar) out.xranges.push(m.x_range.id);
      });
    });
  }
  var cs = __canvases(document, []);
  out.canvases = cs.length;
  out.painted = cs.filter(__painted).length;
  if ((out.painted < __EXPECT__) && __tries++ < 100) { setTimeout(__probe, 100); return; }
  document.getElementById('probe').textContent = JSON.stringify(out);
}
window.addEventListener('load', function () { setTimeout(__probe, 100); });
</script>"""


def chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    if os.environ.get("CI"):
        # The test command installs it (saying so); in CI a missing browser is a failure, not a skip.
        subprocess.run(["bash", os.path.join(HERE, "..", "scripts", "os-packages.sh")], check=False)
        path = shutil.which("chromium")
        assert path, "chromium is missing in CI and scripts/os-packages.sh could not install it"
        return path
    pytest.skip("no chromium here (bash scripts/os-packages.sh installs Debian's, as root)")


def render(path, expect, tmp_path):
    with open(path, encoding="utf-8") as f:
        html = f.read()
    assert "<script" in html and "cdn.bokeh.org" not in html  # self-contained
    html = re.sub(r"<head>", "<head>" + CATCH, html, count=1)
    html = html.replace("</body>", PROBE.replace("__EXPECT__", str(expect)) + "</body>", 1)
    probe = tmp_path / "probe.html"
    probe.write_text(html, encoding="utf-8")
    proc = subprocess.run(
        [
            chromium(),
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-dev-shm-usage",
            "--no-first-run",
            "--user-data-dir=%s" % (tmp_path / "profile"),
            "--window-size=1400,2000",
            "--virtual-time-budget=30000",
            "--dump-dom",
            probe.as_uri(),
        ],
        capture_output=True,
        text=True,
        timeout=180,
        # The browser is not under test: no sanitizer runtime preloaded into it.
        env={k: v for k, v in os.environ.items() if not k.startswith(("LD_", "ASAN_", "UBSAN_", "TSAN_"))},
    )
    m = re.search(r'<pre id="probe">(.*?)</pre>', proc.stdout, re.S)
    assert m and m.group(1), "no probe result; chromium said: " + proc.stderr[-2000:]
    import html as _html

    return json.loads(_html.unescape(m.group(1)))


class Busy(Strategy):
    n = 14

    def on_bar(self, bar):
        closes = self.data[bar.symbol].close
        self.indicator("SMA %d" % self.n, closes[-self.n :].mean())
        up = np.diff(closes[-self.n - 1 :])
        self.indicator("momentum", float(up.sum()) if len(up) else 0.0, overlay=False)
        k = len(closes)
        if k % 20 == 5:
            self.buy(volume=10)
        elif k % 20 == 15 and self.position():
            self.close()


@pytest.mark.usefixtures("broker_world")
def test_the_report_renders_in_a_browser_with_every_plot_linked_and_no_script_error(tmp_path):
    rng = np.random.default_rng(3)
    closes = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, 30_000)))
    rows = [
        (T0 + 60 * i, c, round(c + 0.2, 2), round(c - 0.2, 2), c, 100 + i % 7)
        for i, c in enumerate(np.round(closes, 2).tolist())
    ]
    bars = H.bars(rows, symbol="XYZ", tick=0.01)
    result = Backtest(bars, Busy, cash=100_000, progress=False).run()
    assert len(result.fills) > 100
    path = result.plot(str(tmp_path / "report.html"))
    out = render(path, 5, tmp_path)
    assert out["errors"] == [], out["errors"]
    assert out["docs"] == 1
    names = set(out["names"])
    assert {
        "candles",
        "wicks",
        "volume",
        "entries",
        "exits",
        "equity",
        "drawdown",
        "indicator:SMA 14",
        "indicator:momentum",
    } <= names, names
    # price, volume, the momentum panel, equity, drawdown: one time axis
    assert len(out["xranges"]) == 5 and len(set(out["xranges"])) == 1
    assert out["painted"] >= 5, out
    # the statistics and settings are on the page
    with open(path, encoding="utf-8") as f:
        page = f.read()
    assert "Sharpe Ratio" in page and "slippage_ticks" in page and "Busy" in page

    # the optimiser's heatmap renders too
    opt = Backtest(bars, Busy, cash=100_000, progress=False)
    from tavrolix_sandbox.backtest.optimize import Optimization

    rows_ = [{"params": {"n": n, "m": m}, "stats": {}, "score": float(n * m)} for n in (5, 10) for m in (1, 2, 3)]
    heat = Optimization(rows_, ["n", "m"], "x", None).plot_heatmap(str(tmp_path / "heat.html"))
    out = render(heat, 1, tmp_path)
    assert out["errors"] == [] and "heatmap" in out["names"] and out["painted"] >= 1
    del opt
