"""The cloud LangGraph integration end to end: a real create_agent (and a StateGraph
with the tool node) on the SDK's real gate, the native cloud handler, the real client
and the local Kavri Cloud, where a stand-in human approves or denies over HTTP.

The chat model is the one fake: a scripted LangChain model, since no model runs here."""

from __future__ import annotations

import asyncio
import inspect
import logging
import sys

import pytest

pytest.importorskip("langchain.agents")

from langchain.agents import create_agent
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, ToolMessage
from langchain_core.tools import tool
from langgraph.graph import END, START, MessagesState, StateGraph
from pydantic import Field

from kavri_cloud import langgraph as lg
from kavri_cloud.client import KavriCloudClient
from tests.e2e.approval_helpers import Human, approve_by, deny_with, full_records, gate_for

pytestmark = pytest.mark.e2e

DASHBOARD = "http://dashboard.test"
OBSERVE_ALLOWING = "kavri_cloud.langgraph: observe-first allowing 'transfer' after denial"


class ScriptedChatModel(GenericFakeChatModel):
    """Answers with the scripted turns in order and records every prompt it was given."""

    seen: list = Field(default_factory=list)

    def bind_tools(self, tools, **kwargs):
        return self

    def _generate(self, messages, stop=None, run_manager=None, **kwargs):
        self.seen.append(list(messages))
        return super()._generate(messages, stop=stop, run_manager=run_manager, **kwargs)


def scripted(*call_ids):
    calls = [{"name": "transfer", "args": {"amount": 10 + i}, "id": cid} for i, cid in enumerate(call_ids)]
    return ScriptedChatModel(messages=iter([AIMessage(content="", tool_calls=calls), AIMessage(content="done")]))


@pytest.fixture(autouse=True)
def environment(monkeypatch, caplog):
    for name in ("KAVRI_API_KEY", "KAVRI_APPROVAL_TIMEOUT", "KAVRI_ENFORCEMENT", "KAVRI_DRY_RUN"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("KAVRI_DASHBOARD_URL", DASHBOARD + "/")
    caplog.set_level(logging.INFO, logger="kavri_cloud.langgraph")


@pytest.fixture
def ran():
    return []


@pytest.fixture
def transfer(ran):
    @tool
    def transfer(amount: int) -> str:
        """Move money."""
        ran.append(amount)
        return f"moved {amount}"

    return transfer


@pytest.fixture
def warrant(local_cloud):
    return gate_for(local_cloud, tool="transfer").warrant


def cloud_handler(cloud, **kwargs):
    return lg.langgraph_cloud_approval(cloud.runtime_key, base_url=cloud.url, poll_interval=0.05, **kwargs)


def by_call_id(state):
    return {m.tool_call_id: m for m in state["messages"] if isinstance(m, ToolMessage)}


def call_id(record):
    """The tool-call id in a record's idempotency key (the handler scopes it: "<id>:<run digest>")."""
    return record["idempotency_key"].rpartition(":")[0]


def records(cloud):
    with KavriCloudClient(cloud.admin_key, base_url=cloud.url) as client:
        return {call_id(r): r for r in full_records(client)}


def lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "kavri_cloud.langgraph"]


def run_agent(mode, model, tools, middleware):
    agent = create_agent(model, tools, middleware=[middleware])
    start = {"messages": [("user", "pay the invoice")]}
    return asyncio.run(agent.ainvoke(start)) if mode == "async" else agent.invoke(start)


def run_tool_node(mode, model, node):
    def agent(state):
        return {"messages": [model.invoke(state["messages"])]}

    graph = StateGraph(MessagesState)
    graph.add_node("agent", agent)
    graph.add_node("tools", node)
    graph.add_edge(START, "agent")
    graph.add_edge("agent", "tools")
    graph.add_edge("tools", END)
    start = {"messages": [("user", "pay the invoice")]}
    compiled = graph.compile()
    return asyncio.run(compiled.ainvoke(start)) if mode == "async" else compiled.invoke(start)


def run_flavour(flavour, mode, model, transfer, **kwargs):
    if flavour == "middleware":
        return run_agent(mode, model, [transfer], lg.KavriMiddleware(**kwargs))
    return run_tool_node(mode, model, lg.KavriToolNode([transfer], **kwargs))


@pytest.mark.parametrize("flavour, mode", [("middleware", "async"), ("middleware", "sync"), ("tool_node", "async")])
def test_an_approved_gate_logs_its_dashboard_link_and_the_tool_runs(flavour, mode, local_cloud, warrant, transfer, ran, caplog):
    with Human(local_cloud, approve_by("alice")):
        state = run_flavour(flavour, mode, scripted("call_1"), transfer, approval_handler=cloud_handler(local_cloud),
                            warrant=warrant, dry_run=False)
    assert (ran, by_call_id(state)["call_1"].content) == ([10], "moved 10")
    record = records(local_cloud)["call_1"]
    assert (record["status"], record["tool"]) == ("approved", "transfer")
    assert lines(caplog) == [
        f"approval gate for 'transfer' - request {record['id']} - {DASHBOARD}/approvals?request={record['id']}",
        f"approval granted for 'transfer' (request {record['id']})",
    ]


