"""VLINK from Python: sets and gets of a second system's items through a
zrdb-vlinkd with keys on each system. System B has IPC and mount namespaces of
its own, as the VLINK queue's key is fixed, which takes root."""
import os
import pathlib
import struct
import subprocess
import time
from collections.abc import Iterator

import pytest

import zrdb
from conftest import TOOLS

SYSTEMS = {
    "a": "id=0, name=vlink, type=vlinkmst, value=1:127.0.0.1:47681\n",
    "b": "id=1, name=vlink, type=vlinkmst, value=1:127.0.0.1:47682\n"
         "id=2, name=box, type=integer, size=4*4, value=7\n"
         "id=3, name=locked, type=integer, value=5\n",
}
VLINKD = str(TOOLS / "zrdb-vlinkd")


def daemon(tmp: pathlib.Path, own: str, peer: str) -> list[str]:
    ports = {"a": 47681, "b": 47682}
    return [VLINKD, "--foreground", "--key", str(tmp / f"{own}.key"),
            "--listen", f"127.0.0.1:{ports[own]}",
            "--link", f"0=127.0.0.1:{ports[peer]}", str(tmp / f"{peer}.pub")]


@pytest.fixture
def linked(tmp_path: pathlib.Path) -> Iterator[zrdb.Database]:
    if os.geteuid() != 0:
        pytest.skip("system B needs IPC and mount namespaces of its own (root)")
    for name, items in SYSTEMS.items():
        key = 0x5A0DE700 if name == "a" else 0x5A0DE800
        (tmp_path / f"{name}.db").write_text(
            f"[system]\nname=py{name}\nkey={key:#x}\nsize=4096\n[database]\n{items}")
        subprocess.run([VLINKD, "keygen", str(tmp_path / name)], check=True,
                       capture_output=True)
    # B's namespaces end with its daemon, which --kill-child takes down with
    # unshare: its segments and queue go with the IPC namespace. The daemons'
    # messages stay in pytest's capture, shown when the test fails.
    b = a = None
    created = False
    try:
        b = subprocess.Popen(
            ["unshare", "--ipc", "--mount", "--fork", "--kill-child", "sh", "-c",
             'mount -t tmpfs none /dev/shm && "$0" create "$1" >/dev/null && shift && exec "$@"',
             str(TOOLS / "zrdbctl"), str(tmp_path / "b.db"),
             *daemon(tmp_path, "b", "a"), "--allow-set", "0", "box", str(tmp_path / "b.db")])
        zrdb.create(str(tmp_path / "a.db"))
        created = True
        a = subprocess.Popen([*daemon(tmp_path, "a", "b"), str(tmp_path / "a.db")])
        with zrdb.attach(str(tmp_path / "a.db"), app="pyvlink") as db:
            # A dialler that came before B's listener waits out its back-off
            # (at most 5 s).
            deadline = time.monotonic() + 15
            while db.link_state(0) != 1 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert db.link_state(0) == 1
            yield db
    finally:
        if a is not None:
            a.terminate()  # a stopping daemon removes its peers file
            a.wait(timeout=10)
        if created:
            zrdb.remove(str(tmp_path / "a.db"), force=True)
        if b is not None:
            b.kill()  # unshare ignores SIGTERM; its death kills the daemon
            b.wait(timeout=10)


def test_sets_and_gets_reach_the_peers_elements_and_only_allowed_items(
        linked: zrdb.Database) -> None:
    db = linked
    assert db.vlink_get(0, 2, 0, 4) == struct.pack("=i", 7)
    db.vlink_set(0, 2, 3, struct.pack("=i", -42))
    assert db.vlink_get(0, 2, 3, 4) == struct.pack("=i", -42)
    assert db.vlink_get(0, 2, 2, 4) == struct.pack("=i", 7)
    # Not on B's allow-set list: refused there, and nothing is written.
    with pytest.raises(zrdb.Error, match="VLINK set of item 3 on link 0"):
        db.vlink_set(0, 3, 0, struct.pack("=i", 9))
    assert db.vlink_get(0, 3, 0, 4) == struct.pack("=i", 5)
    with pytest.raises(ValueError):
        db.vlink_get(0, 2, 0, 100000)
    with pytest.raises(ValueError):
        db.vlink_set(0, 2, 0, bytes(100000))
