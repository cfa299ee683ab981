"""The Python module: values of every plain shape, conversions and their
refusals, views, the communication items, the call pattern with the C
client, the GIL and Ctrl-C during blocking calls, and the exceptions."""
import ctypes
import importlib.util
import os
import pathlib
import signal
import subprocess
import sys
import threading
from typing import Any, Callable

import numpy
import pytest

import zrdb
from conftest import EXAMPLES, ROOT, zrdbctl

PLAIN = ["speed", "label", "calib", "pair", "small", "short", "wide", "counter", "levels"]


@pytest.mark.parametrize("key, value, idx, expected", [
    ("counter", -7, None, -7),
    ("speed", list(range(8)), None, list(range(8))),
    ("speed", 700, 2, 700),
    ("speed.3", 9, None, 9),
    ("label", "running", 1, "running"),
    ("label", ["a", "é" * 8], None, ["a", "é" * 8]),  # 16 bytes of UTF-8: the whole element
    ("calib", b"\x01\x02", None, b"\x01\x02" + bytes(62)),
    ("pair", b"12345678abc", None, b"12345678abc" + bytes(5)),
    ("pair", b"xy", 1, b"xy" + bytes(6)),
    ("small", [-128, 255], None, [-128, -1]),  # unsigned words read back signed
    ("short", 0xFFFF, 1, -1),
    ("wide", 2**64 - 1, None, -1),
    ("wide", -(2**63), None, -(2**63)),
])
def test_values_round_trip(db: zrdb.Database, key: str, value: Any, idx: int | None,
                           expected: Any) -> None:
    db.set(key, value, idx)
    assert db.get(key, idx) == expected
    if idx is None and "." not in key:
        assert db[key] == expected


@pytest.mark.parametrize("key, value, idx, error", [
    ("counter", "7", None, TypeError),
    ("label", 7, 0, TypeError),
    ("calib", "text", None, TypeError),
    ("speed", 5, None, TypeError),  # several elements: a list, or an index
    ("speed", [1, 2], None, ValueError),
    ("speed", [1] * 7 + ["x"], None, TypeError),  # the bad last one stops all
    ("label", "x" * 17, 0, ValueError),
    ("label", "a\0b", 0, ValueError),
    ("calib", bytes(65), None, ValueError),
    ("small", 256, 0, ValueError),
    ("small", -129, 0, ValueError),
    ("counter", 2**32, None, ValueError),
    ("speed", 1, 8, zrdb.OutOfRange),
    ("speed.8", 1, None, zrdb.OutOfRange),
    ("nothing", 1, None, zrdb.NotFound),
    ("req_sem", 1, None, zrdb.TypeMismatch),
])
def test_refused_values_write_nothing(db: zrdb.Database, key: str, value: Any, idx: int | None,
                                      error: type[Exception]) -> None:
    before = {name: db[name] for name in PLAIN}
    with pytest.raises(error):
        db.set(key, value, idx)
    assert {name: db[name] for name in PLAIN} == before


def test_an_attach_before_create_makes_nothing(tmp_path: pathlib.Path) -> None:
    with pytest.raises(zrdb.NotFound):
        zrdb.attach(str(tmp_path / "none.db"))
    assert "0x20150427" not in subprocess.run(["ipcs", "-m"], capture_output=True,
                                              text=True).stdout


def test_views_share_the_items_memory_and_never_outlive_it(dbfile: str) -> None:
    with zrdb.attach(dbfile) as db:
        view = db.view("speed")
        assert (view.format, view.shape, db.view("label").format) == ("i", (8,), "B")
        view[2] = 1234
        assert zrdbctl("get", "speed.2").strip() == "1234"
        array = numpy.frombuffer(db.view("speed"), dtype=numpy.int32)
        assert int(array.sum()) == sum(db["speed"])
        db.detach()
        with pytest.raises(ValueError):
            view[0]
        assert array[2] == 1234  # the array keeps its own mapping
        del array


def test_communication_items(db: zrdb.Database, dbfile: str, appfile: str) -> None:
    sem, cbuf, msgbuf = db.semaphore("req_sem"), db.cbuf("events"), db.msgbuf("requests")
    sem.post()
    assert (sem.value, sem.wait(timeout=0), sem.wait(timeout=0)) == (1, True, False)
    cbuf.write(b"hello", b"world")
    assert db.stats("events")["level"] == 1
    assert (cbuf.read(), cbuf.read()) == ((b"hello", b"world"), None)
    with pytest.raises(ValueError):
        cbuf.write(bytes(60))
    msgbuf.write(b"ping", arg=3, sender=24)
    message = msgbuf.read()
    assert message is not None and (message.sender, message.arg, message.payload) == (24, 3, b"ping")
    assert msgbuf.read() is None
    db.detach()
    with zrdb.attach(dbfile, links=appfile) as linked:
        linked.remote("udp_cli").write(b"datagram")
        assert linked.remote("udp_srv").read(timeout=5) == b"datagram"
        assert linked.remote("udp_srv").read(timeout=0) is None


