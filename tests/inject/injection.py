"""What the fault injection drivers share: the leftovers they look for, the
environment that fails the Nth call of a function (libzrdb_fail_nth.so),
and the loop that runs, judges and counts each injected run. Every injected
run must end without a signal, hang or sanitizer report, a failure must
have a message naming its cause, nothing may be left behind and the same
run without the fault must then succeed."""
import errno
import glob
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Failures whose message words the cause instead of the system's text.
CAUSE_WORDS = {
    ("malloc", errno.ENOMEM): "alloc|memory",  # no system call: no system text
    ("flock", errno.EAGAIN): "held by another process",
}


def leftovers():
    """System V objects by key, /dev/shm files and item lock files."""
    found = set()
    for kind in ("shm", "msg", "sem"):
        with open(f"/proc/sysvipc/{kind}") as table:
            next(table)
            found |= {f"{kind} {line.split()[0]}" for line in table}
    found |= {f"/dev/shm/{n}" for n in os.listdir("/dev/shm")}
    return found | set(glob.glob("/tmp/zrdbid*.lock"))


def remove(things):
    """Removes leftovers as leftovers() names them."""
    flags = {"shm": "-M", "msg": "-Q", "sem": "-S"}
    for thing in things:
        kind, _, key = thing.partition(" ")
        if kind in flags:
            subprocess.run(["ipcrm", flags[kind], key], stderr=subprocess.DEVNULL)
        else:
            os.unlink(thing)


def names_cause(out, func, err, words=CAUSE_WORDS):
    """Whether the output names the cause of the injected failure."""
    worded = words.get((func, err))
    return bool(re.search(worded, out, re.I)) if worded else \
        os.strerror(err) in out or errno.errorcode[err] in out


def run(argv, env=None, timeout=30):
    """(status, output); status None for a process that outlived the
    time-out, -signal for one killed."""
    try:
        p = subprocess.run(argv, env=env, text=True, errors="replace", stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        return None, e.stdout or ""


def must(argv, what, env=None):
    status, out = run(argv, env)
    if status != 0:
        sys.exit(f"{what} failed without any injection ({status}):\n{out}")


def until(check, seconds=10):
    """Whether check() came true within the time given."""
    end = time.monotonic() + seconds
    while not check():
        if time.monotonic() > end:
            return False
        time.sleep(0.02)
    return True


class Driver:
    """Injects `failures` (function: errors) and counts the runs. `leaks`:
    the build is AddressSanitizer's, whose LeakSanitizer checks each run's
    memory; allocations are not failed there (the sanitizer owns them)."""

    def __init__(self, build, leaks, failures):
        if leftovers():  # they would be taken for the runs' own
            sys.exit("Run alone, in new IPC and mount namespaces: found " +
                     " ".join(sorted(leftovers())))
        self.build, self.leaks = build, leaks
        self.failures = {f: e for f, e in failures.items() if not (leaks and f == "malloc")}
        self.dir = tempfile.mkdtemp(prefix="zrdb-fault-inject-")
        self.mark = f"{self.dir}/mark"  # written when the failure is injected
        self.tried = self.survived = 0
        self.by_function = {}

    def env(self, inject=None, main=True, count=None):
        """A run's environment, INJECT (FUNCTION:N:ERRNO) counting the
        library's calls and with `main` the program's; `count`: the file
        that gets how many calls the run made."""
        env = dict(os.environ)
        if self.leaks:  # the preload library comes before the sanitizer's
            env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1:" \
                f"suppressions={HERE}/asan.supp"
        if inject:
            env.update(ZRDB_INJECT=inject, ZRDB_INJECT_MARK=self.mark,
                       LD_PRELOAD=f"{self.build}/tests/inject/libzrdb_fail_nth.so")
            env.update({"ZRDB_INJECT_MAIN": "1"} if main else {})
            env.update({"ZRDB_INJECT_COUNT": count} if count else {})
        return env

    def injected(self):
        return os.path.exists(self.mark)

    @staticmethod
    def crash(status, out):
        """What no run may do, whatever its result, or None."""
        if status is None:
            return "outlived the time-out"
        if status < 0:
            return f"killed by signal {-status}"
        return "sanitizer report" if "Sanitizer" in out else None

    def judge(self, status, out, failed, func, err, allowed, words=CAUSE_WORDS):
        """The fault of an injected run, or None: a crash, a failure whose
        message does not name its cause, anything left but `allowed`."""
        left = leftovers() - allowed
        return self.crash(status, out) or (
            "no message names the cause" if failed and not names_cause(out, func, err, words)
            else "left behind: " + " ".join(sorted(left)) if left else None)

    @staticmethod
    def fault(where, what, out):
        print(f"FAULT {where}: {what}\n    " + out.strip().replace("\n", "\n    "), flush=True)

    def sweep(self, name, nths, attempt):
        """attempt(func, err, "FUNCTION:N:ERRNO") for each function, error
        and N of nths(func, err) until a run makes fewer than N calls (it
        returns None then; else the fault or None, and the output)."""
        before = self.tried
        for func, errs in self.failures.items():
            for err in errs:
                for nth in nths(func, err):
                    if self.injected():
                        os.unlink(self.mark)
                    judged = attempt(func, err, f"{func}:{nth}:{err}")
                    if judged is None:
                        break
                    self.tried += 1
                    self.by_function[func] = self.by_function.get(func, 0) + 1
                    if judged[0]:
                        self.fault(f"{name} {func}#{nth} {errno.errorcode[err]}", *judged)
                    else:
                        self.survived += 1
        print(f"{name}: {self.tried - before} injections", flush=True)

    def summary(self):
        print("by function: " + ", ".join(f"{f} {self.by_function.get(f, 0)}"
                                          for f in self.failures))
        print(f"{self.tried} injections, {self.survived} survived")
        return 0 if self.tried > 0 and self.tried == self.survived else 1


def main(runner, failures):
    """Runs `runner` on the command line's [--leaks] BUILD_DIR [SCENARIO...]."""
    args = sys.argv[1:]
    leaks = args[:1] == ["--leaks"]
    if len(args) < 1 + leaks:
        sys.exit(sys.modules["__main__"].__doc__)
    sys.exit(runner(os.path.abspath(args[leaks]), leaks, failures).main(args[leaks + 1:]))
