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


def per_call_ns(call: Callable[[], object], number: int) -> float:
    """The best of several runs, in nanoseconds per call."""
    return min(timeit.repeat(call, number=number, repeat=7)) / number * 1e9


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
                    ("db.get('counter')", per_call_ns(lambda: db.get("counter"), 200000),
                     "struct.unpack_from", per_call_ns(lambda: struct.unpack_from("i", counter, 0),
                                                       200000)),
                    ("db.set('counter', 5)", per_call_ns(lambda: db.set("counter", 5), 200000),
                     "struct.pack_into", per_call_ns(lambda: struct.pack_into("i", counter, 0, 5),
                                                     200000)),
                    ("numpy sum, 1000 shared", per_call_ns(shared.sum, 100000),
                     "numpy sum, 1000 private", per_call_ns(private.sum, 100000)),
                ]
                del shared, counter
        finally:
            zrdb.remove(path, force=True)
    print(f"{'call':<24}{'ns':>8}   {'baseline':<24}{'ns':>8}   ratio")
    for name, ns, base, base_ns in rows:
        print(f"{name:<24}{ns:>8.1f}   {base:<24}{base_ns:>8.1f}   {ns / base_ns:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
