"""KavriMiddleware and KavriToolNode composed the way LangChain and LangGraph are used:
HumanInTheLoopMiddleware, ToolRetryMiddleware and ToolCallLimitMiddleware in both
orders, tools that report their own errors, threads and checkpointers, a run resumed
after a crash, LangSmith tracing. Everything is real (create_agent, the SDK's gate,
the native handler, the client, the local Kavri Cloud, where a stand-in human decides
over HTTP) except the chat model, which is scripted since no model runs here.

Each scenario states how many times the tool ran, with which arguments, and which
approval requests the service holds."""

from __future__ import annotations

import asyncio
import logging
import time

import pytest

pytest.importorskip("langchain.agents")

import langsmith
from langchain.agents import create_agent
from langchain.agents.middleware import (
    AgentMiddleware,
    HumanInTheLoopMiddleware,
    ToolCallLimitMiddleware,
    ToolRetryMiddleware,
)
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, ToolMessage
from langchain_core.tools import StructuredTool, ToolException, tool
from langgraph.checkpoint.memory import InMemorySaver
from langgraph.graph import END, START, MessagesState, StateGraph
from langgraph.types import Command
from langsmith.run_helpers import tracing_context

from kavri_cloud import langgraph as lg
from kavri_cloud.client import KavriCloudClient
from tests.e2e.approval_helpers import Human, full_records, gate_for
from tests.e2e.test_langgraph_e2e import ran, transfer, warrant  # noqa: F401  (fixtures)

pytestmark = pytest.mark.e2e

LIMIT = 100  # the stand-in human approves transfers up to this amount and denies the rest


class ScriptedChatModel(GenericFakeChatModel):
    def bind_tools(self, tools, **kwargs):
        return self


def scripted(*amounts, ids=None):
    ids = ids or [f"call_{i}" for i in range(len(amounts))]
    calls = [{"name": "transfer", "args": {"amount": a}, "id": i} for a, i in zip(amounts, ids)]
    return ScriptedChatModel(messages=iter([AIMessage(content="", tool_calls=calls), AIMessage(content="done")]))


@pytest.fixture(autouse=True)
def environment(monkeypatch):
    for name in ("KAVRI_API_KEY", "KAVRI_APPROVAL_TIMEOUT", "KAVRI_ENFORCEMENT", "KAVRI_DRY_RUN", "KAVRI_DASHBOARD_URL"):
        monkeypatch.delenv(name, raising=False)




def within_limit(cloud, request_id):
    """The human: approves a transfer of at most LIMIT, denies anything larger."""
    with KavriCloudClient(cloud.admin_key, base_url=cloud.url) as client:
        amount = client.get_request(request_id)["metadata"]["amount"]
    if amount <= LIMIT:
        cloud.approve(request_id, approver="alice")
    else:
        cloud.deny(request_id, "over the limit")


def stored(cloud):
    """What the service holds: (amount, status) of every approval request, sorted."""
    with KavriCloudClient(cloud.admin_key, base_url=cloud.url) as client:
        return sorted((r["metadata"]["amount"], r["status"]) for r in full_records(client))


def kavri(cloud, warrant, **kwargs):
    handler = lg.langgraph_cloud_approval(cloud.runtime_key, base_url=cloud.url, poll_interval=0.05)
    return lg.KavriMiddleware(handler, warrant=warrant, **kwargs)


def tool_messages(state):
    return [m for m in state["messages"] if isinstance(m, ToolMessage)]


def run(agent, start, config=None, mode="sync"):
    if mode == "async":
        return asyncio.run(agent.ainvoke(start, config))
    return agent.invoke(start, config)


# -- HumanInTheLoopMiddleware: the call that runs is the call that was approved -------------

EDIT_20 = {"type": "edit", "edited_action": {"name": "transfer", "args": {"amount": 20}}}
EDIT_10000 = {"type": "edit", "edited_action": {"name": "transfer", "args": {"amount": 10000}}}
DECISIONS = {"approve": {"type": "approve"}, "edit-20": EDIT_20, "edit-10000": EDIT_10000,
             "reject": {"type": "reject", "message": "not now"}}

