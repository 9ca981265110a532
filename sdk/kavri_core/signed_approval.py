"""Signed approvals: an approver's Ed25519-signed decision over a request hash.

Byte format: the canonical CBOR of the map ::

    {"v": 1,
     "request_hash": bytes(32),   # compute_request_hash of the approved call
     "approver_key": bytes(32),   # the approver's Ed25519 public key
     "decision": "approved",
     "approved_at": int,          # unix seconds
     "signature": bytes(64)}

`signature` is the approver's Ed25519 signature over the canonical CBOR of
the same map without "signature". Decoding accepts only this exact shape in
canonical form, so one approval has exactly one byte encoding and equality by
bytes is meaningful.
"""

from __future__ import annotations

import hmac
import time
from collections.abc import Iterable
from typing import Any

import cbor2

from .encoding import canonical_cbor
from .keys import KEY_LENGTH, SIGNATURE_LENGTH, PublicKey, SigningKey, public_key_bytes

SIGNED_APPROVAL_VERSION = 1
APPROVED = "approved"
_HASH_LENGTH = 32
_KEYS = frozenset({"v", "request_hash", "approver_key", "decision", "approved_at", "signature"})


class ApprovalVerificationError(ValueError):
    """Signed approvals do not satisfy the request, the approvers or the threshold."""


def _require_hash(value: object) -> bytes:
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise ValueError(f"request_hash must be bytes, not {type(value).__name__}")
    data = bytes(value)
    if len(data) != _HASH_LENGTH:
        raise ValueError(f"request_hash must be {_HASH_LENGTH} bytes, got {len(data)}")
    return data


