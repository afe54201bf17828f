"""Control input is checked by the library: what it cannot hold is refused with a message naming the
setting (ValueError in Python), never an abort, a hang, or a value silently replaced; the world stays
as it was."""

import ctypes
import math

import pytest
import tavrolix_sandbox as sbx
from tavrolix_sandbox import World, broker
from tavrolix_sandbox import history as H

pytestmark = pytest.mark.usefixtures("broker_world")

BASE = {"symbol": "NEWX", "price": 10.0}

BAD_INSTRUMENTS = [
    ("price", math.nan),
    ("price", math.inf),
    ("price", 1e-9),
    ("price", 1e8),
    ("price", 1e11),
    ("tick", math.inf),
    ("tick", 1e9),
    ("tick", 0),
    ("tick", -1),
    ("tick", 1e-9),
    ("tick", 0.000000015),
    ("limit", math.nan),
    ("lot", 2**31),
    ("lot", 0),
    ("lot", -5),
    ("lot", 1.5),
    ("lp_size", 2**31 - 1),
    ("informed_chance", math.nan),
    ("informed_size", math.nan),
    ("flow_chance", math.nan),
    ("volatility", math.nan),
    ("volatility", -0.1),
    ("multiplier", math.inf),
]


@pytest.mark.parametrize("key,value", BAD_INSTRUMENTS, ids=[f"{k}={v!r}" for k, v in BAD_INSTRUMENTS])
def test_a_bad_instrument_setting_is_refused_naming_it(key, value):
    broker.reset(seed=1)
    before = broker.state()["instruments"].keys()
    bad = dict(BASE, **{key: value})
    names_it = rf"(?s)(?=.*\b{key}\b)(?=.*NEWX)"
    with pytest.raises(ValueError, match=names_it):
        broker.seed(instruments=[bad])
    with pytest.raises(ValueError, match=names_it):
        broker.reset(seed=1, instruments=[bad])
    with pytest.raises(ValueError, match=names_it):
        World(instruments=[bad])
    assert broker.state()["instruments"].keys() == before


def test_a_bad_price_through_the_market_is_refused_too():
    broker.reset(seed=1)
    with pytest.raises(ValueError, match="lot times lp_size of instrument NEWX"):
        broker.seed(instruments=[dict(BASE, lot=1000, lp_size=100000)])
    # At the edges that are allowed, the instrument works.
    broker.seed(
        instruments=[
            dict(BASE, symbol="TINY", price=0.00000001, tick=0.00000001),
            dict(BASE, symbol="HUGE", price=999999.0, tick=1),
        ]
    )
    broker.step(5)
    assert broker.state()["instruments"]["HUGE"]["reference"] == 999999.0


BAD_RESETS = [
    ("start", 10**30),
    ("start", math.nan),
    ("start", -(2**63)),
    ("seed", 2**70),
    ("seed", -1),
    ("seed", math.nan),
    ("history_minutes", math.nan),
    ("tick_seconds", math.inf),
]


@pytest.mark.parametrize("key,value", BAD_RESETS, ids=[f"{k}={v!r}" for k, v in BAD_RESETS])
def test_a_bad_world_setting_is_refused_naming_it_and_the_world_stays(key, value):
    broker.reset(seed=5)
    clock = broker.state()["time"]
    with pytest.raises(ValueError, match=rf"^{key} must be"):
        broker.reset(**{key: value})
    with pytest.raises(ValueError, match=rf"^{key} must be"):
        World(**{key: value})
    state = broker.state()
    assert (state["seed"], state["time"]) == (5, clock)


def test_the_library_checks_what_ctypes_callers_hand_it_directly():
    lib = sbx.library()
    reset = lib.tvx_world_reset
    reset.argtypes, reset.restype = [ctypes.c_uint64, ctypes.c_char_p], ctypes.c_char_p
    assert b"seed must be" in reset(0, b'{"seed": 1e300}')
    assert b"start must be" in reset(0, b'{"start": -Infinity}')
    assert b"price" in reset(0, b'{"instruments": [{"symbol": "Q", "price": NaN}]}')
    assert b"bad JSON" in reset(0, b'{"seed": ')


def hand_made_block(times):
    """A trades block packed as the loader would, its times then overwritten with `times`."""
    blob = bytearray(
        H.trades([(1772445600 + i, 45.0, 100, 0) for i in range(len(times))], symbol="ARVO", tick=0.25).pack()
    )
    at = int.from_bytes(blob[24 + 56 : 24 + 64], "little")
    for i, t in enumerate(times):
        blob[at + 8 * i : at + 8 * i + 8] = int(t).to_bytes(8, "little", signed=True)
    return bytes(blob)


@pytest.mark.parametrize("times", [[-(2**63), 0], [0, 2**63 - 1], [2**63 - 2, 2**63 - 1]])
def test_a_hand_made_replay_block_with_times_at_the_64_bit_extremes_is_refused(times):
    broker.reset(seed=1, liquidity=False, activity=False)
    with pytest.raises(ValueError, match="outside what the records hold"):
        broker.replay(hand_made_block(times))
    assert not broker.replay_state()["loaded"]
    with pytest.raises(ValueError, match="outside the years 1 to 9999"):
        broker.replay_until(2**63 - 1)
