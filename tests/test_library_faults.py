"""Nothing throws through the library's C interface: with the library's own fault switch on, every
entry into its state throws inside, and every exported function still answers (a failure record, an
error text, an error code), in broker mode and in scripted mode."""

import ctypes
import glob
import os
import re

import pytest
import tavrolix_open_api as tv
import tavrolix_sandbox as sbx
from catalog import FUNCTIONS
from reliability.scenario import arguments
from tavrolix_sandbox import broker

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OOM = "the library ran out of memory"

C = ctypes
U64, I64, TXT = C.c_uint64, C.c_int64, C.c_char_p
IMAGE = [TXT, C.POINTER(U64), U64, C.POINTER(I64), U64]
EVENT = [b"\0" * 64, (U64 * 1)(64), 1, None, 0]

# name: (argtypes, restype, arguments, what a failure looks like)
#   text: a non-null error text; json: {"error": ...}; code: a negative number; zero: 0;
#   none: nothing to tell (the entry point cannot fail, or reports nothing), it just returns.
ENTRY_POINTS = {
    "tvx_world_create": ([TXT, C.POINTER(U64)], TXT, lambda: [b"{}", C.byref(U64())], "text"),
    "tvx_world_close": ([U64], TXT, lambda: [5], "text"),
    "tvx_world_reset": ([U64, TXT], TXT, lambda: [0, b"{}"], "text"),
    "tvx_world_apply": ([U64, TXT], TXT, lambda: [0, b"{}"], "text"),
    "tvx_world_step": ([U64, I64], TXT, lambda: [0, 1], "text"),
    "tvx_world_run": ([U64, C.c_int], TXT, lambda: [0, 100], "text"),
    "tvx_world_stop": ([U64], TXT, lambda: [0], "text"),
    "tvx_world_state": ([U64, C.POINTER(TXT)], TXT, lambda: [0, C.byref(TXT())], "text"),
    "tvx_world_drain": ([U64, C.c_int, C.POINTER(C.c_int)], TXT, lambda: [0, 100, C.byref(C.c_int())], "text"),
    "tvx_world_fees": ([C.POINTER(TXT)], TXT, lambda: [C.byref(TXT())], "text"),
    "tvx_world_replay_load": ([U64, TXT, U64], TXT, lambda: [0, b"x" * 64, 64], "text"),
    "tvx_world_replay_step": ([U64, U64, C.POINTER(U64)], TXT, lambda: [0, 1, C.byref(U64())], "text"),
    "tvx_world_replay_until": ([U64, I64, C.POINTER(U64)], TXT, lambda: [0, 1, C.byref(U64())], "text"),
    "tvx_world_replay_run": ([U64, C.c_double], TXT, lambda: [0, 0.0], "text"),
    "tvx_world_replay_stop": ([U64], TXT, lambda: [0], "text"),
    "tvx_world_replay_state": ([U64, C.POINTER(TXT)], TXT, lambda: [0, C.byref(TXT())], "text"),
    "tvx_broker_reset": ([TXT], TXT, lambda: [b"{}"], "text"),
    "tvx_broker_apply": ([TXT], TXT, lambda: [b"{}"], "text"),
    "tvx_broker_step": ([I64], TXT, lambda: [1], "text"),
    "tvx_broker_run": ([C.c_int], TXT, lambda: [100], "text"),
    "tvx_broker_stop": ([], TXT, lambda: [], "text"),
    "tvx_broker_state": ([], TXT, lambda: [], "json"),
    "tvx_broker_drain": ([C.c_int], C.c_int, lambda: [100], "zero"),
    "tvx_replay_load": ([TXT, U64], TXT, lambda: [b"x" * 64, 64], "text"),
    "tvx_replay_step": ([U64], U64, lambda: [1], "zero"),
    "tvx_replay_until": ([I64], U64, lambda: [1], "zero"),
    "tvx_replay_run": ([C.c_double], TXT, lambda: [0.0], "text"),
    "tvx_replay_stop": ([], TXT, lambda: [], "text"),
    "tvx_replay_state": ([], TXT, lambda: [], "json"),
    "tvx_sandbox_reset": ([], TXT, lambda: [], "text"),
    "tvx_script_push": (
        [C.c_int, C.c_int] + IMAGE,
        C.c_int,
        lambda: [14, 0, b"\0" * 88, (U64 * 1)(88), 1, None, 0],
        "code",
    ),
    "tvx_calls_json": ([C.c_int], TXT, lambda: [0], "json"),
    "tvx_call_count": ([C.c_int], U64, lambda: [14], "zero"),
    "tvx_calls_clear": ([], TXT, lambda: [], "text"),
    "tvx_event_send": ([U64] + IMAGE + [C.c_int, C.c_int], C.c_int, lambda: [1, *EVENT, 1, 1], "code"),
    "tvx_event_post": ([U64] + IMAGE, C.c_int, lambda: [1, *EVENT], "code"),
    "tvx_event_flush": ([], None, lambda: [], "none"),
    "tvx_event_at_subscribe": (IMAGE, C.c_int, lambda: EVENT, "code"),
    "tvx_subscriptions_json": ([], TXT, lambda: [], "json"),
    "tvx_stream_start": ([C.c_int, C.c_int], C.c_int, lambda: [1, 1000], "code"),
    "tvx_stream_stop": ([], TXT, lambda: [], "json"),
    # These touch no state that could fail.
    "tvx_sandbox_set_mode": ([C.c_int], None, lambda: [0], "none"),
    "tvx_sandbox_mode": ([], C.c_int, lambda: [], "none"),
    "tvx_sandbox_set_recording": ([C.c_int], None, lambda: [1], "none"),
    "tvx_bench_emit": ([U64, TXT, C.c_int, C.c_long, C.c_long], C.c_double, lambda: [0, b"k", 1, 0, 0], "none"),
    "tvx_fault_inject": ([C.c_int], None, lambda: [1], "none"),
}