@pytest.mark.parametrize("mode", ["async", "sync"])
def test_a_denial_in_enforce_mode_reaches_the_model_as_the_denial_message(mode, local_cloud, warrant, transfer, ran):
    model = scripted("call_1")
    with Human(local_cloud, deny_with("over budget")):
        state = run_agent(mode, model, [transfer],
                          lg.KavriMiddleware(cloud_handler(local_cloud), warrant=warrant, dry_run=False))
    message = by_call_id(state)["call_1"]
    assert (message.status, message.content) == ("error", "Authorization denied for tool 'transfer': over budget")
    assert message in model.seen[-1]
    assert ran == []


def test_the_handler_deadline_is_a_denial_the_model_sees(local_cloud, warrant, transfer, ran):
    model = scripted("call_1")
    state = run_agent("async", model, [transfer],
                      lg.KavriMiddleware(cloud_handler(local_cloud, timeout=0.2), warrant=warrant, dry_run=False))
    message = by_call_id(state)["call_1"]
    assert message.status == "error"
    assert message.content.startswith("Authorization denied for tool 'transfer': timed out after 0.2s")
    assert records(local_cloud)["call_1"]["status"] == "pending"  # the handler never cancels it
    assert ran == []


@pytest.mark.parametrize("mode", ["async", "sync"])
def test_observe_first_runs_the_tool_after_a_denial_and_says_so(mode, local_cloud, warrant, transfer, ran, caplog):
    model = scripted("call_1")
    with Human(local_cloud, deny_with("over budget")):
        state = run_agent(mode, model, [transfer], lg.KavriMiddleware(cloud_handler(local_cloud), warrant=warrant))
    assert (ran, by_call_id(state)["call_1"].content) == ([10], "moved 10")
    assert records(local_cloud)["call_1"]["status"] == "denied"
    assert lines(caplog)[0].startswith("kavri_cloud.langgraph: observe-first (dry_run=True)")
    assert lines(caplog)[-1] == OBSERVE_ALLOWING


def approve_a_deny_b(cloud, request_id):
    with KavriCloudClient(cloud.admin_key, base_url=cloud.url) as client:
        key = call_id(client.get_request(request_id))
    if key == "call_a":
        cloud.approve(request_id, approver="alice")
    else:
        cloud.deny(request_id, f"no to {key}")


@pytest.mark.parametrize("flavour", ["middleware", "tool_node"])
@pytest.mark.parametrize("mode", ["async", "sync"])
def test_parallel_guarded_calls_get_their_own_requests_and_outcomes(flavour, mode, local_cloud, warrant, transfer, ran):
    with Human(local_cloud, approve_a_deny_b, delay=0.01):
        state = run_flavour(flavour, mode, scripted("call_a", "call_b"), transfer,
                            approval_handler=cloud_handler(local_cloud), warrant=warrant, dry_run=False)
    stored = records(local_cloud)
    assert sorted(stored) == ["call_a", "call_b"]
    assert (stored["call_a"]["status"], stored["call_b"]["status"]) == ("approved", "denied")
    assert stored["call_a"]["id"] != stored["call_b"]["id"]
    messages = by_call_id(state)
    assert messages["call_a"].content == "moved 10"
    assert (messages["call_b"].status, messages["call_b"].content) == (
        "error", "Authorization denied for tool 'transfer': no to call_b")
    assert ran == [10]


def test_the_handler_is_asynchronous_and_never_blocks_the_loop(local_cloud, warrant):
    handler = cloud_handler(local_cloud)
    assert asyncio.iscoroutinefunction(handler)
    if sys.version_info >= (3, 12):
        assert inspect.iscoroutinefunction(handler)
    request = gate_for(local_cloud, tool="transfer").request_for("transfer", {"amount": 1}, request_id="call_1")

    async def main():
        ticks = 0
        done = asyncio.Event()

        async def ticker():
            nonlocal ticks
            while not done.is_set():
                ticks += 1
                await asyncio.sleep(0.01)

        ticking = asyncio.create_task(ticker())
        try:
            result = await handler(request)
        finally:
            done.set()
            await ticking
        return result, ticks

    with Human(local_cloud, approve_by("alice"), delay=0.3):
        result, ticks = asyncio.run(main())
    assert type(result).__name__ == "SignedApproval"
    assert ticks >= 10  # the loop kept running other tasks for the whole wait


def test_one_import_change_wires_the_cloud_from_the_environment(local_cloud, warrant, transfer, ran, monkeypatch):
    monkeypatch.setenv("KAVRI_API_KEY", local_cloud.runtime_key)
    monkeypatch.setenv("KAVRI_ENFORCEMENT", "enforce")
    monkeypatch.setenv("KAVRI_CONTROL_PLANE_URL", local_cloud.url)  # as Quick Connect exports it
    middleware = lg.KavriMiddleware(warrant=warrant)
    with Human(local_cloud, approve_by("alice")):
        state = run_agent("async", scripted("call_1"), [transfer], middleware)
    assert middleware._dry_run is False
    assert (ran, by_call_id(state)["call_1"].content) == ([10], "moved 10")
