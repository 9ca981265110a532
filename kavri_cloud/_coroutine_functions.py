"""Coroutine-function faces of the native asynchronous callables.

Frameworks decide how to treat a hook by asking ``inspect.iscoroutinefunction``,
which on Python 3.10 and 3.11 is true only for functions written with
``async def``. LangSmith's ``traceable`` (``create_agent`` wraps every middleware
hook in it) takes anything else for a plain function: the span records the
coroutine object as its output and ends before the tool starts.

Each factory below returns such a function for one native callable. The face
takes the documented parameters and awaits the native callable with them; it
holds no logic. The native modules that call these factories name and document
the faces and hand them to the frameworks in place of the native callables.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, Coroutine
from typing import Any

__all__ = ["approval_handler", "observer", "tool_call_hook"]


def approval_handler(native: Callable[[Any], Awaitable[Any]]) -> Callable[[Any], Coroutine[Any, Any, Any]]:
    """The face of an approval handler: ``async def _handle(request)``."""

    async def _handle(request: Any) -> Any:
        return await native(request)

    return _handle


def observer(native: Callable[..., Awaitable[Any]]) -> Callable[..., Coroutine[Any, Any, Any]]:
    """The face of ``_observe_or_result_async(result, request, handler, dry_run)``."""

    async def _observe_or_result_async(result: Any, request: Any, handler: Any, dry_run: Any) -> Any:
        return await native(result, request, handler, dry_run)

    return _observe_or_result_async


def tool_call_hook(native: Callable[..., Awaitable[Any]]) -> Callable[..., Coroutine[Any, Any, Any]]:
    """The face of a middleware's ``awrap_tool_call(self, request, handler)`` method."""

    async def awrap_tool_call(self: Any, request: Any, handler: Any) -> Any:
        return await native(self, request, handler)

    return awrap_tool_call
