"""No credential ever shows up in what a run leaves for people to read.

Every approval handler, the LangGraph middleware, the Temporal configuration's
Quick Connect start-up, connect, doctor and their commands run end to end
against the local Kavri Cloud, on their good and their bad paths, with every
logger at DEBUG (httpx and httpcore included). The log records (message,
arguments, extra fields, formatted traceback), the text and repr of every
exception and of each of its causes and contexts, and what was printed, must
not contain the API keys, the agent's registration token or the Quick Connect
token.
"""

from __future__ import annotations

import asyncio
import base64
import dataclasses
import logging
import os
import traceback
import uuid
from collections.abc import Callable, Iterator
from datetime import timedelta
from typing import Any

import kavri_core
import pytest
from kavri.approval import ApprovalGate, Warrant
from temporalio.testing import ActivityEnvironment

from kavri_cloud import approval, connect, langgraph
from kavri_cloud.local import LocalCloud, make_connect_token
from tests.e2e.approval_helpers import Human, approve_by, deny_with, gate_for
from tests.e2e.fault_helpers import clean_kavri_env  # noqa: F401 (fixture)
from tests.httpserver import HTTPTestServer, gzip_bomb

pytestmark = pytest.mark.e2e

ARGS = {"to": "ops@example.com", "subject": "Q3"}
WRONG_KEY = "tc_runtime_" + "W7rOnGkEy" * 3


@pytest.fixture(scope="module")
def cloud(tmp_path_factory) -> Iterator[LocalCloud]:
    with LocalCloud(tmp_path_factory.mktemp("secret-cloud")) as service:
        yield service


@dataclasses.dataclass
class Run:
    """One scenario's world, and everything it left behind for people to read."""

    cloud: LocalCloud
    caplog: pytest.LogCaptureFixture
    secrets: dict[str, str]
    exceptions: list[BaseException] = dataclasses.field(default_factory=list)
    capfd: Any = None
    checked: bool = False

    def assert_clean(self) -> None:
        """Fail naming every place where a secret shows up."""
        self.checked = True
        out, err = self.capfd.readouterr()
        leaks = find_leaks(self.texts(self.caplog.records, out + err), self.secrets)
        assert not leaks, "\n".join(leaks)

    @property
    def key(self) -> str:
        return self.cloud.runtime_key

    def gate(self, **kw: Any) -> ApprovalGate:
        return gate_for(self.cloud, **kw)

    def request(self, gate: ApprovalGate | None = None) -> Any:
        return (gate or self.gate()).request_for("send_email", ARGS)

    def agent_token(self, *, key: str | None = None, registration_token: str | None = None) -> str:
        """A Quick Connect token binding a fresh pending agent; its secrets are remembered."""
        agent = self.cloud.create_agent(f"agent-{uuid.uuid4().hex[:8]}")
        registration = registration_token or agent["registration_token"]
        token = make_connect_token(self.cloud.url, key or self.key, agent_id=agent["agent_id"],
                                   registration_token=registration)
        self.secrets[f"registration token {agent['agent_id']}"] = agent["registration_token"]
        self.secrets[f"connect token {agent['agent_id']}"] = token
        self.secrets[f"connect token body {agent['agent_id']}"] = token.removeprefix("kavri_ct_")
        return token

    def attempt(self, call: Callable[[], Any]) -> Any:
        """Run `call`; an exception it raises is kept as evidence."""
        try:
            return call()
        except Exception as exc:  # noqa: BLE001 - every failure is evidence
            self.exceptions.append(exc)
            return exc

    def texts(self, records: list[logging.LogRecord], printed: str) -> Iterator[tuple[str, str]]:
        formatter = logging.Formatter("%(name)s %(levelname)s %(message)s")
        for record in records:
            where = f"log record {record.name}:{record.levelname} {record.msg!r}"
            yield where, formatter.format(record)
            yield where, repr(record.__dict__)
        for exc in self.exceptions:
            for link in _chain(exc):
                where = f"exception {type(link).__name__}"
                yield where, str(link)
                yield where, repr(link)
                yield where, "".join(traceback.format_exception(link))
        yield "printed output", printed


