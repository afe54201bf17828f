"""The realtime payload tables of docs/streams.md against what the sandbox
broker's streams deliver."""

import ast
import json
import os
import re
import threading

import pytest
import tavrolix_open_api as tv
from stub_types import Stub

broker = pytest.importorskip("tavrolix_sandbox.broker")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = Stub()
PIN = "000000"

JSON_TYPES = {"string": (str,), "integer": (int,), "number": (int, float)}


def documented_schemas():
    """{subscribe function: [(key, JSON type)]} from the payload section."""
    with open(os.path.join(ROOT, "docs", "streams.md"), encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n## Payloads", 1)[1].split("\n## ", 1)[0]
    schemas, intro = {}, ""
    for block in section.split("\n\n"):
        block = block.strip()
        if not block.startswith("|"):
            intro = block
            continue
        rows = [[c.strip() for c in line.strip("|").split("|")] for line in block.splitlines()[2:]]
        for name in re.findall(r"`(subscribe_\w+)`", intro):
            schemas[name] = [(row[0].strip("`"), row[1]) for row in rows]
    return schemas


def fits(value, json_type):
    if json_type.endswith(" or null"):
        return value is None or fits(value, json_type[: -len(" or null")])
    if json_type.startswith("array of "):
        inner = json_type[len("array of ") :].rstrip("s")
        return type(value) is list and all(fits(v, inner) for v in value)
    return type(value) in JSON_TYPES[json_type]


ORDER_KEYS = {"subscribe_derivatives_order": "DerivativesOrder", "subscribe_equity_order": "EquityOrder"}


def check_payload(name, payload, schema):
    doc = json.loads(payload)
    keys = [k for k, _ in schema]
    if name in ORDER_KEYS:
        if doc["event"] != "MATCH":
            keys = [k for k in keys if not k.startswith("match_")]
        order = STUB.fields(ORDER_KEYS[name])
        keys += [k for k, _ in order]
        types = dict(schema)
        for key, ann in order:
            # The order dictionary's value types; JSON writes 970.0 as 970.
            value = doc[key]
            if ast.unparse(ann) == "float" and type(value) is int:
                value = float(value)
            STUB.check(value, ann, "%s %s" % (name, key))
            types[key] = None
    else:
        types = dict(schema)
    assert list(doc) == keys, (name, list(doc))
    for key in keys:
        if types.get(key):
            assert fits(doc[key], types[key]), (name, key, doc[key], types[key])
    return doc


@pytest.fixture
def quiet_market(broker_world):
    broker.reset(seed=11, running=False)


def test_documented_payloads_are_what_the_streams_deliver(quiet_market):
    schemas = documented_schemas()
    assert sorted(schemas) == sorted(n for n in STUB.functions if n.startswith("subscribe_"))
    inv = tv.login("inv001", "inv001-secret", "", "", False)
    got = {name: [] for name in schemas}
    lock = threading.Lock()

    def collector(name):
        def receive(payload):
            with lock:
                got[name].append(payload)

        return receive

    keys = [
        tv.subscribe_bid_offer(inv, "ARVO", collector("subscribe_bid_offer")),
        tv.subscribe_price_info(inv, "ARVO", collector("subscribe_price_info")),
        tv.subscribe_candlestick(inv, "ARVO", "1m", collector("subscribe_candlestick")),
        tv.subscribe_equity_order(inv, "E-1001", collector("subscribe_equity_order")),
        tv.subscribe_derivatives_order(inv, "D-1001", collector("subscribe_derivatives_order")),
    ]
    resting = tv.place_investor_equity_order(
        inv, "E-1001", "ARVO", 40.0, 100, "BUY", PIN, "LIMIT", "DAY", "", "", False, 0, False
    )
    taken = tv.place_investor_equity_order(
        inv, "E-1001", "ARVO", 0.0, 100, "BUY", PIN, "MARKET", "IOC", "", "", False, 0, False
    )
    resting_future = tv.place_investor_derivatives_order(
        inv, "D-1001", "T50H26", 970.0, 1, "BUY", "OPEN", PIN, "LIMIT", "DAY", "", "", 0.0, False
    )
    assert resting["success"] and taken["success"] and resting_future["success"], (resting, taken, resting_future)
    broker.step(120)
    tv.cancel_investor_equity_order(inv, "E-1001", resting["data"]["order_no"] or "", PIN)
    tv.cancel_investor_derivatives_order(inv, "D-1001", resting_future["data"]["order_no"], PIN)
    assert broker.drain()
    for key in keys:
        tv.unsubscribe(inv["channel_id"] or "", key)
    events = set()
    for name, payloads in got.items():
        assert payloads, "no %s event" % name
        for payload in payloads:
            doc = check_payload(name, payload, schemas[name])
            events.add(doc.get("event"))
    assert {"NEW", "MATCH", "CANCEL"} <= events
