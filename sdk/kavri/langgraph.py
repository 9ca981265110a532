"""LangGraph support: hold a guarded tool call until its approvals verify.

`KavriMiddleware` is a LangChain agent middleware (``create_agent(...,
middleware=[KavriMiddleware(...)])``); `KavriToolNode` is a LangGraph
``ToolNode`` for hand-built graphs. Both gate each tool call of a `Warrant`'s
guarded tools through an `ApprovalGate`: the gate builds the attested
`ApprovalRequest` (its ``request_id`` is the tool call's id), the
``approval_handler`` is called (and awaited when it returns an awaitable), and
the tool runs only when the signed approvals verify. Otherwise the call's
result is an error `ToolMessage` that the model sees:

- "Authorization denied ..." when the handler refuses or the approvals do not verify;
- "Configuration error: no approval_handler configured for guarded tool '<name>'";
- "Security configuration error ..." when no warrant or gate was configured:
  every tool call is refused, since nothing says which ones are safe.

Errors other than a denial (a broken network, a bug in the handler) propagate.

What runs is what was approved. The middleware hands the call on with its tool
pinned to the call the gate passed: if anything between the middleware and the
tool (a ``HumanInTheLoopMiddleware`` edit, any middleware that rewrites the
call, or redirects it to another of the agent's tools) changes the tool or its
arguments, the changed call is gated again when it is about to run, and runs
only if that passes. So the middleware's place in the middleware list does not
matter for safety. The tool node is the innermost layer itself: it runs exactly
the call it gated.

``KavriToolNode(dry_run=True)`` observes instead of enforcing: a call the gate
refuses is logged on the "kavri.langgraph" logger and runs anyway.
"""

from __future__ import annotations

import asyncio
import contextvars
import copy
import dataclasses
import inspect
import logging
from collections.abc import Awaitable, Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from typing import Any

from langchain.agents.middleware import AgentMiddleware
from langchain_core.messages import ToolMessage
from langchain_core.runnables.config import var_child_runnable_config
from langgraph.prebuilt import ToolNode

from pydantic import BaseModel

from kavri_core.encoding import canonical_cbor

from .approval import ApprovalDenied, ApprovalGate, ApprovalHandler, Warrant

__all__ = ["KavriMiddleware", "KavriToolNode"]

logger = logging.getLogger("kavri.langgraph")


def _run_blocking(awaitable: Awaitable[Any]) -> Any:
    """Wait for an awaitable from synchronous code, on a loop of its own."""

    async def wait() -> Any:
        return await awaitable

    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(wait())
    # This thread's loop is busy running us: wait on a fresh loop in another thread,
    # in this thread's context (the handler may read the run's config from it).
    with ThreadPoolExecutor(max_workers=1) as pool:
        return pool.submit(contextvars.copy_context().run, asyncio.run, wait()).result()


@contextmanager
def _in_run(config: Any) -> Iterator[None]:
    """Let the approval handler see the tool call's run (``langgraph.config.get_config()``).

    LangGraph sets the node's config as the current one itself, except for
    asynchronous nodes on Python 3.10; there the tool call's own config stands in.
    """
    if not config or var_child_runnable_config.get() is not None:
        yield
        return
    token = var_child_runnable_config.set(config)
    try:
        yield
    finally:
        var_child_runnable_config.reset(token)


def _config_of(request: Any) -> Any:
    return getattr(getattr(request, "runtime", None), "config", None)


class _Guard:
    """The approval check shared by the middleware and the tool node."""

    def __init__(self, approval_handler: ApprovalHandler | None, gate: ApprovalGate | None, warrant: Warrant | None):
        if gate is not None and warrant is not None:
            raise TypeError("pass either gate= or warrant=, not both")
        self.approval_handler = approval_handler
        self.gate = ApprovalGate(warrant) if warrant is not None else gate

    def _refusal(self, tool_call: dict[str, Any], content: str) -> ToolMessage:
        return ToolMessage(
            content=content, tool_call_id=tool_call.get("id") or "", name=tool_call.get("name"), status="error"
        )

    def _precheck(self, tool_call: dict[str, Any]) -> ToolMessage | bool:
        """A refusal, or whether the gate must be asked before the call runs."""
        name = tool_call.get("name")
        if self.gate is None:
            return self._refusal(
                tool_call, f"Security configuration error: no warrant or approval gate configured; refusing tool '{name}'"
            )
        if not self.gate.needs_approval(name):
            return False
        if self.approval_handler is None:
            return self._refusal(tool_call, f"Configuration error: no approval_handler configured for guarded tool '{name}'")
        return True

    def _denied(self, tool_call: dict[str, Any], exc: ApprovalDenied) -> ToolMessage:
        reason = exc.reason if exc.reason is not None else "no reason given"
        return self._refusal(tool_call, f"Authorization denied for tool '{tool_call.get('name')}': {reason}")

    def check(self, tool_call: dict[str, Any], config: Any = None) -> ToolMessage | None:
        """None when the call may run, else the refusal to return instead.

        ``config`` is the tool call's runnable config, current while the handler runs.
        """
        verdict = self._precheck(tool_call)
        if verdict is False:
            return None
        if verdict is not True:
            return verdict
        handler = self.approval_handler

        def blocking(request: Any) -> Any:
            result = handler(request)
            return _run_blocking(result) if inspect.isawaitable(result) else result

        try:
            with _in_run(config):
                self.gate.authorize(tool_call["name"], tool_call.get("args"), blocking, request_id=tool_call.get("id"))
        except ApprovalDenied as exc:
            return self._denied(tool_call, exc)
        return None

    async def acheck(self, tool_call: dict[str, Any], config: Any = None) -> ToolMessage | None:
        """Asynchronous `check`: an asynchronous handler runs on the caller's loop."""
        verdict = self._precheck(tool_call)
        if verdict is False:
            return None
        if verdict is not True:
            return verdict
        try:
            with _in_run(config):
                await self.gate.aauthorize(
                    tool_call["name"], tool_call.get("args"), self.approval_handler, request_id=tool_call.get("id")
                )
        except ApprovalDenied as exc:
            return self._denied(tool_call, exc)
        return None