def test_call_pattern_between_a_python_server_and_the_c_client(db: zrdb.Database,
                                                               dbfile: str) -> None:
    found = importlib.util.spec_from_file_location("commissioning",
                                                   ROOT / "examples" / "commissioning.py")
    assert found is not None and found.loader is not None
    commissioning = importlib.util.module_from_spec(found)
    found.loader.exec_module(commissioning)
    client = subprocess.Popen([str(EXAMPLES / "client"), dbfile,
                               str(ROOT / "examples" / "plant.app"), "3"],
                              stdout=subprocess.PIPE, text=True)
    served = commissioning.serve_calls(db, 3)
    assert client.wait(timeout=30) == 0
    assert [(m.arg, m.payload.rstrip(b"\0")) for m in served] == [
        (n, f"cmd {n}".encode()) for n in (1, 2, 3)]


def test_a_wait_lets_other_threads_run(db: zrdb.Database) -> None:
    sem = db.semaphore("req_sem")
    r, w = os.pipe()
    poster = threading.Thread(target=lambda: (os.read(r, 1), sem.post()))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)  # threads change only where one lets the GIL go
    try:
        poster.start()  # on to os.read, which lets it go
        ctypes.PyDLL(None).write(w, b"x", 1)  # wakes the poster, keeping the GIL
        # Only the poster posts, and it can only once the wait lets the GIL go.
        assert sem.wait(timeout=5)
    finally:
        sys.setswitchinterval(interval)
        poster.join(timeout=20)
        os.close(r)
        os.close(w)


@pytest.mark.parametrize("call", [
    pytest.param("db.semaphore('req_sem').wait()", id="semaphore wait"),
    pytest.param("db.msgbuf('command').call(b'x', timeout=60)", id="call without a server"),
    pytest.param("db.remote('udp_srv').read(timeout=60)", id="remote read"),
])
def test_ctrl_c_interrupts_a_blocking_call(dbfile: str, appfile: str, call: str) -> None:
    # Interrupted, a call goes on to its time-out, and a detach waits for
    # it: the child leaves without one.
    script = ("import os, zrdb\n"
              f"db = zrdb.attach({dbfile!r}, links={appfile!r})\n"
              "try:\n"
              "    print('ready', flush=True)\n"
              f"    {call}\n"
              "except KeyboardInterrupt:\n"
              "    os._exit(3)\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                             env=os.environ)
    try:
        assert child.stdout is not None
        while "ready" not in child.stdout.readline():  # after the library's log lines
            assert child.poll() is None
        # Into the call: the process sleeps (a bounded wait, not a time).
        for _ in range(10000):
            with open(f"/proc/{child.pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] == "S":
                    break
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=30) == 3
    finally:
        child.kill()
        child.wait()


def get_damaged(db: zrdb.Database, name: str, item: int) -> Any:
    """Reads the item while its record gives a size beyond the data segment."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.shmat.restype = ctypes.c_void_p
    base = libc.shmat(libc.shmget(0x20150427, 0, 0), None, 0)
    assert base not in (None, ctypes.c_void_p(-1).value)
    size = ctypes.c_int32.from_address(base + 48 + 292 * item + 40)
    saved, size.value = size.value, 1 << 30
    try:
        return db.get(name)
    finally:
        size.value = saved
        libc.shmdt(ctypes.c_void_p(base))


@pytest.mark.parametrize("call, error, code", [
    pytest.param(lambda db, f: db.get("nothing"), zrdb.NotFound, -2, id="unknown name"),
    pytest.param(lambda db, f: db.get("label"), zrdb.NotFound, -13, id="unbound item"),
    pytest.param(lambda db, f: db.semaphore("counter"), zrdb.TypeMismatch, -3, id="wrong type"),
    pytest.param(lambda db, f: db.get("speed", 8), zrdb.OutOfRange, -1, id="index"),
    pytest.param(lambda db, f: get_damaged(db, "counter", 10), zrdb.Corrupt, -9,
                 id="damaged record"),
    pytest.param(lambda db, f: db.msgbuf("command").call(b"x", timeout=0), zrdb.Timeout, -12,
                 id="no acknowledgement"),
    pytest.param(lambda db, f: zrdb.attach(f), zrdb.Error, -11, id="second attach"),
    pytest.param(lambda db, f: (db.detach(), db.get("counter")), zrdb.Error, -1,
                 id="after detach"),
])
def test_exceptions(dbfile: str, appfile: str, call: Callable[[zrdb.Database, str], Any],
                    error: type[zrdb.Error], code: int) -> None:
    with zrdb.attach(dbfile, links=appfile) as db, pytest.raises(error) as caught:
        call(db, dbfile)
    assert caught.value.code == code