def _chain(exc: BaseException) -> Iterator[BaseException]:
    seen: set[int] = set()
    todo = [exc]
    while todo:
        link = todo.pop()
        if link is None or id(link) in seen:
            continue
        seen.add(id(link))
        yield link
        todo += [link.__cause__, link.__context__]


def find_leaks(texts: Iterator[tuple[str, str]], secrets: dict[str, str]) -> list[str]:
    return [
        f"{name} in {where}: {text[:400]!r}"
        for where, text in texts
        for name, secret in secrets.items()
        if secret in text
    ]


def capture_everything(caplog: pytest.LogCaptureFixture) -> list[logging.Logger]:
    """Every logger at DEBUG into caplog, also those that do not propagate; returns those."""
    caplog.set_level(logging.DEBUG)
    isolated = []
    for name, logger in list(logging.root.manager.loggerDict.items()):
        if isinstance(logger, logging.Logger):
            caplog.set_level(logging.DEBUG, logger=name)
            if not logger.propagate:
                logger.addHandler(caplog.handler)
                isolated.append(logger)
    return isolated


@pytest.fixture
def run(cloud, caplog, capfd, clean_kavri_env) -> Iterator[Run]:
    isolated = capture_everything(caplog)
    world = Run(cloud, caplog, {"admin API key": cloud.admin_key, "runtime API key": cloud.runtime_key,
                                "wrong API key": WRONG_KEY})
    world.capfd = capfd
    yield world
    for logger in isolated:
        logger.removeHandler(caplog.handler)
    assert world.checked, "the scenario never checked what it left behind"


# ---------------------------------------------------------------- the approval handlers


def blocking(run: Run, **kw: Any) -> Callable[[Any], Any]:
    options = {"base_url": run.cloud.url, "poll_interval": 0.05, "timeout": 5.0, **kw}
    return approval.cloud_approval(options.pop("key", run.key), **options)


def asynchronous(run: Run, **kw: Any) -> Callable[[Any], Any]:
    options = {"base_url": run.cloud.url, "poll_interval": 0.05, "timeout": 5.0, **kw}
    handler = approval.async_cloud_approval(options.pop("key", run.key), **options)
    return lambda request: asyncio.run(handler(request))


def asynchronous_without_loop(run: Run, **kw: Any) -> Callable[[Any], Any]:
    options = {"base_url": run.cloud.url, "poll_interval": 0.05, "timeout": 5.0, **kw}
    handler = approval.async_cloud_approval(options.pop("key", run.key), **options)

    def call(request: Any) -> Any:
        try:
            handler(request).send(None)
        except StopIteration as stop:
            return stop.value
        raise AssertionError("suspended without a loop")

    return call


def graph(run: Run, **kw: Any) -> Callable[[Any], Any]:
    options = {"base_url": run.cloud.url, "poll_interval": 0.05, "timeout": 5.0, **kw}
    handler = langgraph.langgraph_cloud_approval(options.pop("key", run.key), **options)
    return lambda request: asyncio.run(handler(request))


def temporal(run: Run, *, signing_key: Any, **kw: Any) -> Callable[[Any], Any]:
    options = {"base_url": run.cloud.url, "fast_poll_seconds": 0.05, "fast_poll_attempts": 40, **kw}
    handler = approval.temporal_cloud_approval(options.pop("key", run.key), signing_key, **options)

    def call(request: Any) -> Any:
        env = ActivityEnvironment()
        # The attempt's own timeout outlasts the polls (the test environment's default is 1 s).
        env.info = dataclasses.replace(env.info, workflow_id="wf-secrets", workflow_run_id=uuid.uuid4().hex,
                                       start_to_close_timeout=timedelta(seconds=60))
        return env.run(handler, request)

    return call


HANDLERS = [blocking, asynchronous, asynchronous_without_loop, graph, temporal]


