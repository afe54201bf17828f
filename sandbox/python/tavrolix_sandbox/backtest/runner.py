"""Backtest: one strategy class replayed through a world of its own."""

from __future__ import annotations

import calendar
import contextlib
import json
import signal
import sys
import threading
import time as _time
from decimal import Decimal
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Type, Union

import numpy as np
import tavrolix_open_api as _tv

from .. import history as H
from . import _world
from .costs import Costs
from .result import Result
from .strategy import Bar, Bars, Strategy

Array = Any  # a numpy array
__all__ = ["Backtest", "run_live"]

ACCOUNT = {"equity": "BT-E1", "derivatives": "BT-D1"}
_END = 253402300799  # 9999-12-31T23:59:59: the last time the replay takes, past any history
_INTERVALS = {"1m": 60, "5m": 300, "15m": 900, "30m": 1800, "60m": 3600, "1h": 3600, "1d": 86400, "1w": 604800}


def _seconds(interval: Union[int, str, None]) -> Optional[int]:
    if interval is None:
        return None
    if isinstance(interval, int) and not isinstance(interval, bool) and interval > 0:
        return interval
    if isinstance(interval, str) and interval in _INTERVALS:
        return _INTERVALS[interval]
    raise ValueError("interval: seconds above zero or one of %s, not %r" % (sorted(_INTERVALS), interval))


def _as_history(history: Any, symbol: Optional[str]) -> H.History:
    if isinstance(history, H.History):
        return history
    if isinstance(history, H.Series):
        return H.History([history])
    if isinstance(history, (bytes, bytearray, memoryview)):
        return H.History.unpack(bytes(history))
    if symbol is None:
        raise ValueError("bars given as a table or file need symbol= (or hand in a history.History)")
    return H.bars(history, symbol=symbol)


class _Feed:
    """One symbol's bars as the strategy will see them, and when each has closed."""

    def __init__(self, symbol: str, columns: Dict[str, Any], closes_at: Array, bars: bool) -> None:
        self.symbol, self.columns, self.closes_at, self.bars = symbol, columns, closes_at, bars
        c = columns
        self.rows = (c["time"], c["open"], c["high"], c["low"], c["close"], c["volume"])


def _bars_of_trades(s: H.Series, interval: int) -> Dict[str, Any]:
    """Bars of ``interval`` seconds made from a tape's prints (intervals without one are skipped)."""
    from array import array

    t = np.frombuffer(s.columns["time"], dtype="i8")
    p = np.frombuffer(s.columns["price"], dtype="f8")
    v = np.frombuffer(s.columns["volume"], dtype="i8")
    start = t - t % interval
    edges = np.flatnonzero(np.diff(start)) + 1
    first = np.concatenate(([0], edges))
    last = np.concatenate((edges - 1, [len(t) - 1]))
    out = {
        "time": start[first],
        "open": p[first],
        "high": np.maximum.reduceat(p, first),
        "low": np.minimum.reduceat(p, first),
        "close": p[last],
        "volume": np.add.reduceat(v, first),
    }
    return {
        k: array(
            "q" if k in ("time", "volume") else "d", col.astype("i8" if k in ("time", "volume") else "f8").tobytes()
        )
        for k, col in out.items()
    }


def _trim_heap() -> None:
    """Hands the C heap's free pages back to the system (glibc; elsewhere nothing).
    Loading a history leaves its temporaries as holes under the columns it
    keeps, tens of MB for millions of rows, which the heap would otherwise hold
    on to while the replay allocates its own."""
    if not sys.platform.startswith("linux"):
        return
    try:
        import ctypes

        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc
        pass


@contextlib.contextmanager
def _ctrl_c() -> Iterator[List[bool]]:
    """Ctrl-C during a run sets the flag (the run stops after the bar it is in,
    with the result so far) instead of raising wherever the interpreter happens
    to be: inside a delivery to one of the run's callables it would be lost.
    A second Ctrl-C raises as usual. Only the main thread receives signals."""
    stopped = [False]
    if threading.current_thread() is not threading.main_thread():
        yield stopped
        return
    before = signal.getsignal(signal.SIGINT)
    if before is None:  # set outside Python: put Python's own back afterwards
        before = signal.default_int_handler

    def first(signum: int, frame: Any) -> None:
        stopped[0] = True
        signal.signal(signal.SIGINT, before)

    signal.signal(signal.SIGINT, first)
    try:
        yield stopped
    finally:
        signal.signal(signal.SIGINT, before)


