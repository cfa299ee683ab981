#!/usr/bin/python3
"""System call fault injection into the daemons, one at a time, at the Nth
of its own calls of a function, for up to PER_FUNCTION values of N spread
over the calls a plain run makes: zrdb-vlinkd starting, and a VLINK set and
get with a second system's daemon on loopback (the fault in the asking
daemon, then in the answering one); zrdb-mqtt starting against a mosquitto
broker on loopback, publishing a changed value and writing an allowed set.
A failure is an exit status or a transaction that failed; the checks are
injection.py's, the plain run only after a failure.

    run_daemons.py [--leaks] BUILD_DIR [SCENARIO...]

--leaks: BUILD_DIR is AddressSanitizer's (the answering daemon is checked
once, when it stops at the end). Run it in IPC, mount and network
namespaces of its own; the second system gets IPC and mount namespaces of
its own inside them. Exits 1 on any fault.
"""
import errno
import itertools
import os
import re
import signal
import subprocess
import sys

from injection import CAUSE_WORDS, HERE, Driver, leftovers, main, must, remove, run, until

# The daemons' own calls, each with a realistic error.
FAILURES = {
    "open": (errno.EMFILE,), "write": (errno.ENOSPC,), "socket": (errno.EMFILE,),
    "bind": (errno.EADDRINUSE,), "msgget": (errno.ENOSPC,), "msgsnd": (errno.EAGAIN,),
    "msgrcv": (errno.EINTR,), "shmat": (errno.ENOMEM,), "malloc": (errno.ENOMEM,),
    "zmq_socket": (errno.EMFILE,), "zmq_bind": (errno.EADDRINUSE,),
    "zmq_setsockopt": (errno.EINVAL,), "mosquitto_connect": (errno.ENOMEM,),
    "mosquitto_publish": (errno.ENOMEM,),
}
# libmosquitto words a failed allocation its own way.
CAUSES = {**CAUSE_WORDS, ("mosquitto_connect", errno.ENOMEM): "memory",
          ("mosquitto_publish", errno.ENOMEM): "memory"}
PER_FUNCTION = 6
WAIT_S = 10
PORT_A, PORT_B, SYNC_A = 47810, 47811, 47812
VLINK_QUEUE_KEY = 99128  # ZRDB_VLINK_QUEUE_KEY
DB = f"{HERE}/vlink.db"
APP = f"{HERE}/vlink.app"


class Daemon:
    """A daemon in the foreground, its output in a file of its own."""

    def __init__(self, argv, env, log):
        self.log = log
        with open(log, "w") as out:
            self.p = subprocess.Popen(argv, env=env, stdout=out, stderr=subprocess.STDOUT)

    def wait_ready(self, ready):
        """Whether a line matched READY before it ended (or hung)."""
        until(lambda: re.search(ready, self.output()) or self.p.poll() is not None, WAIT_S)
        return re.search(ready, self.output()) is not None

    def stop(self):
        """The exit status after SIGTERM; None if it outlived the wait."""
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGTERM)
        try:
            return self.p.wait(WAIT_S)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            return None

    def output(self):
        with open(self.log, errors="replace") as log:
            return log.read()