def _make(make: Callable[..., Any], run: Run, gate: ApprovalGate, **kw: Any) -> Callable[[Any], Any]:
    if make is temporal:
        kw["signing_key"] = gate.warrant.holder_key
        if "timeout" in kw:
            kw = {"fast_poll_attempts": 2, **{k: v for k, v in kw.items() if k != "timeout"}}
    return make(run, **kw)


@pytest.mark.parametrize("make", HANDLERS, ids=lambda f: f.__name__)
def test_approved_and_denied_requests(run, make):
    gate = run.gate()
    request = run.request(gate)
    with Human(run.cloud, approve_by("alice")):
        result = _make(make, run, gate)(request)
    assert gate.verify(result, request)
    with Human(run.cloud, deny_with("not today")):
        run.attempt(lambda: _make(make, run, gate)(run.request(gate)))
    assert len(run.exceptions) == 1
    # The transport's own DEBUG records were captured too, and so were checked.
    assert any(r.name.startswith("httpcore") and r.levelno == logging.DEBUG for r in run.caplog.records)
    run.assert_clean()


@pytest.mark.parametrize("make", HANDLERS, ids=lambda f: f.__name__)
def test_timeouts_wrong_keys_and_unreachable_services(run, make, refused_url):
    gate = run.gate()
    run.attempt(lambda: _make(make, run, gate, timeout=0.2)(run.request(gate)))
    run.attempt(lambda: _make(make, run, gate, key=WRONG_KEY)(run.request(gate)))
    run.attempt(lambda: _make(make, run, gate, base_url=refused_url)(run.request(gate)))
    run.cloud.set_faults(malformed_json_rate=1.0, path_prefix="/v1/approvals/requests")
    try:
        run.attempt(lambda: _make(make, run, gate)(run.request(gate)))
    finally:
        run.cloud.clear_faults()
    assert len(run.exceptions) == 4
    run.assert_clean()


HOSTILE_ANSWERS = {
    "never-answers": {"hang": True},
    "gzip-bomb": {"status": 201, "body": gzip_bomb(32 << 20), "headers": {"Content-Encoding": "gzip"}},
    "too-deep": {"status": 201, "body": b"[" * 100_000 + b"]" * 100_000},
    "id-not-text": {"status": 201, "json": {"id": 5, "status": "pending"}},
}


@pytest.mark.parametrize("make", HANDLERS, ids=lambda f: f.__name__)
def test_hostile_answers(run, make, monkeypatch):
    monkeypatch.setattr(approval, "_TEMPORAL_CLIENT_TIMEOUT", 0.5)
    gate = run.gate()
    for script in HOSTILE_ANSWERS.values():
        with HTTPTestServer() as server:
            server.add(**script, repeat=True)
            run.attempt(lambda: _make(make, run, gate, base_url=server.url, timeout=0.5)(run.request(gate)))
            server.release()
    assert len(run.exceptions) == len(HOSTILE_ANSWERS)
    run.assert_clean()


@pytest.mark.parametrize("make", HANDLERS, ids=lambda f: f.__name__)
def test_a_service_that_echoes_the_key_back(run, make, monkeypatch):
    # In an error's message, or in a denial reason that becomes the SDK's denial (a
    # tool message an LLM reads, a Temporal workflow's history).
    monkeypatch.setattr(approval, "_TEMPORAL_CLIENT_TIMEOUT", 0.5)
    gate = run.gate()
    polls = [{"status": 401, "json": {"code": "unauthorized", "message": f"API key {run.key} is revoked"}},
             {"json": {"id": "apr_echo", "status": "denied", "denied_reason": f"{run.key} may not send e-mail"}}]
    for poll in polls:
        with HTTPTestServer() as server:
            server.add(201, json={"id": "apr_echo", "status": "pending"}, method="POST", repeat=True)
            server.add(**poll, method="GET", repeat=True)
            run.attempt(lambda: _make(make, run, gate, base_url=server.url, timeout=0.5)(run.request(gate)))
    assert len(run.exceptions) == len(polls)
    run.assert_clean()


