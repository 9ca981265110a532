"""Kavri Cloud approval handlers: blocking, asyncio and Temporal."""

import logging
from collections.abc import Callable, Coroutine, Mapping
from typing import Any

from kavri_cloud.client import AsyncKavriCloudClient as AsyncKavriCloudClient
from kavri_cloud.client import KavriCloudClient as KavriCloudClient
from kavri_cloud.exceptions import ApprovalDeniedError as ApprovalDeniedError
from kavri_cloud.exceptions import ApprovalExpiredError as ApprovalExpiredError
from kavri_cloud.exceptions import ApprovalTimeoutError as ApprovalTimeoutError
from kavri_cloud.exceptions import KavriCloudError as KavriCloudError
from kavri_cloud.payload_forge import build_approval_request_payload as build_approval_request_payload

logger: logging.Logger

_DEFAULT_POLL_INTERVAL: float
_DEFAULT_TIMEOUT: float
_TEMPORAL_CLIENT_TIMEOUT: float
_DEFAULT_FAST_POLL_ATTEMPTS: int
_NOT_FOUND_STATUS: int
_DEFAULT_BASE_URL: str

def _poll_until_resolved(
    client: KavriCloudClient, request_id: str, *, poll_interval: float, timeout: float
) -> Mapping[str, Any]: ...
async def _async_poll_until_resolved(
    client: AsyncKavriCloudClient, request_id: str, *, poll_interval: float, timeout: float
) -> Mapping[str, Any]:
    """A native coroutine. On Python 3.10/3.11 inspect.iscoroutinefunction() accepts only
    Python functions; asyncio.iscoroutinefunction() reports it as a coroutine function."""

def _extract_signed_approvals(result: Mapping[str, Any]) -> Any: ...
def cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = ...,
    poll_interval: float = 2.0,
    timeout: float = 300.0,
) -> Callable[[Any], Any]: ...
def async_cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = ...,
    poll_interval: float = 2.0,
    timeout: float = 300.0,
) -> Callable[[Any], Coroutine[Any, Any, Any]]:
    """The returned handler is an ``async def`` function (inspect.iscoroutinefunction() is true
    on every supported Python); its ``_core`` is a native callable marked for
    asyncio.iscoroutinefunction(), and on Python 3.12+ for inspect."""

class TemporalCloudApprovalHandler:
    _api_key: str
    _signing_key: Any
    _holder: Any
    _holder_bytes: bytes
    _base_url: str
    _fast_poll_seconds: float
    _fast_poll_attempts: int
    def __init__(
        self,
        api_key: str,
        signing_key: Any,
        *,
        base_url: str = ...,
        fast_poll_seconds: float = 2.0,
        fast_poll_attempts: int = 3,
    ) -> None: ...
    def __call__(self, request: Any) -> Any:
        """The approval: one SignedApproval, or a list when the record holds several.

        One attempt runs at most its fast polls' sleeps plus one client timeout
        (``_TEMPORAL_CLIENT_TIMEOUT``, read at each call) for all its requests.
        The idempotency key sent is ``_build_temporal_approval_idempotency_key``
        followed by ":" and a digest of the call's request hash and of the
        activity's ``scheduled_time``; the request of the heartbeat details is
        resumed only when its ``request_hash`` is the call's (or when either
        side has none) and its ``idempotency_key``, when it has one, is the key
        sent or the bare activity key. Inside an activity, no poll
        sleeps past the start-to-close or heartbeat timeout (the shorter, from
        this call), and an approval seen after it is left to the next attempt.
        """
    @staticmethod
    def _extract_approval(data: Mapping[str, Any]) -> Any | None:
        """Every decodable SignedApproval: one alone, several as a list, none as None."""
    def _build_attestation(self, request: Any) -> tuple[str, dict[str, Any]]: ...

def temporal_cloud_approval(
    api_key: str,
    signing_key: Any,
    *,
    base_url: str = ...,
    fast_poll_seconds: float = 2.0,
    fast_poll_attempts: int = 3,
) -> TemporalCloudApprovalHandler: ...
def _build_temporal_approval_idempotency_key(
    request: Any, *, workflow_id: str = "", workflow_run_id: str = "", activity_id: str = ""
) -> str: ...
def _extract_temporal_heartbeat_request_id(details: Any) -> str | None: ...