def _progress(total: int, enabled: Optional[bool]) -> Any:
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled or total < 1:
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    return tqdm(total=total, unit="bar", unit_scale=True, leave=False, file=sys.stderr)


class Backtest:
    """``Backtest(history, Strategy, cash=10000, account="equity", interval=None,
    fees=None, slippage=0, **params).run()``.

    ``history``: a :class:`tavrolix_sandbox.history.History` (bars, or trades
    and quotes, of one or more symbols), a Series, or a table/CSV of bars with
    ``symbol=``. ``interval``: the bars' length (seconds or "1m", "1d", ...),
    needed for trades (their bars are made at it); by default the bars'.
    ``fees``, ``slippage``: see :mod:`tavrolix_sandbox.backtest.costs`.
    ``instruments``: definitions of the symbols (tick, lot, multiplier,
    market) as :func:`tavrolix_sandbox.broker.seed` takes them.
    ``params`` set the strategy's class attributes.
    """

    def __init__(
        self,
        history: Any,
        strategy: Type[Strategy],
        *,
        cash: float = 10000,
        account: str = "equity",
        interval: Union[int, str, None] = None,
        fees: Any = None,
        slippage: int = 0,
        instruments: Optional[Sequence[Mapping[str, Any]]] = None,
        symbol: Optional[str] = None,
        progress: Optional[bool] = None,
        **params: Any,
    ) -> None:
        if not (isinstance(strategy, type) and issubclass(strategy, Strategy)):
            raise TypeError("strategy must be a subclass of tavrolix_sandbox.backtest.Strategy, not %r" % (strategy,))
        if (
            isinstance(cash, bool)
            or not isinstance(cash, (int, float, Decimal))
            or not cash > 0
            or cash != cash
            or cash == float("inf")
        ):
            raise ValueError("cash must be a finite amount above zero, not %r" % (cash,))
        if account not in ACCOUNT:
            raise ValueError("account must be one of %s, not %r" % (sorted(ACCOUNT), account))
        self.history = _as_history(history, symbol)
        self.strategy = strategy
        self.cash = cash
        self.account = account
        self.interval = _seconds(interval)
        self.costs = Costs(fees, slippage)
        # a definition without a lot has the replay's own default (1), not the simulated market's (100)
        self.instruments = [{"lot": 1, **dict(i)} for i in instruments or ()]
        self.progress = progress
        strategy(None, (), **params)  # unknown parameters fail here, not in a worker
        self.params = params
        self._feeds_cache: Optional[List[_Feed]] = None
        self._feeds()

    # ---------------------------------------------------------------- the feeds

    def _feeds(self) -> List[_Feed]:
        if self._feeds_cache is not None:
            return self._feeds_cache
        feeds: List[_Feed] = []
        for symbol in self.history.symbols:
            bars = self.history.get(symbol, H.BARS)
            if bars is not None:
                t = np.frombuffer(bars.columns["time"], dtype="i8")
                feeds.append(_Feed(symbol, bars.columns, t, True))
                continue
            tape = self.history.get(symbol, H.TRADES)
            if tape is None:
                raise ValueError("%s has quotes only: the strategy needs its bars or trades" % symbol)
            if self.interval is None:
                raise ValueError("trades of %s are made into bars: give interval= (e.g. '1m')" % symbol)
            cols = _bars_of_trades(tape, self.interval)
            t = np.frombuffer(cols["time"], dtype="i8")
            feeds.append(_Feed(symbol, cols, t + (self.interval - 1), False))
        self._feeds_cache = feeds
        return feeds

    # ---------------------------------------------------------------- one run

    def run(self, **params: Any) -> Result:
        """Replays the history with the strategy trading; returns the
        :class:`Result`. Ctrl-C stops it after the current bar, with the
        result so far (``result.settings["interrupted"]`` True)."""
        merged = dict(self.params, **params)
        feeds = self._feeds()
        started = _time.perf_counter()
        _trim_heap()
        world = _world.World()
        try:
            account_no = ACCOUNT[self.account]
            if self.account == "equity":
                world.seed(
                    equity_accounts=[
                        {"account_no": account_no, "owner": _world.USER, "cash": float(self.cash), "credit_limit": 0}
                    ]
                )
            else:
                world.seed(
                    derivatives_accounts=[
                        {"account_no": account_no, "owner": _world.USER, "cash": float(self.cash), "credit_line": 0}
                    ]
                )
            world.replay(self.history, self.instruments or None)
            known = world.instruments()
            symbols = [f.symbol for f in feeds]
            lots = {s: int(known.get(s, {}).get("lot", 1)) for s in symbols}
            # the library does not tell a replayed instrument's tick: as defined here, else the replay's default
            given = {str(d.get("symbol")): d for d in self.instruments}
            ticks = {s: float(given.get(s, {}).get("tick") or 0.01) for s in symbols}
            mult = {s: float(known.get(s, {}).get("multiplier", 1) or 1) for s in symbols}
            schedule = world.fees()
            client = world.connect()
            try:
                acct = client.equity(account_no) if self.account == "equity" else client.derivatives(account_no)
                strategy = self.strategy(acct, symbols, lots=lots, ticks=ticks, hold=float(schedule["hold"]), **merged)
                for f in feeds:
                    strategy.data[f.symbol] = Bars(f.symbol, f.columns)
                with _ctrl_c() as stopped:
                    if len(feeds) == 1 and feeds[0].bars:
                        seen, interrupted = self._in_step(world, client, strategy, feeds[0], acct, stopped)
                    else:
                        with acct.order_updates(maxsize=1 << 20) as updates:
                            seen, interrupted = self._loop(world, strategy, feeds, updates, stopped)
                trades = acct.trades()
            finally:
                client.close()
        finally:
            world.close()
        settings = {
            "cash": float(self.cash),
            "account": self.account,
            "interval": self.interval or (self.history.series[0].interval or None),
            "symbols": [f.symbol for f in feeds],
            "lots": lots,
            "ticks": ticks,
            "multipliers": mult,
            "broker_fees": {k: float(v) for k, v in schedule["equity"].items()},
            "hold": float(schedule["hold"]),
            "params": merged,
            "strategy": self.strategy.__name__,
            "interrupted": interrupted,
            "seconds": _time.perf_counter() - started,
            **self.costs.describe(),
        }
        # stopped: what the replay did after the last bar the strategy saw is not its
        cut = max((int(f.closes_at[k - 1]) for f, k in zip(feeds, seen) if k), default=None) if interrupted else None
        if cut is not None:
            trades = [t for t in trades if _utc(t["trade_date"], t["trade_time"]) <= cut]
        return Result(feeds, seen, trades, strategy, self.costs, settings)

    def _in_step(
        self, world: _world.World, client: Any, strategy: Strategy, feed: _Feed, account: Any, stopped: List[bool]
    ) -> Tuple[List[int], bool]:
        """One series of bars: each bar is one event of the replay, and the
        strategy runs inside it, on the stepping thread, when the bar's
        candle is delivered; the bar's fills came before it, on the same
        thread. What it orders is handled there too, with no other thread
        involved (a hand-over between threads per order costs milliseconds
        on a busy machine)."""
        dispatch, on_bar = strategy._dispatch, strategy.on_bar
        symbol, (t_, o_, h_, l_, c_, v_) = feed.symbol, feed.rows
        b = strategy.data[symbol]
        last = strategy._last
        n = len(t_)
        seen = [0]
        failed: List[BaseException] = []
        new, bar_ = tuple.__new__, Bar  # a Bar without its Python-level __new__
        loads = json.loads

        def on_candle(payload: str) -> None:
            if failed or stopped[0]:
                return
            i = seen[0]
            try:
                if i >= n or (
                    not i & 63
                    and int(payload[payload.find('"time":') + 7 : payload.find(",", payload.find('"time":'))])
                    != t_[i] - t_[i] % 60
                ):
                    # one conflated candle a bar, in order: else the library broke its word
                    raise RuntimeError("the replay's candle %s is not bar %d of %s" % (payload[:120], i, symbol))
                b.n = seen[0] = i + 1
                t, c = t_[i], c_[i]
                strategy.bar = bar = new(bar_, (symbol, t, o_[i], h_[i], l_[i], c, v_[i]))
                strategy.now = t
                last[symbol] = c
                on_bar(bar)
            except BaseException as e:
                failed.append(e)

        def on_order(payload: str) -> None:
            if failed:
                return
            try:
                dispatch((loads(payload),))
            except BaseException as e:
                failed.append(e)

        bar_progress = _progress(n, self.progress)
        chunk = max(256, n // 200)
        ctx = client.context
        interrupted = False
        subscribe = _tv.subscribe_equity_order if self.account == "equity" else _tv.subscribe_derivatives_order
        keys = []
        try:
            strategy.init()
            keys.append(subscribe(ctx, account.account_no, on_order))
            keys.append(_tv.subscribe_candlestick(ctx, symbol, "1m", on_candle))
            while not failed and not stopped[0] and seen[0] < n:
                if not world.step(chunk):
                    break
                if bar_progress is not None:
                    bar_progress.update(seen[0] - bar_progress.n)
            if not failed and not stopped[0]:
                world.until(_END)  # whatever the history holds after the last bar
                if seen[0] != n:
                    raise RuntimeError("the replay delivered %d candles for %d bars of %s" % (seen[0], n, symbol))
        except KeyboardInterrupt:
            interrupted = True
        finally:
            for key in keys:
                _tv.unsubscribe(ctx["channel_id"], key)
            if bar_progress is not None:
                bar_progress.close()
        if failed:
            if isinstance(failed[0], KeyboardInterrupt):
                interrupted = True
            else:
                raise failed[0]
        return seen, interrupted or stopped[0]

    def _loop(
        self, world: _world.World, strategy: Strategy, feeds: List[_Feed], updates: Any, stopped: List[bool]
    ) -> Tuple[List[int], bool]:
        """Steps the replay to each bar's close and hands the strategy its bars;
        returns how many bars of each feed it saw, and whether Ctrl-C stopped it."""
        until, pending, drain, dispatch, on_bar = (
            world.until,
            updates.pending,
            updates.drain,
            strategy._dispatch,
            strategy._bar,
        )
        seen = [0] * len(feeds)
        interrupted = False
        plan: Optional[List[Array]] = None
        if len(feeds) == 1:
            times = feeds[0].closes_at
        else:
            allt = np.concatenate([f.closes_at for f in feeds])
            times = np.unique(allt)
            plan = [np.searchsorted(times, f.closes_at) for f in feeds]
        n = len(times)
        new, bar_ = tuple.__new__, Bar  # a Bar without its Python-level __new__
        bars = [strategy.data[f.symbol] for f in feeds]
        bar_progress = _progress(n, self.progress)
        step = max(1, n // 200)
        try:
            strategy.init()
            if plan is None:
                symbol, (t_, o_, h_, l_, c_, v_), b = feeds[0].symbol, feeds[0].rows, bars[0]
                ts = times.tolist()
                for i in range(n):
                    if stopped[0]:
                        break
                    until(ts[i])
                    if pending():
                        dispatch(drain())
                    b.n = seen[0] = i + 1
                    on_bar(new(bar_, (symbol, t_[i], o_[i], h_[i], l_[i], c_[i], v_[i])))
                    if bar_progress is not None and not (i + 1) % step:
                        bar_progress.update(step)
            else:
                # for each checkpoint, the feeds with a bar closing there
                due: List[List[int]] = [[] for _ in range(n)]
                for k, idx in enumerate(plan):
                    for j in idx.tolist():
                        due[j].append(k)
                ts = times.tolist()
                for i in range(n):
                    if stopped[0]:
                        break
                    until(ts[i])
                    if pending():
                        dispatch(drain())
                    for k in due[i]:
                        f, b, j = feeds[k], bars[k], seen[k]
                        t_, o_, h_, l_, c_, v_ = f.rows
                        b.n = j + 1
                        seen[k] = j + 1
                        on_bar(new(bar_, (f.symbol, t_[j], o_[j], h_[j], l_[j], c_[j], v_[j])))
                    if bar_progress is not None and not (i + 1) % step:
                        bar_progress.update(step)
            if not stopped[0]:
                until(_END)  # whatever the history holds after the last bar
            if pending():
                dispatch(drain())
        except KeyboardInterrupt:
            interrupted = True
        finally:
            if bar_progress is not None:
                bar_progress.close()
        return seen, interrupted or stopped[0]

    # ---------------------------------------------------------------- optimisation

    def optimize(
        self,
        *,
        maximize: Union[str, Callable[[Result], float]] = "SQN",
        constraint: Optional[Callable[[Dict[str, Any]], bool]] = None,
        executor: Any = None,
        max_tries: Optional[int] = None,
        chunks: Optional[int] = None,
        **ranges: Any,
    ) -> Any:
        """Runs every combination of ``ranges`` (each a sequence of values)
        that passes ``constraint(params)``; returns an :class:`Optimization`:
        ``.table`` (one row per run: parameters and statistics, best first),
        ``.best`` (the best run's :class:`Result`), ``.heatmap(x, y)``.

        ``maximize``: a statistic's name or a function of the Result's
        statistics. ``executor``: any ``concurrent.futures.Executor`` (a Dask
        ``distributed.Client`` works through its ``get_executor()``, or give
        the client itself); None: a process pool of the machine's cores."""
        from .optimize import optimize

        return optimize(
            self,
            maximize=maximize,
            constraint=constraint,
            executor=executor,
            max_tries=max_tries,
            chunks=chunks,
            ranges=ranges,
        )


# ---------------------------------------------------------------- live


def run_live(
    strategy: Type[Strategy],
    account: Any,
    symbols: Sequence[str],
    *,
    interval: str = "1m",
    bars: Optional[int] = None,
    seconds: Optional[float] = None,
    lots: Optional[Mapping[str, int]] = None,
    ticks: Optional[Mapping[str, float]] = None,
    hold: float = 1.0,
    poll: float = 0.05,
    on_idle: Optional[Callable[[], None]] = None,
    **params: Any,
) -> Strategy:
    """Runs ``strategy`` live on a ``tavrolix`` account (of a client connected to
    the sandbox's running market or to the real library): a bar of a symbol
    closes when its candle stream shows the next interval's candle. Stops
    after ``bars`` bars of the first symbol, ``seconds`` of wall time, or
    Ctrl-C; returns the strategy (its ``orders``, positions, indicators).
    ``lots``/``ticks``: the instruments' (the client has no query for them);
    ``hold``: what a buy holds back per unit of value (the sandbox's is ``broker.hold_factor()``)."""
    client = account.client
    deadline = None if seconds is None else _time.monotonic() + seconds
    s = strategy(account, list(symbols), lots=dict(lots or {}), ticks=dict(ticks or {}), hold=hold, **params)
    streams = [client.candle_updates(sym, interval, maxsize=4096) for sym in symbols]
    current: List[Any] = [None] * len(symbols)
    done = 0
    try:
        with account.order_updates() as updates:
            s.init()
            while (bars is None or done < bars) and (deadline is None or _time.monotonic() < deadline):
                try:
                    first = [streams[0].get(timeout=poll)]
                except TimeoutError:
                    first = []
                if on_idle is not None:
                    on_idle()
                for k, stream in enumerate(streams):
                    got = first + stream.drain() if k == 0 else stream.drain()
                    for c in got:
                        cur = current[k]
                        if cur is not None and c["time"] != cur["time"]:
                            b = Bar(
                                symbols[k],
                                int(cur["time"]),
                                float(cur["open"]),
                                float(cur["high"]),
                                float(cur["low"]),
                                float(cur["close"]),
                                int(cur["volume"]),
                            )
                            s.data[symbols[k]]._append(b)
                            s._dispatch(updates.drain())
                            s._bar(b)
                            if k == 0:
                                done += 1
                        current[k] = c
                s._dispatch(updates.drain())
    except KeyboardInterrupt:
        pass
    finally:
        for stream in streams:
            stream.close()
    return s


def _utc(date: str, clock: str) -> int:
    return calendar.timegm(
        (int(date[0:4]), int(date[5:7]), int(date[8:10]), int(clock[0:2]), int(clock[3:5]), int(clock[6:8]), 0, 0, 0)
    )
