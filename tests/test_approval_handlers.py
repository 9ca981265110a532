"""The blocking and asyncio cloud approval handlers, with fake clients substituted
through the module's attributes (the real service is exercised in tests/e2e)."""

from __future__ import annotations

import asyncio
import inspect
import logging
import threading

import pytest
from kavri.approval import ApprovalDenied

from kavri_cloud import approval
from kavri_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    ApprovalTimeoutError,
    AuthenticationError,
    KavriCloudError,
)
from tests.approval_fakes import Clock, Request, Script, async_client, fake_builder, signed_approval_bytes, sync_client


@pytest.fixture
def builder_calls(monkeypatch: pytest.MonkeyPatch) -> list:
    calls: list = []
    monkeypatch.setattr(approval, "build_approval_request_payload", fake_builder(calls))
    return calls


@pytest.fixture(autouse=True)
def clock(monkeypatch: pytest.MonkeyPatch) -> Clock:
    return Clock().install(monkeypatch)


def run_handler(mode: str, script: Script, monkeypatch: pytest.MonkeyPatch, request=None, **factory_kwargs):
    request = request if request is not None else Request()
    if mode == "sync":
        monkeypatch.setattr(approval, "KavriCloudClient", sync_client(script))
        return approval.cloud_approval("key_1", **factory_kwargs)(request)
    monkeypatch.setattr(approval, "AsyncKavriCloudClient", async_client(script))
    return asyncio.run(approval.async_cloud_approval("key_1", **factory_kwargs)(request))


MODES = ["sync", "async"]


@pytest.mark.parametrize("mode", MODES)
def test_an_approved_request_returns_the_signed_approval_and_closes_the_client(mode, monkeypatch, builder_calls):
    raw = signed_approval_bytes()
    script = Script(polls=[{"status": "approved", "responses": [{"signed_approval": raw.hex()}]}])
    result = run_handler(mode, script, monkeypatch, signing_key="sk", base_url="http://127.0.0.1:9")
    assert result.to_bytes() == raw
    assert script.closed == 1
    assert builder_calls == [{"signing_key": "sk"}]
    assert script.created == [{"warrant_id": "wrt_1", "tool": "send_email", "threshold": 1}]
    assert [(c.api_key, c.base_url) for c in script.clients] == [("key_1", "http://127.0.0.1:9")]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    ("final", "reason"),
    [
        ({"status": "denied", "denied_reason": "not today"}, "not today"),
        ({"status": "denied", "denied_reason": ""}, "denied in Kavri Cloud"),
        ({"status": "denied"}, "denied in Kavri Cloud"),
        ({"status": "expired"}, "approval request expired"),
        ({"status": "Approved"}, "unexpected status: Approved"),
        ({"status": None}, "unexpected status: None"),
        ({"status": ""}, "unexpected status: "),
    ],
)
def test_every_other_outcome_is_an_sdk_denial(mode, final, reason, monkeypatch, builder_calls):
    script = Script(polls=[final])
    with pytest.raises(ApprovalDenied) as info:
        run_handler(mode, script, monkeypatch)
    assert info.value.reason == reason
    assert info.value.__cause__ is None
    assert script.closed == 1


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("kind", [ApprovalDeniedError, ApprovalExpiredError])
@pytest.mark.parametrize("where", ["create", "poll"])
def test_client_denials_become_sdk_denials_with_the_cause(mode, kind, where, monkeypatch, builder_calls):
    error = kind("request apr_1 was denied by policy")
    script = Script(create=error) if where == "create" else Script(polls=[error])
    with pytest.raises(ApprovalDenied) as info:
        run_handler(mode, script, monkeypatch)
    assert info.value.reason == "request apr_1 was denied by policy"
    assert info.value.__cause__ is error
    assert script.closed == 1


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(("timeout", "text"), [(0.5, "0.5"), (300.0, "300.0"), (2, "2")])
def test_the_poll_deadline_is_a_denial_naming_the_timeout(mode, timeout, text, monkeypatch, builder_calls):
    script = Script(polls=[{"status": "pending"}])
    with pytest.raises(ApprovalDenied) as info:
        run_handler(mode, script, monkeypatch, timeout=timeout, poll_interval=0.1)
    assert info.value.reason == f"timed out after {text}s waiting for cloud approval"
    assert info.value.__cause__ is None
    assert isinstance(info.value.__context__, ApprovalTimeoutError)
    assert script.closed == 1


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    ("script_kwargs", "kind"),
    [
        ({"create": {"request_id": "x"}}, KeyError),
        ({"polls": [{"id": "x"}]}, KeyError),
        ({"create": AuthenticationError("bad key", status_code=401)}, AuthenticationError),
        ({"polls": [KavriCloudError("connection reset")]}, KavriCloudError),
        ({"polls": [{"status": "approved", "responses": []}]}, KavriCloudError),
    ],
    ids=["create-without-id", "record-without-status", "auth", "transport", "no-responses"],
)
def test_other_failures_propagate_after_the_client_is_closed(mode, script_kwargs, kind, monkeypatch, builder_calls):
    script = Script(**script_kwargs)
    with pytest.raises(kind) as info:
        run_handler(mode, script, monkeypatch)
    assert not isinstance(info.value, ApprovalDenied)
    assert script.closed == 1