# (decision, order, mode) -> (tool runs, requests the service holds). Kavri listed first gates the
# model's call before the reviewer edits it; the edited call is then gated again where it runs.
HITL_CASES = [
    ("approve", "kavri-first", "batched", [10], [(10, "approved")]),
    ("approve", "kavri-first", "per_call", [10], [(10, "approved")]),  # gate re-run on resume: same request
    ("approve", "hitl-first", "batched", [10], [(10, "approved")]),
    ("approve", "hitl-first", "per_call", [10], [(10, "approved")]),
    ("edit-20", "kavri-first", "batched", [20], [(10, "approved"), (20, "approved")]),
    ("edit-20", "kavri-first", "per_call", [20], [(10, "approved"), (20, "approved")]),
    ("edit-20", "hitl-first", "batched", [20], [(20, "approved")]),
    ("edit-20", "hitl-first", "per_call", [20], [(20, "approved")]),
    ("edit-10000", "kavri-first", "batched", [], [(10, "approved"), (10000, "denied")]),
    ("edit-10000", "kavri-first", "per_call", [], [(10, "approved"), (10000, "denied")]),
    ("edit-10000", "hitl-first", "batched", [], [(10000, "denied")]),
    ("edit-10000", "hitl-first", "per_call", [], [(10000, "denied")]),
    ("reject", "kavri-first", "batched", [], []),  # rejected before any tool step
    ("reject", "kavri-first", "per_call", [], [(10, "approved")]),  # approved, then rejected by the reviewer
    ("reject", "hitl-first", "batched", [], []),
    ("reject", "hitl-first", "per_call", [], []),
]


@pytest.mark.parametrize("decision, order, interrupt_mode, runs, requests", HITL_CASES)
def test_human_in_the_loop_in_either_order_runs_only_an_approved_call(
    decision, order, interrupt_mode, runs, requests, local_cloud, warrant, transfer, ran
):
    gate = kavri(local_cloud, warrant, dry_run=False)
    review = HumanInTheLoopMiddleware({"transfer": True}, interrupt_mode=interrupt_mode)
    middleware = [gate, review] if order == "kavri-first" else [review, gate]
    agent = create_agent(scripted(10), [transfer], middleware=middleware, checkpointer=InMemorySaver())
    config = {"configurable": {"thread_id": f"{decision}-{order}-{interrupt_mode}"}}
    with Human(local_cloud, within_limit, delay=0.01):
        agent.invoke({"messages": [("user", "pay the invoice")]}, config)
        interrupts = agent.get_state(config).interrupts
        answer = DECISIONS[decision]
        resume = {"decisions": [answer]} if interrupt_mode == "batched" else {i.id: answer for i in interrupts}
        state = agent.invoke(Command(resume=resume), config)
    assert ran == runs
    assert stored(local_cloud) == requests
    if decision == "edit-10000":
        [message] = tool_messages(state)
        assert message.status == "error" and "Authorization denied for tool 'transfer': over the limit" in message.content


# -- retries and a tool's own errors: nothing runs twice ------------------------------------


@pytest.fixture
def failing_transfer(ran):
    @tool
    def transfer(amount: int) -> str:
        """Move money (the bank refuses: its own 401)."""
        ran.append(amount)
        raise RuntimeError("bank said: Authorization denied (HTTP 401)")

    return transfer


@pytest.mark.parametrize("mode", ["sync", "async"])
@pytest.mark.parametrize("order", ["kavri-first", "retry-first"])
def test_retries_run_the_tool_as_often_as_the_retry_says_never_more(order, mode, local_cloud, warrant,
                                                                    failing_transfer, ran):
    """Observe-first (the default) must not take the tool's own "Authorization denied"
    error for the gate's: two attempts, two runs (not four), one approval request."""
    gate = kavri(local_cloud, warrant)
    retry = ToolRetryMiddleware(max_retries=1, initial_delay=0, backoff_factor=0, jitter=False, on_failure="continue")
    middleware = [gate, retry] if order == "kavri-first" else [retry, gate]
    agent = create_agent(scripted(10), [failing_transfer], middleware=middleware)
    with Human(local_cloud, within_limit, delay=0.01):
        state = run(agent, {"messages": [("user", "pay")]}, mode=mode)
    assert ran == [10, 10]
    assert stored(local_cloud) == [(10, "approved")]
    [message] = tool_messages(state)
    assert message.status == "error" and "Authorization denied (HTTP 401)" in message.content