class Runner(Driver):
    exchanges = itertools.count(1000)

    def tool(self, name):
        return f"{self.build}/tools/{name}"

    def start(self, name, argv, ready):
        """A daemon around the injected one, or the driver's end if it does
        not start."""
        daemon = Daemon(argv, self.env(), f"{self.dir}/{name}.log")
        if not daemon.wait_ready(ready):
            sys.exit(f"{name} did not start:\n" + daemon.output())
        return daemon

    def start_peer(self):
        """System B: a database and a daemon in IPC and mount namespaces of
        their own (the daemon is the process started)."""
        for name in ("a", "b"):
            must([self.tool("zrdb-vlinkd"), "keygen", f"{self.dir}/{name}"], "keygen")
        must([self.tool("zrdbctl"), "create", DB], "zrdbctl create", self.env())
        script = (f"mount -t tmpfs none /dev/shm && {self.tool('zrdbctl')} create {DB} >/dev/null"
                  f" && exec {self.tool('zrdb-vlinkd')} --foreground --key {self.dir}/b.key"
                  f" --listen 127.0.0.1:{PORT_B} --link 0=127.0.0.1:{PORT_A} {self.dir}/a.pub"
                  f" --allow-set 0 count {DB}")
        return self.start("peer", ["unshare", "--ipc", "--mount", "sh", "-c", script], "serving")

    def start_broker(self):
        with open("/proc/net/tcp") as tcp:
            used = tcp.read().upper()
        self.port = next(p for p in range(21883, 22883) if f":{p:04X} " not in used)
        with open(f"{self.dir}/broker.conf", "w") as conf:
            conf.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n")
        with open(f"{self.dir}/bridge.conf", "w") as conf:
            conf.write(f"broker 127.0.0.1:{self.port}\npublish count\nallow-set count\n"
                       "interval 20\nstats-interval 0\n")
        return self.start("mosquitto", ["mosquitto", "-c", f"{self.dir}/broker.conf"],
                          "listen socket on port")

    # --- the scenarios: the daemon's command and what is done with it -------
    def transaction(self, *where):
        """A VLINK set and get of the other system's item, asked WHERE."""
        return run([*where, f"{self.build}/tests/inject/inject_scenario", "vlink-peer", DB, APP],
                   self.env(), WAIT_S * 2)

    def mqtt_exchange(self):
        """A changed value reaches a subscriber (values are retained); a set
        message writes one."""
        topic, sub = "zrdb/vinject/count", ["-p", str(self.port), "-t", "zrdb/vinject/count"]
        # New values each time: a retained one from an earlier run must not pass.
        n = next(self.exchanges)
        value, wanted = str(2 * n), str(2 * n + 1)
        status, out = run([self.tool("zrdbctl"), "set", "count", value], self.env())
        if status != 0:
            return status, "zrdbctl set failed: " + out
        published = f'"value":{value},'
        if not until(lambda: published in run(["mosquitto_sub", *sub, "-C", "1", "-W", "1"])[1],
                     WAIT_S):
            return 1, "no publish of the changed value"
        run(["mosquitto_pub", *sub[:2], "-t", topic + "/set", "-m", wanted])
        if not until(lambda: run([self.tool("zrdbctl"), "get", "count"], self.env())[1].strip()
                     == wanted, WAIT_S):
            return 1, "the allowed set was not written"
        return 0, ""

    def scenarios(self):
        vlinkd = [self.tool("zrdb-vlinkd"), "--foreground", "--key", f"{self.dir}/a.key",
                  "--listen", f"127.0.0.1:{PORT_A}", "--link", f"0=127.0.0.1:{PORT_B}",
                  f"{self.dir}/b.pub", "--allow-set", "0", "count", "--sync-port", str(SYNC_A),
                  DB]
        mqtt = [self.tool("zrdb-mqtt"), "--foreground", "-c", f"{self.dir}/bridge.conf", DB]
        return {
            "vlinkd-start": (vlinkd, "serving", None),
            "vlinkd-request": (vlinkd, "serving", self.transaction),
            "vlinkd-answer": (vlinkd, "serving", lambda: self.transaction(
                "nsenter", "-t", str(self.peer.p.pid), "--ipc", "--mount")),
            "mqtt": (mqtt, "ready:", self.mqtt_exchange),
        }

    def once(self, entry, inject=None, count=None):
        """(status, output, failed): status None for a daemon that outlived
        SIGTERM, -signal for one killed; failed: it or its action did."""
        argv, ready, action = entry
        daemon = Daemon(argv, self.env(inject, count=count), f"{self.dir}/daemon.log")
        acted, said = 0, ""
        if daemon.wait_ready(ready) and action:
            acted, said = action()
        status = daemon.stop()
        return status, daemon.output() + said, status != 0 or acted != 0

    def picks(self, entry, func, err):
        """Up to PER_FUNCTION of the calls of `func` a plain run makes."""
        count = f"{self.dir}/count"
        if os.path.exists(count):
            os.unlink(count)
        self.once(entry, f"{func}:1000000000:{err}", count)
        if not os.path.exists(count):
            return ()
        with open(count) as f:
            n = int(f.read().split()[1])
        return sorted({1 + round(i * (n - 1) / (PER_FUNCTION - 1)) for i in range(PER_FUNCTION)}
                      ) if n > PER_FUNCTION else range(1, n + 1)

    def attempt(self, entry, func, err, plan, expected):
        status, out, failed = self.once(entry, plan)
        if not self.injected():  # fewer calls this time: a plain run
            return None
        problem = self.judge(status, out, failed, func, err, expected, CAUSES)
        if problem is None and failed:
            again, out, failed = self.once(entry)
            if failed or self.crash(again, out):
                problem = "the same run without the fault then failed"
        if problem:
            remove(leftovers() - expected)
        return problem, out

    def main(self, names):
        self.peer = self.broker = None
        try:
            self.peer = self.start_peer()
            self.broker = self.start_broker()
            for name, entry in self.scenarios().items():
                if names and name not in names:
                    continue
                before = leftovers()
                status, out, failed = self.once(entry)
                # A plain run leaves only the VLINK queue, which outlives
                # its users by design.
                expected = before | {f"msg {VLINK_QUEUE_KEY}"}
                if failed or self.crash(status, out) or leftovers() - expected:
                    sys.exit(f"{name} failed without any injection ({status}), leaving "
                             f"{sorted(leftovers() - expected)}:\n{out}")
                self.sweep(name, lambda func, err: self.picks(entry, func, err),
                           lambda func, err, plan: self.attempt(entry, func, err, plan, expected))
        finally:
            for daemon in (self.peer, self.broker):
                if daemon:
                    daemon.stop()
            run([self.tool("zrdbctl"), "remove", "--force"], self.env())
        if self.crash(0, self.peer.output()):
            self.fault("the answering daemon", "sanitizer report", self.peer.output())
            return 1
        return self.summary()


if __name__ == "__main__":
    main(Runner, FAILURES)
