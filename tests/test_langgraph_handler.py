"""The LangGraph cloud approval handler, with a fake asynchronous client and payload
builder substituted through the module's attributes, and the loop's clock made exact.
The real client, service and frameworks run in tests/e2e/test_langgraph_e2e.py."""

from __future__ import annotations

import asyncio
import inspect
import logging
import os

import pytest
from kavri.approval import ApprovalDenied

from kavri_cloud import hosted
from kavri_cloud import langgraph as lg
from kavri_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    ApprovalTimeoutError,
    AuthenticationError,
    ConflictError,
    KavriCloudError,
)
from tests.approval_fakes import Clock, Request, Script, async_client, fake_builder, signed_approval_bytes

TIMEOUT_TAIL = "s waiting for cloud approval. Increase via langgraph_cloud_approval(timeout=...) or KAVRI_APPROVAL_TIMEOUT env var."


@pytest.fixture(autouse=True)
def environment(monkeypatch):
    for name in ("KAVRI_APPROVAL_TIMEOUT", "KAVRI_DASHBOARD_URL", "KAVRI_API_KEY"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def builder_calls(monkeypatch) -> list:
    calls: list = []
    monkeypatch.setattr(lg, "build_approval_request_payload", fake_builder(calls))
    return calls


@pytest.fixture
def clock(monkeypatch) -> Clock:
    clock = Clock()
    monkeypatch.setattr(asyncio, "sleep", clock.async_sleep)
    return clock


def pauses(clock: Clock) -> list:
    return [s for s in clock.sleeps if s]  # the fake client yields with sleep(0)


def run(handler, request, clock: Clock):
    async def main():
        loop = asyncio.get_running_loop()
        loop.time = clock.monotonic  # the deadline's clock
        try:
            return await handler(request)
        finally:
            del loop.time

    return asyncio.run(main())


def handle(script: Script, monkeypatch, clock: Clock, request=None, **factory_kwargs):
    monkeypatch.setattr(lg, "AsyncKavriCloudClient", async_client(script))
    handler = lg.langgraph_cloud_approval("key_1", **factory_kwargs)
    return run(handler, request if request is not None else Request(), clock)


def approved(**extra):
    return {"status": "approved", "responses": [{"signed_approval": signed_approval_bytes().hex()}], **extra}


@pytest.mark.parametrize("status", ["approved", "APPROVED", "Approved"])
def test_approval_in_any_letter_case_returns_the_signed_approval(status, monkeypatch, clock, builder_calls, caplog):
    script = Script(polls=[{"status": "pending"}, approved(status=status)])
    caplog.set_level(logging.INFO, logger="kavri_cloud.langgraph")
    result = handle(script, monkeypatch, clock, request=Request(tool="transfer", request_id="call_9"), base_url="http://b")
    assert type(result).__name__ == "SignedApproval"
    assert script.closed == 1 and script.polled == ["apr_1", "apr_1"]
    assert pauses(clock) == [3.0]
    assert [(c.api_key, c.base_url) for c in script.clients] == [("key_1", "http://b")]
    [call] = builder_calls
    assert call["signing_key"] is None and call["idempotency_key"].startswith("call_9:")
    assert [(r.name, r.levelno, r.msg, r.args) for r in caplog.records if r.name == "kavri_cloud.langgraph"] == [
        ("kavri_cloud.langgraph", logging.INFO, "approval gate for '%s' - request %s - %s",
         ("transfer", "apr_1", hosted.DEFAULT_DASHBOARD_URL + "/approvals?request=apr_1")),
        ("kavri_cloud.langgraph", logging.INFO, "approval granted for '%s' (request %s)", ("transfer", "apr_1")),
    ]


@pytest.mark.parametrize(
    "final, reason",
    [
        ({"status": "denied", "denied_reason": "not today"}, "not today"),
        ({"status": "denied", "denied_reason": ""}, "denied"),
        ({"status": "Rejected"}, "rejected"),
        ({"status": "REJECTED", "denied_reason": None}, "rejected"),
        ({"status": "expired", "denied_reason": "ignored"}, "approval request expired"),
    ],
)
def test_resolved_refusals_are_sdk_denials(final, reason, monkeypatch, clock, builder_calls):
    script = Script(polls=[final])
    with pytest.raises(ApprovalDenied) as info:
        handle(script, monkeypatch, clock)
    assert info.value.reason == reason
    assert info.value.__cause__ is None
    assert script.closed == 1


@pytest.mark.parametrize(
    "poll",
    [{"status": " approved"}, {"id": "apr_1"}, {"status": None}, {"status": "pending"}],
    ids=["blank-padded", "no-status", "none", "pending"],
)
def test_unrecognised_statuses_keep_polling_until_the_deadline(poll, monkeypatch, clock, builder_calls):
    script = Script(polls=[poll])
    with pytest.raises(ApprovalDenied) as info:
        handle(script, monkeypatch, clock, timeout=7.2)
    assert info.value.reason == "timed out after 7.2" + TIMEOUT_TAIL
    # 3 s pauses, the last one cut to what is left, then one more poll at the deadline.
    assert pauses(clock) == pytest.approx([3.0, 3.0, 1.2])
    assert len(script.polled) == 4
    assert script.closed == 1


@pytest.mark.parametrize(
    "timeout, env, shown",
    [
        (0, None, "0.0"),
        (None, "0", "0.0"),
        (2, "5", "2.0"),
        (None, " 2.5\n", "2.5"),
        (None, "1e16", "1e+16"),
        (0.1, None, "0.1"),
        (None, None, "900.0"),
    ],
)
def test_the_timeout_comes_from_the_argument_then_the_environment(timeout, env, shown, monkeypatch, clock, builder_calls):
    if env is not None:
        monkeypatch.setenv("KAVRI_APPROVAL_TIMEOUT", env)
    script = Script(polls=[{"status": "pending"}])
    with pytest.raises(ApprovalDenied) as info:
        handle(script, monkeypatch, clock, timeout=timeout, poll_interval=float("inf"))
    assert info.value.reason == f"timed out after {shown}" + TIMEOUT_TAIL
    assert sum(pauses(clock)) == pytest.approx(float(shown))


def test_a_zero_timeout_still_creates_and_polls_once(monkeypatch, clock, builder_calls):
    script = Script(polls=[approved()])
    assert handle(script, monkeypatch, clock, timeout=0) is not None
    assert (len(script.created), len(script.polled), pauses(clock)) == (1, 1, [])


@pytest.mark.parametrize(
    "env, kwargs, error",
    [
        ("", {}, ValueError),
        ("soon", {}, ValueError),
        (None, {"timeout": "30"}, TypeError),
        (None, {"timeout": object()}, TypeError),
    ],
)
def test_a_bad_timeout_fails_the_factory(env, kwargs, error, monkeypatch):
    if env is not None:
        monkeypatch.setenv("KAVRI_APPROVAL_TIMEOUT", env)
    with pytest.raises(error):
        lg.langgraph_cloud_approval("key_1", **kwargs)


@pytest.mark.parametrize(
    "args, kwargs",
    [(("k", "sk"), {}), ((), {}), ((), {"signing_key": "sk"}), (("k",), {"api_key": "k"}), (("k",), {"retries": 1})],
)
def test_the_factory_takes_only_the_api_key_by_position(args, kwargs):
    with pytest.raises(TypeError):
        lg.langgraph_cloud_approval(*args, **kwargs)


@pytest.mark.parametrize(
    "argument, env, link",
    [
        ("https://dash.example///", "http://env.example", "https://dash.example/approvals?request=apr_1"),
        ("", "http://env.example/", "http://env.example/approvals?request=apr_1"),
        ("", "", hosted.DEFAULT_DASHBOARD_URL + "/approvals?request=apr_1"),
        ("", None, hosted.DEFAULT_DASHBOARD_URL + "/approvals?request=apr_1"),
    ],
)
def test_the_dashboard_link_uses_the_first_non_empty_base(argument, env, link, monkeypatch, clock, builder_calls, caplog):
    if env is not None:
        monkeypatch.setenv("KAVRI_DASHBOARD_URL", env)
    caplog.set_level(logging.INFO, logger="kavri_cloud.langgraph")
    handle(Script(polls=[approved()]), monkeypatch, clock, dashboard_url=argument)
    assert caplog.records[0].args[2] == link



class EnvironSubclass(dict):
    """A stand-in os.environ that is not the os module's own mapping."""


@pytest.mark.parametrize(
    "set_env, link",
    [
        (lambda mp: mp.setenv("KAVRI_DASHBOARD_URL", "https://dåsh.example/"), "https://dåsh.example"),
        # Undecodable bytes read back as os.environ shows them: surrogate escapes.
        (lambda mp: mp.setitem(os.environb, b"KAVRI_DASHBOARD_URL", b"http://d\xff.example"), "http://d\udcff.example"),
        (lambda mp: mp.setattr(os, "environ", EnvironSubclass(KAVRI_DASHBOARD_URL="http://swapped.example")),
         "http://swapped.example"),
    ],
    ids=["non-ascii", "undecodable-bytes", "replaced-os-environ"],
)
def test_the_environment_reads_as_os_environ_shows_it(set_env, link, monkeypatch, clock, builder_calls, caplog):
    set_env(monkeypatch)
    caplog.set_level(logging.INFO, logger="kavri_cloud.langgraph")
    handle(Script(polls=[approved()]), monkeypatch, clock)
    assert caplog.records[0].args[2] == link + "/approvals?request=apr_1"

class RaisingId:
    @property
    def request_id(self):
        raise ValueError("broken property")


@pytest.mark.parametrize(
    "request_, key",
    [
        (Request(request_id=b"\x01\xab"), "01ab"),
        (Request(request_id=bytearray(b"\xff\x00")), "ff00"),
        (Request(request_id=b""), ""),
        (Request(request_id=""), ""),
        (Request(request_id="call_1"), "call_1"),
        (Request(request_id=7), "7"),
        (Request(request_id=None), None),
        (Request(), None),
    ],
)
def test_idempotency_keys_from_bytes_text_and_integers(request_, key):
    assert lg._get_idempotency_key(request_) == key


def test_only_a_missing_request_id_is_absorbed():
    with pytest.raises(ValueError, match="broken property"):
        lg._get_idempotency_key(RaisingId())


@pytest.mark.parametrize("kind", [ApprovalDeniedError, ApprovalExpiredError])
@pytest.mark.parametrize("where", ["create", "poll"])
def test_client_denials_become_sdk_denials_with_the_cause(kind, where, monkeypatch, clock, builder_calls):
    error = kind("request apr_1 expired in the service")
    script = Script(create=error) if where == "create" else Script(polls=[error])
    with pytest.raises(ApprovalDenied) as info:
        handle(script, monkeypatch, clock)
    assert info.value.reason == "request apr_1 expired in the service"
    assert info.value.__cause__ is error
    assert script.closed == 1


def test_a_client_timeout_is_the_timeout_denial_without_a_cause(monkeypatch, clock, builder_calls):
    script = Script(polls=[ApprovalTimeoutError("apr_1", 5.0)])
    with pytest.raises(ApprovalDenied) as info:
        handle(script, monkeypatch, clock, timeout=12.5)
    assert info.value.reason == "timed out after 12.5" + TIMEOUT_TAIL
    assert info.value.__cause__ is None
    assert isinstance(info.value.__context__, ApprovalTimeoutError)


@pytest.mark.parametrize(
    "script_kwargs, kind",
    [
        ({"create": {"request_id": "x"}}, KeyError),
        ({"create": AuthenticationError("bad key", status_code=401)}, AuthenticationError),
        ({"polls": [KavriCloudError("connection reset")]}, KavriCloudError),
        ({"polls": [{"status": "approved", "responses": []}]}, KavriCloudError),
    ],
    ids=["create-without-id", "auth", "transport", "no-responses"],
)
def test_other_failures_propagate_after_the_client_is_closed(script_kwargs, kind, monkeypatch, clock, builder_calls):
    script = Script(**script_kwargs)
    with pytest.raises(kind) as info:
        handle(script, monkeypatch, clock)
    assert not isinstance(info.value, ApprovalDenied)
    assert script.closed == 1


def test_a_payload_without_a_mapping_fails_like_double_star(monkeypatch, clock):
    class NoFields:
        def to_create_request_kwargs(self):
            return None

    monkeypatch.setattr(lg, "build_approval_request_payload", lambda request, **kw: NoFields())
    script = Script()
    with pytest.raises(TypeError, match=r"^argument after \*\* must be a mapping, not NoneType$"):
        handle(script, monkeypatch, clock)
    assert (script.created, script.closed) == ([], 1)


def test_a_failing_payload_build_creates_no_client(monkeypatch, clock):
    def broken(request, **kwargs):
        raise KavriCloudError("request.holder_key is required for cloud approval")

    monkeypatch.setattr(lg, "build_approval_request_payload", broken)
    script = Script()
    with pytest.raises(KavriCloudError, match="holder_key"):
        handle(script, monkeypatch, clock)
    assert script.clients == []


def test_a_failing_close_replaces_the_error(monkeypatch, clock, builder_calls):
    client_cls = async_client(Script(polls=[{"status": "denied"}]))

    class BrokenClose(client_cls):
        async def close(self):
            raise KavriCloudError("close failed")

    monkeypatch.setattr(lg, "AsyncKavriCloudClient", BrokenClose)
    with pytest.raises(KavriCloudError, match="close failed"):
        run(lg.langgraph_cloud_approval("k"), Request(), clock)


def test_cancellation_during_the_wait_still_closes_the_client(monkeypatch, builder_calls):
    script = Script(polls=[{"status": "pending"}])
    monkeypatch.setattr(lg, "AsyncKavriCloudClient", async_client(script))
    handler = lg.langgraph_cloud_approval("k", poll_interval=30.0)

    async def main():
        task = asyncio.create_task(handler(Request()))
        while not script.polled:
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert script.closed == 1


def test_the_handler_is_a_coroutine_function_whose_work_starts_when_awaited(monkeypatch, builder_calls):
    handler = lg.langgraph_cloud_approval("k")
    assert asyncio.iscoroutinefunction(handler)
    assert inspect.iscoroutinefunction(handler)  # every Python: frameworks ask inspect
    assert (handler.__name__, handler.__module__) == ("_handle", "kavri_cloud.langgraph")
    assert list(inspect.signature(handler).parameters) == ["request"]
    awaitable = handler(request=Request())
    assert builder_calls == []
    assert asyncio.iscoroutine(awaitable)
    awaitable.close()
    with pytest.raises(TypeError):
        handler(Request(), Request())


def test_concurrent_invocations_use_their_own_clients(monkeypatch, builder_calls):
    script = Script(create={"id": "apr_1"}, polls=[{"status": "pending"}, approved()])
    monkeypatch.setattr(lg, "AsyncKavriCloudClient", async_client(script))
    handler = lg.langgraph_cloud_approval("k", poll_interval=0.001)

    async def main():
        return await asyncio.gather(*(handler(Request(request_id=f"call_{i}")) for i in range(3)))

    assert len(asyncio.run(main())) == 3
    assert (len(script.clients), script.closed) == (3, 3)
    assert sorted(c["idempotency_key"].rpartition(":")[0] for c in builder_calls) == ["call_0", "call_1", "call_2"]


# -- the idempotency key the handler sends ----------------------------------------------


class Stop(Exception):
    """Raised by the payload builder once it has seen the key: no client is needed."""


def key_sent(monkeypatch, request, configurable=None):
    """The idempotency key the handler hands the payload builder, inside a LangGraph run
    whose configurable is `configurable` (outside any run when None)."""
    from langchain_core.runnables.config import var_child_runnable_config

    sent = []

    def builder(request, **kwargs):
        sent.append(kwargs["idempotency_key"])
        raise Stop

    monkeypatch.setattr(lg, "build_approval_request_payload", builder)
    handler = lg.langgraph_cloud_approval("k")

    async def main():
        if configurable is not None:
            var_child_runnable_config.set({"configurable": configurable})
        with pytest.raises(Stop):
            await handler(request)

    asyncio.run(main())
    return sent[0]


THREAD_A = {"thread_id": "A", "checkpoint_ns": "tools:task-1"}


@pytest.mark.parametrize(
    "other_request, other_run, same",
    [
        (Request(request_id="call_1", request_hash=b"\x01" * 32), THREAD_A, True),  # the run resumed
        (Request(request_id="call_1", request_hash=b"\x01" * 32), {**THREAD_A, "thread_id": "B"}, False),
        (Request(request_id="call_1", request_hash=b"\x01" * 32), {**THREAD_A, "checkpoint_ns": "tools:task-2"}, False),
        (Request(request_id="call_1", request_hash=b"\x02" * 32), THREAD_A, False),  # other arguments
        (Request(request_id="call_1", request_hash=b"\x01" * 32), None, False),  # outside LangGraph
        (Request(request_id="call_2", request_hash=b"\x01" * 32), THREAD_A, False),
    ],
    ids=["resumed", "other-thread", "other-run", "other-call", "no-run", "other-id"],
)
def test_the_sent_key_is_the_requests_own_scoped_to_its_run_and_call(other_request, other_run, same, monkeypatch):
    first = key_sent(monkeypatch, Request(request_id="call_1", request_hash=b"\x01" * 32), THREAD_A)
    second = key_sent(monkeypatch, other_request, other_run)
    assert first.startswith("call_1:") and second.startswith(other_request.request_id + ":")
    assert (first == second) is same


@pytest.mark.parametrize("request_", [Request(), Request(request_id=None, request_hash=b"\x01")])
def test_a_request_without_an_id_sends_no_key(request_, monkeypatch):
    assert key_sent(monkeypatch, request_, THREAD_A) is None


def attested_request(request_id="call_1"):
    from kavri.approval import ApprovalGate, Warrant
    from kavri_core import SigningKey

    gate = ApprovalGate(Warrant(id="w-1", holder_key=SigningKey.generate(), tools_requiring_approval={"transfer"}))
    return gate.request_for("transfer", {"amount": 1}, request_id=request_id)


@pytest.mark.parametrize(
    "code, denied",
    [("idempotency_key_reused", True), ("agent_already_claimed", False), (None, False)],
)
def test_a_key_reused_for_another_request_is_a_denial_that_says_so(code, denied, http_server):
    """The service answers 409 idempotency_key_reused when the key names a different stored
    request; other conflicts are not ours to reinterpret."""
    error = {"message": "idempotency key was already used for a different approval request"}
    if code is not None:
        error["code"] = code
    http_server.add(409, json={"error": error}, method="POST", path="/v1/approvals/requests")
    handler = lg.langgraph_cloud_approval("k", base_url=http_server.url, timeout=1.0)
    request = attested_request()
    with pytest.raises(ApprovalDenied if denied else ConflictError) as info:
        asyncio.run(handler(request))
    sent_key = http_server.requests[0].json()["idempotency_key"]
    assert sent_key.startswith("call_1:")
    if denied:
        assert info.value.reason == f"idempotency key '{sent_key}' was already used for a different approval request"
        assert info.value.request is request
        assert isinstance(info.value.__cause__, ConflictError) and info.value.__cause__.code == code
    else:
        assert info.value.code == code
    assert len(http_server.requests) == 1  # nothing polled after the refusal