def own_error_tool(ran, name):
    def run_it(amount: int) -> str:
        ran.append(amount)
        raise ToolException("Authorization denied by the bank (HTTP 401)")

    return StructuredTool.from_function(run_it, name=name, description="Move money.", handle_tool_error=True)


@pytest.mark.parametrize("tool_name", ["transfer", "refund"], ids=["guarded", "unguarded"])
@pytest.mark.parametrize("flavour", ["middleware", "tool_node"])
@pytest.mark.parametrize("mode", ["sync", "async"])
def test_a_tool_reporting_its_own_denial_runs_once_in_observe_first(mode, flavour, tool_name, local_cloud, warrant,
                                                                     ran):
    """The tool reports an upstream 401 itself (handle_tool_error); observe-first returns it."""
    the_tool = own_error_tool(ran, tool_name)
    model = ScriptedChatModel(messages=iter([
        AIMessage(content="", tool_calls=[{"name": tool_name, "args": {"amount": 10}, "id": "call_0"}]),
        AIMessage(content="done"),
    ]))
    handler = lg.langgraph_cloud_approval(local_cloud.runtime_key, base_url=local_cloud.url, poll_interval=0.05)
    with Human(local_cloud, within_limit, delay=0.01):
        if flavour == "middleware":
            agent = create_agent(model, [the_tool], middleware=[lg.KavriMiddleware(handler, warrant=warrant)])
        else:
            agent = tool_node_graph(model, lg.KavriToolNode([the_tool], approval_handler=handler, warrant=warrant,
                                                           handle_tool_errors=True))
        state = run(agent, {"messages": [("user", "pay")]}, mode=mode)
    assert ran == [10]
    assert stored(local_cloud) == ([(10, "approved")] if tool_name == "transfer" else [])
    [message] = tool_messages(state)
    assert (message.status, message.content) == ("error", "Authorization denied by the bank (HTTP 401)")


def tool_node_graph(model, node):
    def agent(state):
        return {"messages": [model.invoke(state["messages"])]}

    graph = StateGraph(MessagesState)
    graph.add_node("agent", agent)
    graph.add_node("tools", node)
    graph.add_edge(START, "agent")
    graph.add_edge("agent", "tools")
    graph.add_edge("tools", END)
    return graph.compile()


@pytest.mark.parametrize("dry_run", [True, False])
@pytest.mark.parametrize("mode", ["sync", "async"])
def test_the_tool_node_observes_a_denial_only_when_dry_run(mode, dry_run, local_cloud, warrant, transfer, ran, caplog):
    caplog.set_level(logging.INFO)
    handler = lg.langgraph_cloud_approval(local_cloud.runtime_key, base_url=local_cloud.url, poll_interval=0.05)
    node = lg.KavriToolNode([transfer], approval_handler=handler, warrant=warrant, dry_run=dry_run)
    assert f"_dry_run={dry_run}" in repr(node)  # repr works: no recursion through its own wrappers
    with Human(local_cloud, within_limit, delay=0.01):
        state = run(tool_node_graph(scripted(500), node), {"messages": [("user", "pay")]}, mode=mode)
    assert stored(local_cloud) == [(500, "denied")]
    [message] = tool_messages(state)
    if dry_run:
        assert (ran, message.content) == ([500], "moved 500")
        assert "observe-first running 'transfer'" in caplog.text
    else:
        assert (ran, message.status) == ([], "error")


class RaisesInPlace(AgentMiddleware):
    """Raises the amount by editing the call's arguments dict in place, then hands it on."""

    def wrap_tool_call(self, request, handler):
        request.tool_call["args"]["amount"] = 10000
        return handler(request)

    async def awrap_tool_call(self, request, handler):
        request.tool_call["args"]["amount"] = 10000
        return await handler(request)


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_an_in_place_edit_after_the_approval_is_gated_again_where_it_runs(mode, local_cloud, warrant, transfer, ran):
    """The human approves 10; the inner middleware turns the same dict into 10000. The pinned
    call is a copy of the approved one, so the edit is seen, gated again, and denied."""
    agent = create_agent(scripted(10), [transfer], middleware=[kavri(local_cloud, warrant, dry_run=False),
                                                              RaisesInPlace()])
    with Human(local_cloud, within_limit, delay=0.01):
        state = run(agent, {"messages": [("user", "pay")]}, mode=mode)
    assert ran == []
    assert stored(local_cloud) == [(10, "approved"), (10000, "denied")]
    [message] = tool_messages(state)
    assert message.content == "Authorization denied for tool 'transfer': over the limit"


