#!/usr/bin/python3
"""System call fault injection: runs every scenario once for every N, with
the Nth call of each function failing (libzrdb_fail_nth.so), until the
scenario makes fewer than N such calls. After each injected run it checks
that the process was not killed by a signal, hung or ended by the library
(except where that is the design), that a failure was reported with a
message that names its cause, that nothing was left behind (segments,
queues, semaphores, lock files; descriptors, which the scenario program
counts) and that the same run without the fault then succeeds. Parameter
sets: a failed save leaves the old file as it was, no save leaves its
temporary file, and a failed load or restore writes no value.

    run_injections.py [--leaks] BUILD_DIR [SCENARIO...]

--leaks: BUILD_DIR is built with AddressSanitizer, whose LeakSanitizer
then checks every run's memory; allocations are not failed there (the
sanitizer owns the allocator).

Run it alone on the machine's IPC namespace (unshare --ipc --mount --net):
it creates and removes the databases of tests/inject. Prints one line per
fault and "N injections, N survived"; exits 1 on any fault.
"""
import base64
import errno
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
# A realistic error per function, two where both take different paths.
FAILURES = {
    "shmget": (errno.ENOSPC, errno.EACCES), "shmat": (errno.ENOMEM,), "shmctl": (errno.EACCES,),
    "sem_open": (errno.EMFILE,), "sem_timedwait": (errno.EINTR, errno.EINVAL),
    "msgget": (errno.ENOSPC,), "msgsnd": (errno.EAGAIN,), "msgrcv": (errno.EINTR,),
    "socket": (errno.EMFILE,), "bind": (errno.EACCES,), "setsockopt": (errno.ENOMEM,),
    "sendto": (errno.EAGAIN,), "recvfrom": (errno.EINTR,), "open": (errno.EMFILE, errno.EACCES),
    "flock": (errno.EINTR, errno.EAGAIN), "pipe": (errno.EMFILE,),
    "write": (errno.ENOSPC, errno.EINTR),
    "fsync": (errno.ENOSPC,), "rename": (errno.EACCES,), "malloc": (errno.ENOMEM,),
}
# Failures whose message words the cause instead of the system's text.
CAUSE_WORDS = {
    ("malloc", errno.ENOMEM): "alloc|memory",  # no system call: no system text
    ("flock", errno.EAGAIN): "held by another process",
}
# Failures after which the library ends the process by design, and the
# message it ends with.
ENDS_BY_DESIGN = {
    "msgget": "msgget error",  # no VLINK queue: no VLINK application
    "socket": "SO_REUSEADDR failed",  # a server remote buffer's socket
    "setsockopt": "SO_REUSEADDR failed",  # and its option
}
TIMEOUT_S = 30
INDEX_KEY = 0x20150427
CTL = "tools/zrdbctl"
SCENARIO = "tests/inject/inject_scenario"


def scenario(name, db, before="db"):
    """A run of inject_scenario NAME on database DB (inject or vlink)."""
    return (name, db, [SCENARIO, name, f"{HERE}/{db}.db", f"{HERE}/{db}.app"], before)


def ctl(name, *args, before="db"):
    """A zrdbctl command on the inject database."""
    return (name, "inject", [CTL, *args], before)


SCENARIOS = [
    ctl("create", "create", f"{HERE}/inject.db", before="none"),
    scenario("attach-client", "inject"),
    scenario("attach-component", "inject"),
    scenario("attach-print", "inject"),
    scenario("values", "inject"),
    scenario("cbuf", "inject"),
    scenario("msgbuf", "inject"),
    scenario("call", "inject"),
    scenario("fifo-pool", "inject"),
    scenario("remote", "inject"),
    scenario("vlink", "vlink"),
    scenario("attach-daemon", "vlink"),
    ctl("zrdbctl-dump", "dump"),
    ctl("zrdbctl-check", "check"),
    ctl("zrdbctl-dump-json", "--json", "dump"),
    ctl("zrdbctl-set", "set", "count.3", "9"),
    ctl("zrdbctl-sem-post", "sem-post", "req_sem"),
    ctl("zrdbctl-udp-send", "udp-send", "udp_cli", "hello"),
    ctl("zrdbctl-save", "save", "{files}/saved.json"),
    ctl("zrdbctl-load", "load", "{files}/set.json"),
    ctl("create-restore", "create", f"{HERE}/inject.db", "--restore", "{files}/set.json",
        before="none"),
    ctl("remove", "remove", before="removed"),
]
# What a save replaces: a failed save must leave exactly this.
OLD_SAVE = "old parameter set\n"


def leftovers():
    """What of ZRDB's kind exists now: System V objects by key, named
    semaphores and item lock files."""
    found = set()
    for kind in ("shm", "msg", "sem"):
        with open(f"/proc/sysvipc/{kind}") as table:
            next(table)
            found |= {f"{kind} {line.split()[0]}" for line in table}
    found |= {f"/dev/shm/{n}" for n in os.listdir("/dev/shm")}
    return found | set(glob.glob("/tmp/zrdbid*.lock"))


