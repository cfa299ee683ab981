#!/usr/bin/python3
"""System call fault injection into the daemons: zrdb-vlinkd (start-up, and
a VLINK set and get with a second system's daemon on loopback, the fault in
the requesting daemon and then in the answering one) and zrdb-mqtt (start-up
against a mosquitto broker on a free loopback port, one publish of a changed
value, one allowed set). The fault is injected into one daemon at a time,
at the Nth of its own calls of a function (libzrdb_fail_nth.so with
ZRDB_INJECT_MAIN), for up to PER_FUNCTION values of N spread over the calls
a plain run makes. After each injected run: no signal, no hang, a failure
(an exit status, or a transaction that failed) has a message naming its
cause, nothing is left behind (segments, queues, /dev/shm, lock files) but
what a plain run leaves, and a failed run is followed by a plain one that
succeeds.

    run_daemons.py BUILD_DIR [SCENARIO...]

Run it in IPC, mount and network namespaces of its own, like
run_injections.py (the second system gets IPC and mount namespaces of its
own inside them). Prints one line per fault and "N injections, N survived";
exits 1 on any fault.
"""
import errno
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

from run_injections import CAUSE_WORDS, HERE, leftovers, names_cause, remove

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
DB = f"{HERE}/vlink.db"
APP = f"{HERE}/vlink.app"


class Daemon:
    """A daemon in the foreground whose output is collected; `ready` is set
    once a line matches READY."""

    def __init__(self, argv, env, ready):
        self.lines = []
        self.ready = threading.Event()
        self.p = subprocess.Popen(argv, env=env, text=True, errors="replace",
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.reader = threading.Thread(target=self.read, args=(ready,), daemon=True)
        self.reader.start()

    def read(self, ready):
        for line in self.p.stdout:
            self.lines.append(line)
            if re.search(ready, line):
                self.ready.set()

    def wait_ready(self):
        """True once ready, False when it ended (or hung) first."""
        until = time.monotonic() + WAIT_S
        while not self.ready.wait(0.02):
            if self.p.poll() is not None or time.monotonic() > until:
                return False
        return True

    def stop(self):
        """The exit status after SIGTERM; None if it outlived the wait."""
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGTERM)
        try:
            status = self.p.wait(WAIT_S)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            status = None
        self.reader.join(WAIT_S)
        return status

    def output(self):
        return "".join(self.lines)