@pytest.mark.parametrize("order", ["kavri-first", "limit-first"])
def test_a_call_limit_in_either_order_gates_only_the_calls_that_may_run(order, local_cloud, warrant, transfer, ran):
    gate = kavri(local_cloud, warrant, dry_run=False)
    limit = ToolCallLimitMiddleware(tool_name="transfer", run_limit=1)
    middleware = [gate, limit] if order == "kavri-first" else [limit, gate]
    agent = create_agent(scripted(10, 20), [transfer], middleware=middleware)
    with Human(local_cloud, within_limit, delay=0.01):
        state = agent.invoke({"messages": [("user", "pay twice")]})
    assert ran == [10]
    assert stored(local_cloud) == [(10, "approved")]
    assert sorted(m.status for m in tool_messages(state)) == ["error", "success"]


# -- threads, checkpointers and resumed runs: one approval is one call ------------------


def first_request_only():
    """The human approves the first request they see and denies every later one."""
    seen = []

    def decide(cloud, request_id):
        seen.append(request_id)
        if len(seen) == 1:
            cloud.approve(request_id, approver="alice")
        else:
            cloud.deny(request_id, "approved once, for thread A")

    return decide


@pytest.mark.parametrize("mode", ["sync", "async"])
@pytest.mark.parametrize("amount_b, flavour", [(10, "middleware"), (20, "middleware"), (10, "tool_node")])
def test_threads_that_number_their_calls_alike_get_their_own_requests(amount_b, flavour, mode, local_cloud, warrant,
                                                                      transfer, ran):
    """Both threads' models call their transfer "call_0": thread A's approval is not B's."""
    handler = lg.langgraph_cloud_approval(local_cloud.runtime_key, base_url=local_cloud.url, poll_interval=0.05)
    saver = InMemorySaver()

    def thread(name, amount):
        if flavour == "middleware":
            agent = create_agent(scripted(amount), [transfer], checkpointer=saver,
                                 middleware=[lg.KavriMiddleware(handler, warrant=warrant, dry_run=False)])
        else:
            graph = StateGraph(MessagesState)
            model = scripted(amount)
            graph.add_node("agent", lambda state: {"messages": [model.invoke(state["messages"])]})
            graph.add_node("tools", lg.KavriToolNode([transfer], approval_handler=handler, warrant=warrant,
                                                     dry_run=False))
            graph.add_edge(START, "agent")
            graph.add_edge("agent", "tools")
            graph.add_edge("tools", END)
            agent = graph.compile(checkpointer=saver)
        return run(agent, {"messages": [("user", "pay")]}, {"configurable": {"thread_id": name}}, mode=mode)

    with Human(local_cloud, first_request_only(), delay=0.01):
        thread("A", 10)
        state_b = thread("B", amount_b)
    assert ran == [10]
    assert stored(local_cloud) == sorted([(10, "approved"), (amount_b, "denied")])
    [message] = tool_messages(state_b)
    assert message.content == "Authorization denied for tool 'transfer': approved once, for thread A"


def test_a_run_resumed_after_a_crash_mid_approval_reuses_its_request(local_cloud, warrant, transfer, ran):
    """The process dies while the human has not decided yet; the run resumes from its
    checkpointer on the same thread and waits for the same request, never a second one."""
    agent = create_agent(scripted(10), [transfer], middleware=[kavri(local_cloud, warrant, dry_run=False)],
                         checkpointer=InMemorySaver())
    config = {"configurable": {"thread_id": "resumed"}}

    async def crash_mid_approval():
        task = asyncio.create_task(agent.ainvoke({"messages": [("user", "pay")]}, config))
        while not stored(local_cloud):
            await asyncio.sleep(0.02)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(crash_mid_approval())
    assert (ran, stored(local_cloud)) == ([], [(10, "pending")])
    with Human(local_cloud, within_limit, delay=0.01):
        state = asyncio.run(agent.ainvoke(None, config))
    assert ran == [10]
    assert stored(local_cloud) == [(10, "approved")]
    assert tool_messages(state)[-1].content == "moved 10"


