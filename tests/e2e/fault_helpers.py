"""Helpers for the fault, secret and forgery tests: resource accounting and
clients that remember what happened to them.

:class:`Resources` counts what a handler could leave behind (threads, open
sockets of the process, asyncio tasks) and :meth:`Resources.assert_released`
waits briefly for the service side of a closed connection to go away before it
reports a leak.

:func:`track_clients` swaps the client class that a module looks up at call
time for a subclass of the real one that records every instance, the timeout
it was asked for and every error its operations raised, so a test can check
that the handler closed its client and passed the client's error on as it was.
"""

from __future__ import annotations

import asyncio
import inspect
import os
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import pytest

__all__ = ["ClientLog", "Resources", "clean_kavri_env", "open_sockets", "track_clients"]

_TRACKED = (
    "create_request", "get_request", "health", "get_tenant", "list_policies", "_send", "_handle_response",
)


def open_sockets() -> list[str]:
    """The process's open sockets, as their ``socket:[inode]`` link texts."""
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # closed while we looked
            continue
        if target.startswith("socket:"):
            found.append(target)
    return found


def _tasks() -> int:
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return 0
    return len(asyncio.all_tasks())


@dataclass
class Resources:
    """What the process holds at one moment."""

    threads: set[threading.Thread]
    sockets: list[str]
    tasks: int

    @classmethod
    def now(cls) -> Resources:
        return cls(set(threading.enumerate()), open_sockets(), _tasks())

    def assert_released(self, *, settle: float = 3.0) -> None:
        """Fail unless threads, sockets and tasks are back to at most this snapshot.

        The service half of a connection closes a moment after the client half,
        so the counts get ``settle`` seconds to come back down.
        """
        deadline = time.monotonic() + settle
        while True:
            later = Resources.now()
            new_threads = [t for t in later.threads - self.threads if t.is_alive()]
            extra_sockets = len(later.sockets) - len(self.sockets)
            extra_tasks = later.tasks - self.tasks
            if not new_threads and extra_sockets <= 0 and extra_tasks <= 0:
                return
            if time.monotonic() > deadline:
                break
            time.sleep(0.02)
        problems = []
        if new_threads:
            problems.append(f"threads left running: {[t.name for t in new_threads]}")
        if extra_sockets > 0:
            problems.append(f"{extra_sockets} more open socket(s): {sorted(set(later.sockets) - set(self.sockets))}")
        if extra_tasks > 0:
            problems.append(f"{extra_tasks} more asyncio task(s): {asyncio.all_tasks()}")
        pytest.fail("; ".join(problems))


@dataclass
class ClientLog:
    """What the tracked clients went through."""

    clients: list[Any] = field(default_factory=list)
    requested_timeouts: list[Any] = field(default_factory=list)
    calls: list[str] = field(default_factory=list)
    errors: list[tuple[str, BaseException]] = field(default_factory=list)

    def raised(self, *operations: str) -> BaseException:
        """The last error that one of ``operations`` raised."""
        for name, exc in reversed(self.errors):
            if name in operations:
                return exc
        raise AssertionError(f"none of {operations} raised an error")

    def assert_all_closed(self) -> None:
        assert self.clients, "the handler never created a client"
        assert all(client.closed for client in self.clients), "a client was left open"


def _wrap(base: type, name: str, log: ClientLog) -> Any:
    original = getattr(base, name)
    if inspect.iscoroutinefunction(original):

        async def method(self: Any, *args: Any, **kwargs: Any) -> Any:
            log.calls.append(name)
            try:
                return await original(self, *args, **kwargs)
            except BaseException as exc:
                log.errors.append((name, exc))
                raise

    else:

        def method(self: Any, *args: Any, **kwargs: Any) -> Any:
            log.calls.append(name)
            try:
                return original(self, *args, **kwargs)
            except BaseException as exc:
                log.errors.append((name, exc))
                raise

    method.__name__ = name
    return method


def track_clients(
    monkeypatch: pytest.MonkeyPatch, module: Any, name: str, *, timeout: float | None = None
) -> ClientLog:
    """Replace ``module.name`` (a client class) by a recording subclass of it.

    Args:
        monkeypatch: The test's monkeypatch, which undoes the swap.
        module: The module that looks the class up when it builds a client.
        name: ``"KavriCloudClient"`` or ``"AsyncKavriCloudClient"``.
        timeout: When given, every client uses this request timeout instead of
            the one it was built with (the one asked for is still recorded), so
            a test can exceed it without waiting for the real one.
    """
    base = getattr(module, name)
    log = ClientLog()

    def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
        log.requested_timeouts.append(kwargs.get("timeout", "default"))
        if timeout is not None:
            kwargs["timeout"] = timeout
        base.__init__(self, *args, **kwargs)
        log.clients.append(self)

    namespace: dict[str, Any] = {"__init__": __init__}
    for method in _TRACKED:
        if hasattr(base, method):
            namespace[method] = _wrap(base, method, log)
    monkeypatch.setattr(module, name, type(name, (base,), namespace))
    return log


@pytest.fixture
def clean_kavri_env() -> Iterator[None]:
    """No KAVRI_* variable during the test; the previous ones come back afterwards."""
    saved = {key: value for key, value in os.environ.items() if key.startswith("KAVRI_")}
    for key in saved:
        del os.environ[key]
    try:
        yield
    finally:
        for key in [key for key in os.environ if key.startswith("KAVRI_")]:
            del os.environ[key]
        os.environ.update(saved)
