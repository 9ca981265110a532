"""The native awaitable protocol, observed through `_async_poll_until_resolved`:
what asyncio, `await` and step-by-step drivers rely on."""

from __future__ import annotations

import asyncio
import collections.abc
import gc

import pytest

from kavri_cloud import approval


class Steps:
    """An awaitable whose __await__ yields the given values, then returns `result`;
    it records what is sent and thrown into it and whether it was closed."""

    def __init__(self, log: list, yields: list, result: object) -> None:
        self.log, self.yields, self.result = log, yields, result

    def __await__(self):
        try:
            for value in self.yields:
                sent = yield value
                self.log.append(("sent", sent))
        except BaseException as exc:
            self.log.append(("thrown", type(exc).__name__))
            raise
        return self.result


class Client:
    def __init__(self, records: list, yields: list | None = None) -> None:
        self.records, self.log = records, []
        self.yields = ["tick"] if yields is None else yields

    def get_request(self, request_id: str) -> Steps:
        record = self.records.pop(0)
        if isinstance(record, BaseException):
            raise record
        return Steps(self.log, self.yields, record)


def poll(client: Client, **kwargs):
    kwargs.setdefault("poll_interval", 0.01)
    kwargs.setdefault("timeout", 5.0)
    return approval._async_poll_until_resolved(client, "apr_1", **kwargs)


def test_it_is_recognised_as_a_coroutine_by_asyncio():
    coro = poll(Client([{"status": "approved"}]))
    assert isinstance(coro, collections.abc.Coroutine)
    assert asyncio.iscoroutine(coro)
    assert coro.__name__ == "_async_poll_until_resolved"
    coro.close()


def test_each_step_yields_exactly_what_the_delegate_yielded_and_returns_by_stop_iteration():
    record = {"status": "approved"}
    client = Client([record], yields=["a", "b"])
    coro = poll(client)
    assert coro.send(None) == "a"
    assert next(coro) == "b"  # __next__ behaves as send(None)
    with pytest.raises(StopIteration) as info:
        coro.send("x")
    assert info.value.value is record
    assert client.log == [("sent", None), ("sent", "x")]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_await_iterates_the_object_itself():
    coro = poll(Client([{"status": "approved"}], yields=[]))
    it = coro.__await__()
    with pytest.raises(StopIteration) as info:
        it.send(None)
    assert info.value.value == {"status": "approved"}


def test_throw_is_delivered_at_the_suspension_point():
    client = Client([{"status": "approved"}])
    coro = poll(client)
    assert coro.send(None) == "tick"
    with pytest.raises(asyncio.CancelledError):
        coro.throw(asyncio.CancelledError())
    assert client.log == [("thrown", "CancelledError")]


def test_throw_before_the_start_never_runs_the_body():
    client = Client([{"status": "approved"}])
    coro = poll(client)
    with pytest.raises(ValueError, match="early"):
        coro.throw(ValueError("early"))
    assert client.records  # get_request was never called


def test_close_closes_the_delegate_and_ends_the_coroutine():
    client = Client([{"status": "approved"}])
    coro = poll(client)
    coro.send(None)
    assert coro.close() is None
    assert client.log == [("thrown", "GeneratorExit")]
    with pytest.raises(RuntimeError):
        coro.send(None)


def test_a_non_none_first_send_is_refused():
    coro = poll(Client([{"status": "approved"}]))
    with pytest.raises(TypeError, match="just-started"):
        coro.send(1)
    coro.close()


def test_stop_iteration_escaping_the_body_becomes_runtime_error():
    coro = poll(Client([StopIteration("leaked")]))
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
        coro.send(None)
    assert isinstance(info.value.__cause__, StopIteration)


def test_tasks_drive_it_and_cancellation_reaches_the_sleep():
    class Pending:
        async def get_request(self, request_id):
            return {"status": "pending"}

    async def main():
        task = asyncio.create_task(approval._async_poll_until_resolved(Pending(), "r", poll_interval=10, timeout=60))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task.cancelled()

    assert asyncio.run(main()) is True


def native_coroutines() -> int:
    gc.collect()
    return sum(1 for o in gc.get_objects() if type(o).__name__ == "native_coroutine")


def test_abandoned_and_cancelled_coroutines_are_collected():
    before = native_coroutines()

    class Pending:
        async def get_request(self, request_id):
            return {"status": "pending"}

    async def main():
        tasks = [
            asyncio.create_task(approval._async_poll_until_resolved(Pending(), "r", poll_interval=10, timeout=60))
            for _ in range(100)
        ]
        await asyncio.sleep(0.02)
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    asyncio.run(main())
    for _ in range(100):
        poll(Client([{"status": "approved"}]))  # created and dropped unawaited
    assert native_coroutines() == before
