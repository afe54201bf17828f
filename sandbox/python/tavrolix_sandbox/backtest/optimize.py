"""Parameter sweeps of a backtest over processes, any executor, or a Dask cluster.

Each run needs the history; it travels to each worker once: as the
initializer's argument of the default process pool, scattered once on Dask
(each worker fetches it with its first task), and with each of N chunks (N the executor's
workers) on any other executor. A worker keeps the last history it
unpacked, so chunks after the first reuse it.
"""

from __future__ import annotations

import hashlib
import itertools
import math
import multiprocessing
import os
from concurrent.futures import Executor, ProcessPoolExecutor
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple

__all__ = ["Optimization", "optimize"]

_cache: Dict[str, Any] = {}  # per worker process: digest -> History
unpacked = 0  # histories this process unpacked (the tests count them)


def _history(digest: str, blob: Optional[bytes]) -> Any:
    from ..history import History

    global unpacked
    h = _cache.get(digest)
    if h is None:
        if blob is None:
            raise RuntimeError("this worker was not given the history")
        _cache.clear()
        h = _cache[digest] = History.unpack(blob)
        unpacked += 1
    return h


def _init(digest: str, blob: bytes) -> None:
    _history(digest, blob)


def _run_chunk(
    digest: str, blob: Optional[bytes], run_settings: Dict[str, Any], combos: Sequence[Dict[str, Any]]
) -> List[Dict[str, Any]]:
    """Runs each combination; plain data back (statistics per run)."""
    from .runner import Backtest

    history = _history(digest, blob)
    run_settings = dict(run_settings, strategy=_local(run_settings["strategy"]), fees=_local(run_settings["fees"]))
    bt = Backtest(
        history,
        run_settings["strategy"],
        cash=run_settings["cash"],
        account=run_settings["account"],
        interval=run_settings["interval"],
        fees=run_settings["fees"],
        slippage=run_settings["slippage"],
        instruments=run_settings["instruments"],
        progress=False,
        **run_settings["params"],
    )
    out = []
    for params in combos:
        r = bt.run(**params)
        out.append({"params": params, "stats": dict(r._stats), "interrupted": r.settings["interrupted"]})
    return out


class _ByValue:
    """A class or function a worker could not import by name (one defined in a
    script's or a notebook's ``__main__``, or a lambda), carried by value."""

    def __init__(self, blob: bytes) -> None:
        self.blob = blob


def _portable(obj: Any) -> Any:
    if obj is None:
        return None
    name = getattr(obj, "__qualname__", "")
    if getattr(obj, "__module__", None) not in (None, "__main__") and "<" not in name:
        return obj  # importable where the worker runs: by name
    try:
        import cloudpickle  # type: ignore[import-untyped, unused-ignore]  # comes with Dask
    except ImportError:
        return obj  # by name, as pickle does; a spawned worker then needs it importable
    return _ByValue(cloudpickle.dumps(obj))


def _local(obj: Any) -> Any:
    if isinstance(obj, _ByValue):
        import pickle

        return pickle.loads(obj.blob)
    return obj


def _score(maximize: Any, stats: Dict[str, Any]) -> float:
    v = maximize(stats) if callable(maximize) else stats[maximize]
    try:
        v = float(v)
    except (TypeError, ValueError):
        raise ValueError("maximize gave %r, not a number" % (v,)) from None
    return -math.inf if v != v else v


class Optimization:
    """``table``: one row per run (parameters, then statistics), best first;
    ``best``: the best run's full Result; ``heatmap(x, y)``: the best value
    of the objective for each pair of two parameters."""

    def __init__(self, rows: List[Dict[str, Any]], names: List[str], maximize: Any, best: Any) -> None:
        self.rows, self.names, self.maximize, self.best = rows, names, maximize, best

    @property
    def table(self) -> Any:
        flat = [dict(r["params"], **{"_score": r["score"]}, **r["stats"]) for r in self.rows]
        try:
            import pandas as pd  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            return flat
        return pd.DataFrame(flat).set_index(self.names)

    @property
    def best_params(self) -> Dict[str, Any]:
        return dict(self.rows[0]["params"])

    def heatmap(self, x: Optional[str] = None, y: Optional[str] = None) -> Any:
        """The objective's best value over the other parameters, for each (x, y); a pandas DataFrame (y rows, x columns)."""
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        x, y = self._axes(x, y)
        df = pd.DataFrame([dict(r["params"], value=r["score"]) for r in self.rows])
        return df.groupby([y, x])["value"].max().unstack(x)

    def _axes(self, x: Optional[str], y: Optional[str]) -> Tuple[str, str]:
        if x is None or y is None:
            if len(self.names) < 2:
                raise ValueError("a heatmap needs two parameters, the sweep has %s" % self.names)
            x, y = x or self.names[0], y or self.names[1]
        for name in (x, y):
            if name not in self.names:
                raise ValueError("%r is not a swept parameter (%s)" % (name, self.names))
        return x, y

    def plot_heatmap(self, path: str, x: Optional[str] = None, y: Optional[str] = None) -> str:
        """Writes the heatmap as a self-contained HTML file (Bokeh)."""
        from bokeh.embed import file_html
        from bokeh.models import ColorBar, LinearColorMapper  # type: ignore[attr-defined]
        from bokeh.plotting import figure
        from bokeh.resources import INLINE

        x, y = self._axes(x, y)
        grid = self.heatmap(x, y)
        xs, ys, vs = [], [], []
        for yv in grid.index:
            for xv in grid.columns:
                v = grid.loc[yv, xv]
                if v == v and v not in (math.inf, -math.inf):
                    xs.append(str(xv))
                    ys.append(str(yv))
                    vs.append(float(v))
        name = self.maximize if isinstance(self.maximize, str) else getattr(self.maximize, "__name__", "objective")
        mapper = LinearColorMapper(palette="Viridis256", low=min(vs) if vs else 0, high=max(vs) if vs else 1)
        fig = figure(
            x_range=[str(v) for v in grid.columns],
            y_range=[str(v) for v in grid.index],
            title="%s by %s and %s" % (name, x, y),
            x_axis_label=x,
            y_axis_label=y,
            tools="hover,save",
            tooltips=[(x, "@x"), (y, "@y"), (name, "@v")],
        )
        fig.rect(
            "x",
            "y",
            1,
            1,
            source=dict(x=xs, y=ys, v=vs),
            fill_color={"field": "v", "transform": mapper},
            line_color=None,
            name="heatmap",
        )
        fig.add_layout(ColorBar(color_mapper=mapper), "right")
        with open(path, "w", encoding="utf-8") as f:
            f.write(file_html(fig, INLINE, "heatmap"))
        return path

    def __repr__(self) -> str:
        return "<Optimization of %d runs, best %s>" % (len(self.rows), self.best_params)


