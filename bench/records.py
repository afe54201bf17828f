"""Benchmark result images, laid out by byte offset: order and position lists
whose texts repeat the way a broker's do (a few accounts, sides, statuses and
symbols; unique order numbers and times), with some null and non-ASCII texts."""

from tavrolix_sandbox import Layout

EQUITY_ORDER_SIZE = 232
DERIVATIVES_POSITION_SIZE = 312

SYMBOLS = ["SYM%02d" % i for i in range(40)] + ["\u0e01\u0e02%d" % i for i in range(10)]
STATUSES = [
    ("O", "Open"),
    ("M", "Matched"),
    ("PM", "Partially matched"),
    ("C", "Cancelled"),
    ("R", "Rejected \u2013 price out of range"),
]


def equity_order(i):
    status, meaning = STATUSES[i % len(STATUSES)]
    img = Layout(EQUITY_ORDER_SIZE)
    img.u8(0, i % 3 != 0).u8(1, i % 7 == 0)
    img.text(8, "E-%04d" % (1001 + i % 4)).i32(16, (i * 37) % 5000)
    img.text(24, "C%07d" % i if i % 10 == 0 else None)
    img.text(32, "2024-06-28T09:%02d:%02d" % (i // 60 % 60, i % 60) if i % 10 == 0 else None)
    img.i32(40, (i % 10 == 0 and 100) or 0)
    img.text(48, "TVX" if i % 50 == 0 else None)
    img.text(56, "T%02d" % (i % 3)).text(64, "2024-06-28T09:%02d:%02d.%03d" % (i // 60 % 60, i % 60, i % 1000))
    img.i32(72, 0).i32(76, (i * 13) % 3000)
    img.text(80, "N" if i % 9 else "Y").text(88, "EQ%08d" % (40000000 + i)).text(96, ("LIMIT", "MARKET")[i % 5 == 0])
    img.f64(104, 10.0 + (i % 400) * 0.25)
    img.text(112, ("LIMIT", "ATO", "ATC", "MP-MTL")[i % 4]).i32(120, 0 if i % 23 else 17)
    img.text(128, "" if i % 23 else "price out of range")
    img.text(136, "S%08d" % (70000000 + i) if i % 2 else "")
    img.text(144, status).text(152, meaning).text(160, "B" if i % 2 else "S").text(168, status)
    img.text(176, SYMBOLS[(i * 7) % len(SYMBOLS)]).text(184, "2024-06-28")
    img.text(192, None if i % 11 else "NORMAL")
    img.text(200, "2024-06-28T09:%02d:%02d" % (i // 60 % 60, i % 60) if status in ("M", "PM") else None)
    img.text(208, ("DAY", "GTC", "IOC")[i % 3]).i32(216, 1 + i % 3).i32(220, 100 * (1 + i % 50))
    img.u8(224, 1).u8(225, i % 4 == 0).u8(226, 0)
    return img


SERIES = (
    ["S50%s24" % m for m in "HMUZ"]
    + ["GO%s24" % m for m in "GJMQVZ"]
    + ["%s%s24" % (u, m) for u in ("PTT", "KBANK", "AOT", "CPALL", "USD", "GF10", "SVF") for m in "HMUZ"]
)


def derivatives_position(i):
    img = Layout(DERIVATIVES_POSITION_SIZE)
    series = SERIES[(i * 3) % len(SERIES)]
    img.u8(0, i % 2 == 0).text(8, "D-%04d" % (1001 + i % 4))
    img.i32(16, i % 50).i32(20, (i * 7) % 30).text(24, "2024-06-28").i32(32, i % 50).i32(36, (i * 7) % 30)
    for n, off in enumerate((40, 48, 56, 64)):
        img.f64(off, 1.0 + n * 0.001 + (i % 7) * 0.01)
    img.text(72, "TVX").i32(80, i % 5).i32(84, i % 3).text(88, "USD" if series.startswith("USD") else "THB")
    img.f64(96, 1.0).text(104, "2024-%02d-27" % (3 + 3 * (i % 4)))
    for n, off in enumerate((112, 120, 128, 136)):
        img.f64(off, 900.0 + (i % 300) * 0.1 + n)
    img.i32(144, i % 11).i32(148, i % 13)
    for n, off in enumerate((152, 160, 168, 176)):
        img.f64(off, (i % 1000) * 12.5 - 5000.0 + n)
    img.text(184, "FUT" if i % 5 else "OPT")
    for n, off in enumerate((192, 200, 208)):
        img.f64(off, 880.0 + (i % 200) * 0.2 + n)
    img.i32(216, i % 17)
    for n, off in enumerate((224, 232)):
        img.f64(off, 870.0 + (i % 150) * 0.3 + n)
    img.i32(240, i % 19)
    for n, off in enumerate((248, 256, 264, 272, 280)):
        img.f64(off, 1.0 + n * 0.5 + (i % 9) * 0.01)
    img.text(288, series).text(296, series[:-3])
    img.u8(304, i % 3 == 0)
    return img


def record_list(items, count, success=1, status=200, message=None, error=None):
    img = Layout(48).pointer(0, items).i64(8, count).u64(16, 0)
    return img.u8(24, success).i32(28, status).text(32, message).text(40, error)


def equity_orders(n):
    return record_list(Layout.array([equity_order(i) for i in range(n)]), n)


def derivatives_positions(n):
    return record_list(Layout.array([derivatives_position(i) for i in range(n)]), n)


def refused_equity_order():
    """Result of a single equity order query that the library refuses."""
    return Layout(256).u8(0, 0).i32(4, 404).text(240, "order not found").text(248, None)
