#!/usr/bin/env python3
"""Commissioning of the example plant (examples/plant.db): reads the
parameter set, checks it against the plant's limits, writes the new
setpoints, then serves the controller's calls (the C program
examples/client) as it hands over its first events, and prints what the
communication items counted.

    commissioning.py [--setpoint N] [--serve ROUNDS] [--fix] DBFILE

Exits 1 when a parameter is out of range (--fix: clamps it instead), 2 when
a call of the controller is missing or malformed.
"""
import argparse
import sys

import zrdb

# Limits of the parameter set: item -> (lowest, highest) of every element.
LIMITS = {"speed": (0, 3000), "setpoint": (0, 1000), "dbg_level": (0, 9)}


def check_parameters(db: zrdb.Database, fix: bool) -> list[str]:
    """The parameters outside their limits, clamped when `fix`."""
    problems = []
    for name, (low, high) in LIMITS.items():
        values = db.get(name)
        for idx, value in enumerate(values if isinstance(values, list) else [values]):
            if low <= value <= high:
                continue
            problems.append(f"{name}[{idx}] = {value}, outside {low}..{high}")
            if fix:
                db.set(name, min(max(value, low), high), idx)
    return problems


def serve_calls(db: zrdb.Database, rounds: int, timeout: float = 5.0) -> list[zrdb.Message]:
    """Serves `rounds` synchronous calls of "command": waits for each on
    req_sem, takes its message from "requests" and the event record the
    caller wrote before it from "events", and acknowledges on ack_sem."""
    request, ack = db.semaphore("req_sem"), db.semaphore("ack_sem")
    requests, events = db.msgbuf("requests"), db.cbuf("events")
    served = []
    for _ in range(rounds):
        if not request.wait(timeout=timeout):
            raise zrdb.Timeout(f"no call within {timeout} s")
        message, record = requests.read(), events.read()
        ack.post()
        if message is None or record is None:
            raise ValueError("a call arrived without its message or event record")
        text = message.payload.rstrip(b"\0").decode()
        print(f"call {message.arg}: {text!r}, event {record[0].decode()!r} / {record[1].decode()!r}")
        served.append(message)
    return served


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dbfile")
    parser.add_argument("--setpoint", type=int, default=250)
    parser.add_argument("--serve", type=int, default=0, metavar="ROUNDS")
    parser.add_argument("--fix", action="store_true")
    args = parser.parse_args()

    with zrdb.attach(args.dbfile, app="commissioning") as db:
        print("parameter set:", {name: db[name] for name in ("speed", "setpoint", "label")})
        problems = check_parameters(db, args.fix)
        for problem in problems:
            print(("clamped: " if args.fix else "out of range: ") + problem)
        if problems and not args.fix:
            return 1
        try:
            db.set("setpoint", args.setpoint)
        except ValueError as e:
            print(f"setpoint {args.setpoint}: {e}")
            return 1
        db.set("label", "commissioning", 1)
        print(f"setpoint {db['setpoint']}, label {db['label.1']!r}")
        try:
            served = serve_calls(db, args.serve)
        except (zrdb.Error, ValueError) as e:
            print(f"controller: {e}", file=sys.stderr)
            return 2
        if served:
            print(f"served {len(served)} call(s) of the controller")
        for item in ("events", "requests", "req_sem"):
            print(f"{item}: {db.stats(item)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
