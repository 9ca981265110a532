"""A real create_agent agent with the cloud middleware, traced: the middleware's span sits in
the caller's context with the SDK's verdict apart from the action taken, and the approval wait
and the tool's own run nest under it. The chat model is scripted, since no model runs here."""

from __future__ import annotations

import asyncio

import pytest

pytest.importorskip("langchain.agents")
pytest.importorskip("opentelemetry.sdk")

from langchain.agents import create_agent  # noqa: E402
from langchain_core.messages import ToolMessage  # noqa: E402
from langchain_core.tools import ToolException, tool  # noqa: E402

from kavri_cloud import langgraph as lg  # noqa: E402
from tests.e2e.approval_helpers import Human, approve_by, deny_with, gate_for  # noqa: E402
from tests.e2e.test_langgraph_e2e import scripted  # noqa: E402
from tests.otel_fixture import otel  # noqa: E402,F401

pytestmark = pytest.mark.e2e


@pytest.fixture(autouse=True)
def environment(monkeypatch):
    for name in ("KAVRI_API_KEY", "KAVRI_APPROVAL_TIMEOUT", "KAVRI_ENFORCEMENT", "KAVRI_DRY_RUN"):
        monkeypatch.delenv(name, raising=False)


def run(mode, cloud, otel, decide, dry_run):
    ran = []

    @tool
    def transfer(amount: int) -> str:
        """Move money."""
        with otel.tracer.start_as_current_span("execute_tool transfer"):
            ran.append(amount)
            return f"moved {amount}"

    handler = lg.langgraph_cloud_approval(cloud.runtime_key, base_url=cloud.url, poll_interval=0.05)
    middleware = lg.KavriMiddleware(handler, warrant=gate_for(cloud, tool="transfer").warrant, dry_run=dry_run)
    agent = create_agent(scripted("call_1"), [transfer], middleware=[middleware])
    start = {"messages": [("user", "pay the invoice")]}
    with otel.tracer.start_as_current_span("invoke_agent") as caller, Human(cloud, decide):
        state = asyncio.run(agent.ainvoke(start)) if mode == "async" else agent.invoke(start)
    (message,) = [m for m in state["messages"] if isinstance(m, ToolMessage)]
    return caller, message, ran


# (human, dry_run): verdict, action, wait outcome, whether the tool ran
CASES = {
    "approved-enforce": (approve_by("alice"), False, "allow", "allow", "approved", True),
    "denied-enforce": (deny_with("over budget"), False, "deny", "deny", "denied", False),
    "denied-observe": (deny_with("over budget"), True, "deny", "allow", "denied", True),
    "approved-observe": (approve_by("alice"), True, "allow", "allow", "approved", True),
}


@pytest.mark.parametrize("mode", ["async", "sync"])
@pytest.mark.parametrize("case", list(CASES))
def test_the_middleware_records_verdict_and_action_apart_around_the_wait_and_the_tool(local_cloud, otel, case, mode):
    decide, dry_run, verdict, action, outcome, tool_ran = CASES[case]
    caller, message, ran = run(mode, local_cloud, otel, decide, dry_run)
    assert bool(ran) == tool_ran and (message.status == "error") != tool_ran

    (guard,) = otel.guards()
    (wait,) = otel.waits()
    caller_id = caller.get_span_context().span_id
    assert guard.name == "kavri.guard transfer"
    assert guard.parent.span_id == caller_id
    assert wait.parent.span_id == guard.context.span_id  # the wait nests in the tool call's span
    assert dict(guard.attributes) == {
        "gen_ai.tool.name": "transfer",
        "gen_ai.tool.call.id": "call_1",
        "kavri.enforcement.mode": "observe" if dry_run else "enforce",
        "kavri.guard.verdict": verdict,
        "kavri.guard.action": action,
        **({"kavri.guard.reason": "Authorization denied for tool 'transfer': over budget"} if verdict == "deny" else {}),
    }
    overrides = [e for e in guard.events if e.name == "kavri.guard.observe_first_override"]
    assert len(overrides) == (1 if (verdict, action) == ("deny", "allow") else 0)
    assert wait.attributes["kavri.approval.outcome"] == outcome
    assert wait.attributes["kavri.enforcement.mode"] == guard.attributes["kavri.enforcement.mode"]
    assert wait.attributes["gen_ai.tool.call.id"] == "call_1"
    tool_spans = otel.spans("execute_tool")
    assert [s.parent.span_id for s in tool_spans] == ([guard.context.span_id] if tool_ran else [])

    metrics = otel.metrics()
    mode_label = guard.attributes["kavri.enforcement.mode"]
    assert metrics["kavri.guard.decisions"] == [(
        {"gen_ai.tool.name": "transfer", "kavri.enforcement.mode": mode_label, "kavri.guard.verdict": verdict,
         "kavri.guard.action": action}, 1)]
    assert metrics["kavri.approval.outcomes"] == [(
        {"gen_ai.tool.name": "transfer", "kavri.approval.outcome": outcome, "kavri.approval.handler": "langgraph",
         "kavri.enforcement.mode": mode_label}, 1)]


def test_without_a_caller_span_the_middleware_span_starts_the_trace_and_leaves_the_context_as_it_was(
    local_cloud, otel
):
    from opentelemetry import trace

    handler = lg.langgraph_cloud_approval(local_cloud.runtime_key, base_url=local_cloud.url, poll_interval=0.05)
    middleware = lg.KavriMiddleware(handler, warrant=gate_for(local_cloud, tool="transfer").warrant, dry_run=False)

    @tool
    def transfer(amount: int) -> str:
        """Move money."""
        return f"moved {amount}"

    agent = create_agent(scripted("call_1"), [transfer], middleware=[middleware])
    with Human(local_cloud, approve_by("alice")):
        asyncio.run(agent.ainvoke({"messages": [("user", "pay")]}))
    (guard,) = otel.guards()
    assert guard.parent is None
    assert not trace.get_current_span().get_span_context().is_valid


@pytest.mark.parametrize("dry_run", [True, False])
def test_a_tools_own_denial_text_is_recorded_as_an_allowed_call(local_cloud, otel, dry_run):
    # The gate passed and the tool ran: its own "Authorization denied" error is no verdict of the gate's.
    ran = []

    @tool
    def transfer(amount: int) -> str:
        """Move money."""
        ran.append(amount)
        raise ToolException("Authorization denied by the bank")

    transfer.handle_tool_error = True
    handler = lg.langgraph_cloud_approval(local_cloud.runtime_key, base_url=local_cloud.url, poll_interval=0.05)
    middleware = lg.KavriMiddleware(handler, warrant=gate_for(local_cloud, tool="transfer").warrant, dry_run=dry_run)
    agent = create_agent(scripted("call_1"), [transfer], middleware=[middleware])
    with Human(local_cloud, approve_by("alice")):
        asyncio.run(agent.ainvoke({"messages": [("user", "pay")]}))
    assert len(ran) == 1
    (guard,) = otel.guards()
    assert (guard.attributes["kavri.guard.verdict"], guard.attributes["kavri.guard.action"]) == ("allow", "allow")
