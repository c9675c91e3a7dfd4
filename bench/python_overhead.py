#!/usr/bin/python3
"""What the Python binding costs, and what its batch call gains.

1. One quantification of examples/data/alloy/unknowns/stainless-316l through
   calyx.Engine.quantify, against the same work in C++ (the Google Benchmark
   quantifyUnknownAsBound of calyx_bench, which runs the binding's own C++ core), both with
   the calibration made here from the bundled standards.
2. Engine.quantify_many on one thread against two.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_overhead.py --bench build/bench/calyx_bench

Best on a quiet machine: each figure is the median of several repeats.
"""

import argparse
import json
import os
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import calyx

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def median_time(call, number, repeats, clock=time.perf_counter):
    times = []
    for _ in range(repeats):
        start = clock()
        for _ in range(number):
            call()
        times.append((clock() - start) / number)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", help="the calyx_bench program (build with -DCALYX_BUILD_BENCH=ON)")
    parser.add_argument("--batch", type=int, default=240, help="measurements in the batch")
    args = parser.parse_args()

    engine = calyx.Engine(EXAMPLES / "config" / "handheld-alloy.json")
    with tempfile.TemporaryDirectory() as scratch:
        engine.calibrate(calyx.read_standards(EXAMPLES / "data" / "alloy" / "standards.json"),
                         debug_csv=os.devnull)
        calibration = Path(scratch) / "alloy-cal.json"
        engine.save_calibration(calibration)
        rates = calyx.read_rates(EXAMPLES / "data" / "alloy" / "unknowns" / "stainless-316l.rates.json")

        print(f"load average before: {os.getloadavg()[0]:.2f} (1 min) on {os.cpu_count()} cores")
        engine.quantify(rates)  # warm
        # Wall time, and CPU time, which a machine shared with other work disturbs less.
        python = median_time(lambda: engine.quantify(rates), 200, 9)
        python_cpu = median_time(lambda: engine.quantify(rates), 200, 9, time.process_time)
        print(f"Python  Engine.quantify:            {python * 1e6:9.1f} µs per call, CPU {python_cpu * 1e6:.1f} µs "
              f"({engine.quantify(rates).passes} passes)")
        # The same comparison inside this process, interleaved so that both halves see the
        # same load: thread CPU time of the Python call against the C++ core's own loop.
        ratios = []
        for _ in range(15):
            start = time.thread_time()
            for _ in range(50):
                engine.quantify(rates)
            through_python = (time.thread_time() - start) / 50
            ratios.append(through_python / engine._time_core(rates, 50))
        print(f"interleaved, thread CPU time:       Python / C++ = {statistics.median(ratios):.3f} "
              f"(median of {len(ratios)} rounds of 50 calls)")
        if args.bench:
            done = subprocess.run(
                [args.bench, "--benchmark_filter=quantifyUnknownAsBound", "--benchmark_repetitions=9",
                 "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
                env=dict(os.environ, CALYX_BENCH_CALIBRATION=str(calibration)), check=True,
                capture_output=True, text=True).stdout
            rows = json.loads(done)["benchmarks"]
            median = next(r for r in rows if r.get("aggregate_name") == "median")
            native, native_cpu = median["real_time"] * 1e-6, median["cpu_time"] * 1e-6
            print(f"C++     quantifyUnknownAsBound:     {native * 1e6:9.1f} µs per call, CPU {native_cpu * 1e6:.1f} µs")
            print(f"overhead of the binding:            {100 * (python / native - 1):9.1f} % wall, "
                  f"{100 * (python_cpu / native_cpu - 1):.1f} % CPU")

        batch = [rates] * args.batch
        engine.quantify_many(batch[:4], threads=2)  # builds the second worker's engine
        one = median_time(lambda: engine.quantify_many(batch, threads=1), 1, 5)
        two = median_time(lambda: engine.quantify_many(batch, threads=2), 1, 5)
        print(f"quantify_many, {args.batch} measurements: 1 thread {one * 1e3:.1f} ms, "
              f"2 threads {two * 1e3:.1f} ms, speed-up {one / two:.2f}")
        print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