def exported_names():
    names = set()
    for path in glob.glob(os.path.join(ROOT, "sandbox", "src", "*.cpp")):
        with open(path, encoding="utf-8") as f:
            names.update(re.findall(r"TVX_EXPORT\s+[\w:\s\*]+?\b(tvx_\w+)\s*\(", f.read()))
    return names


@pytest.fixture
def faults():
    lib = sbx.library()
    lib.tvx_fault_inject.argtypes = [C.c_int]
    lib.tvx_fault_inject.restype = None
    yield lib
    lib.tvx_fault_inject(0)


def test_the_table_names_every_exported_entry_point():
    assert exported_names() == set(ENTRY_POINTS)


@pytest.mark.parametrize("mode", ["broker", "scripted"])
def test_every_operation_answers_with_its_failure_record_when_the_library_throws_inside(faults, broker_world, mode):
    broker.reset(seed=1)
    ctx = tv.login("inv001", "inv001-secret", "", "", False)
    key = tv.subscribe_bid_offer(ctx, "ARVO", lambda p: None)
    if mode == "scripted":
        sbx.use_scripted()
    faults.tvx_fault_inject(1)
    try:
        for name, op, kinds in FUNCTIONS:
            if not op:
                continue
            args = [ctx["channel_id"], key] if name == "unsubscribe" else arguments(kinds, ctx)
            with pytest.raises(RuntimeError) as raised:
                getattr(tv, name)(*args)
            assert OOM in str(raised.value), name
    finally:
        faults.tvx_fault_inject(0)
        sbx.use_broker()
    # Switched off, the library works as before: nothing was left half done.
    assert tv.get_investor_equity_account_info(ctx, "E-1001")["success"]
    tv.unsubscribe(ctx["channel_id"], key)


@pytest.mark.parametrize("name", sorted(ENTRY_POINTS))
def test_every_control_entry_point_answers_when_the_library_throws_inside(faults, broker_world, name):
    argtypes, restype, make_args, failure = ENTRY_POINTS[name]
    fn = getattr(faults, name)
    fn.argtypes, fn.restype = argtypes, restype
    args = make_args()
    faults.tvx_fault_inject(1)
    try:
        out = fn(*args)
    finally:
        faults.tvx_fault_inject(0)
    if failure == "text":
        assert out and b"out of memory" in out, out
    elif failure == "json":
        assert b'"error"' in out and b"out of memory" in out, out
    elif failure == "code":
        assert out == -4, out
    elif failure == "zero":
        assert out == 0, out
    # And the library still answers afterwards.
    assert broker.state()["seed"] is not None


# Run in a child: the address-space limit must not reach the suite.
_EMIT_CHILD = r"""
import ctypes as C, resource, tavrolix_sandbox as sbx
lib = sbx.library()
lib.tvx_bench_emit.argtypes = [C.c_uint64, C.c_char_p, C.c_int, C.c_long, C.c_long]
lib.tvx_bench_emit.restype = C.c_double
got = []
receiver = C.CFUNCTYPE(None, C.c_void_p)(lambda rec: got.append(1))
address = C.cast(receiver, C.c_void_p).value
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# Room for a few threads' stacks, not for 64.
resource.setrlimit(resource.RLIMIT_AS, (size + (48 << 20), hard))
refused = lib.tvx_bench_emit(address, b"k", 64, 1, 0)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(refused, len(got), lib.tvx_bench_emit(address, b"k", 2, 3, 0) >= 0, len(got))
"""


@pytest.mark.skipif(
    bool(os.environ.get("TVX_SANITIZER")), reason="a sanitizer reserves more address space than any limit leaves"
)
def test_the_bench_emitter_reports_threads_it_could_not_start_and_emits_nothing():
    import subprocess
    import sys

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.run([sys.executable, "-c", _EMIT_CHILD], env=env, capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.split() == ["-2.0", "0", "True", "6"]