_ABSENT = object()


def _fields(schema: Any) -> set[str] | None:
    if isinstance(schema, type) and issubclass(schema, BaseModel):
        return set(schema.model_fields)
    if isinstance(schema, dict):
        return set(schema.get("properties") or {})
    return None


def _injected_keys(tool: Any) -> frozenset[str]:
    """Arguments the framework fills in (state, store, runtime), not the model."""
    try:
        every, model_facing = _fields(tool.get_input_schema()), _fields(tool.tool_call_schema)
    except Exception:  # a tool without schemas: every argument counts
        return frozenset()
    if every is None or model_facing is None:
        return frozenset()
    return frozenset(every - model_facing)


def _same_arguments(a: Any, b: Any, injected: frozenset[str]) -> bool:
    """Equal as the attestation sees them (canonical CBOR), framework-filled values aside."""
    if isinstance(a, dict) and isinstance(b, dict) and injected:
        a = {k: v for k, v in a.items() if k not in injected}
        b = {k: v for k, v in b.items() if k not in injected}
    try:
        return canonical_cbor(a) == canonical_cbor(b)
    except Exception:  # not encodable: it cannot be the attested call
        return False


class _PinnedTool:
    """A tool that runs a call only if it is the call the gate passed, else gates it again.

    The middleware hands the request on with its tool replaced by this, so the
    check happens where the tool is invoked, after every inner middleware.
    ``passed`` is the gated call, or None when nothing was gated for this tool
    (another of the agent's tools, reachable by a redirecting middleware).
    """

    def __init__(self, tool: Any, guard: _Guard, passed: dict[str, Any] | None, observing: bool) -> None:
        self._tool = tool
        self._guard = guard
        self._passed = passed
        self._observing = observing

    def __getattr__(self, name: str) -> Any:
        return getattr(self._tool, name)

    def __repr__(self) -> str:
        return f"<pinned {self._tool!r}>"

    def _call(self, value: Any) -> dict[str, Any]:
        if isinstance(value, dict) and value.get("type") == "tool_call":
            return {"name": self._tool.name, "args": value.get("args"), "id": value.get("id")}
        return {"name": self._tool.name, "args": value, "id": None}

    def _unchanged(self, call: dict[str, Any]) -> bool:
        passed = self._passed
        return (
            passed is not None
            and passed.get("name") == call["name"]
            and _same_arguments(passed.get("args"), call["args"], _injected_keys(self._tool))
        )

    def _runs(self, refusal: ToolMessage | None, call: dict[str, Any]) -> bool:
        return refusal is None or _observed(refusal, call, self._observing)

    def invoke(self, value: Any, config: Any = None, **kwargs: Any) -> Any:
        call = self._call(value)
        if not self._unchanged(call):
            refusal = self._guard.check(call, config)
            if not self._runs(refusal, call):
                return refusal
        return self._tool.invoke(value, config, **kwargs)

    async def ainvoke(self, value: Any, config: Any = None, **kwargs: Any) -> Any:
        call = self._call(value)
        if not self._unchanged(call):
            refusal = await self._guard.acheck(call, config)
            if not self._runs(refusal, call):
                return refusal
        return await self._tool.ainvoke(value, config, **kwargs)


def _observed(refusal: ToolMessage, call: dict[str, Any], observing: bool) -> bool:
    """Whether a refused call runs anyway: only while observing, and said in the log."""
    if observing:
        logger.info("kavri.langgraph: observe-first running '%s' after: %s", call.get("name"), refusal.content)
    return observing


def _snapshot(tool_call: Any) -> dict[str, Any] | None:
    """A copy of the call as the gate sees it, or None when it cannot be copied.

    Deep: middleware may edit the very arguments dict (or a value nested in it) after
    the gate passed it, and the pinned tool must compare against what was approved.
    """
    try:
        return copy.deepcopy(dict(tool_call))
    except Exception:  # not copyable: nothing counts as passed, the call is gated where it runs
        return None


