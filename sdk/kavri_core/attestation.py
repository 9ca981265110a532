"""Approval-context attestations: the holder's signed statement of the call.

An attestation is a plain dict::

    {"version": 1, "warrant_id": str, "tool": str,
     "args_sha256": hex, "holder_key": hex, "request_hash": hex,
     "issued_at": int, "signature": hex}

`signature` is the holder's Ed25519 signature over the canonical CBOR of the
dict without "signature". `request_hash` is `compute_request_hash` of the
warrant id, tool, arguments and holder key, so an approver who signs it
approves exactly this call.
"""

from __future__ import annotations

import base64
import hashlib
import time
from collections.abc import Mapping
from typing import Any

from .encoding import canonical_cbor, compute_request_hash
from .keys import PublicKey, SigningKey, public_key_bytes

ATTESTATION_VERSION = 1

_FIELDS = (
    "version",
    "warrant_id",
    "tool",
    "args_sha256",
    "holder_key",
    "request_hash",
    "issued_at",
    "signature",
)


def py_build_approval_context_attestation(
    key: SigningKey, warrant_id: str, tool: str, arguments: Any, public_key: Any, /
) -> tuple[str, dict[str, Any]]:
    """Build and sign the attestation of one tool call.

    Args:
        key: the holder's signing key.
        warrant_id: the warrant id.
        tool: the tool name.
        arguments: the tool arguments (any CBOR-encodable value).
        public_key: the holder's public key (`PublicKey` or raw bytes); it
            must be `key`'s own, or the attestation could never verify.

    Returns:
        The standard base64 text of the canonical CBOR of `arguments`, and
        the attestation dict.

    Raises:
        ValueError: `public_key` is malformed or is not `key`'s public key,
            or the arguments cannot be encoded.
    """
    holder = public_key_bytes(public_key)
    if holder != key.public_key.to_bytes():
        raise ValueError("public_key does not belong to the signing key")
    args_cbor = canonical_cbor(arguments)
    attestation: dict[str, Any] = {
        "version": ATTESTATION_VERSION,
        "warrant_id": warrant_id,
        "tool": tool,
        "args_sha256": hashlib.sha256(args_cbor).hexdigest(),
        "holder_key": holder.hex(),
        "request_hash": compute_request_hash(warrant_id, tool, arguments, holder).hex(),
        "issued_at": int(time.time()),
    }
    attestation["signature"] = key.sign(canonical_cbor(attestation)).hex()
    return base64.b64encode(args_cbor).decode("ascii"), attestation


_NO_ARGUMENTS = object()


def verify_approval_context_attestation(
    attestation: Mapping[str, Any], holder_key: Any, *, arguments: Any = _NO_ARGUMENTS
) -> bytes:
    """Check an attestation against the expected holder and return its request hash.

    Args:
        attestation: the attestation dict.
        holder_key: the expected holder public key (raw bytes, hex text or
            `PublicKey`).
        arguments: when given, the tool arguments are checked against
            "args_sha256" and the request hash is recomputed from them.

    Returns:
        The 32 request-hash bytes.

    Raises:
        ValueError: malformed attestation, another holder, a bad signature, or
            arguments that do not match.
    """
    if not isinstance(attestation, Mapping):
        raise ValueError("attestation must be a mapping")
    missing = [name for name in _FIELDS if name not in attestation]
    if missing:
        raise ValueError(f"attestation is missing {', '.join(missing)}")
    extra = sorted(str(name) for name in attestation if name not in _FIELDS)
    if extra:
        raise ValueError(f"attestation has unknown fields {', '.join(extra)}")
    if attestation["version"] != ATTESTATION_VERSION or isinstance(attestation["version"], bool):
        raise ValueError(f"unsupported attestation version {attestation['version']!r}")

    expected = public_key_bytes(holder_key)
    try:
        claimed = bytes.fromhex(str(attestation["holder_key"]))
        signature = bytes.fromhex(str(attestation["signature"]))
        request_hash = bytes.fromhex(str(attestation["request_hash"]))
    except ValueError:
        raise ValueError("attestation holds malformed hexadecimal") from None
    if claimed != expected:
        raise ValueError("attestation was made for a different holder key")
    if len(request_hash) != 32:
        raise ValueError("attestation request_hash must be 32 bytes")

    body = {name: value for name, value in attestation.items() if name != "signature"}
    try:
        PublicKey.from_bytes(expected).verify(signature, canonical_cbor(body))
    except ValueError:
        raise ValueError("attestation signature is invalid") from None

    if arguments is not _NO_ARGUMENTS:
        if hashlib.sha256(canonical_cbor(arguments)).hexdigest() != attestation["args_sha256"]:
            raise ValueError("attestation was made for other arguments")
        recomputed = compute_request_hash(attestation["warrant_id"], attestation["tool"], arguments, expected)
        if recomputed != request_hash:
            raise ValueError("attestation request_hash does not match the call")
    return request_hash


__all__ = [
    "ATTESTATION_VERSION",
    "py_build_approval_context_attestation",
    "verify_approval_context_attestation",
]