@pytest.mark.parametrize("flavour", ["middleware", "tool_node"])
def test_cancelling_a_run_with_parallel_waits_ends_every_wait_and_frees_every_connection(flavour, local_cloud, warrant,
                                                                                       transfer, ran):
    from kavri_cloud import client as client_module

    handler = lg.langgraph_cloud_approval(local_cloud.runtime_key, base_url=local_cloud.url, poll_interval=0.05)
    model = scripted(10, 20, 30)
    if flavour == "middleware":
        gate = lg.KavriMiddleware(handler, warrant=warrant, dry_run=False)
        agent = create_agent(model, [transfer], middleware=[gate])
    else:
        agent = tool_node_graph(model, lg.KavriToolNode([transfer], approval_handler=handler, warrant=warrant,
                                                        dry_run=False))

    async def cancel_mid_wait():
        task = asyncio.create_task(agent.ainvoke({"messages": [("user", "pay three")]}))
        while len(stored(local_cloud)) < 3:
            await asyncio.sleep(0.02)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        left = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        return left, dict((client_module._loop_pools or {}).get(asyncio.get_running_loop(), {}))

    left, pools = asyncio.run(cancel_mid_wait())
    assert (left, pools) == ([], {})
    with Human(local_cloud, within_limit, delay=0):  # approvals that come too late start nothing
        while any(status == "pending" for _, status in stored(local_cloud)):
            time.sleep(0.02)
    assert ran == []
    assert stored(local_cloud) == [(10, "approved"), (20, "approved"), (30, "approved")]


# -- LangSmith tracing ------------------------------------------------------------------


class RunCollector(langsmith.Client):
    """A LangSmith client that keeps the runs it is given instead of sending them."""

    def __init__(self):
        super().__init__(api_url="http://127.0.0.1:9", api_key="local-collector", auto_batch_tracing=False)
        self.collected = {}

    def create_run(self, name, inputs, run_type, *, id=None, **kwargs):
        self.collected[str(id)] = {"name": name, "parent": str(kwargs.get("parent_run_id")),
                                   "outputs": kwargs.get("outputs")}

    def update_run(self, run_id, **kwargs):
        self.collected.setdefault(str(run_id), {}).update(
            {k: v for k, v in kwargs.items() if k in ("outputs", "error") and v is not None})

    def named(self, name):
        [(run_id, run)] = [(i, r) for i, r in self.collected.items() if r.get("name") == name]
        return run_id, run


@pytest.mark.parametrize("flavour", ["cloud", "sdk"])
def test_the_async_hook_is_traced_as_a_span_around_the_tool(flavour, local_cloud, warrant, transfer, ran):
    """create_agent wraps the hook in LangSmith's traceable: its span must carry the tool's
    result (not a coroutine object) and the tool's run must nest under it."""
    from kavri.langgraph import KavriMiddleware as SdkMiddleware

    handler = lg.langgraph_cloud_approval(local_cloud.runtime_key, base_url=local_cloud.url, poll_interval=0.05)
    middleware = (lg.KavriMiddleware(handler, warrant=warrant, dry_run=False) if flavour == "cloud"
                  else SdkMiddleware(handler, warrant=warrant))
    agent = create_agent(scripted(10), [transfer], middleware=[middleware])
    collector = RunCollector()
    with Human(local_cloud, within_limit, delay=0.01), tracing_context(enabled=True, client=collector,
                                                                        project_name="local"):
        asyncio.run(agent.ainvoke({"messages": [("user", "pay")]}))
    span_id, span = collector.named("KavriMiddleware.awrap_tool_call")
    _, tool_run = collector.named("transfer")
    assert span["outputs"]["content"] == "moved 10", span["outputs"]
    assert tool_run["parent"] == span_id
    assert ran == [10]
