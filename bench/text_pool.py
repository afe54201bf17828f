"""What the text pool keeps: every distinct text handed to the library stays
for the life of the process. Measures resident memory per subscribe/unsubscribe
cycle (each cycle's subscription key is a new text) and per login with a new
secret, in scripted mode:

    python bench/text_pool.py [cycles]
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
# The tests' wire helpers are found through the path set just above.
import tavrolix_open_api as tv  # noqa: E402
import tavrolix_sandbox as sbx  # noqa: E402
from wire import login_image  # noqa: E402
from wire_realtime import subscribe_result, unsubscribe_result  # noqa: E402


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def per_round(rounds, step):
    step(rounds // 10)  # warm up: allocator arenas, the pool's buckets
    before = rss()
    step(rounds)
    return (rss() - before) / rounds


def script():
    # Also forgets the subscriptions our library keeps, so only the module's memory grows.
    sbx.reset()
    sbx.set_recording(False)
    sbx.stand(13, login_image(b"CH-1"))
    sbx.stand(45, subscribe_result(1, 1))
    sbx.stand(48, unsubscribe_result())


def main(cycles):
    sbx.use_scripted()
    script()
    ctx = tv.login("app", "secret", "", "", False)
    noop = lambda p: None

    def cycles_of(n):
        for i in range(n):
            tv.unsubscribe("CH-1", tv.subscribe_derivatives_order(ctx, "D-1", noop))
            if i % 10_000 == 9_999:
                script()

    counter = iter(range(10**9))

    def logins(n):
        for _ in range(n):
            tv.login("app", "secret-%d" % next(counter), "", "", False)

    print("subscribe/unsubscribe cycle: %.0f bytes kept" % per_round(cycles, cycles_of))
    print("login with a new secret:     %.0f bytes kept" % per_round(cycles, logins))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200_000)
