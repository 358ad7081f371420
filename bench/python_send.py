"""What a hit costs from Python, through the binding (bindings/python).

    QUORVEX_LIBRARY=build/libquorvex.so PYTHONPATH=bindings/python \\
        python3 bench/python_send.py

Prints three medians, each of 5 runs of timeit (100,000 calls a run):
  - send() of a deactivated tracker, which the SDK drops at once: what the
    binding itself (the method, ctypes, the result check) costs a call;
  - the same C function called through ctypes directly, for comparison;
  - send() of the benchmark's hit (15 variables, 3 products, as in
    bench/QXBenchHit.h, filled before each send and not timed), stored in the
    outbox while the application is in background, as BM_ExecuteWithOutbox.
"""

import statistics
import tempfile
import time
import timeit

import quorvex
from quorvex import _capi

CALLS = 100_000
RUNS = 5
PAGES = ["home", "search results", "product/42?ref=mail&x=1", "checkout"]


def per_call_us(statement, number=CALLS):
    runs = timeit.repeat(statement, number=number, repeat=RUNS)
    return statistics.median(runs) / number * 1e6


def fill(tracker, products):
    for i in range(15):
        tracker.add_data(f"var{i}", PAGES[i % 4])
    for product in products:
        tracker.add_product("basket", product)


def main():
    quorvex.install_platform(tempfile.mkdtemp(prefix="quorvex-bench-"), "com.example.bench")
    idle = quorvex.Tracker(410501, 7)
    idle.deactivate()
    print(f"send(), deactivated tracker:        {per_call_us(idle.send):.3f} us")
    raw = _capi.lib.qx_tracker_send
    handle = idle._handle
    print(f"qx_tracker_send through ctypes:     {per_call_us(lambda: raw(handle)):.3f} us")

    quorvex.set_delivery_options(max_queued_hits=100_000_000, max_queued_bytes=0)
    quorvex.application_did_enter_background()
    tracker = quorvex.Tracker(410501, 7, url="http://127.0.0.1:9/7/")
    tracker.add_permanent_data("user_id", "42")
    products = [quorvex.Product(id=f"SKU-{1000 + p}", name='Running shoe "Fast & Light"',
                                quantity="1", price="59.90", category="shoes/running")
                for p in range(3)]
    medians = []
    for _ in range(RUNS):
        took = []
        for _ in range(20_000):
            fill(tracker, products)
            start = time.perf_counter_ns()
            tracker.send()
            took.append(time.perf_counter_ns() - start)
        medians.append(statistics.median(took) / 1000)
    print(f"send() of the benchmark's hit:      {statistics.median(medians):.3f} us "
          f"(runs: {', '.join(f'{m:.2f}' for m in medians)})")


if __name__ == "__main__":
    main()