def _pinned(request: Any, guard: _Guard, passed: dict[str, Any] | None, observing: bool) -> Any:
    """`request` with its tool, and the agent's other tools, pinned to the passed call."""
    tool = request.tool
    if tool is None:  # not a registered tool: the tool node refuses it
        return request
    pinned = _PinnedTool(tool, guard, passed, observing)
    overrides: dict[str, Any] = {"tool": pinned}
    runtime = request.runtime
    others = getattr(runtime, "tools", None)
    if dataclasses.is_dataclass(runtime) and not isinstance(runtime, type) and others:
        overrides["runtime"] = dataclasses.replace(
            runtime, tools=[pinned if t is tool else _PinnedTool(t, guard, None, observing) for t in others]
        )
    return request.override(**overrides)


class KavriMiddleware(AgentMiddleware):
    """Agent middleware that gates guarded tool calls on signed approvals.

    Args:
        approval_handler: Called with the `ApprovalRequest` of each guarded
            call; returns signed approvals (or an awaitable of them) or raises
            `ApprovalDenied`.
        gate: The `ApprovalGate` to use.
        warrant: A `Warrant` to build the gate from (instead of ``gate``).
    """

    def __init__(
        self,
        approval_handler: ApprovalHandler | None = None,
        *,
        gate: ApprovalGate | None = None,
        warrant: Warrant | None = None,
    ) -> None:
        super().__init__()
        self._guard = _Guard(approval_handler, gate, warrant)

    @property
    def approval_handler(self) -> ApprovalHandler | None:
        return self._guard.approval_handler

    @property
    def gate(self) -> ApprovalGate | None:
        return self._guard.gate

    @property
    def _observing(self) -> bool:
        # This middleware enforces; a subclass that observes (the cloud one) sets _dry_run.
        # Its own hook sees the gate's denial, but not a re-gated call's, so that one is ours.
        return bool(getattr(self, "_dry_run", False))

    def wrap_tool_call(self, request: Any, handler: Callable[[Any], Any]) -> Any:
        passed = _snapshot(request.tool_call)
        refusal = self._guard.check(passed or request.tool_call, _config_of(request))
        return refusal if refusal is not None else handler(_pinned(request, self._guard, passed, self._observing))

    async def awrap_tool_call(self, request: Any, handler: Callable[[Any], Awaitable[Any]]) -> Any:
        passed = _snapshot(request.tool_call)
        refusal = await self._guard.acheck(passed or request.tool_call, _config_of(request))
        return refusal if refusal is not None else await handler(_pinned(request, self._guard, passed, self._observing))


class KavriToolNode(ToolNode):
    """A ``ToolNode`` that gates guarded tool calls on signed approvals.

    Takes ``ToolNode``'s arguments plus ``approval_handler``, ``gate`` and
    ``warrant`` (see `KavriMiddleware`). The check runs as the node's tool-call
    wrapper, so parallel tool calls of one model turn are checked
    independently, each under its own tool call id.
    """

    def __init__(
        self,
        tools: Sequence[Any],
        *,
        approval_handler: ApprovalHandler | None = None,
        gate: ApprovalGate | None = None,
        warrant: Warrant | None = None,
        dry_run: bool | None = None,
        **kwargs: Any,
    ) -> None:
        if "wrap_tool_call" in kwargs or "awrap_tool_call" in kwargs:
            # The approval check is this node's wrapper; interceptors belong in agent middleware.
            raise TypeError("KavriToolNode does not take wrap_tool_call/awrap_tool_call")
        self._guard = _Guard(approval_handler, gate, warrant)
        # A subclass may have decided the mode before calling us (the cloud node does).
        if dry_run is not None or "_dry_run" not in vars(self):
            self._dry_run = bool(dry_run)

        # Plain functions, not bound methods: ToolNode shows its wrappers in its repr,
        # and a bound method's repr is this node's repr again.
        def wrap(request: Any, execute: Callable[[Any], Any]) -> Any:
            return self._wrap(request, execute)

        async def awrap(request: Any, execute: Callable[[Any], Awaitable[Any]]) -> Any:
            return await self._awrap(request, execute)

        super().__init__(tools, wrap_tool_call=wrap, awrap_tool_call=awrap, **kwargs)

    @property
    def approval_handler(self) -> ApprovalHandler | None:
        return self._guard.approval_handler

    @property
    def gate(self) -> ApprovalGate | None:
        return self._guard.gate

    def _runs(self, refusal: ToolMessage | None, tool_call: dict[str, Any]) -> bool:
        return refusal is None or _observed(refusal, tool_call, self._dry_run)

    def _wrap(self, request: Any, execute: Callable[[Any], Any]) -> Any:
        refusal = self._guard.check(request.tool_call, _config_of(request))
        return execute(request) if self._runs(refusal, request.tool_call) else refusal

    async def _awrap(self, request: Any, execute: Callable[[Any], Awaitable[Any]]) -> Any:
        refusal = await self._guard.acheck(request.tool_call, _config_of(request))
        return await execute(request) if self._runs(refusal, request.tool_call) else refusal
