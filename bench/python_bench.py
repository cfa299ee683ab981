#!/usr/bin/env python3
"""What the Python module costs: db.get / db.set of a 4-byte integer item
beside struct.unpack_from / pack_into on a view of the same shared memory
(the raw Python way), and numpy's sum over a 1000-element view beside the
same sum over an array in private memory. Creates its own database (the
index key is fixed: run it where no other database exists, or in private
IPC namespaces) and removes it.

    PYTHONPATH=build/python python3 bench/python_bench.py
"""
import os
import struct
import sys
import tempfile
import timeit
from typing import Callable

import numpy

import zrdb

DATABASE = """
[system]
name=bench
key=0x5A0DE200
size=16384

[database]
id=1, name=counter, type=integer, value=0
id=2, name=levels, type=integer, size=4*1000, value=7
"""


def pair_ns(call: Callable[[], object], baseline: Callable[[], object],
            number: int) -> tuple[float, float]:
    """The best of many runs of each, in nanoseconds per call. The runs of
    the two alternate, so that a busy machine slows both alike."""
    best = [float("inf"), float("inf")]
    for _ in range(15):
        for i, f in enumerate((call, baseline)):
            best[i] = min(best[i], timeit.timeit(f, number=number) / number * 1e9)
    return best[0], best[1]


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.db")
        with open(path, "w") as f:
            f.write(DATABASE)
        zrdb.create(path)
        try:
            with zrdb.attach(path, app="python_bench") as db:
                counter = db.view("counter")
                shared = numpy.frombuffer(db.view("levels"), dtype=numpy.int32)
                private = shared.copy()
                rows = [
                    ("db.get('counter')", "struct.unpack_from",
                     *pair_ns(lambda: db.get("counter"),
                              lambda: struct.unpack_from("i", counter, 0), 20000)),
                    ("db.set('counter', 5)", "struct.pack_into",
                     *pair_ns(lambda: db.set("counter", 5),
                              lambda: struct.pack_into("i", counter, 0, 5), 20000)),
                    ("numpy sum, 1000 shared", "numpy sum, 1000 private",
                     *pair_ns(shared.sum, private.sum, 5000)),
                ]
                del shared, counter
        finally:
            zrdb.remove(path, force=True)
    print(f"{'call':<24}{'ns':>8}   {'baseline':<24}{'ns':>8}   ratio")
    for name, base, ns, base_ns in rows:
        print(f"{name:<24}{ns:>8.1f}   {base:<24}{base_ns:>8.1f}   {ns / base_ns:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