# ---------------------------------------------------------------- LangGraph and Temporal integrations


def test_langgraph_middleware_in_both_modes(run):
    from langchain_core.messages import ToolMessage
    from langgraph.prebuilt.tool_node import ToolCallRequest

    gate = run.gate()
    ran: list[str] = []

    def execute(request: Any) -> ToolMessage:
        ran.append(request.tool_call["id"])
        return ToolMessage(content="sent", tool_call_id=request.tool_call["id"], status="success")

    def call(middleware: Any, call_id: str) -> Any:
        request = ToolCallRequest(tool_call={"name": "send_email", "args": ARGS, "id": call_id}, tool=None,
                                  state={}, runtime=None)
        return asyncio.run(middleware.awrap_tool_call(request, _async(execute)))

    handler = langgraph.langgraph_cloud_approval(run.key, base_url=run.cloud.url, poll_interval=0.05, timeout=5.0)
    with Human(run.cloud, approve_by("alice")):
        enforce = langgraph.KavriMiddleware(approval_handler=handler, gate=gate, dry_run=False)
        assert call(enforce, "call-1").status == "success"
    with Human(run.cloud, deny_with("not today")):
        observe = langgraph.KavriMiddleware(approval_handler=handler, gate=gate, dry_run=True)
        assert call(observe, "call-2").status == "success"  # observe-first: logged, then run
    assert ran == ["call-1", "call-2"]
    run.assert_clean()


def _async(fn: Callable[[Any], Any]) -> Callable[[Any], Any]:
    async def wrapper(request: Any) -> Any:
        return fn(request)

    return wrapper


def test_temporal_configuration_from_a_connect_token(run):
    from kavri_cloud.temporal import KavriPluginConfig

    worker_key = kavri_core.SigningKey.generate()
    os.environ["KAVRI_CONNECT_TOKEN"] = run.agent_token()
    os.environ["KAVRI_SIGNING_KEY"] = worker_key.to_bytes().hex()
    run.secrets["worker signing key"] = os.environ["KAVRI_SIGNING_KEY"]
    gate = ApprovalGate(Warrant(id="wrt_worker", holder_key=worker_key, tools_requiring_approval={"send_email"},
                                approvers=[kavri_core.PublicKey.from_bytes(a.public_key_bytes)
                                           for a in run.cloud.approvers[:1]]))
    config = KavriPluginConfig.from_env(gate=gate, dry_run=False)
    assert config.approval_handler is not None
    request = gate.request_for("send_email", ARGS)
    env = ActivityEnvironment()
    # An attempt long enough for the default fast polls (the test environment's default is 1 s).
    env.info = dataclasses.replace(env.info, start_to_close_timeout=timedelta(seconds=60))
    with Human(run.cloud, approve_by("alice")):
        assert gate.verify(env.run(config.approval_handler, request), request)
    # A token that no longer decodes: the start-up logs the failure and goes on.
    os.environ["KAVRI_CONNECT_TOKEN"] = _broken_token(run, "json")
    KavriPluginConfig.from_env(gate=gate)
    run.assert_clean()


# ---------------------------------------------------------------- connect and doctor