@pytest.mark.parametrize("mode", MODES)
def test_a_failing_payload_build_creates_no_client(mode, monkeypatch):
    def broken(request, **kwargs):
        raise KavriCloudError("request.holder_key is required for cloud approval")

    monkeypatch.setattr(approval, "build_approval_request_payload", broken)
    script = Script()
    with pytest.raises(KavriCloudError, match="holder_key"):
        run_handler(mode, script, monkeypatch)
    assert script.clients == []


@pytest.mark.parametrize("mode", MODES)
def test_creation_is_logged_and_a_request_without_tool_still_works(mode, monkeypatch, builder_calls, caplog):
    caplog.set_level(logging.INFO, logger="kavri_cloud.approval")
    script = Script(polls=[{"status": "denied"}])
    with pytest.raises(ApprovalDenied):
        run_handler(mode, script, monkeypatch, request=Request(tool=None))
    (record,) = [r for r in caplog.records if r.levelno == logging.INFO]
    if mode == "sync":
        assert record.getMessage() == "approval request created in cloud"
        assert (record.request_id, record.tool) == ("apr_1", "")
    else:
        assert record.msg == "approval request %s created for %s"
        assert record.args == ("apr_1", "")


def test_factories_take_only_the_api_key_by_position():
    for factory in (approval.cloud_approval, approval.async_cloud_approval):
        with pytest.raises(TypeError):
            factory("key", "signing-key")
        with pytest.raises(TypeError):
            factory()
        with pytest.raises(TypeError):
            factory("key", poll=1)
    handler = approval.cloud_approval(api_key="key")
    with pytest.raises(TypeError):
        handler()
    with pytest.raises(TypeError):
        handler(Request(), Request())


def test_the_asyncio_handler_presents_itself_as_a_coroutine_function():
    handler = approval.async_cloud_approval("key")
    assert asyncio.iscoroutinefunction(handler)
    assert asyncio.iscoroutinefunction(handler._core)
    assert inspect.iscoroutinefunction(handler)  # on every Python: frameworks and tracers ask inspect
    assert (handler.__qualname__, handler.__module__) == ("async_cloud_approval.<locals>._handle", "kavri_cloud.approval")
    assert not asyncio.iscoroutinefunction(approval.cloud_approval("key"))
    awaitable = handler(Request())
    assert inspect.isawaitable(awaitable)
    awaitable.close()  # never started: nothing ran, no request was made


def test_without_a_running_loop_the_asyncio_handler_runs_on_one_worker_thread(monkeypatch, builder_calls):
    threads: list[str] = []
    script = Script(polls=[{"status": "denied", "denied_reason": "no"}])

    class ThreadNoting(async_client(script)):
        def __init__(self, *a, **kw):
            threads.append(threading.current_thread().name)
            super().__init__(*a, **kw)

    monkeypatch.setattr(approval, "AsyncKavriCloudClient", ThreadNoting)
    awaitable = approval.async_cloud_approval("key")(Request())
    with pytest.raises(ApprovalDenied, match="no"):
        awaitable.send(None)  # driven step by step from plain synchronous code
    assert len(threads) == 1 and threads[0] != threading.current_thread().name
    assert script.closed == 1


def test_a_runtime_error_inside_core_on_a_running_loop_is_not_retried_on_a_thread(monkeypatch):
    # Running `_core` a second time would create a second approval request for the
    # human and block the loop: the error propagates instead.
    calls: list = []

    def broken(request, **kwargs):
        calls.append(request)
        raise RuntimeError("payload bug")

    monkeypatch.setattr(approval, "build_approval_request_payload", broken)
    with pytest.raises(RuntimeError, match="payload bug"):
        asyncio.run(approval.async_cloud_approval("key")(Request()))
    assert len(calls) == 1


