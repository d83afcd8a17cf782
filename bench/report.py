"""Runs the Python benchmarks of bench/ under PyPy and CPython and prints
their figures as one table (make bench).

Each benchmark script writes its figures as JSON rows [name, value, unit]
to the file named by RATEVANE_BENCH_JSON.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = ["acquire_bench.py", "async_bench.py", "floor_bench.py", "memory_bench.py",
           "redis_bench.py", "shm_bench.py"]


def run(interpreter, build, script):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        env = dict(os.environ, RATEVANE_BUILD=build, RATEVANE_BENCH_JSON=out.name)
        done = subprocess.run([interpreter, os.path.join(HERE, script)], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            sys.stderr.write(done.stdout)
            raise SystemExit(f"{script} failed under {interpreter}")
        sys.stderr.write(done.stdout)  # the script's own report, for the record
        with open(out.name) as f:
            return json.load(f)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pypy", required=True)
    parser.add_argument("--pypy-build", required=True)
    parser.add_argument("--cpython", required=True)
    parser.add_argument("--cpython-build", required=True)
    args = parser.parse_args()

    interpreters = [("PyPy", args.pypy, args.pypy_build),
                    ("CPython", args.cpython, args.cpython_build)]
    table = {}
    order = []
    for script in SCRIPTS:
        if not os.path.exists(os.path.join(HERE, script)):
            continue
        for label, interpreter, build in interpreters:
            for name, value, unit in run(interpreter, build, script):
                key = (script, name, unit)
                if key not in table:
                    table[key] = {}
                    order.append(key)
                table[key][label] = value

    cpu = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    print(f"\nratevane benchmarks on {platform.node()}: {os.cpu_count()} cores, {cpu}")
    width = max(len(name) for _, name, _ in order)
    print(f"  {'measure':<{width}}  {'PyPy':>10}  {'CPython':>10}  unit")
    for key in order:
        _, name, unit = key
        cells = [table[key].get(label) for label, _, _ in interpreters]
        shown = [f"{c:>10}" if c is not None else f"{'-':>10}" for c in cells]
        print(f"  {name:<{width}}  {shown[0]}  {shown[1]}  {unit}")


if __name__ == "__main__":
    main()
