"""Plain-Python LangGraph approval handler and observe-first helpers with the native
module's behaviour: the benchmark's baseline.

It is never imported by the package; it exists so that the native idempotency key,
handler creation, approval wait and observe-first check can be timed against the
same steps written in Python.
"""

from __future__ import annotations

import asyncio
import logging
import os

from reference.client import AsyncKavriCloudClient
from kavri_cloud.exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError
from kavri_cloud.hosted import DEFAULT_API_BASE_URL, DEFAULT_DASHBOARD_URL
from reference.payload_forge import build_approval_request_payload

logger = logging.getLogger("kavri_cloud.langgraph")

_DENIAL_MARKERS = ("Authorization denied", "Security configuration error", "Configuration error:")


def _get_idempotency_key(request):
    try:
        request_id = request.request_id
    except AttributeError:
        return None
    if request_id is None:
        return None
    if isinstance(request_id, (bytes, bytearray)):
        return request_id.hex()
    return str(request_id)


def langgraph_cloud_approval(
    api_key, *, signing_key=None, base_url=DEFAULT_API_BASE_URL, dashboard_url="", poll_interval=3.0, timeout=None
):
    from reference.approval import _extract_signed_approvals

    if timeout is not None:
        if isinstance(timeout, str):
            raise TypeError("must be real number, not str")
        _timeout = float(timeout)
    else:
        _timeout = float(os.environ.get("KAVRI_APPROVAL_TIMEOUT", "900"))
    _dashboard_url = (dashboard_url or os.environ.get("KAVRI_DASHBOARD_URL", "") or DEFAULT_DASHBOARD_URL).rstrip("/")
    timeout_text = (
        f"timed out after {_timeout!r}s waiting for cloud approval. "
        "Increase via langgraph_cloud_approval(timeout=...) or KAVRI_APPROVAL_TIMEOUT env var."
    )

    async def _handle(request):
        from kavri.approval import ApprovalDenied

        idempotency_key = _get_idempotency_key(request)
        payload = build_approval_request_payload(request, signing_key=signing_key, idempotency_key=idempotency_key)
        client = AsyncKavriCloudClient(api_key, base_url=base_url)
        try:
            created = await client.create_request(**payload.to_create_request_kwargs())
            request_id = created["id"]
            approval_url = _dashboard_url + "/approvals?request=" + str(request_id)
            logger.info("approval gate for '%s' - request %s - %s", request.tool, request_id, approval_url)
            loop = asyncio.get_running_loop()
            deadline = loop.time() + _timeout
            while True:
                data = await client.get_request(request_id)
                status = str(data.get("status", "")).lower()
                if status == "approved":
                    logger.info("approval granted for '%s' (request %s)", request.tool, request_id)
                    return _extract_signed_approvals(data)
                if status in ("denied", "rejected"):
                    raise ApprovalDenied(request, reason=data.get("denied_reason") or status)
                if status == "expired":
                    raise ApprovalDenied(request, reason="approval request expired")
                remaining = deadline - loop.time()
                if remaining <= 0:
                    raise ApprovalDenied(request, reason=timeout_text)
                await asyncio.sleep(remaining if remaining < poll_interval else poll_interval)
        except (ApprovalDeniedError, ApprovalExpiredError) as exc:
            raise ApprovalDenied(request, reason=str(exc)) from exc
        except ApprovalTimeoutError:
            raise ApprovalDenied(request, reason=timeout_text)  # noqa: B904
        finally:
            await client.close()

    return _handle


def _is_denial_tool_message(result):
    status = getattr(result, "status", None)
    content = getattr(result, "content", None)
    text = str(content) if content else ""
    if status != "error":
        return False
    return any(marker in text for marker in _DENIAL_MARKERS)


def _observe_or_result(result, request, handler, dry_run):
    if not dry_run or not _is_denial_tool_message(result):
        return result
    tool = getattr(request, "tool_call", None) or {}
    name = tool.get("name", "unknown") if isinstance(tool, dict) else "unknown"
    logger.info("kavri_cloud.langgraph: observe-first allowing '%s' after denial", name)
    return handler(request)
