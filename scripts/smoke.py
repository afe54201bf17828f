"""The installed wheel against its own sandbox broker: log in, read an
account, place and follow an order. Exits non-zero on any failure. Used by
cibuildwheel's test step (pyproject.toml) on every platform it builds."""

import queue
import sys

import tavrolix_open_api as tv
import tavrolix_sandbox as sbx


def main() -> int:
    sbx.use_broker()
    ctx = tv.login("inv001", "inv001-secret", "", "", False)
    info = tv.get_investor_equity_account_info(ctx, "E-1001")
    assert info["success"] and info["data"]["account_type"] == "CASH", info
    events: queue.Queue[str] = queue.Queue()
    key = tv.subscribe_equity_order(ctx, "E-1001", events.put)
    placed = tv.place_investor_equity_order(
        ctx, "E-1001", "ARVO", 45.0, 100, "BUY", "000000", "LIMIT", "DAY", "", "NORMAL", False, 0, False
    )
    assert placed["success"], placed
    payload = events.get(timeout=10)
    assert placed["data"]["order_no"] in payload, payload
    tv.unsubscribe(ctx["channel_id"], key)
    refused = tv.place_investor_equity_order(
        ctx, "E-1001", "ARVO", 45.0, 100, "BUY", "999999", "LIMIT", "DAY", "", "NORMAL", False, 0, False
    )
    assert not refused["success"] and refused["status_code"] == 401, refused
    print("smoke ok on", sys.platform, sys.version.split()[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
