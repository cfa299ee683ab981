#!/usr/bin/python3
"""System call fault injection into the library and zrdbctl: each scenario
runs once for every N with the Nth call of each function failing, until it
makes fewer calls. Besides the checks of injection.py: the library ends the
process only where that is its design, the scenario program counts its
descriptors, a failed save leaves the old file and no temporary file, and a
failed load or restore writes no value.

    run_injections.py [--leaks] BUILD_DIR [SCENARIO...]

--leaks: BUILD_DIR is AddressSanitizer's. Run it alone, in IPC, mount and
network namespaces of its own: it creates and removes the databases of
tests/inject. Exits 1 on any fault.
"""
import base64
import errno
import glob
import json
import os
import sys

from injection import HERE, Driver, leftovers, main, must, remove, run

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
# Failures after which the library ends the process by design, and the
# message it ends with.
ENDS_BY_DESIGN = {
    "msgget": "msgget error",  # no VLINK queue: no VLINK application
    "socket": "SO_REUSEADDR failed",  # a server remote buffer's socket
    "setsockopt": "SO_REUSEADDR failed",  # and its option
}
INDEX = f"shm {0x20150427}"  # the key of the segment that finds a database
CTL = "tools/zrdbctl"


def scenario(name, db):
    """A run of inject_scenario NAME on database DB (inject or vlink)."""
    return (name, db, ["tests/inject/inject_scenario", name, f"{HERE}/{db}.db",
                       f"{HERE}/{db}.app"], False)


def ctl(name, *args, fresh=False):
    """A zrdbctl command on the inject database (`fresh`: on none)."""
    return (name, "inject", [CTL, *args], fresh)


SCENARIOS = [
    ctl("create", "create", f"{HERE}/inject.db", fresh=True),
    *(scenario(name, "inject") for name in (
        "attach-client", "attach-component", "attach-print", "values", "cbuf", "msgbuf", "call",
        "fifo-pool", "remote")),
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
        fresh=True),
    ctl("remove", "remove"),
]
# What a save replaces: a failed save must leave exactly this.
OLD_SAVE = "old parameter set\n"


class Runner(Driver):
    expected = {}  # per scenario: what a plain run leaves (item lock files)
    db = None  # the database that exists now

    def argv(self, argv):
        return [f"{self.build}/{argv[0]}", *(a.replace("{files}", self.dir) for a in argv[1:])]

    def run(self, argv, inject=None):
        return run(self.argv(argv), self.env(inject, main=argv[0] == CTL))

    def must(self, argv, what):
        must(self.argv(argv), what, self.env())

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

    def start(self, entry):
        """Sets up what the scenario starts from: its database or none, and
        for a parameter set the file a save replaces or the values a load
        changes."""
        name, db, _, fresh = entry
        self.use_db(None if fresh else db)
        if name == "zrdbctl-save":
            with open(f"{self.dir}/saved.json", "w") as old:
                old.write(OLD_SAVE)
        elif name == "zrdbctl-load":
            self.must([CTL, "load", "{files}/base.json"], "zrdbctl load of the created values")

    def once(self, entry, inject=None):
        """A run of the scenario from its starting point: what existed just
        before it, its status and its output."""
        self.start(entry)
        before = leftovers()
        status, out = self.run(entry[2], inject)
        self.sync_state(entry[1])
        return before, status, out

    @staticmethod
    def ended(name, func, status, out):
        """What a failed scenario program's end says went wrong, or None."""
        if status == 0 or name.startswith(("create", "remove", "zrdbctl")):
            return None
        if (status not in (1, 3) or "inject_scenario:" not in out) and \
                ENDS_BY_DESIGN.get(func, "\0") not in out:
            return f"the library ended the process (status {status})"
        return "descriptors left open" if status == 3 else None

    def attempt(self, entry, func, err, plan):
        name, expected = entry[0], self.expected[entry[0]]
        start, status, out = self.once(entry, plan)
        if not self.injected():  # fewer than N calls: a plain run
            if status != 0:
                self.fault(f"{name} {plan}", f"failed with no injection ({status})", out)
            return None
        # A success leaves what the plain run leaves, a failure at most
        # that and what was there before. A failed create leaves nothing,
        # unless only its report could not be written.
        made = status == 0 or "writing to standard output failed" in out
        created = name.startswith("create") and "created '" in out  # a restore failed
        allowed = expected if made or created else start if name.startswith("create") \
            else start | expected
        if name == "remove" and status != 0:
            # A failed remove may leave all it found, but not without the
            # index that finds it again.
            allowed = leftovers() if INDEX in leftovers() else set()
        problem = self.judge(status, out, status != 0, func, err, allowed) or \
            self.ended(name, func, status, out) or self.parameter_fault(name, status, out)
        _, again, again_out = self.once(entry)
        # A second remove that finds only what the first left need not call
        # that a success, but must leave nothing.
        if problem is None and again != 0 and not (name == "remove" and not leftovers()):
            problem, out = f"the same run without the fault then failed ({again})", again_out
        elif problem is None and name == "remove" and leftovers():
            problem = "a second remove left " + " ".join(sorted(leftovers()))
        if problem:
            self.reset()
        return problem, out

    def parameter_fault(self, name, status, out):
        """What a parameter set scenario's run did wrong, or None."""
        temporary = glob.glob(f"{self.dir}/.*.tmp")
        for path in temporary:  # reported once
            os.unlink(path)
        if temporary:
            return "left behind: " + " ".join(temporary)
        if status == 0 or "writing to standard output failed" in out:  # done, not reported
            return None
        if name == "zrdbctl-save":
            with open(f"{self.dir}/saved.json") as saved:
                # Once renamed into place the new file stays, and says so.
                if saved.read() != OLD_SAVE and "was replaced" not in out:
                    return "a failed save changed the old file"
        elif name in ("zrdbctl-load", "create-restore") and INDEX in leftovers():
            self.must([CTL, "save", "{files}/now.json"], "zrdbctl save")
            if self.items("now.json") != self.items("base.json"):
                return "a failed load wrote values"
        return None

    def items(self, file):
        with open(f"{self.dir}/{file}") as saved:
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
        with open(f"{self.dir}/set.json", "w") as changed:
            json.dump({"zrdb_parameters": 1, "system": "inject", "items": items}, changed)

    def reset(self):
        """After a fault: removes whatever this run made (it started with
        nothing) and starts again from no database."""
        remove(leftovers())
        self.db = None

    def sync_state(self, db):
        """Notes whether a database exists now (a create or a remove, even a
        failed one, may have changed that)."""
        if INDEX not in leftovers():
            self.db = None
        elif self.db is None:
            self.db = db

    def main(self, names):
        self.make_parameter_sets()
        for entry in SCENARIOS:
            if names and entry[0] not in names:
                continue
            _, status, out = self.once(entry)
            if status != 0:
                sys.exit(f"{entry[0]} failed without any injection ({status}):\n{out}")
            self.expected[entry[0]] = leftovers()
            self.sweep(entry[0], lambda func, err: range(1, 100000),
                       lambda func, err, plan: self.attempt(entry, func, err, plan))
        self.use_db(None)
        return self.summary()


if __name__ == "__main__":
    main(Runner, FAILURES)
