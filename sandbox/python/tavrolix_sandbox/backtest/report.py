"""The interactive report of one backtest: a single HTML file (Bokeh, its
scripts inlined) with candles and the fills, volume, the equity curve,
drawdown and the strategy's indicators, all sharing one time axis (pan or
zoom one, the others follow)."""

from __future__ import annotations

import math
import os
import tempfile
from typing import Any, List, Optional, Tuple

import numpy as np

MAX_POINTS = 10_000  # candles drawn; longer histories are shown as coarser bars


def _coarse(t: Any, o: Any, h: Any, lo: Any, c: Any, v: Any, k: int) -> Tuple[Any, ...]:
    """Every ``k`` bars as one."""
    if k <= 1:
        return t, o, h, lo, c, v
    first = np.arange(0, len(t), k)
    last = np.minimum(first + k - 1, len(t) - 1)
    return (
        t[first],
        o[first],
        np.maximum.reduceat(h, first),
        np.minimum.reduceat(lo, first),
        c[last],
        np.add.reduceat(v, first),
    )


def report(result: Any, path: Optional[str] = None, *, title: Optional[str] = None) -> str:
    try:
        from bokeh.embed import file_html
        from bokeh.layouts import column
        from bokeh.models import ColumnDataSource, CrosshairTool, HoverTool, Span  # type: ignore[attr-defined]
        from bokeh.plotting import figure
        from bokeh.resources import INLINE
    except ImportError:
        raise ImportError("the report needs bokeh (pip install bokeh)") from None
    settings = result.settings
    title = title or "%s on %s" % (settings["strategy"], ", ".join(settings["symbols"]))
    symbol, cols, n = result._feeds[0]
    t = np.frombuffer(cols["time"], dtype="i8")[:n]
    o = np.frombuffer(cols["open"], dtype="f8")[:n]
    h = np.frombuffer(cols["high"], dtype="f8")[:n]
    lo = np.frombuffer(cols["low"], dtype="f8")[:n]
    c = np.frombuffer(cols["close"], dtype="f8")[:n]
    v = np.frombuffer(cols["volume"], dtype="i8")[:n]
    k = max(1, math.ceil(n / MAX_POINTS))
    t, o, h, lo, c, v = _coarse(t, o, h, lo, c, v, k)
    spacing = float(np.median(np.diff(t))) if len(t) > 1 else float(settings.get("interval") or 60)
    width_ms = spacing * 1000 * 0.7
    up = c >= o
    candles = ColumnDataSource(
        dict(
            time=t.astype("datetime64[s]"),
            open=o,
            high=h,
            low=lo,
            close=c,
            volume=v,
            color=np.where(up, "#26a69a", "#ef5350"),
        )
    )
    tools = "xpan,xwheel_zoom,box_zoom,reset,save"
    price = figure(
        title=title,
        x_axis_type="datetime",
        height=380,
        sizing_mode="stretch_width",
        tools=tools,
        active_drag="xpan",
        active_scroll="xwheel_zoom",
    )

    def panel(height: int, name: str) -> Any:
        # A figure below the prices, on their time axis.
        return figure(
            x_axis_type="datetime",
            height=height,
            sizing_mode="stretch_width",
            tools=tools,
            x_range=price.x_range,
            title=name,
        )

    price.segment("time", "high", "time", "low", source=candles, color="color", name="wicks")
    price.vbar(
        "time", width_ms, "open", "close", source=candles, fill_color="color", line_color="color", name="candles"
    )
    price.add_tools(
        HoverTool(
            renderers=price.select(name="candles"),  # type: ignore[no-untyped-call]
            tooltips=[
                ("time", "@time{%F %T}"),
                ("open", "@open{0.00[00]}"),
                ("high", "@high{0.00[00]}"),
                ("low", "@low{0.00[00]}"),
                ("close", "@close{0.00[00]}"),
                ("volume", "@volume{0,0}"),
            ],
            formatters={"@time": "datetime"},
        )
    )
    fills = [f for f in result._fill_rows if f[1] == symbol]
    for side, marker, color, name in (
        (1, "triangle", "#1b5e20", "entries"),
        (-1, "inverted_triangle", "#b71c1c", "exits"),
    ):
        mine = [f for f in fills if f[2] == side]
        src = ColumnDataSource(
            dict(
                time=np.array([f[0] for f in mine], dtype="i8").astype("datetime64[s]"),
                price=np.array([float(f[3]) for f in mine], dtype="f8"),
                volume=np.array([f[4] for f in mine], dtype="i8"),
            )
        )
        r = price.scatter(
            "time",
            "price",
            source=src,
            marker=marker,
            size=11,
            color=color,
            name=name,
            legend_label="buy" if side > 0 else "sell",
        )
        price.add_tools(
            HoverTool(
                renderers=[r],
                tooltips=[("fill", "@volume @ @price{0.00[00]}"), ("time", "@time{%F %T}")],
                formatters={"@time": "datetime"},
            )
        )
    palette = ["#1f77b4", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22"]
    panels: List[Any] = []
    for n_ind, ((sym, name), (it, iv, overlay)) in enumerate(sorted(result.strategy.indicators.items())):
        if sym != symbol:
            continue
        ti = np.frombuffer(it, dtype="i8")
        vi = np.frombuffer(iv, dtype="f8")
        step = max(1, math.ceil(len(ti) / MAX_POINTS))
        src = ColumnDataSource(dict(time=ti[::step].astype("datetime64[s]"), value=vi[::step]))
        color = palette[n_ind % len(palette)]
        if overlay:
            price.line("time", "value", source=src, color=color, legend_label=name, name="indicator:" + name)
        else:
            fig = panel(120, name)
            fig.line("time", "value", source=src, color=color, name="indicator:" + name)
            panels.append(fig)
    price.legend.location = "top_left"
    price.legend.click_policy = "hide"
    vol = panel(110, "volume")
    vol.vbar("time", width_ms, 0, "volume", source=candles, color="color", alpha=0.6, name="volume")
    eq = result.equity
    et = result.times
    ev = result._equity
    step = max(1, math.ceil(len(et) / MAX_POINTS))
    dd = -100 * (1 - ev / np.maximum.accumulate(ev))
    esrc = ColumnDataSource(dict(time=et[::step].astype("datetime64[s]"), equity=ev[::step], dd=dd[::step]))
    efig = panel(180, "equity")
    efig.line("time", "equity", source=esrc, color="#1565c0", name="equity")
    efig.add_layout(Span(location=settings["cash"], dimension="width", line_dash="dashed", line_color="#999"))
    efig.add_tools(
        HoverTool(
            tooltips=[("time", "@time{%F %T}"), ("equity", "@equity{0,0.00}")],
            formatters={"@time": "datetime"},
            mode="vline",
        )
    )
    dfig = panel(120, "drawdown %")
    dfig.varea("time", 0, "dd", source=esrc, color="#c62828", alpha=0.4, name="drawdown")
    cross = CrosshairTool(dimensions="height")
    figures = [price, vol] + panels + [efig, dfig]
    for f in figures:
        f.add_tools(cross)
        f.toolbar.logo = None
    del eq
    html = file_html(column(*figures, sizing_mode="stretch_width"), INLINE, title)
    stats = result._stats
    rows = "".join("<tr><th>%s</th><td>%s</td></tr>" % (k, _fmt(k, val)) for k, val in stats.items())
    setting_rows = "".join("<tr><th>%s</th><td>%s</td></tr>" % (k, _esc(repr(val))) for k, val in settings.items())
    table = (
        '<div style="font:13px sans-serif;display:flex;gap:2em;margin:1em"><table>%s</table><table>%s</table></div>'
        % (rows, setting_rows)
    )
    html = html.replace("</body>", table + "</body>", 1)
    if path is None:
        fd, path = tempfile.mkstemp(suffix=".html", prefix="backtest-")
        os.close(fd)
    with open(path, "w", encoding="utf-8") as f:
        f.write(html)
    return path


def _esc(s: str) -> str:
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _fmt(key: str, value: Any) -> str:
    import datetime as dt

    if isinstance(value, float) and value != value:
        return "-"
    if key in ("Start", "End"):
        return dt.datetime.fromtimestamp(value, dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
    if "Duration" in key:
        return str(dt.timedelta(seconds=round(value)))
    if isinstance(value, float):
        return "%.4g" % value if abs(value) < 1e6 else "%.2f" % value
    return _esc(str(value))