def _dask_client(executor: Any) -> Any:
    try:
        from distributed import Client
    except ImportError:
        return None
    if isinstance(executor, Client):
        return executor
    c = getattr(executor, "_client", None)  # distributed's ClientExecutor
    return c if isinstance(c, Client) else None


def _chunks(items: List[Dict[str, Any]], n: int) -> List[List[Dict[str, Any]]]:
    n = max(1, min(n, len(items)))
    return [items[i::n] for i in range(n)]


def optimize(
    bt: Any,
    *,
    maximize: Any,
    constraint: Optional[Callable[[Dict[str, Any]], bool]],
    executor: Any,
    max_tries: Optional[int],
    chunks: Optional[int],
    ranges: Dict[str, Iterable[Any]],
) -> Optimization:
    if not ranges:
        raise ValueError("optimize needs at least one parameter range, e.g. fast=range(5, 30, 5)")
    names = list(ranges)
    values = []
    for name in names:
        seq = ranges[name]
        seq = list(seq) if not isinstance(seq, (str, bytes)) and hasattr(seq, "__iter__") else [seq]
        if not seq:
            raise ValueError("the range of %r is empty" % name)
        values.append(seq)
    bt.strategy(None, (), **{n: v[0] for n, v in zip(names, values)})  # unknown names fail here
    combos = [dict(zip(names, c)) for c in itertools.product(*values)]
    if constraint is not None:
        combos = [c for c in combos if constraint(dict(bt.params, **c))]
    if max_tries is not None:
        combos = combos[: int(max_tries)]
    if not combos:
        raise ValueError("no combination of the ranges passes the constraint")
    blob = bt.history.pack()
    digest = hashlib.sha1(blob).hexdigest()
    run_settings = {
        "strategy": _portable(bt.strategy),
        "cash": bt.cash,
        "account": bt.account,
        "interval": bt.interval,
        "fees": _portable(bt.costs.fee),
        "slippage": bt.costs.slippage,
        "instruments": bt.instruments,
        "params": bt.params,
    }
    results: List[Dict[str, Any]] = []
    dask = _dask_client(executor) if executor is not None else None
    if dask is not None:
        workers = max(1, len(dask.scheduler_info().get("workers", {})))
        # Not broadcast: a busy cluster can lose a key while replicating it, cancelling every
        # task that needs it; a worker fetches the blob once, with its first task, and keeps it.
        # A key of its own (hash=False): the same history scattered again by the next sweep
        # would take the name the cluster is still releasing from this one, and be lost.
        [shared] = dask.scatter([blob], hash=False)
        n = chunks or 4 * workers
        futures = [
            dask.submit(_run_chunk, digest, shared, run_settings, part, pure=False) for part in _chunks(combos, n)
        ]
        for f in futures:
            results.extend(f.result())
    elif executor is None:
        workers = min(os.cpu_count() or 1, len(combos))
        with ProcessPoolExecutor(
            max_workers=workers,
            mp_context=multiprocessing.get_context("spawn"),
            initializer=_init,
            initargs=(digest, blob),
        ) as pool:
            n = chunks or 4 * workers
            for part in pool.map(
                _run_chunk,
                itertools.repeat(digest),
                itertools.repeat(None),
                itertools.repeat(run_settings),
                _chunks(combos, n),
            ):
                results.extend(part)
    elif isinstance(executor, Executor):
        workers = int(getattr(executor, "_max_workers", 0) or os.cpu_count() or 1)
        n = chunks or workers
        for part in executor.map(
            _run_chunk,
            itertools.repeat(digest),
            itertools.repeat(blob),
            itertools.repeat(run_settings),
            _chunks(combos, n),
        ):
            results.extend(part)
    else:
        raise TypeError(
            "executor must be a concurrent.futures.Executor or a Dask distributed Client, not %r" % (executor,)
        )
    for r in results:
        r["score"] = _score(maximize, r["stats"])
    order = {tuple(sorted(c.items(), key=lambda kv: kv[0])): i for i, c in enumerate(combos)}
    results.sort(key=lambda r: (-r["score"], order.get(tuple(sorted(r["params"].items(), key=lambda kv: kv[0])), 0)))
    best = bt.run(**results[0]["params"])
    return Optimization(results, names, maximize, best)
