"""What the fault injection drivers (run_injections.py, run_daemons.py)
share: the leftovers they look for, how a run is started with a failure
injected, the loop over functions, errors and N that judges and counts each
injected run, and the summary line."""
import errno
import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
# Failures whose message words the cause instead of the system's text.
CAUSE_WORDS = {
    ("malloc", errno.ENOMEM): "alloc|memory",  # no system call: no system text
    ("flock", errno.EAGAIN): "held by another process",
}


def leftovers():
    """What of ZRDB's kind exists now: System V objects by key, named
    semaphores and other /dev/shm files, and item lock files."""
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
    """(status, output): status is -signal for a killed process, None for
    one that outlived the time-out."""
    try:
        p = subprocess.run(argv, env=env, text=True, errors="replace", stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        return None, e.stdout or ""


def must(argv, what, env=None):
    """The output of a run that has to succeed; ends the driver if not."""
    status, out = run(argv, env)
    if status != 0:
        sys.exit(f"{what} failed without any injection ({status}):\n{out}")
    return out


class Driver:
    """Injects each of `failures` (function: errors) into a scenario, for
    each N, counting the injected runs and the faults found. With `leaks`
    the build is AddressSanitizer's, whose LeakSanitizer checks each run's
    memory; allocations are not failed there (the sanitizer owns them)."""

    def __init__(self, build, leaks, failures):
        if leftovers():  # they would be taken for the runs' own
            sys.exit("Run alone, in new IPC and mount namespaces: found " +
                     " ".join(sorted(leftovers())))
        self.build, self.leaks = build, leaks
        self.failures = {f: e for f, e in failures.items() if not (leaks and f == "malloc")}
        self.dir = tempfile.mkdtemp(prefix="zrdb-fault-inject-")
        self.mark = f"{self.dir}/mark"
        self.tried = self.survived = 0
        self.by_function = {}

    def env(self, inject=None, main=True, count=None):
        """The environment of a run with INJECT (FUNCTION:N:ERRNO) failing,
        counted in the library and, with `main`, in the program too;
        `count` names the file where the run writes how many calls it made."""
        env = dict(os.environ)
        if self.leaks:  # the preload library comes before the sanitizer's
            env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1"
        if inject:
            env.update(ZRDB_INJECT=inject, ZRDB_INJECT_MARK=self.mark,
                       LD_PRELOAD=f"{self.build}/tests/inject/libzrdb_fail_nth.so")
            env.update({"ZRDB_INJECT_MAIN": "1"} if main else {})
            env.update({"ZRDB_INJECT_COUNT": count} if count else {})
        return env

    def injected(self):
        """Whether the last run reached its Nth call and failed it."""
        return os.path.exists(self.mark)

    @staticmethod
    def crash(status, out):
        """What no run may do, whatever its result, or None."""
        if status is None:
            return "outlived the time-out"
        if status < 0:
            return f"killed by signal {-status}"
        if "Sanitizer" in out:  # a leak, or worse, with the exit status it sets
            return "sanitizer report"
        return None

    @staticmethod
    def fault(where, what, out):
        print(f"FAULT {where}: {what}\n    " + out.strip().replace("\n", "\n    "), flush=True)

    def sweep(self, name, nths, attempt):
        """For each function and error, attempt(func, err, FUNCTION:N:ERRNO)
        for each N of nths(func, err) until a run makes fewer than N calls
        (attempt then returns None); else it returns the fault, or None, and
        the output to show with it."""
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
                    problem, out = judged
                    if problem:
                        self.fault(f"{name} {func}#{nth} {errno.errorcode[err]}", problem, out)
                    else:
                        self.survived += 1
        print(f"{name}: {self.tried - before} injections", flush=True)

    def summary(self):
        """Prints the counts; the exit status: 0 when every run survived."""
        print("by function: " + ", ".join(f"{f} {self.by_function.get(f, 0)}"
                                          for f in self.failures))
        print(f"{self.tried} injections, {self.survived} survived")
        return 0 if self.tried > 0 and self.tried == self.survived else 1
