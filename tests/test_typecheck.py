"""mypy --strict over the examples, the snippets of docs/api.md and docs/client.md and the tavrolix package,
resolving the module through the stub installed beside it, and over misuses that the stub and the package's
annotations must reject."""

import glob
import os
import re
import subprocess
import sys
import textwrap

import pytest
from stub_types import STUB_DIR

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Static checking: nothing to learn from a sanitizer build here.
pytestmark = pytest.mark.skipif(bool(os.environ.get("TVX_SANITIZER")), reason="sanitizer run")
EXAMPLES = sorted(glob.glob(os.path.join(ROOT, "examples", "*.py")))
CLIENT_PACKAGE = os.path.join(ROOT, "client", "tavrolix")


def doc_snippets(page="api.md"):
    with open(os.path.join(ROOT, "docs", page), encoding="utf-8") as f:
        blocks = re.findall(r"^( *)```python\n(.*?)^ *```", f.read(), re.M | re.S)
    return [textwrap.dedent(code) for _, code in blocks]


# Each line marked "# error" must be reported, and no other.
MISUSES = textwrap.dedent("""\
    from typing import TYPE_CHECKING
    import tavrolix_open_api as tv
    if TYPE_CHECKING:
        from tavrolix_open_api import Context
    ctx = tv.login("a", "b", "c", "d", enable_queue=True)  # error
    ctx = tv.login("a", "b", "c", "d", False)
    ctx["channel"]  # error
    r = tv.get_investor_derivatives_account_info(ctx, 5)  # error
    r = tv.get_investor_derivatives_account_info(ctx, "D-1")
    r["data"]["cash_balance"]  # error
    if r["success"]:
        cash: float = r["data"]["cash_balance"]
        flag: str = r["data"]["call_force_flag"]  # error
    tv.get_marketrep_derivatives_order(ctx, "12")  # error
    tv.cancel_investor_equity_orders(ctx, "E-1", "E1", "")  # error
    tv.subscribe_price_info(ctx, "PTT", lambda payload, extra: None)  # error
    c = tv.get_candlesticks(ctx, "PTT", "1d", 5, False, "", "")
    m: str = c["message"]  # error
    volumes: list[int] = c["data"]["volume"]
    e = tv.get_investor_equity_account_info(ctx, "E-1")
    if e["success"]:
        e["data"]["initial_cash_balance"]  # error
        e["data"]["line_available"]
    def use(context: "Context") -> None:
        tv.get_marketrep_equity_orders(context)
    """)


# The same for the client: keyword-only options, no Optional where a value is present.
CLIENT_MISUSES = textwrap.dedent("""\
    import asyncio
    import tavrolix
    inv = tavrolix.connect("a", "b", pin="1")
    rep = tavrolix.connect("a", "b", market_rep=True)
    inv.equity_orders()  # error
    rep.equity_orders(symbol="ARVO")
    shares = inv.equity("E-1")
    shares.buy("ARVO", 100, 45.25)  # error
    number: str = shares.buy("ARVO", 100, price=45.25)
    contract: str = inv.derivatives("D-1").buy("T50H26", 1)  # error
    future: int = inv.derivatives("D-1").sell("T50H26", 1, trigger_price=1.0)
    shares.change(number, new_account_no="E-2")  # error
    rep.equity("E-1").change(number, new_account_no="E-2", nvdr=True)
    shares.cancel(number).append(1)  # error
    errors = shares.cancel([number])
    code: str = errors[0]["error_response"]["code"]  # error
    shares.cancel(5)  # error
    cash: float = shares.info()["cash_balance"]
    with shares.order_updates() as updates:
        update = next(updates)
        event: str = update["event"]
        volume: int = update["match_volume"]
        done: str = updates.wait(number, tavrolix.OrderStatus.MATCHED)["status"]  # error
        updates.wait(5)  # error
    async def watch() -> None:
        async with inv.price_info("ARVO") as infos:
            async for info in infos:
                last: float = info["last"]  # error
                ceiling: float = info["ceiling"]
    candles = inv.candlesticks("ARVO", tavrolix.Interval.M5, count=6)
    closes: list[float] = candles.close
    try:
        shares.sell("ARVO", 100)
    except tavrolix.InsufficientPosition as e:
        status: int = e.status
        text: str = e.message
        raw: str = e.code  # error
    """)


def mypy(paths, cache):
    env = dict(os.environ)
    # The module as installed: here, or in the build tree beside the module.
    env["PYTHONPATH"] = os.pathsep.join(p for p in [STUB_DIR, env.get("PYTHONPATH", "")] if p)
    for name in ("MYPYPATH", "LD_PRELOAD", "PYTHONMALLOC"):
        env.pop(name, None)
    # 3.9 where mypy still checks for it (its releases for 3.10 and later start at 3.10).
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--python-version",
            "3.9" if sys.version_info < (3, 10) else "3.10",
            "--no-error-summary",
            "--show-error-codes",
            "--cache-dir",
            str(cache),
        ]
        + paths,
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
    )


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    if not EXAMPLES:
        pytest.fail("no examples to check")
    probe = tmp_path_factory.mktemp("probe") / "misuses.py"
    probe.write_text(MISUSES)
    client_probe = probe.parent / "client_misuses.py"
    client_probe.write_text(CLIENT_MISUSES)
    snippets = []
    for page in ("api.md", "client.md"):
        found = doc_snippets(page)
        assert found, "no python snippet found in docs/" + page
        for i, code in enumerate(found):
            snippets.append(probe.parent / ("doc_snippet_%s_%d.py" % (page[:-3], i)))
            snippets[-1].write_text(code)
    proc = mypy(
        [CLIENT_PACKAGE] + EXAMPLES + [str(p) for p in snippets] + [str(probe), str(client_probe)],
        tmp_path_factory.mktemp("mypy-cache"),
    )
    errors = {}
    for line in proc.stdout.splitlines():
        m = re.match(r"(.+?):(\d+): error: (.*)", line)
        if m:
            errors.setdefault(os.path.basename(m.group(1)), {})[int(m.group(2))] = m.group(3)
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    return proc, errors


def test_client_examples_and_documented_snippets_pass_mypy_strict(report):
    proc, errors = report
    flagged = {name: lines for name, lines in errors.items() if name not in ("misuses.py", "client_misuses.py")}
    assert not flagged, proc.stdout


@pytest.mark.parametrize("name, source", [("misuses.py", MISUSES), ("client_misuses.py", CLIENT_MISUSES)])
def test_stub_and_client_reject_misuses(report, name, source):
    proc, errors = report
    expected = {n for n, line in enumerate(source.splitlines(), 1) if line.endswith("# error")}
    assert set(errors.get(name, {})) == expected, proc.stdout
