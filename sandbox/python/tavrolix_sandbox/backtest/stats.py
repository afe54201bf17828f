"""The statistics of a backtest, from its equity curve and round trips, in
numpy (docs/backtest.md defines each one). Labels are those quants know
from the popular Python backtesters; percentages are in percent."""

from __future__ import annotations

import math
from typing import Any, Dict, Optional, Tuple

import numpy as np

Array = Any  # a numpy array
DAY = 86400


def _gmean(r: Array, n: Optional[int] = None) -> float:
    """Geometric mean of simple returns (0 when any loses everything)."""
    g = 1.0 + r
    if len(g) == 0 or np.any(g <= 0):
        return 0.0
    return float(np.exp(np.log(g).sum() / (n if n is not None else len(g))) - 1.0)


def _annual_periods(times: Array) -> int:
    """Points a year: by the bars' typical spacing (weekly 52, monthly 12,
    yearly 1), else trading days: 365 when weekends hold a fair share of
    the bars (a coin), 252 otherwise."""
    tail = times[-100:]
    spacing = float(np.median(np.diff(tail))) if len(tail) > 1 else float(DAY)
    days = int(spacing // DAY)
    if days == 7:
        return 52
    if days == 31:
        return 12
    if days == 365:
        return 1
    weekday = (times // DAY + 3) % 7  # 0 Monday .. 6 Sunday
    weekends = float(np.mean(weekday >= 5)) if len(times) else 0.0
    return 365 if weekends > 2 / 7 * 0.6 else 252


def _period_returns(equity: Array, times: Array, periods: int) -> Array:
    """Returns from each calendar day's (week's, month's, year's) last equity to the next."""
    if periods == 52:
        key = (times // DAY + 3) // 7
    elif periods == 12:
        d = times.astype("datetime64[s]").astype("datetime64[M]")
        key = d.astype("i8")
    elif periods == 1:
        key = times.astype("datetime64[s]").astype("datetime64[Y]").astype("i8")
    else:
        key = times // DAY
    last = np.flatnonzero(np.diff(key)) if len(key) else np.zeros(0, "i8")
    closes = np.concatenate((equity[last], equity[-1:])) if len(equity) else equity
    return closes[1:] / closes[:-1] - 1.0


def _ceil(seconds: float, unit: int) -> float:
    return seconds if seconds != seconds else float(math.ceil(seconds / unit - 1e-9) * unit)


def drawdown(equity: Array) -> Array:
    """The fall from the running peak, as a fraction of it."""
    return 1.0 - equity / np.maximum.accumulate(equity)


def _drawdown_spells(dd: Array, times: Array) -> Tuple[Array, Array]:
    """Each spell from a peak to the recovery (or the end): its duration in
    seconds and deepest fall."""
    at_peak = np.flatnonzero(dd == 0)
    ends = np.unique(np.concatenate((at_peak, [len(dd) - 1])))
    prev, cur = ends[:-1], ends[1:]
    keep = cur > prev + 1
    prev, cur = prev[keep], cur[keep]
    if not len(prev):
        return np.zeros(0), np.zeros(0)
    durations = (times[cur] - times[prev]).astype("f8")
    # deepest fall between prev and cur (inclusive): reduceat over the spans
    idx = np.empty(2 * len(prev), "i8")
    idx[0::2], idx[1::2] = prev, cur + 1
    if idx[-1] >= len(dd):
        depth = np.maximum.reduceat(np.append(dd, 0.0), idx)[0::2]
    else:
        depth = np.maximum.reduceat(dd, idx)[0::2]
    return durations, depth


def compute(
    equity: Array,
    times: Array,
    closes: Array,
    exposed: Array,
    pnl: Array,
    returns: Array,
    durations: Array,
    fees: float,
    risk_free: float = 0.0,
) -> Dict[str, Any]:
    """``equity`` at each point (``times``, UTC seconds), ``closes`` of the
    first symbol there, ``exposed`` whether a position was held during each
    point, and per closed round trip its ``pnl`` (money, after fees),
    ``returns`` (pnl over the entry value) and ``durations`` (seconds)."""
    s: Dict[str, Any] = {}
    n = len(equity)
    s["Start"] = int(times[0])
    s["End"] = int(times[-1])
    s["Duration"] = int(times[-1] - times[0])
    s["Exposure Time [%]"] = float(np.mean(exposed)) * 100
    s["Equity Final [$]"] = float(equity[-1])
    s["Equity Peak [$]"] = float(equity.max())
    s["Commissions [$]"] = float(fees)
    s["Return [%]"] = (equity[-1] - equity[0]) / equity[0] * 100
    s["Buy & Hold Return [%]"] = (closes[-1] - closes[0]) / closes[0] * 100
    periods = _annual_periods(times)
    r = _period_returns(equity, times, periods)
    g = _gmean(r)
    ann = (1 + g) ** periods - 1
    var = float(np.var(r, ddof=1)) if len(r) > 1 else math.nan
    vol = math.sqrt(max(0.0, (var + (1 + g) ** 2) ** periods - (1 + g) ** (2 * periods))) if var == var else math.nan
    s["Return (Ann.) [%]"] = ann * 100
    s["Volatility (Ann.) [%]"] = vol * 100
    years = (times[-1] - times[0]) / DAY / 365.25
    s["CAGR [%]"] = ((equity[-1] / equity[0]) ** (1 / years) - 1) * 100 if years else math.nan
    s["Sharpe Ratio"] = (ann - risk_free) / vol if vol else math.nan
    down = math.sqrt(float(np.mean(np.minimum(r, 0) ** 2))) * math.sqrt(periods) if len(r) else math.nan
    s["Sortino Ratio"] = (ann - risk_free) / down if down else (math.inf if down == 0 and ann > risk_free else math.nan)
    dd = drawdown(equity)
    max_dd = float(dd.max()) if n else 0.0
    s["Calmar Ratio"] = ann / max_dd if max_dd else math.nan
    beta = math.nan
    if n > 2:
        with np.errstate(divide="ignore", invalid="ignore"):
            er = np.log(equity[1:] / equity[:-1])
        mr = np.log(closes[1:] / closes[:-1])
        cov = np.cov(er, mr)
        beta = float(cov[0, 1] / cov[1, 1]) if cov[1, 1] else math.nan
    s["Alpha [%]"] = s["Return [%]"] - risk_free * 100 - beta * (s["Buy & Hold Return [%]"] - risk_free * 100)
    s["Beta"] = beta
    spell_time, spell_depth = _drawdown_spells(dd, times)
    s["Max. Drawdown [%]"] = -max_dd * 100
    s["Avg. Drawdown [%]"] = -float(spell_depth.mean()) * 100 if len(spell_depth) else math.nan
    s["Max. Drawdown Duration"] = float(spell_time.max()) if len(spell_time) else math.nan
    s["Avg. Drawdown Duration"] = float(spell_time.mean()) if len(spell_time) else math.nan
    # durations round up to the bars' own resolution (whole days for daily bars)
    tail = times[-100:]
    spacing = int(np.median(np.diff(tail))) if len(tail) > 1 else 1
    unit = next((u for u in (DAY, 3600, 60) if spacing and spacing % u == 0), 1)
    for key in ("Max. Drawdown Duration", "Avg. Drawdown Duration"):
        s[key] = _ceil(s[key], unit)
    k = len(pnl)
    s["# Trades"] = k
    win = float(np.mean(pnl > 0)) if k else math.nan
    s["Win Rate [%]"] = win * 100
    s["Best Trade [%]"] = float(returns.max()) * 100 if k else math.nan
    s["Worst Trade [%]"] = float(returns.min()) * 100 if k else math.nan
    s["Avg. Trade [%]"] = _gmean(returns) * 100 if k else math.nan
    s["Max. Trade Duration"] = _ceil(float(durations.max()), unit) if k else math.nan
    s["Avg. Trade Duration"] = _ceil(float(durations.mean()), unit) if k else math.nan
    losses = abs(float(returns[returns < 0].sum()))
    s["Profit Factor"] = float(returns[returns > 0].sum()) / losses if losses else math.nan
    s["Expectancy [%]"] = float(returns.mean()) * 100 if k else math.nan
    sd = float(np.std(pnl, ddof=1)) if k > 1 else math.nan
    s["SQN"] = math.sqrt(k) * float(pnl.mean()) / sd if k > 1 and sd else math.nan
    wins, losses_ = pnl[pnl > 0], pnl[pnl < 0]
    if k and len(wins) and len(losses_):
        s["Kelly Criterion"] = win - (1 - win) / (float(wins.mean()) / -float(losses_.mean()))
    else:
        s["Kelly Criterion"] = math.nan
    return s