def _is_int(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _unsigned_map(request_hash: bytes, approver_key: PublicKey, approved_at: int) -> dict[str, Any]:
    return {
        "v": SIGNED_APPROVAL_VERSION,
        "request_hash": request_hash,
        "approver_key": approver_key.to_bytes(),
        "decision": APPROVED,
        "approved_at": approved_at,
    }


class SignedApproval:
    """One approver's signed "approved" decision over a request hash.

    Build one with `create` or decode one with `from_bytes`; both guarantee
    that the self-signature verifies.
    """

    __slots__ = ("_approved_at", "_approver_key", "_bytes", "_request_hash", "_signature")

    def __init__(self, request_hash: bytes, approver_key: PublicKey, approved_at: int, signature: bytes):
        self._request_hash = request_hash
        self._approver_key = approver_key
        self._approved_at = approved_at
        self._signature = signature
        self._bytes = canonical_cbor(self._body() | {"signature": signature})

    def _body(self) -> dict[str, Any]:
        return _unsigned_map(self._request_hash, self._approver_key, self._approved_at)

    def signed_message(self) -> bytes:
        """The bytes the approver signed."""
        return canonical_cbor(self._body())

    def verify_signature(self) -> None:
        """Raise `ValueError` unless the approver's signature verifies."""
        self._approver_key.verify(self._signature, self.signed_message())

    @classmethod
    def create(
        cls,
        approver_key: SigningKey,
        request_hash: bytes,
        *,
        approved_at: int | None = None,
    ) -> SignedApproval:
        """Sign an approval of `request_hash` with the approver's key."""
        if not isinstance(approver_key, SigningKey):
            raise TypeError(f"approver_key must be a SigningKey, not {type(approver_key).__name__}")
        digest = _require_hash(request_hash)
        if approved_at is None:
            approved_at = int(time.time())
        elif not _is_int(approved_at):
            raise ValueError("approved_at must be an integer (unix seconds)")
        public = approver_key.public_key
        signature = approver_key.sign(canonical_cbor(_unsigned_map(digest, public, approved_at)))
        return cls(digest, public, approved_at, signature)

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> SignedApproval:
        """Decode a signed approval and verify its signature.

        Raises:
            ValueError: the bytes are not a canonical signed approval, or the
                signature does not verify.
        """
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise ValueError(f"signed approval must be bytes, not {type(data).__name__}")
        raw = bytes(data)
        try:
            fields = cbor2.loads(raw)
        except (cbor2.CBORDecodeError, ValueError, TypeError) as exc:
            raise ValueError(f"signed approval is not valid CBOR: {exc}") from None
        if not isinstance(fields, dict) or set(fields) != _KEYS:
            raise ValueError("signed approval does not have the expected fields")
        if fields["v"] != SIGNED_APPROVAL_VERSION or not _is_int(fields["v"]):
            raise ValueError(f"unsupported signed approval version {fields['v']!r}")
        if fields["decision"] != APPROVED:
            raise ValueError(f"signed approval decision must be 'approved', got {fields['decision']!r}")
        if not _is_int(fields["approved_at"]):
            raise ValueError("signed approval approved_at must be an integer")
        if not isinstance(fields["signature"], bytes) or len(fields["signature"]) != SIGNATURE_LENGTH:
            raise ValueError("signed approval signature must be 64 bytes")
        if not isinstance(fields["approver_key"], bytes) or len(fields["approver_key"]) != KEY_LENGTH:
            raise ValueError("signed approval approver_key must be 32 bytes")
        approval = cls(
            _require_hash(fields["request_hash"]),
            PublicKey.from_bytes(fields["approver_key"]),
            fields["approved_at"],
            fields["signature"],
        )
        if approval._bytes != raw:
            raise ValueError("signed approval is not in canonical form")
        try:
            approval.verify_signature()
        except ValueError:
            raise ValueError("signed approval signature is invalid") from None
        return approval

    def to_bytes(self) -> bytes:
        """The canonical byte encoding."""
        return self._bytes

    @property
    def request_hash(self) -> bytes:
        return self._request_hash

    @property
    def approver_key(self) -> PublicKey:
        return self._approver_key

    @property
    def decision(self) -> str:
        return APPROVED

    @property
    def approved_at(self) -> int:
        return self._approved_at

    @property
    def signature(self) -> bytes:
        return self._signature

    def __eq__(self, other: object) -> bool:
        if isinstance(other, SignedApproval):
            return self._bytes == other._bytes
        return NotImplemented

    def __hash__(self) -> int:
        return hash((SignedApproval, self._bytes))

    def __repr__(self) -> str:
        return (
            f"SignedApproval(decision='{APPROVED}', approver_key='{self._approver_key.hex()}', "
            f"request_hash='{self._request_hash.hex()}', approved_at={self._approved_at})"
        )


def verify_approvals(
    approvals: SignedApproval | Iterable[SignedApproval] | None,
    *,
    request_hash: bytes,
    required_approvers: Iterable[Any] | None,
    min_approvals: int | None = 1,
) -> list[SignedApproval]:
    """Check that enough distinct approvers approved exactly this request.

    Args:
        approvals: one `SignedApproval` or an iterable of them.
        request_hash: the hash of the call that must have been approved.
        required_approvers: the keys allowed to approve (`PublicKey`, raw
            bytes or hex text); empty or None lets any key approve.
        min_approvals: how many distinct approvers are needed (None means 1).

    Returns:
        The accepted approvals, the first one of each approver, in order.

    Raises:
        ApprovalVerificationError: fewer valid distinct approvals than needed;
            the message says why each rejected one was rejected.
        ValueError: malformed `request_hash`, approver list or threshold.
    """
    expected = _require_hash(request_hash)
    threshold = 1 if min_approvals is None else min_approvals
    if not _is_int(threshold) or threshold < 1:
        raise ValueError(f"min_approvals must be a positive integer, got {min_approvals!r}")
    allowed = {public_key_bytes(key) for key in (required_approvers or ())}

    if approvals is None:
        candidates: list[Any] = []
    elif isinstance(approvals, SignedApproval):
        candidates = [approvals]
    elif isinstance(approvals, (str, bytes, bytearray, memoryview)):
        candidates = [approvals]  # rejected below: not a decoded approval
    else:
        candidates = list(approvals)

    accepted: list[SignedApproval] = []
    seen: set[bytes] = set()
    problems: list[str] = []
    for index, approval in enumerate(candidates):
        if not isinstance(approval, SignedApproval):
            problems.append(f"#{index} is a {type(approval).__name__}, not a SignedApproval")
            continue
        approver = approval.approver_key.to_bytes()
        if not hmac.compare_digest(approval.request_hash, expected):
            problems.append(f"#{index} approves a different request")
        elif allowed and approver not in allowed:
            problems.append(f"#{index} is signed by {approver.hex()}, which is not an approver")
        elif approver in seen:
            problems.append(f"#{index} repeats approver {approver.hex()}")
        else:
            try:
                approval.verify_signature()
            except ValueError:
                problems.append(f"#{index} has an invalid signature")
                continue
            seen.add(approver)
            accepted.append(approval)

    if len(accepted) < threshold:
        detail = f"; rejected: {'; '.join(problems)}" if problems else ""
        raise ApprovalVerificationError(
            f"need {threshold} valid approval(s) from distinct approvers, got {len(accepted)}{detail}"
        )
    return accepted


__all__ = [
    "APPROVED",
    "SIGNED_APPROVAL_VERSION",
    "ApprovalVerificationError",
    "SignedApproval",
    "verify_approvals",
]
