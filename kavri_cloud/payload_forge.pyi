"""Build attested approval request payloads for the Kavri Cloud API."""

import logging
from typing import Any, ClassVar

from kavri_cloud.exceptions import KavriCloudError as KavriCloudError

logger: logging.Logger

class ApprovalRequestPayload:
    """The attested body of ``POST /v1/approvals/requests``.

    A mutable record: construct it with its fields by name or in order; two
    records of the same class are equal when all their fields are. Records are
    unhashable, copy and pickle field by field, and support ``match`` by
    position.
    """

    __match_args__: ClassVar[tuple[str, ...]]
    __hash__: ClassVar[None]  # type: ignore[assignment]

    warrant_id: str
    tool: str
    request_hash: bytes
    holder_key: bytes
    args_canonical_cbor_b64: str
    approval_context_attestation: dict[str, Any]
    metadata: dict[str, Any] | None
    policy_id: str | None
    threshold: int | None
    approver_keys: list[str] | None
    ttl_seconds: int | None
    idempotency_key: str | None

    def __init__(
        self,
        warrant_id: str,
        tool: str,
        request_hash: bytes,
        holder_key: bytes,
        args_canonical_cbor_b64: str,
        approval_context_attestation: dict[str, Any],
        metadata: dict[str, Any] | None = None,
        policy_id: str | None = None,
        threshold: int | None = None,
        approver_keys: list[str] | None = None,
        ttl_seconds: int | None = None,
        idempotency_key: str | None = None,
    ) -> None: ...
    def to_create_request_kwargs(self) -> dict[str, Any]:
        """The named arguments of the client's ``create_request``.

        Always the six attested fields (``request_hash`` and ``holder_key`` as
        raw bytes); then, in field order, ``metadata``, ``threshold``,
        ``approver_keys`` and ``ttl_seconds`` when not None, and ``policy_id``
        and ``idempotency_key`` when non-empty.
        """
    def __eq__(self, other: object) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

def build_approval_request_payload(
    request: Any, *, signing_key: Any = None, policy_id: str | None = None, idempotency_key: str | None = None
) -> ApprovalRequestPayload:
    """Build the attested create-request payload of an SDK ``ApprovalRequest``.

    The request is read duck-typed: any attribute may be absent or None.
    Pre-populated attestation fields are reused as they are; otherwise
    ``kavri_core`` builds them with the signing key (``signing_key``, or the
    SDK's ``key_scope()`` when it is None).

    Raises:
        KavriCloudError: no holder key; no attestation and no signing key; a
            request hash of the wrong type; no request hash anywhere.
        ValueError: invalid hexadecimal in the holder key or request hash.
    """

def _resolve_holder_key(request: Any) -> bytes:
    """Extract holder_key bytes from an ApprovalRequest."""

def _resolve_signing_key(explicit: Any = None) -> Any:
    """The explicit signing key, else the SDK's ``key_scope()`` result, else None."""

def _normalize_request_hash(value: Any) -> bytes:
    """Request hash bytes from bytes, a bytearray or hexadecimal text."""

def _extract_policy_id(request: Any, override: str | None = None) -> str | None:
    """The non-empty override, else the request's policy_id or policy_ref text, else None."""

def _extract_inline_rules(request: Any) -> tuple[list[str] | None, Any, Any]:
    """(approver keys as hex text or None, min_approvals, ttl seconds) of the request."""

def _build_attestation_fields(request: Any, *, signing_key: Any, holder_key: bytes) -> tuple[str, dict[str, Any], bytes]:
    """(CBOR base64 text, attestation dict, request hash bytes), built by kavri_core."""
