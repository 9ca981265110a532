import base64
import hashlib

import cbor2
import pytest

from kavri_core import (
    SigningKey,
    canonical_cbor,
    compute_request_hash,
    py_build_approval_context_attestation,
    verify_approval_context_attestation,
)

ARGS = {"to": "acct-9", "amount": 10}


def test_canonical_cbor_does_not_depend_on_map_order():
    assert canonical_cbor({"b": 1, "a": [1, b"x"]}) == canonical_cbor({"a": [1, b"x"], "b": 1})


def test_canonical_cbor_rejects_unencodable_values():
    with pytest.raises(ValueError, match="canonical CBOR"):
        canonical_cbor({"x": object()})


@pytest.mark.parametrize(
    "other",
    [
        ("w-2", "transfer", ARGS),
        ("w-1", "delete", ARGS),
        ("w-1", "transfer", {"to": "acct-9", "amount": 11}),
        ("w-1", "transfer", [ARGS]),
        # joined as text these two would collide with each other
        ("w-1t", "ransfer", ARGS),
    ],
)
def test_request_hash_binds_warrant_tool_and_arguments(holder, other):
    base = compute_request_hash("w-1", "transfer", ARGS, holder.public_key)
    assert compute_request_hash(*other, holder.public_key) != base


def test_request_hash_binds_holder_and_accepts_any_key_form(holder):
    base = compute_request_hash("w-1", "transfer", ARGS, holder.public_key)
    raw = holder.public_key.to_bytes()
    assert compute_request_hash("w-1", "transfer", dict(reversed(ARGS.items())), raw) == base
    assert compute_request_hash("w-1", "transfer", ARGS, raw.hex()) == base
    assert compute_request_hash("w-1", "transfer", ARGS, SigningKey.generate().public_key) != base


@pytest.mark.parametrize("public_key_form", ["object", "bytes"])
def test_attestation_round_trip(holder, public_key_form):
    public = holder.public_key if public_key_form == "object" else holder.public_key.to_bytes()
    args_b64, att = py_build_approval_context_attestation(holder, "w-1", "transfer", ARGS, public)
    assert cbor2.loads(base64.b64decode(args_b64, validate=True)) == ARGS
    assert att["args_sha256"] == hashlib.sha256(base64.b64decode(args_b64)).hexdigest()
    assert att["holder_key"] == holder.public_key.hex()
    expected = compute_request_hash("w-1", "transfer", ARGS, holder.public_key)
    assert att["request_hash"] == expected.hex()
    assert verify_approval_context_attestation(att, holder.public_key.to_bytes()) == expected
    assert verify_approval_context_attestation(att, holder.public_key, arguments=ARGS) == expected


def test_attestation_refuses_a_public_key_of_another_key(holder):
    with pytest.raises(ValueError, match="does not belong"):
        py_build_approval_context_attestation(holder, "w", "t", {}, SigningKey.generate().public_key)


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("tool", "delete", "signature is invalid"),
        ("warrant_id", "w-2", "signature is invalid"),
        ("request_hash", "00" * 32, "signature is invalid"),
        ("issued_at", 0, "signature is invalid"),
        ("signature", "00" * 64, "signature is invalid"),
        ("holder_key", "11" * 32, "different holder"),
        ("version", 2, "unsupported attestation version"),
        ("signature", "not-hex", "malformed hexadecimal"),
    ],
)
def test_tampered_attestation_is_rejected(holder, field, value, message):
    _, att = py_build_approval_context_attestation(holder, "w-1", "transfer", ARGS, holder.public_key)
    att[field] = value
    with pytest.raises(ValueError, match=message):
        verify_approval_context_attestation(att, holder.public_key)


def test_attestation_is_bound_to_its_arguments(holder):
    _, att = py_build_approval_context_attestation(holder, "w-1", "transfer", ARGS, holder.public_key)
    with pytest.raises(ValueError, match="other arguments"):
        verify_approval_context_attestation(att, holder.public_key, arguments={**ARGS, "amount": 11})