def names_cause(out, func, err, words=CAUSE_WORDS):
    """Whether the output names the cause of the injected failure."""
    worded = words.get((func, err))
    return bool(re.search(worded, out, re.I)) if worded else \
        os.strerror(err) in out or errno.errorcode[err] in out


def remove(things):
    """Removes leftovers as leftovers() names them."""
    flags = {"shm": "-M", "msg": "-Q", "sem": "-S"}
    for thing in things:
        kind, _, key = thing.partition(" ")
        if kind in flags:
            subprocess.run(["ipcrm", flags[kind], key], stderr=subprocess.DEVNULL)
        else:
            os.unlink(thing)


class Runner:
    def __init__(self, build, leaks):
        self.build = build
        self.leaks = leaks
        self.preload = f"{build}/tests/inject/libzrdb_fail_nth.so"
        self.mark = tempfile.mktemp(prefix="zrdb-inject-")
        self.files = tempfile.mkdtemp(prefix="zrdb-inject-files-")
        self.tried = self.survived = 0
        self.faults = 0
        self.by_function = {}
        self.db = None

    def run(self, argv, inject=None):
        """(status, output): status is -signal for a killed process, None
        for one that outlived the time-out."""
        env = dict(os.environ)
        if self.leaks:  # the preload library comes before the sanitizer's
            env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1"
        if inject:
            env.update(ZRDB_INJECT=inject, ZRDB_INJECT_MARK=self.mark, LD_PRELOAD=self.preload)
            if argv[0] == CTL:
                env["ZRDB_INJECT_MAIN"] = "1"
        try:
            args = [a.replace("{files}", self.files) for a in argv[1:]]
            p = subprocess.run([f"{self.build}/{argv[0]}", *args], env=env, text=True,
                               errors="replace", stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, timeout=TIMEOUT_S)
            return p.returncode, p.stdout
        except subprocess.TimeoutExpired as e:
            return None, e.stdout or ""

    def must(self, argv, what):
        status, out = self.run(argv)
        if status != 0:
            sys.exit(f"{what} failed without any injection ({status}):\n{out}")

    def use_db(self, db):
        """Makes `db` the one database that exists (None: none)."""
        if self.db == db:
            return
        if self.db:
            self.must([CTL, "remove", "--force"], "zrdbctl remove")
        if db:
            create = [CTL, "create", f"{HERE}/{db}.db"]
            status, out = self.run(create)
            if status != 0:  # what the last run left blocks a new database
                self.fault(f"create {db} after the last run", f"failed ({status})", out)
                self.reset()
                self.must(create, f"zrdbctl create {db}")
        self.db = db

    def fault(self, where, what, out):
        self.faults += 1
        print(f"FAULT {where}: {what}\n    " + out.strip().replace("\n", "\n    "), flush=True)

    def clean_failure(self, name, func, err, status, out):
        """The fault in a failed run, or None."""
        if status is None:
            return "outlived the time-out"
        if status < 0:
            return f"killed by signal {-status}"
        if not names_cause(out, func, err):
            return "no message names the cause"
        ended = not name.startswith(("create", "remove", "zrdbctl")) and (
            status not in (1, 3) or "inject_scenario:" not in out)
        if ended and ENDS_BY_DESIGN.get(func, "\0") not in out:
            return f"the library ended the process (status {status})"
        if status == 3:
            return "descriptors left open"
        return None

    def inject_all(self, entry, func, err):
        name, db, argv, before = entry
        expected = self.expected[name]
        for nth in range(1, 100000):
            self.use_db(None if before == "none" else db)
            if os.path.exists(self.mark):
                os.unlink(self.mark)
            self.prepare(name)
            start = leftovers()
            status, out = self.run(argv, f"{func}:{nth}:{err}")
            if os.environ.get("ZRDB_INJECT_VERBOSE"):
                print(f"{name} {func}:{nth}:{err} -> {status}\n{out}", flush=True)
            where = f"{name} {func}#{nth} {errno.errorcode[err]}"
            if not os.path.exists(self.mark):  # fewer than nth calls: a plain run
                if status != 0:
                    self.fault(where, f"failed with no injection ({status})", out)
                self.sync_state(db)
                return
            self.tried += 1
            self.by_function[func] = self.by_function.get(func, 0) + 1
            problem = None if status == 0 else self.clean_failure(name, func, err, status, out)
            if "Sanitizer" in out:  # a leak, or worse, with the exit status it sets
                problem = "sanitizer report"
            # A success leaves what the plain run leaves, a failure at most
            # that and what was there before. A failed create leaves
            # nothing, unless only its report could not be written.
            made = status == 0 or "writing to standard output failed" in out
            created = name.startswith("create") and "created '" in out  # a restore failed
            allowed = expected if made or created else start if name.startswith("create") \
                else start | expected
            left = leftovers() - allowed
            if name == "remove" and status != 0:
                # A failed remove may leave all it found, but not without
                # the index that finds it again.
                left = leftovers() if f"shm {INDEX_KEY}" not in leftovers() else set()
            if problem is None and left:
                problem = "left behind: " + " ".join(sorted(left))
            problem = problem or self.parameter_fault(name, status, out)
            self.sync_state(db)
            self.use_db(None if before == "none" else db)
            self.prepare(name)
            again, again_out = self.run(argv)
            # A second remove that finds only what the first left need not
            # call that a success, but must leave nothing.
            if problem is None and again != 0 and not (name == "remove" and not leftovers()):
                problem, out = f"the same run without the fault then failed ({again})", again_out
            elif problem is None and name == "remove" and leftovers():
                problem = "a second remove left " + " ".join(sorted(leftovers()))
            self.sync_state(db)
            if problem:
                self.fault(where, problem, out)
                self.reset()
            else:
                self.survived += 1

    def prepare(self, name):
        """Puts back what a parameter set scenario starts from: the file a
        save replaces, the values a load changes."""
        if name == "zrdbctl-save":
            with open(f"{self.files}/saved.json", "w") as old:
                old.write(OLD_SAVE)
        elif name == "zrdbctl-load":
            self.must([CTL, "load", "{files}/base.json"], "zrdbctl load of the created values")

    def parameter_fault(self, name, status, out):
        """What a parameter set scenario's run did wrong, or None."""
        temporary = glob.glob(f"{self.files}/.*.tmp")
        for path in temporary:  # reported once
            os.unlink(path)
        if temporary:
            return "left behind: " + " ".join(temporary)
        if status == 0 or "writing to standard output failed" in out:  # done, not reported
            return None
        if name == "zrdbctl-save":
            with open(f"{self.files}/saved.json") as saved:
                # Once renamed into place the new file stays, and says so.
                if saved.read() != OLD_SAVE and "was replaced" not in out:
                    return "a failed save changed the old file"
        elif name in ("zrdbctl-load", "create-restore") and f"shm {INDEX_KEY}" in leftovers():
            self.must([CTL, "save", "{files}/now.json"], "zrdbctl save")
            if self.items("now.json") != self.items("base.json"):
                return "a failed load wrote values"
        return None

    def items(self, file):
        with open(f"{self.files}/{file}") as saved:
            return json.load(saved)["items"]

    def make_parameter_sets(self):
        """base.json: the values of a new inject database; set.json: other
        values for each of its plain items, for a load to write."""
        self.use_db("inject")
        self.must([CTL, "save", "{files}/base.json"], "zrdbctl save")
        items = self.items("base.json")
        for item in items:
            if "base64" in item:
                size = len(base64.b64decode(item["base64"]))
                item["base64"] = base64.b64encode(b"\x11" * size).decode()
            else:
                item["values"] = [v + 1 if isinstance(v, int) else "set" for v in item["values"]]
        with open(f"{self.files}/set.json", "w") as changed:
            json.dump({"zrdb_parameters": 1, "system": "inject", "items": items}, changed)

    def reset(self):
        """After a fault: removes whatever this run made (it started with
        nothing) and starts again from no database."""
        remove(leftovers())
        self.db = None

    def sync_state(self, db):
        """Notes whether a database exists now (a create or a remove, even a
        failed one, may have changed that)."""
        if f"shm {INDEX_KEY}" not in leftovers():
            self.db = None
        elif self.db is None:
            self.db = db

    def learn(self, entry):
        """What a plain run of the scenario leaves (item lock files, for
        one)."""
        name, db, argv, before = entry
        self.use_db(None if before == "none" else db)
        self.prepare(name)
        self.must(argv, name)
        self.sync_state(db)
        self.expected[name] = leftovers()

    def main(self, names):
        self.expected = {}
        if leftovers():
            sys.exit("Run alone, in new IPC and mount namespaces: found " +
                     " ".join(sorted(leftovers())))
        self.make_parameter_sets()
        for entry in SCENARIOS:
            if names and entry[0] not in names:
                continue
            self.learn(entry)
            before = self.tried
            for func, errs in FAILURES.items():
                for err in errs if not (self.leaks and func == "malloc") else ():
                    self.inject_all(entry, func, err)
            print(f"{entry[0]}: {self.tried - before} injections", flush=True)
        self.use_db(None)
        print("by function: " + ", ".join(f"{f} {self.by_function.get(f, 0)}" for f in FAILURES))
        print(f"{self.tried} injections, {self.survived} survived")
        return 0 if self.tried > 0 and self.tried == self.survived else 1


if __name__ == "__main__":
    args = sys.argv[1:]
    leaks = args[:1] == ["--leaks"]
    if len(args) < 1 + leaks:
        sys.exit(__doc__)
    sys.exit(Runner(os.path.abspath(args[leaks]), leaks).main(args[leaks + 1:]))
