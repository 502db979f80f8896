"""Cost of the Python package over the C calls it wraps, and what two threads gain.

    python bench/python_overhead.py [ROUNDS]     (in an environment where tavik is installed)

Signs (hedged and deterministic) and verifies a 59-byte message under one key, timing each call
alone: the C calls timed in C by the extension, the package's calls timed from Python, in
interleaved rounds. Prints the medians and the overhead of the Python call over the C call, of
all calls and as the median of each round's ratio (C and Python measured side by side, which
the load of other programs on the machine disturbs less).
Then signs hedged in one thread and in two threads at once and prints the median speed-up
(two threads' signatures per second over one thread's)."""
import os
import statistics
import sys
import threading
import time

import tavik
from tavik import _tavik

CALLS = 200  # per round and operation


# One loop per call, written out, so that the figures include no helper's call of its own.
def time_sign(sk, msg, count):
    out, clock, sign = [], time.perf_counter_ns, tavik.sign
    for _ in range(count):
        t0 = clock()
        sign(sk, msg)
        out.append(clock() - t0)
    return out


def time_sign_deterministic(sk, msg, count):
    out, clock, sign = [], time.perf_counter_ns, tavik.sign
    for _ in range(count):
        t0 = clock()
        sign(sk, msg, deterministic=True)
        out.append(clock() - t0)
    return out


def time_verify(pk, msg, sig, count):
    out, clock, verify = [], time.perf_counter_ns, tavik.verify
    for _ in range(count):
        t0 = clock()
        verify(pk, msg, sig)
        out.append(clock() - t0)
    return out


def two_thread_speedup(sk, msg, count):
    def work():
        for _ in range(count):
            tavik.sign(sk, msg)

    t0 = time.perf_counter()
    work()
    one = time.perf_counter() - t0
    threads = [threading.Thread(target=work) for _ in range(2)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    two = time.perf_counter() - t0
    return 2 * one / two


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    pk, sk = tavik.keypair_from_seed(bytes(range(32)))
    msg = os.urandom(59)
    sig = tavik.sign(sk, msg, deterministic=True)
    ops = {
        "sign (hedged)": ("sign", lambda: time_sign(sk, msg, CALLS)),
        "sign (deterministic)": ("sign_deterministic", lambda: time_sign_deterministic(sk, msg, CALLS)),
        "verify": ("verify", lambda: time_verify(pk, msg, sig, CALLS)),
    }
    c_ns = {name: [] for name in ops}
    py_ns = {name: [] for name in ops}
    ratios = {name: [] for name in ops}  # per round: Python's median over C's, measured side by side
    for _ in range(rounds):
        for name, (op, timed) in ops.items():
            c = _tavik._time_c_calls(op, pk if op == "verify" else sk, msg, sig, CALLS)
            py = timed()
            c_ns[name] += c
            py_ns[name] += py
            ratios[name].append(statistics.median(py) / statistics.median(c))

    print(f"tavik {tavik.__version__}, Python {sys.version.split()[0]}, 59-byte message, "
          f"{rounds} rounds of {CALLS} calls, medians per call")
    print(f"{'call':<22}{'C (us)':>10}{'Python (us)':>13}{'overhead':>10}{'per round':>11}")
    for name in ops:
        c, py = statistics.median(c_ns[name]), statistics.median(py_ns[name])
        paired = statistics.median(ratios[name]) - 1
        print(f"{name:<22}{c / 1000:>10.2f}{py / 1000:>13.2f}{(py / c - 1) * 100:>9.1f}%{paired * 100:>10.1f}%")

    speedups = [two_thread_speedup(sk, msg, 100) for _ in range(max(3, rounds // 3))]
    print(f"two threads signing (hedged) at once: {statistics.median(speedups):.2f}x one thread "
          f"(median of {len(speedups)}; {os.cpu_count()} processors)")


if __name__ == "__main__":
    main()
