"""A database of every plain shape and the example's communication items,
created for each test and removed after it (the index key is fixed: one at a
time). Run inside private IPC and network namespaces, as ctest's are."""
import os
import pathlib
import subprocess
from collections.abc import Iterator

import pytest

import zrdb

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOLS = pathlib.Path(os.environ.get("ZRDBPY_TOOLS", ROOT / "build" / "tools"))
EXAMPLES = pathlib.Path(os.environ.get("ZRDBPY_EXAMPLES", ROOT / "build" / "examples"))

# Ids 1..24 as in examples/plant.db, so that examples/plant.app and the C
# client that uses it work on this database.
DATABASE = """
[system]
name=pytest
key=0x5A0DE100
size=16384

[database]
id=1, name=speed, type=integer, size=4*8, value=100
id=2, name=label, type=string, size=16*2, value=idle
id=3, name=calib, type=user, size=64, value=0x5a
id=5, name=pair, type=user, size=8*2
id=6, name=small, type=integer, size=1*2
id=7, name=short, type=integer, size=2*2
id=8, name=wide, type=integer, size=8
id=10, name=counter, type=integer, value=0
id=11, name=status, type=string, size=32, value=idle
id=12, name=levels, type=integer, size=4*2, value=0
id=20, name=req_sem, type=semap, value=/pytest_req:0
id=21, name=ack_sem, type=semap, value=/pytest_ack:0
id=22, name=requests, type=msgbuf, size=76*8
id=23, name=events, type=cbuf, size=64*16
id=24, name=command, type=integer, realtime=22*20*21, timeout=2000
id=40, name=udp_srv, type=rmtbuf, value=server:udp://127.0.0.1:47600
id=41, name=udp_cli, type=rmtbuf, value=client:udp://127.0.0.1:47600
"""
LINKS = """
id = 1, name = speed
id = 10, name = counter
id = 20, name = req_sem
id = 21, name = ack_sem
id = 22, name = requests
id = 24, name = command
id = 40, name = udp_srv
id = 41, name = udp_cli
"""


@pytest.fixture
def dbfile(tmp_path: pathlib.Path) -> Iterator[str]:
    path = tmp_path / "pytest.db"
    path.write_text(DATABASE)
    summary = zrdb.create(str(path))
    assert summary["name"] == "pytest" and summary["key"] == 0x5A0DE100
    yield str(path)
    zrdb.remove(str(path), force=True)


@pytest.fixture
def db(dbfile: str) -> Iterator[zrdb.Database]:
    with zrdb.attach(dbfile, app="pytest") as session:
        yield session


@pytest.fixture
def appfile(tmp_path: pathlib.Path) -> str:
    path = tmp_path / "pytest.app"
    path.write_text(LINKS)
    return str(path)


def zrdbctl(*args: str) -> str:
    return subprocess.run([str(TOOLS / "zrdbctl"), *args], check=True, capture_output=True,
                          text=True, timeout=30).stdout
