"""Plain-Python payload builder with the native module's behaviour: the benchmark's baseline.

It is never imported by the package; it exists so that the native build of an
attested create-request body can be timed against what the same steps cost
when written in Python.
"""

from __future__ import annotations

import logging
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

logger = logging.getLogger("kavri_cloud.payload_forge")


class KavriCloudError(Exception):
    pass


@dataclass
class ApprovalRequestPayload:
    warrant_id: str
    tool: str
    request_hash: bytes
    holder_key: bytes
    args_canonical_cbor_b64: str
    approval_context_attestation: dict[str, Any]
    metadata: dict[str, Any] | None = None
    policy_id: str | None = None
    threshold: int | None = None
    approver_keys: list[str] | None = None
    ttl_seconds: int | None = None
    idempotency_key: str | None = None

    def to_create_request_kwargs(self) -> dict[str, Any]:
        out: dict[str, Any] = {
            "warrant_id": self.warrant_id,
            "tool": self.tool,
            "request_hash": self.request_hash,
            "holder_key": self.holder_key,
            "args_canonical_cbor_b64": self.args_canonical_cbor_b64,
            "approval_context_attestation": self.approval_context_attestation,
        }
        if self.metadata is not None:
            out["metadata"] = self.metadata
        if self.policy_id:
            out["policy_id"] = self.policy_id
        if self.threshold is not None:
            out["threshold"] = self.threshold
        if self.approver_keys is not None:
            out["approver_keys"] = self.approver_keys
        if self.ttl_seconds is not None:
            out["ttl_seconds"] = self.ttl_seconds
        if self.idempotency_key:
            out["idempotency_key"] = self.idempotency_key
        return out


def _resolve_holder_key(request: Any) -> bytes:
    holder = getattr(request, "holder_key", None)
    if holder is None:
        return b""
    if isinstance(holder, (bytes, bytearray)):
        return bytes(holder)
    if isinstance(holder, str):
        return bytes.fromhex(holder)
    to_bytes = getattr(holder, "to_bytes", None)
    if callable(to_bytes):
        return to_bytes()
    return b""


def _resolve_signing_key(explicit: Any = None) -> Any:
    if explicit is not None:
        return explicit
    try:
        from kavri.decorators import key_scope

        return key_scope()
    except ImportError:
        return None
    except Exception as exc:
        logger.debug("key_scope unavailable: %s", exc)
        return None


def _normalize_request_hash(value: Any) -> bytes:
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return bytes.fromhex(value)
    raise KavriCloudError("request.request_hash must be bytes or hex string")


def _extract_policy_id(request: Any, override: str | None = None) -> str | None:
    if override:
        return override
    for name in ("policy_id", "policy_ref"):
        value = getattr(request, name, None)
        if isinstance(value, str) and value:
            return value
    return None


def _extract_inline_rules(request: Any) -> tuple[list[str] | None, Any, Any]:
    approvers = getattr(request, "required_approvers", None)
    keys = None
    if approvers:
        keys = [
            key.hex() if isinstance(key, (bytes, bytearray)) else key if isinstance(key, str) else str(key)
            for key in approvers
        ]
    threshold = getattr(request, "min_approvals", None)
    ttl = getattr(request, "ttl_seconds", None)
    if ttl is None:
        gate_ttl = getattr(request, "gate_ttl", None)
        if gate_ttl is not None:
            ttl = int(gate_ttl)
    return keys, threshold, ttl


def _build_attestation_fields(request: Any, *, signing_key: Any, holder_key: bytes) -> tuple[str, dict, bytes]:
    from kavri_core import py_build_approval_context_attestation

    args_b64, attestation = py_build_approval_context_attestation(
        signing_key, request.warrant_id, request.tool, request.arguments, signing_key.public_key
    )
    attestation = dict(attestation)
    own = getattr(request, "request_hash", None)
    request_hash = _normalize_request_hash(own) if own is not None else b""
    entry = attestation.get("request_hash")
    if entry:
        try:
            request_hash = bytes.fromhex(str(entry))
        except (ValueError, TypeError):
            pass
    return args_b64, attestation, request_hash


def build_approval_request_payload(
    request: Any, *, signing_key: Any = None, policy_id: str | None = None, idempotency_key: str | None = None
) -> ApprovalRequestPayload:
    holder_key = _resolve_holder_key(request)
    if not holder_key:
        raise KavriCloudError(
            "request.holder_key is required for cloud approval - ensure the warrant is bound before enforcement"
        )
    args_b64 = getattr(request, "args_canonical_cbor_b64", None) or ""
    attestation = dict(getattr(request, "approval_context_attestation", None) or {})
    key = _resolve_signing_key(signing_key)
    own = getattr(request, "request_hash", None)
    request_hash = _normalize_request_hash(own) if own is not None else b""
    if not args_b64 or not attestation:
        if key is None:
            raise KavriCloudError(
                "approval attestation required - pass signing_key= to cloud_approval() or ensure the warrant"
                " is bound so key_scope() resolves the holder key"
            )
        args_b64, attestation, request_hash = _build_attestation_fields(
            request, signing_key=key, holder_key=holder_key
        )
    if not request_hash:
        entry = attestation.get("request_hash")
        if not entry:
            raise KavriCloudError("request_hash could not be resolved for approval request")
        request_hash = bytes.fromhex(str(entry))
    approver_keys, threshold, ttl = _extract_inline_rules(request)
    arguments = getattr(request, "arguments", None)
    return ApprovalRequestPayload(
        warrant_id=str(getattr(request, "warrant_id", "")),
        tool=str(getattr(request, "tool", "")),
        request_hash=request_hash,
        holder_key=holder_key,
        args_canonical_cbor_b64=args_b64,
        approval_context_attestation=attestation,
        metadata=arguments if isinstance(arguments, (dict, Mapping)) else None,
        policy_id=_extract_policy_id(request, policy_id),
        threshold=threshold,
        approver_keys=approver_keys,
        ttl_seconds=ttl,
        idempotency_key=idempotency_key or getattr(request, "idempotency_key", None),
    )
