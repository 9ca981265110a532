"""LangGraph approval handler and drop-in middleware and tool node for Kavri Cloud."""

import logging
from abc import ABCMeta
from collections.abc import Awaitable, Callable, Coroutine, Sequence
from typing import Any, TypeAlias

from kavri.approval import ApprovalGate, ApprovalHandler, Warrant
from kavri.langgraph import KavriMiddleware as _CoreMiddleware
from kavri.langgraph import KavriToolNode as _CoreToolNode

from kavri_cloud.client import AsyncKavriCloudClient as AsyncKavriCloudClient
from kavri_cloud.enforcement import observe_first_from_env as observe_first_from_env
from kavri_cloud.exceptions import ApprovalDeniedError as ApprovalDeniedError
from kavri_cloud.exceptions import ApprovalExpiredError as ApprovalExpiredError
from kavri_cloud.exceptions import ApprovalTimeoutError as ApprovalTimeoutError
from kavri_cloud.exceptions import ConflictError as ConflictError
from kavri_cloud.payload_forge import build_approval_request_payload as build_approval_request_payload

logger: logging.Logger

_DEFAULT_BASE_URL: str
_DEFAULT_DASHBOARD_URL: str
_DEFAULT_POLL_INTERVAL: float

_ApprovalResult: TypeAlias = Any  # one kavri_core.SignedApproval, or a list of two or more

def langgraph_cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = ...,
    dashboard_url: str = "",
    poll_interval: float = 3.0,
    timeout: float | None = None,
) -> Callable[[Any], Coroutine[Any, Any, _ApprovalResult]]:
    """Return an asynchronous approval handler that resolves gates through Kavri Cloud.

    The handler is an ``async def`` function, so inspect.iscoroutinefunction() and
    asyncio.iscoroutinefunction() recognise it on every supported Python. The idempotency
    key it sends is the request's own (``_get_idempotency_key``) scoped to the LangGraph
    run (thread id, checkpoint namespace) and to the request hash; a key the service
    reports as reused for another request ends in ``ApprovalDenied``.

    Raises:
        TypeError: ``timeout`` is not a number.
        ValueError: ``KAVRI_APPROVAL_TIMEOUT`` (used when ``timeout`` is None) is not a number.
    """

def _get_idempotency_key(request: Any) -> str | None: ...
def _auto_approval_handler(**overrides: Any) -> Callable[[Any], Coroutine[Any, Any, _ApprovalResult]] | None: ...
def _is_denial_tool_message(result: Any) -> bool: ...
def _observe_or_result(result: Any, request: Any, handler: Callable[[Any], Any], dry_run: Any) -> Any: ...
async def _observe_or_result_async(result: Any, request: Any, handler: Callable[[Any], Any], dry_run: Any) -> Any:
    """A coroutine function: awaits ``handler(request)`` when it returns a coroutine."""

def _make_cloud_middleware_class() -> type: ...
def _make_cloud_tool_node_class() -> type: ...

class KavriMiddleware(_CoreMiddleware):
    """Drop-in replacement for kavri.langgraph.KavriMiddleware, wired to Kavri Cloud.

    A subclass of the SDK class when ``kavri.langgraph`` imports; otherwise a
    placeholder whose constructor raises ImportError with the install hint.
    """

    _dry_run: bool
    def __init__(
        self,
        approval_handler: ApprovalHandler | None = None,
        *,
        gate: ApprovalGate | None = None,
        warrant: Warrant | None = None,
        dry_run: bool | None = None,
    ) -> None:
        """The SDK constructor's parameters, plus ``dry_run`` (None: from KAVRI_ENFORCEMENT).

        With no ``approval_handler`` (and no positional argument) and KAVRI_API_KEY set,
        the cloud handler is wired in.
        """

    def wrap_tool_call(self, request: Any, handler: Callable[[Any], Any]) -> Any: ...
    async def awrap_tool_call(self, request: Any, handler: Callable[[Any], Awaitable[Any]]) -> Any: ...

class KavriToolNode(_CoreToolNode, metaclass=ABCMeta):
    """Drop-in replacement for kavri.langgraph.KavriToolNode, wired to Kavri Cloud.

    A subclass of the SDK class when ``kavri.langgraph`` imports; otherwise a
    placeholder whose constructor raises ImportError with the install hint.
    """

    _dry_run: bool
    def __init__(
        self,
        tools: Sequence[Any],
        *,
        approval_handler: ApprovalHandler | None = None,
        gate: ApprovalGate | None = None,
        warrant: Warrant | None = None,
        dry_run: bool | None = None,
        name: str = "tools",
        tags: list[str] | None = None,
        handle_tool_errors: bool | str | Callable[..., str] | type[Exception] | tuple[type[Exception], ...] = ...,
        messages_key: str = "messages",
    ) -> None:
        """The SDK constructor's parameters (ToolNode's, less its wrappers), plus ``dry_run``."""
