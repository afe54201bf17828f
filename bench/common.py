"""The three implementations over one library instance in scripted mode."""
import ctypes

import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
import tvx_floor

import alternative
import records

LIST_RECORDS = 10_000


class Env:
    pass


def context():
    return {"channel_id": "CH-1", "configuration": {"enable_queue": True, "daemon_type": "STAND_ALONE",
                                                     "max_torelation": 0, "rate_limit": 0}}


def address(lib, op):
    return ctypes.cast(getattr(lib, "TavrolixInterfacePY_%d" % op), ctypes.c_void_p).value


def setup(memory=False):
    sbx.use_scripted()
    sbx.reset()
    sbx.set_recording(False)
    lib = sbx.library()
    tvx_floor.bind(*(address(lib, op) for op in (20, 21, 17, 33, 28)))
    sbx.stand(20, records.refused_equity_order())
    sbx.stand(33, records.equity_orders(3))
    sbx.stand(28, records.derivatives_positions(3))
    if not memory:
        sbx.stand(21, records.equity_orders(LIST_RECORDS))
        sbx.stand(17, records.derivatives_positions(LIST_RECORDS))
    env = Env()
    env.lib = lib
    env.ctx = context()
    env.impls = {"module": tv, "floor": tvx_floor, "alternative": alternative.Api(lib)}
    return env
