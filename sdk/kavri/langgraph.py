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
"""

from __future__ import annotations

import asyncio
import inspect
from collections.abc import Awaitable, Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from langchain.agents.middleware import AgentMiddleware
from langchain_core.messages import ToolMessage
from langgraph.prebuilt import ToolNode

from .approval import ApprovalDenied, ApprovalGate, ApprovalHandler, Warrant

__all__ = ["KavriMiddleware", "KavriToolNode"]


def _run_blocking(awaitable: Awaitable[Any]) -> Any:
    """Wait for an awaitable from synchronous code, on a loop of its own."""

    async def wait() -> Any:
        return await awaitable

    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(wait())
    # This thread's loop is busy running us: wait on a fresh loop in another thread.
    with ThreadPoolExecutor(max_workers=1) as pool:
        return pool.submit(asyncio.run, wait()).result()


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

    def check(self, tool_call: dict[str, Any]) -> ToolMessage | None:
        """None when the call may run, else the refusal to return instead."""
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
            self.gate.authorize(tool_call["name"], tool_call.get("args"), blocking, request_id=tool_call.get("id"))
        except ApprovalDenied as exc:
            return self._denied(tool_call, exc)
        return None

    async def acheck(self, tool_call: dict[str, Any]) -> ToolMessage | None:
        """Asynchronous `check`: an asynchronous handler runs on the caller's loop."""
        verdict = self._precheck(tool_call)
        if verdict is False:
            return None
        if verdict is not True:
            return verdict
        try:
            await self.gate.aauthorize(
                tool_call["name"], tool_call.get("args"), self.approval_handler, request_id=tool_call.get("id")
            )
        except ApprovalDenied as exc:
            return self._denied(tool_call, exc)
        return None


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

    def wrap_tool_call(self, request: Any, handler: Callable[[Any], Any]) -> Any:
        refusal = self._guard.check(request.tool_call)
        return refusal if refusal is not None else handler(request)

    async def awrap_tool_call(self, request: Any, handler: Callable[[Any], Awaitable[Any]]) -> Any:
        refusal = await self._guard.acheck(request.tool_call)
        return refusal if refusal is not None else await handler(request)


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
        **kwargs: Any,
    ) -> None:
        if "wrap_tool_call" in kwargs or "awrap_tool_call" in kwargs:
            # The approval check is this node's wrapper; interceptors belong in agent middleware.
            raise TypeError("KavriToolNode does not take wrap_tool_call/awrap_tool_call")
        self._guard = _Guard(approval_handler, gate, warrant)
        super().__init__(tools, wrap_tool_call=self._wrap, awrap_tool_call=self._awrap, **kwargs)

    @property
    def approval_handler(self) -> ApprovalHandler | None:
        return self._guard.approval_handler

    @property
    def gate(self) -> ApprovalGate | None:
        return self._guard.gate

    def _wrap(self, request: Any, execute: Callable[[Any], Any]) -> Any:
        refusal = self._guard.check(request.tool_call)
        return refusal if refusal is not None else execute(request)

    async def _awrap(self, request: Any, execute: Callable[[Any], Awaitable[Any]]) -> Any:
        refusal = await self._guard.acheck(request.tool_call)
        return refusal if refusal is not None else await execute(request)