def test_cancellation_ends_the_wait_and_still_closes_the_client(monkeypatch, builder_calls):
    script = Script(polls=[{"status": "pending"}])
    monkeypatch.undo()  # the real clock and asyncio.sleep: the task must really wait
    monkeypatch.setattr(approval, "AsyncKavriCloudClient", async_client(script))
    monkeypatch.setattr(approval, "build_approval_request_payload", fake_builder([]))

    async def main():
        task = asyncio.create_task(approval.async_cloud_approval("key", poll_interval=0.05)(Request()))
        await asyncio.sleep(0.12)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert script.closed == 1
    assert len(script.polled) >= 2


def test_concurrent_invocations_each_get_their_own_client(monkeypatch, builder_calls):
    script = Script(polls=[{"status": "denied", "denied_reason": "x"}])
    monkeypatch.setattr(approval, "AsyncKavriCloudClient", async_client(script))
    handler = approval.async_cloud_approval("key")

    async def main():
        return await asyncio.gather(*(handler(Request()) for _ in range(50)), return_exceptions=True)

    results = asyncio.run(main())
    assert all(isinstance(r, ApprovalDenied) for r in results)
    assert len(script.clients) == 50 and script.closed == 50


FIRST_USE_FROM_MANY_THREADS = r"""
import socket, threading
import kavri_core
from kavri.approval import ApprovalGate, Warrant
from kavri_cloud import approval

probe = socket.socket(); probe.bind(("127.0.0.1", 0)); port = probe.getsockname()[1]; probe.close()
holder, approver = kavri_core.SigningKey.generate(), kavri_core.SigningKey.generate()
gate = ApprovalGate(Warrant(id="w", holder_key=holder, tools_requiring_approval={"t"}, approvers=[approver.public_key]))
handler = approval.cloud_approval("k", base_url=f"http://127.0.0.1:{port}", poll_interval=0.01, timeout=1.0)
barrier, ended = threading.Barrier(40), []

def one(i):
    barrier.wait()
    try:
        handler(gate.request_for("t", {"i": i}))
    except Exception as exc:
        ended.append(type(exc).__name__)

threads = [threading.Thread(target=one, args=(i,)) for i in range(40)]
for t in threads: t.start()
for t in threads: t.join()
print(len(ended), sorted(set(ended)))
"""


def test_a_handler_first_used_from_many_threads_at_once_does_not_deadlock():
    # One-time values of the wait path are made on first use; an import among them releases
    # the GIL, and a one-time initialiser that held a C++ guard across it left every other
    # thread waiting for that guard with the GIL held. A fresh interpreter, so this really is
    # the first use.
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", FIRST_USE_FROM_MANY_THREADS], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout.strip() == "40 ['TransportError']", done.stderr


FIRST_WAIT_IMPORTS = """
import asyncio, socket, sys
import kavri_core
from kavri.approval import ApprovalGate, Warrant
from kavri_cloud import approval, langgraph

probe = socket.socket(); probe.bind(("127.0.0.1", 0)); port = probe.getsockname()[1]; probe.close()
holder = kavri_core.SigningKey.generate()
gate = ApprovalGate(Warrant(id="w", holder_key=holder, tools_requiring_approval={"t"}))
options = dict(base_url=f"http://127.0.0.1:{port}", poll_interval=0.01, timeout=1.0)
handlers = [approval.async_cloud_approval("k", **options), langgraph.langgraph_cloud_approval("k", **options)]
before = set(sys.modules)

async def main():
    for handler in handlers:
        try:
            await handler(gate.request_for("t", {}))
        except Exception as exc:
            print(type(exc).__name__)

asyncio.run(main())
print(sorted(m for m in set(sys.modules) - before if m.split(".")[0] in ("kavri_cloud", "opentelemetry")))
"""


def test_building_a_handler_loads_the_tracing_layer_so_the_first_wait_imports_none_of_it():
    # An import inside the first wait runs on the caller's event loop and stalls every other
    # task on it for milliseconds; the factories load it when the application builds them.
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", FIRST_WAIT_IMPORTS], capture_output=True, text=True, timeout=60)
    assert done.stdout.split() == ["TransportError", "TransportError", "[]"], done.stderr
