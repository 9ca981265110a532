"""Plain-Python reference of the blocking and asyncio cloud approval handlers,
written from the same behaviour as kavri_cloud.approval; a benchmark baseline only."""

from __future__ import annotations

import asyncio
import base64
import binascii
import re
import time
from typing import Any

from reference.payload_forge import build_approval_request_payload

from reference.client import AsyncKavriCloudClient, KavriCloudClient
from kavri_cloud.exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError, KavriCloudError


def _poll_until_resolved(client, request_id, *, poll_interval, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = client.get_request(request_id)
        if result.get("status", "") != "pending":
            return result
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ApprovalTimeoutError(request_id, timeout)
        time.sleep(remaining if remaining < poll_interval else poll_interval)


async def _async_poll_until_resolved(client, request_id, *, poll_interval, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = await client.get_request(request_id)
        if result.get("status", "") != "pending":
            return result
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ApprovalTimeoutError(request_id, timeout)
        await asyncio.sleep(remaining if remaining < poll_interval else poll_interval)


def _extract_signed_approvals(result: dict) -> Any:
    from kavri.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response

    responses = result.get("responses") or []
    if not responses:
        raise KavriCloudError("approved request has no approval responses")
    hex_re = re.compile(r"^[0-9a-fA-F]+$")
    signed: list[str] = []
    for r in responses:
        raw = r.get("signed_approval")
        if not raw:
            continue
        if hex_re.match(raw) and len(raw) % 2 == 0:
            try:
                signed.append(base64.b64encode(bytes.fromhex(raw)).decode())
                continue
            except (ValueError, TypeError):
                pass
        try:
            base64.b64decode(raw, validate=True)
        except (binascii.Error, ValueError):
            raise KavriCloudError("malformed signed_approval in cloud response: not valid hex or base64") from None
        if "=" in raw and raw.index("=") % 4 == 0:  # 3.13's validate mode, on every Python
            raise KavriCloudError("malformed signed_approval in cloud response: not valid hex or base64")
        signed.append(raw)
    approvals = signed_approvals_from_response(
        ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=signed or None))
    if not approvals:
        raise KavriCloudError("approved request has no approval responses")
    return approvals[0] if len(approvals) == 1 else approvals


def _outcome(request, result):
    from kavri.approval import ApprovalDenied

    status = result["status"]
    if status == "approved":
        return _extract_signed_approvals(result)
    if status == "denied":
        raise ApprovalDenied(request, reason=result.get("denied_reason") or "denied in Kavri Cloud")
    if status == "expired":
        raise ApprovalDenied(request, reason="approval request expired")
    raise ApprovalDenied(request, reason=f"unexpected status: {status}")


def cloud_approval(api_key, *, signing_key=None, base_url, poll_interval=2.0, timeout=300.0):
    def _handle(request):
        from kavri.approval import ApprovalDenied

        payload = build_approval_request_payload(request, signing_key=signing_key)
        with KavriCloudClient(api_key, base_url=base_url) as client:
            try:
                ar = client.create_request(**payload.to_create_request_kwargs())
                result = _poll_until_resolved(client, ar["id"], poll_interval=poll_interval, timeout=timeout)
                return _outcome(request, result)
            except (ApprovalDeniedError, ApprovalExpiredError) as exc:
                raise ApprovalDenied(request, reason=str(exc)) from exc
            except ApprovalTimeoutError:
                raise ApprovalDenied(request, reason=f"timed out after {timeout}s waiting for cloud approval") from None

    return _handle


def async_cloud_approval(api_key, *, signing_key=None, base_url, poll_interval=2.0, timeout=300.0):
    async def _core(request):
        from kavri.approval import ApprovalDenied

        payload = build_approval_request_payload(request, signing_key=signing_key)
        client = AsyncKavriCloudClient(api_key, base_url=base_url)
        try:
            ar = await client.create_request(**payload.to_create_request_kwargs())
            result = await _async_poll_until_resolved(client, ar["id"], poll_interval=poll_interval,
                                                      timeout=timeout)
            return _outcome(request, result)
        except (ApprovalDeniedError, ApprovalExpiredError) as exc:
            raise ApprovalDenied(request, reason=str(exc)) from exc
        except ApprovalTimeoutError:
            raise ApprovalDenied(request, reason=f"timed out after {timeout}s waiting for cloud approval") from None
        finally:
            await client.close()

    async def _handle(request):
        asyncio.get_running_loop()
        return await _core(request)

    return _handle
