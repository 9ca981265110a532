"""Canonical CBOR and the request hash that binds an approval to one call."""

from __future__ import annotations

import hashlib
from typing import Any

import cbor2

from .keys import public_key_bytes

REQUEST_HASH_DOMAIN = "kavri.approval.request.v1"


def canonical_cbor(value: Any) -> bytes:
    """Encode `value` as canonical CBOR (sorted map keys, shortest forms).

    Equal values always give equal bytes, which is what makes hashes and
    signatures over them reproducible.

    Raises:
        ValueError: the value holds something CBOR cannot encode.
    """
    try:
        return cbor2.dumps(value, canonical=True)
    except cbor2.CBOREncodeError as exc:
        raise ValueError(f"value cannot be encoded as canonical CBOR: {exc}") from exc


def compute_request_hash(warrant_id: str, tool: str, arguments: Any, holder_key: Any) -> bytes:
    """SHA-256 of the canonical CBOR of the call being approved.

    The fields are hashed as one CBOR array, never as joined text, so no two
    different (warrant, tool, arguments, holder) tuples share an encoding.

    Args:
        warrant_id: the warrant the call runs under.
        tool: the tool name.
        arguments: the tool arguments, any CBOR-encodable value.
        holder_key: the warrant holder's public key (raw bytes, hex text or
            `PublicKey`).
    """
    structure = [REQUEST_HASH_DOMAIN, warrant_id, tool, arguments, public_key_bytes(holder_key)]
    return hashlib.sha256(canonical_cbor(structure)).digest()


__all__ = ["REQUEST_HASH_DOMAIN", "canonical_cbor", "compute_request_hash"]
