"""The three implementations over one library instance in scripted mode."""

import ctypes

import alternative
import records
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
import tvx_floor

LIST_RECORDS = 10_000


class Env:
    pass


def context():
    return {
        "channel_id": "CH-1",
        "configuration": {"enable_queue": True, "daemon_type": "STAND_ALONE", "max_torelation": 0, "rate_limit": 0},
    }


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


def event_emitters(env, callable_):
    """Subscribes `callable_` through the module; returns, per implementation,
    emit(threads, count, interval_ns) -> seconds, each delivering to `callable_`,
    and the function that ends the subscription."""
    lib = env.lib
    lib.tvx_bench_emit.argtypes = [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int, ctypes.c_long, ctypes.c_long]
    lib.tvx_bench_emit.restype = ctypes.c_double
    sbx.queue(46, sbx.Layout(24).u8(0, 1).u64(8, 77))
    key = tv.subscribe_equity_order(env.ctx, "SYM01", callable_)
    sub = [s for s in sbx.subscriptions() if s.key == key.encode()][-1]
    user = alternative.Receiver(lib, {key.encode(): callable_})

    def end():
        sbx.queue(48, sbx.Layout(24))
        tv.unsubscribe("CH-1", key)

    return {
        "module": lambda threads, count, interval: lib.tvx_bench_emit(sub.receiver, sub.key, threads, count, interval),
        "floor": lambda threads, count, interval: tvx_floor.emit(callable_, threads, count, interval),
        "alternative": lambda threads, count, interval: lib.tvx_bench_emit(
            user.address, sub.key, threads, count, interval
        ),
    }, end