class Runner:
    def __init__(self, build):
        self.build = build
        self.dir = tempfile.mkdtemp(prefix="zrdb-inject-daemons-")
        self.tried = self.survived = self.faults = 0
        self.by_function = {}
        self.peer = self.broker = None

    def tool(self, name):
        return f"{self.build}/tools/{name}"

    def run(self, argv, **kw):
        p = subprocess.run(argv, text=True, errors="replace", stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=WAIT_S * 2, **kw)
        return p.returncode, p.stdout

    def must(self, argv, what, **kw):
        status, out = self.run(argv, **kw)
        if status != 0:
            sys.exit(f"{what} failed ({status}):\n{out}")
        return out

    # --- the systems around the injected daemon ---------------------------
    def start_peer(self):
        """System B: a database and a daemon in IPC and mount namespaces of
        their own (the daemon is the process started)."""
        for name in ("a", "b"):
            self.must([self.tool("zrdb-vlinkd"), "keygen", f"{self.dir}/{name}"], "keygen")
        self.must([self.tool("zrdbctl"), "create", DB], "zrdbctl create")
        script = (f"mount -t tmpfs none /dev/shm && {self.tool('zrdbctl')} create {DB} >/dev/null"
                  f" && exec {self.tool('zrdb-vlinkd')} --foreground --key {self.dir}/b.key"
                  f" --listen 127.0.0.1:{PORT_B} --link 0=127.0.0.1:{PORT_A} {self.dir}/a.pub"
                  f" --allow-set 0 count {DB}")
        self.peer = Daemon(["unshare", "--ipc", "--mount", "sh", "-c", script], None, "serving")
        if not self.peer.wait_ready():
            sys.exit("the peer system's daemon did not start:\n" + self.peer.output())

    def start_broker(self):
        with open("/proc/net/tcp") as tcp:
            used = tcp.read().upper()
        self.port = next(p for p in range(21883, 22883) if f":{p:04X} " not in used)
        with open(f"{self.dir}/broker.conf", "w") as conf:
            conf.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n")
        with open(f"{self.dir}/bridge.conf", "w") as conf:
            conf.write(f"broker 127.0.0.1:{self.port}\npublish count\nallow-set count\n"
                       "interval 20\nstats-interval 0\n")
        self.broker = Daemon(["mosquitto", "-c", f"{self.dir}/broker.conf"], None,
                             "listen socket on port")
        if not self.broker.wait_ready():
            sys.exit("mosquitto did not start:\n" + self.broker.output())

    # --- the scenarios: the daemon's command and what is done with it -------
    def vlinkd(self):
        return [self.tool("zrdb-vlinkd"), "--foreground", "--key", f"{self.dir}/a.key",
                "--listen", f"127.0.0.1:{PORT_A}", "--link", f"0=127.0.0.1:{PORT_B}",
                f"{self.dir}/b.pub", "--allow-set", "0", "count", "--sync-port", str(SYNC_A), DB]

    def request(self):
        return self.run([f"{self.build}/tests/inject/inject_scenario", "vlink-peer", DB, APP])

    def answer(self):
        return self.run(["nsenter", "-t", str(self.peer.p.pid), "--ipc", "--mount",
                         f"{self.build}/tests/inject/inject_scenario", "vlink-peer", DB, APP])

    def mqtt_exchange(self):
        """A changed value reaches a subscriber; a set message writes one."""
        ctl = self.tool("zrdbctl")
        topic = "zrdb/vinject/count"
        value, wanted = str(1000 + self.tried % 1000), str(3000 + self.tried % 1000)
        sub = subprocess.Popen(["mosquitto_sub", "-p", str(self.port), "-v", "-t", topic,
                                "-W", str(WAIT_S)], text=True, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
        try:
            # Values are retained: subscribed before or after the change, the
            # subscriber gets the new one.
            status, out = self.run([ctl, "set", "count", value])
            if status != 0:
                return status, "zrdbctl set failed: " + out
            seen = []
            for line in sub.stdout:
                seen.append(line)
                if line.startswith(topic + " ") and value in line:
                    break
            else:
                return 1, "no publish of the changed value: " + "".join(seen)
        finally:
            sub.kill()
            sub.wait()
        self.run(["mosquitto_pub", "-p", str(self.port), "-t", topic + "/set", "-m", wanted])
        until = time.monotonic() + WAIT_S
        while time.monotonic() < until:
            if self.run([ctl, "get", "count"])[1].strip() == wanted:
                return 0, ""
            time.sleep(0.05)
        return 1, "the allowed set was not written"

    def scenarios(self):
        mqtt = [self.tool("zrdb-mqtt"), "--foreground", "-c", f"{self.dir}/bridge.conf", DB]
        return {
            "vlinkd-start": (self.vlinkd, "serving", None),
            "vlinkd-request": (self.vlinkd, "serving", self.request),
            "vlinkd-answer": (self.vlinkd, "serving", self.answer),
            "mqtt": (lambda: mqtt, "ready:", self.mqtt_exchange),
        }

    def once(self, entry, inject=None, count=None):
        """(status, output, action status): status None for a daemon that
        outlived SIGTERM, -signal for one killed."""
        argv, ready, action = entry
        env = dict(os.environ)
        if inject:
            env.update(ZRDB_INJECT=inject, ZRDB_INJECT_MAIN="1", ZRDB_INJECT_MARK=self.mark,
                       LD_PRELOAD=f"{self.build}/tests/inject/libzrdb_fail_nth.so")
            if count:
                env["ZRDB_INJECT_COUNT"] = count
        daemon = Daemon(argv(), env, ready)
        acted, said = 0, ""
        if daemon.wait_ready() and action:
            acted, said = action()
        status = daemon.stop()
        return status, daemon.output() + said, acted

    def calls(self, entry, func, err):
        """How many calls of `func` a run makes, or 0."""
        count = f"{self.dir}/count"
        if os.path.exists(count):
            os.unlink(count)
        self.once(entry, f"{func}:1000000000:{err}", count)
        if not os.path.exists(count):
            return 0
        with open(count) as f:
            return int(f.read().split()[1])

    def fault(self, where, what, out):
        self.faults += 1
        print(f"FAULT {where}: {what}\n    " + out.strip().replace("\n", "\n    "), flush=True)

    def inject_all(self, name, entry, func, err, expected):
        n = self.calls(entry, func, err)
        picks = sorted({1 + round(i * (n - 1) / (PER_FUNCTION - 1)) for i in range(PER_FUNCTION)}
                       ) if n > PER_FUNCTION else range(1, n + 1)
        for nth in picks:
            if os.path.exists(self.mark):
                os.unlink(self.mark)
            status, out, acted = self.once(entry, f"{func}:{nth}:{err}")
            if not os.path.exists(self.mark):  # fewer calls this time: a plain run
                continue
            self.tried += 1
            self.by_function[func] = self.by_function.get(func, 0) + 1
            problem = None
            if status is None:
                problem = "outlived SIGTERM"
            elif status < 0:
                problem = f"killed by signal {-status}"
            elif (status != 0 or acted != 0) and not names_cause(out, func, err, CAUSES):
                problem = "no message names the cause"
            left = leftovers() - expected
            if problem is None and left:
                problem = "left behind: " + " ".join(sorted(left))
            if problem is None and (status != 0 or acted != 0):
                again, again_out, again_acted = self.once(entry)
                if again != 0 or again_acted != 0:
                    problem, out = "the same run without the fault then failed", again_out
            if problem:
                self.fault(f"{name} {func}#{nth} {errno.errorcode[err]}", problem, out)
                remove(leftovers() - expected)
            else:
                self.survived += 1

    def main(self, names):
        if leftovers():
            sys.exit("Run alone, in new IPC and mount namespaces: found " +
                     " ".join(sorted(leftovers())))
        self.mark = f"{self.dir}/mark"
        try:
            self.start_peer()
            self.start_broker()
            for name, entry in self.scenarios().items():
                if names and name not in names:
                    continue
                status, out, acted = self.once(entry)
                if status != 0 or acted != 0:
                    sys.exit(f"{name} failed without any injection ({status}, {acted}):\n{out}")
                expected = leftovers()
                before = self.tried
                for func, errs in FAILURES.items():
                    for err in errs:
                        self.inject_all(name, entry, func, err, expected)
                print(f"{name}: {self.tried - before} injections", flush=True)
        finally:
            for daemon in (self.peer, self.broker):
                if daemon:
                    daemon.stop()
            subprocess.run([self.tool("zrdbctl"), "remove", "--force"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        print("by function: " + ", ".join(f"{f} {self.by_function.get(f, 0)}" for f in FAILURES))
        print(f"{self.tried} injections, {self.survived} survived")
        return 0 if self.tried > 0 and self.tried == self.survived else 1


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(Runner(os.path.abspath(sys.argv[1])).main(sys.argv[2:]))
