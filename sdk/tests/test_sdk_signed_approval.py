import cbor2
import pytest

from kavri_core import (
    ApprovalVerificationError,
    SignedApproval,
    SigningKey,
    canonical_cbor,
    compute_request_hash,
    verify_approvals,
)


def test_signed_approval_round_trips(approvers, request_hash):
    approval = SignedApproval.create(approvers[0], request_hash, approved_at=1_700_000_000)
    decoded = SignedApproval.from_bytes(approval.to_bytes())
    assert decoded == approval and hash(decoded) == hash(approval)
    assert (decoded.request_hash, decoded.approver_key, decoded.decision, decoded.approved_at) == (
        request_hash,
        approvers[0].public_key,
        "approved",
        1_700_000_000,
    )
    assert cbor2.loads(approval.to_bytes())["v"] == 1
    assert approvers[0].public_key.hex() in repr(approval)


def _resigned(signer, **changes):
    """A structurally altered approval that still carries a valid signature."""
    fields = {
        "v": 1,
        "request_hash": b"\x07" * 32,
        "approver_key": signer.public_key.to_bytes(),
        "decision": "approved",
        "approved_at": 5,
    }
    fields.update(changes)
    fields = {k: v for k, v in fields.items() if v is not None}
    fields["signature"] = signer.sign(canonical_cbor(fields))
    return canonical_cbor(fields)


def _flip_in(raw, part):
    at = raw.index(part)
    return raw[:at] + bytes([raw[at] ^ 1]) + raw[at + 1 :]


def _reencoded(raw, **changes):
    return cbor2.dumps({**cbor2.loads(raw), **changes}, canonical=True)


@pytest.mark.parametrize(
    "mutate, message",
    [
        (lambda raw, a: _flip_in(raw, a.signature), "signature is invalid"),
        (lambda raw, a: _flip_in(raw, a.request_hash), "signature is invalid"),
        (lambda raw, a: _flip_in(raw, a.approver_key.to_bytes()), "signature is invalid"),
        (lambda raw, a: _reencoded(raw, approved_at=a.approved_at + 1), "signature is invalid"),
        (
            lambda raw, a: _reencoded(raw, approver_key=SigningKey.generate().public_key.to_bytes()),
            "signature is invalid",
        ),
        (lambda raw, a: cbor2.dumps(dict(reversed(cbor2.loads(raw).items()))), "not in canonical form"),
        (lambda raw, a: raw + b"\x00", "not in canonical form"),
        (lambda raw, a: raw[:-10], "not valid CBOR"),
        (lambda raw, a: b"", "not valid CBOR"),
    ],
    ids=[
        "signature",
        "request_hash",
        "approver_key",
        "approved_at",
        "swapped approver",
        "unsorted keys",
        "trailing byte",
        "truncated",
        "empty",
    ],
)
def test_tampered_bytes_are_rejected(approvers, request_hash, mutate, message):
    approval = SignedApproval.create(approvers[0], request_hash)
    with pytest.raises(ValueError, match=message):
        SignedApproval.from_bytes(mutate(approval.to_bytes(), approval))


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"decision": "denied"}, "decision"),
        ({"v": 2}, "version"),
        ({"extra": 1}, "expected fields"),
        ({"approved_at": None}, "expected fields"),
        ({"approved_at": 1.5}, "approved_at"),
        ({"request_hash": b"\x07" * 31}, "32 bytes"),
    ],
)
def test_validly_signed_but_malformed_approvals_are_rejected(changes, message):
    with pytest.raises(ValueError, match=message):
        SignedApproval.from_bytes(_resigned(SigningKey.generate(), **changes))


def _other_call(holder, case):
    args = {"amount": 10, "to": "acct-9"}
    return {
        "other tool": compute_request_hash("w-1", "delete", args, holder.public_key),
        "other arguments": compute_request_hash(
            "w-1", "transfer", {**args, "amount": 9999}, holder.public_key
        ),
        "other warrant": compute_request_hash("w-2", "transfer", args, holder.public_key),
        "other holder": compute_request_hash("w-1", "transfer", args, SigningKey.generate().public_key),
    }[case]


@pytest.mark.parametrize("case", ["other tool", "other arguments", "other warrant", "other holder"])
def test_approval_of_another_call_is_not_replayable(holder, approvers, request_hash, case):
    replayed = SignedApproval.create(approvers[0], _other_call(holder, case))
    with pytest.raises(ApprovalVerificationError, match="approves a different request"):
        verify_approvals(replayed, request_hash=request_hash, required_approvers=[approvers[0].public_key])


@pytest.mark.parametrize(
    "signers, min_approvals, accepted, message",
    [
        ([0], 1, 1, None),
        ([0, 1], 2, 2, None),
        ([0, 1, 2], 2, 3, None),
        ([0], 2, None, "need 2 valid approval"),
        ([0, 0], 2, None, "repeats approver"),
        (["outsider"], 1, None, "not an approver"),
        (["outsider", 1], 2, None, "not an approver"),
        ([], 1, None, "got 0"),
    ],
)
def test_threshold_counts_distinct_listed_approvers(
    approvers, request_hash, signers, min_approvals, accepted, message
):
    outsider = SigningKey.generate()
    keys = {i: k for i, k in enumerate(approvers)} | {"outsider": outsider}
    approvals = [SignedApproval.create(keys[s], request_hash) for s in signers]
    allowed = [approvers[0].public_key, approvers[1].public_key.to_bytes(), approvers[2].public_key.hex()]
    call = lambda: verify_approvals(
        approvals, request_hash=request_hash, required_approvers=allowed, min_approvals=min_approvals
    )
    if message is None:
        assert call() == approvals[:accepted]
    else:
        with pytest.raises(ApprovalVerificationError, match=message):
            call()


@pytest.mark.parametrize("required", [None, []])
def test_without_listed_approvers_any_key_counts(request_hash, required):
    approval = SignedApproval.create(SigningKey.generate(), request_hash)
    assert verify_approvals([approval], request_hash=request_hash, required_approvers=required) == [approval]


@pytest.mark.parametrize("result", [None, "abcd", b"\x00" * 10, [object()]])
def test_non_approvals_never_count(request_hash, result):
    with pytest.raises(ApprovalVerificationError):
        verify_approvals(result, request_hash=request_hash, required_approvers=None)


@pytest.mark.parametrize("min_approvals", [0, -1, True, "2"])
def test_threshold_below_one_is_refused(request_hash, min_approvals):
    approval = SignedApproval.create(SigningKey.generate(), request_hash)
    with pytest.raises(ValueError, match="min_approvals"):
        verify_approvals(
            approval, request_hash=request_hash, required_approvers=None, min_approvals=min_approvals
        )