def _broken_token(run: Run, damage: str) -> str:
    """A Quick Connect token carrying the run's key, damaged in one of three ways."""
    document = f'{{"endpoint": "{run.cloud.url}", "api_key": "{run.key}"}}'.encode()
    if damage == "json":
        raw = document[:-1]
    elif damage == "utf8":
        raw = document[:-1] + b"\xff}"
    else:
        raw = document
    body = base64.urlsafe_b64encode(raw).decode().rstrip("=")
    if damage == "base64":
        body = body[: 4 * (len(body) // 4 - 1) + 1]  # one character more than a multiple of four
    token = "kavri_ct_" + body
    run.secrets[f"{damage}-damaged connect token"] = token
    return token


@pytest.mark.parametrize(
    "damage",
    [
        "json",
        "base64",
        "utf8",
    ],
)
def test_a_damaged_connect_token(run, damage):
    token = _broken_token(run, damage)
    run.attempt(lambda: connect.parse_connect_token(token))
    run.attempt(lambda: connect.connect(token))
    report = connect.doctor(token)
    assert report.checks[0].status == "error"
    run.attempt(report.raise_for_error)
    run.assert_clean()


def test_connect_claims_and_reclaims_an_agent(run):
    public_key = kavri_core.SigningKey.generate().public_key.to_bytes().hex()
    token = run.agent_token()
    connect.connect(token, public_key_hex=public_key, verify=True).close()
    connect.connect(token, public_key_hex=public_key, async_client=False).close()  # already claimed
    connect.connect(run.agent_token(), apply_env=False).close()  # no public key: the claim is skipped
    run.attempt(lambda: connect.connect(run.agent_token(registration_token="reg_" + "x" * 32),
                                        public_key_hex=public_key, apply_env=False))
    run.attempt(lambda: connect.connect(run.agent_token(key=WRONG_KEY), public_key_hex=public_key, apply_env=False))
    assert os.environ["KAVRI_API_KEY"] == run.key
    run.assert_clean()


def test_doctor_on_good_and_bad_credentials(run, refused_url):
    public_key = kavri_core.SigningKey.generate().public_key.to_bytes().hex()
    reports = [
        connect.doctor(run.agent_token(), public_key_hex=public_key, claim=True, apply_env=True),
        connect.doctor(api_key=run.cloud.admin_key, base_url=run.cloud.url),
        connect.doctor(api_key=run.key, base_url=run.cloud.url),  # runtime key: forbidden reads
        connect.doctor(api_key=WRONG_KEY, base_url=run.cloud.url),
        connect.doctor(run.agent_token(key=WRONG_KEY), public_key_hex=public_key, claim=True),
        connect.doctor(api_key=run.key, base_url=refused_url),
    ]
    assert [r.ok for r in reports] == [True, True, True, False, False, False]
    for report in reports:
        run.attempt(report.raise_for_error)
        print(report.to_dict())  # what a support script would print
    run.assert_clean()


def test_the_doctor_and_connect_commands(run):
    from kavri_cloud.cli import main

    public = kavri_core.SigningKey.generate().public_key.to_bytes().hex()
    os.environ["KAVRI_AGENT_PUBLIC_KEY"] = public
    assert main(["doctor", "--token", run.agent_token(), "--claim"]) == 0
    assert main(["doctor", "--token", run.agent_token(), "--json"]) == 0
    assert main(["doctor", "--api-key", WRONG_KEY, "--base-url", run.cloud.url]) == 1
    assert main(["connect", "--token", run.agent_token()]) == 0
    assert main(["connect", "--token", run.agent_token(key=WRONG_KEY)]) != 0
    run.assert_clean()


def test_the_check_finds_a_secret_wherever_it_was_planted(cloud, caplog, capfd):
    """The detector itself: a planted key is found in each kind of place it looks."""
    quiet = logging.getLogger("tests.secret_hygiene.quiet")
    quiet.propagate = False
    try:
        isolated = capture_everything(caplog)
        quiet.debug("sending %s", "header", extra={"authorization": f"Bearer {cloud.admin_key}"})
        try:
            try:
                raise ValueError(b"token=" + cloud.admin_key.encode())
            except ValueError as inner:
                raise RuntimeError("request failed") from inner
        except RuntimeError as exc:
            planted = exc
        print(f"key {cloud.runtime_key}")
        out, err = capfd.readouterr()
        world = Run(cloud, caplog, {"admin": cloud.admin_key, "runtime": cloud.runtime_key}, [planted])
        leaks = find_leaks(world.texts(caplog.records, out + err), world.secrets)
    finally:
        for logger in isolated:
            logger.removeHandler(caplog.handler)
        quiet.propagate = True
    places = {leak.split(" in ", 1)[1].split(":", 1)[0] for leak in leaks}
    assert any(p.startswith("log record tests.secret_hygiene.quiet") for p in places), places
    assert "exception ValueError" in places and "printed output" in places


# ---------------------------------------------------------------- every token error, attribute by attribute

TOKEN_KEY = "kc_live_" + "9f3b7c1e5a2d4f60" * 2
_KEYED = '{"endpoint": "https://api.example.test", "api_key": "%s"' % TOKEN_KEY


def _token_of(document: bytes) -> str:
    return "kavri_ct_" + base64.urlsafe_b64encode(document).decode().rstrip("=")


DAMAGED_DOCUMENTS = {
    "json-cut-short": (_KEYED).encode(),
    "json-bad-escape-after-key": _KEYED.replace(TOKEN_KEY, TOKEN_KEY + "\\q").encode() + b"}",
    "json-unterminated-key": b'{"api_key": "' + TOKEN_KEY.encode(),
    "json-control-char-in-key": _KEYED.replace(TOKEN_KEY, TOKEN_KEY + "\x01").encode() + b"}",
    "json-nested-too-deep": _KEYED.encode() + b', "x": ' + b"[" * 100_000 + b"]" * 100_000 + b"}",
    "utf8-in-key": _KEYED.encode().replace(TOKEN_KEY.encode(), TOKEN_KEY.encode() + b"\xff") + b"}",
    "not-an-object": ('["%s"]' % TOKEN_KEY).encode(),
    "wrong-type": ('{"endpoint": 5, "api_key": "%s"}' % TOKEN_KEY).encode(),
    "incomplete": ('{"api_key": "%s"}' % TOKEN_KEY).encode(),
    "userinfo-endpoint": ('{"endpoint": "localhost:8080@attacker.example", "api_key": "%s"}' % TOKEN_KEY).encode(),
}


def _every_view(exc: BaseException) -> Iterator[tuple[str, str]]:
    """Every text a reader of the error chain could see: str, repr, args, each attribute."""
    for link in _chain(exc):
        kind = type(link).__name__
        yield f"{kind} str", str(link)
        yield f"{kind} repr", repr(link)
        yield f"{kind} args", repr(link.args)
        yield f"{kind} traceback", "".join(traceback.format_exception(link))
        for name in dir(link):
            if name.startswith("__") or name == "with_traceback":
                continue
            try:
                value = getattr(link, name)
            except Exception:  # noqa: BLE001 - an attribute that cannot be read shows nothing
                continue
            if callable(value):
                continue
            text = value.decode("latin-1") if isinstance(value, (bytes, bytearray)) else repr(value)
            yield f"{kind}.{name}", text
        try:
            yield f"{kind} reduce", repr(link.__reduce__())
        except Exception:  # noqa: BLE001 - not picklable: nothing more to see
            pass


def _key_fragments(key: str, size: int = 6) -> set[str]:
    return {key[i : i + size] for i in range(len(key) - size + 1)}


@pytest.mark.parametrize("damage", list(DAMAGED_DOCUMENTS))
def test_no_part_of_the_api_key_is_anywhere_in_a_token_error(damage, clean_kavri_env):
    token = _token_of(DAMAGED_DOCUMENTS[damage])
    errors = []
    for call in (connect.parse_connect_token, connect.connect_config_from_token, connect.connect):
        try:
            call(token)
        except Exception as exc:  # noqa: BLE001 - every failure is evidence
            errors.append(exc)
    report = connect.doctor(token)
    try:
        report.raise_for_error()
    except Exception as exc:  # noqa: BLE001
        errors.append(exc)
    assert len(errors) >= 3, errors
    fragments = _key_fragments(TOKEN_KEY)
    leaks = [f"{where}: {text[:200]!r}" for exc in errors for where, text in _every_view(exc)
             if any(fragment in text for fragment in fragments)]
    assert not leaks, "\n".join(leaks)
    assert not any(fragment in repr(report.to_dict()) for fragment in fragments)
