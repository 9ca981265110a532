"""The attested create-request payload: built from real SDK requests and keys, and from
duck-typed requests whose attributes are absent, None or of the wrong type."""

from __future__ import annotations

import base64
import copy
import logging
import pickle
import re
import sys
import types

import kavri_core
import pytest
from kavri.approval import ApprovalGate, ApprovalRequest, Warrant
from kavri.decorators import bind_key

from kavri_cloud import payload_forge as pf
from kavri_cloud.client import KavriCloudClient
from kavri_cloud.exceptions import KavriCloudError

HOLDER_MSG = "request.holder_key is required for cloud approval - ensure the warrant is bound before enforcement"
ATTESTATION_MSG = (
    "approval attestation required - pass signing_key= to cloud_approval() or ensure the warrant is bound "
    "so key_scope() resolves the holder key"
)
HASH_TYPE_MSG = "request.request_hash must be bytes or hex string"
HASH_MISSING_MSG = "request_hash could not be resolved for approval request"

ARGS = {"amount": 250, "to": "acct_42"}


def exactly(message: str) -> str:
    return f"^{re.escape(message)}$"


@pytest.fixture
def holder():
    return kavri_core.SigningKey.generate()


@pytest.fixture
def gate_request(holder):
    """What the SDK's approval gate hands a handler: attestation fields pre-populated."""
    approvers = [kavri_core.SigningKey.generate().public_key for _ in range(2)]
    warrant = Warrant(id="wrt_1", holder_key=holder, tools_requiring_approval={"pay"}, approvers=approvers,
                      min_approvals=2, ttl_seconds=600)
    return ApprovalGate(warrant).request_for("pay", dict(ARGS))


@pytest.fixture
def bare_request(holder):
    """A request the core still has to attest."""
    return ApprovalRequest(tool="pay", warrant_id="wrt_1", arguments=dict(ARGS),
                           holder_key=holder.public_key.to_bytes())


@pytest.fixture
def core_must_not_run(monkeypatch):
    def fail(*_args):
        raise AssertionError("the core was called")

    monkeypatch.setattr(kavri_core, "py_build_approval_context_attestation", fail)


# ---------------------------------------------------------------- pre-populated fields


@pytest.mark.parametrize("signing_key", [None, "explicit"])
def test_pre_populated_fields_are_reused_without_calling_the_core(gate_request, holder, core_must_not_run,
                                                                   signing_key):
    key = holder if signing_key else None
    payload = pf.build_approval_request_payload(gate_request, signing_key=key)
    assert payload.args_canonical_cbor_b64 == gate_request.args_canonical_cbor_b64
    assert payload.approval_context_attestation == gate_request.approval_context_attestation
    assert payload.approval_context_attestation is not gate_request.approval_context_attestation
    assert payload.request_hash == gate_request.request_hash
    assert payload.holder_key == holder.public_key.to_bytes()
    assert payload.metadata is gate_request.arguments
    assert payload.approver_keys == [k.hex() for k in gate_request.required_approvers]
    assert (payload.threshold, payload.ttl_seconds, payload.warrant_id, payload.tool) == (2, 600, "wrt_1", "pay")


def test_request_hash_attribute_wins_over_the_pre_populated_attestation(gate_request, core_must_not_run):
    gate_request.request_hash = "AB cd"
    assert pf.build_approval_request_payload(gate_request).request_hash == b"\xab\xcd"


@pytest.mark.parametrize("entry, expected", [("0a0b", b"\x0a\x0b"), ("zz", ValueError), ("", HASH_MISSING_MSG),
                                             (None, HASH_MISSING_MSG)])
def test_without_a_request_hash_the_attestation_entry_is_the_fallback(gate_request, core_must_not_run, entry,
                                                                      expected):
    gate_request.request_hash = None
    gate_request.approval_context_attestation["request_hash"] = entry
    if isinstance(expected, bytes):
        assert pf.build_approval_request_payload(gate_request).request_hash == expected
    elif expected is ValueError:
        with pytest.raises(ValueError):
            pf.build_approval_request_payload(gate_request)
    else:
        with pytest.raises(KavriCloudError, match=exactly(expected)):
            pf.build_approval_request_payload(gate_request)


# ---------------------------------------------------------------- attestation by the core


@pytest.mark.parametrize("how", ["explicit", "scope"])
def test_the_core_attests_a_bare_request_with_the_resolved_key(bare_request, holder, how):
    if how == "explicit":
        payload = pf.build_approval_request_payload(bare_request, signing_key=holder)
    else:
        with bind_key(holder):
            payload = pf.build_approval_request_payload(bare_request)
    # The request's hash attribute holds None here: the attestation's own hash decides.
    attested = kavri_core.verify_approval_context_attestation(payload.approval_context_attestation,
                                                              holder.public_key, arguments=ARGS)
    assert payload.request_hash == attested == kavri_core.compute_request_hash("wrt_1", "pay", ARGS, holder.public_key)


@pytest.mark.parametrize("drop", ["args_canonical_cbor_b64", "approval_context_attestation"])
def test_one_missing_field_needs_a_key_and_then_everything_comes_from_the_core(gate_request, holder, drop):
    setattr(gate_request, drop, None)
    with pytest.raises(KavriCloudError, match=exactly(ATTESTATION_MSG)) as raised:
        pf.build_approval_request_payload(gate_request)
    assert raised.value.args == (ATTESTATION_MSG,)
    gate_request.request_hash = b"\x01" * 32  # the core's own hash wins over it
    payload = pf.build_approval_request_payload(gate_request, signing_key=holder)
    attested = kavri_core.verify_approval_context_attestation(payload.approval_context_attestation,
                                                              holder.public_key, arguments=ARGS)
    assert payload.request_hash == attested
    assert payload.args_canonical_cbor_b64 == base64.b64encode(kavri_core.canonical_cbor(ARGS)).decode()


def test_an_unusable_core_hash_entry_keeps_the_requests_own_hash(bare_request, holder, monkeypatch):
    real = kavri_core.py_build_approval_context_attestation

    def core(*args):
        cbor, attestation = real(*args)
        return [cbor, {**attestation, "request_hash": "not hex"}]  # any pair will do

    monkeypatch.setattr(kavri_core, "py_build_approval_context_attestation", core)
    bare_request.request_hash = bytearray(b"\x07" * 32)
    payload = pf.build_approval_request_payload(bare_request, signing_key=holder)
    assert payload.request_hash == b"\x07" * 32 and type(payload.request_hash) is bytes


@pytest.mark.parametrize("result, error", [("one", ValueError), (("a", {}, "c"), ValueError), (5, TypeError)])
def test_a_core_result_that_is_not_a_pair_fails_to_unpack(bare_request, holder, monkeypatch, result, error):
    monkeypatch.setattr(kavri_core, "py_build_approval_context_attestation", lambda *a: result)
    with pytest.raises(error, match="unpack"):
        pf.build_approval_request_payload(bare_request, signing_key=holder)


def test_core_errors_propagate_unchanged(bare_request, holder, monkeypatch):
    boom = RuntimeError("core down")
    monkeypatch.setattr(kavri_core, "py_build_approval_context_attestation", lambda *a: (_ for _ in ()).throw(boom))
    with pytest.raises(RuntimeError) as raised:
        pf.build_approval_request_payload(bare_request, signing_key=holder)
    assert raised.value is boom


def test_the_core_needs_warrant_id_tool_and_arguments(holder):
    request = types.SimpleNamespace(holder_key=holder.public_key.to_bytes(), tool="pay", arguments={})
    with pytest.raises(AttributeError, match="warrant_id"):
        pf.build_approval_request_payload(request, signing_key=holder)


# ---------------------------------------------------------------- failures and pass-through


class Key:
    def __init__(self, raw=None, error=None):
        self.raw, self.error = raw, error

    def to_bytes(self):
        if self.error:
            raise self.error
        return self.raw


@pytest.mark.parametrize("holder_key", ["absent", None, "", b"", bytearray(), Key(b""), object(), 12.5])
def test_a_missing_or_empty_holder_key_fails(gate_request, holder_key):
    if holder_key == "absent":
        request = types.SimpleNamespace(**{k: v for k, v in vars(gate_request).items() if k != "holder_key"})
    else:
        request = copy.copy(gate_request)
        request.holder_key = holder_key
    with pytest.raises(KavriCloudError, match=exactly(HOLDER_MSG)):
        pf.build_approval_request_payload(request)


@pytest.mark.parametrize("holder_key, expected", [
    (" 0A ff\n", b"\x0a\xff"),
    (bytearray(b"\x01\x02"), b"\x01\x02"),
    (Key(b"\x09"), b"\x09"),
])
def test_holder_key_forms(holder_key, expected):
    assert pf._resolve_holder_key(types.SimpleNamespace(holder_key=holder_key)) == expected


def test_a_public_key_object_gives_its_raw_bytes(holder):
    assert pf._resolve_holder_key(types.SimpleNamespace(holder_key=holder.public_key)) == holder.public_key.to_bytes()


@pytest.mark.parametrize("attribute, value, error", [
    ("holder_key", "abc", ValueError),
    ("holder_key", "0 a", ValueError),
    ("holder_key", Key(error=LookupError("hsm offline")), LookupError),
    ("request_hash", "xyz", ValueError),
    ("gate_ttl", "ninety", ValueError),
    ("gate_ttl", [90], TypeError),
])
def test_conversion_errors_propagate_unchanged(gate_request, attribute, value, error):
    setattr(gate_request, attribute, value)
    gate_request.ttl_seconds = None
    with pytest.raises(error):
        pf.build_approval_request_payload(gate_request)


@pytest.mark.parametrize("value", [123, ["ab"], object()])
def test_a_request_hash_of_another_type_fails(gate_request, bare_request, holder, value):
    gate_request.request_hash = value
    with pytest.raises(KavriCloudError, match=exactly(HASH_TYPE_MSG)):
        pf.build_approval_request_payload(gate_request)
    bare_request.request_hash = value
    with pytest.raises(KavriCloudError, match=exactly(HASH_TYPE_MSG)):
        pf.build_approval_request_payload(bare_request, signing_key=holder)


def test_the_error_kind_is_read_from_the_module_at_each_use(gate_request, monkeypatch):
    class Replaced(KavriCloudError):
        pass

    monkeypatch.setattr(pf, "KavriCloudError", Replaced)
    gate_request.holder_key = None
    with pytest.raises(Replaced):
        pf.build_approval_request_payload(gate_request)


def test_only_a_missing_attribute_is_absorbed(gate_request):
    class Broken(types.SimpleNamespace):
        @property
        def policy_id(self):
            raise KeyError("policy store")

    request = Broken(**{k: v for k, v in vars(gate_request).items() if k != "policy_id"})
    with pytest.raises(KeyError):
        pf.build_approval_request_payload(request)


# ---------------------------------------------------------------- signing key


def test_key_scope_is_looked_up_at_each_call(monkeypatch, holder):
    import kavri.decorators

    assert pf._resolve_signing_key() is None
    monkeypatch.setattr(kavri.decorators, "key_scope", lambda: holder)
    assert pf._resolve_signing_key() is holder
    assert pf._resolve_signing_key("explicit") == "explicit"


@pytest.mark.parametrize("how", ["module", "name", "call"])
def test_an_unimportable_scope_gives_no_key_silently(monkeypatch, caplog, how):
    import kavri.decorators

    if how == "module":
        monkeypatch.setitem(sys.modules, "kavri.decorators", None)
    elif how == "name":
        monkeypatch.delattr(kavri.decorators, "key_scope")
    else:
        monkeypatch.setattr(kavri.decorators, "key_scope", lambda: (_ for _ in ()).throw(ImportError("no core")))
    with caplog.at_level(logging.DEBUG, logger="kavri_cloud.payload_forge"):
        assert pf._resolve_signing_key() is None
    assert caplog.records == []


def test_a_failing_scope_gives_no_key_and_a_debug_record(monkeypatch, caplog):
    import kavri.decorators

    error = RuntimeError("no context")
    monkeypatch.setattr(kavri.decorators, "key_scope", lambda: (_ for _ in ()).throw(error))
    with caplog.at_level(logging.DEBUG, logger="kavri_cloud.payload_forge"):
        assert pf._resolve_signing_key() is None
    [record] = caplog.records
    assert (record.name, record.levelno, record.msg, record.args) == (
        "kavri_cloud.payload_forge", logging.DEBUG, "key_scope unavailable: %s", (error,))


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interruptions_in_the_scope_propagate(monkeypatch, error):
    import kavri.decorators

    monkeypatch.setattr(kavri.decorators, "key_scope", lambda: (_ for _ in ()).throw(error()))
    with pytest.raises(error):
        pf._resolve_signing_key()


def test_the_builder_uses_the_modules_internal_operations_as_found_at_call_time(bare_request, holder,
                                                                                 monkeypatch):
    monkeypatch.setattr(pf, "_resolve_signing_key", lambda explicit: holder)
    monkeypatch.setattr(pf, "_extract_policy_id", lambda request, override: "pol_patched")
    payload = pf.build_approval_request_payload(bare_request)
    assert payload.policy_id == "pol_patched" and payload.request_hash


# ---------------------------------------------------------------- inline rules, policy, identity


@pytest.mark.parametrize("attrs, expected", [
    ({"required_approvers": [b"\xab" * 32, "CAFE", 7]}, (["ab" * 32, "CAFE", "7"], None, None)),
    ({"required_approvers": (bytearray(b"\x01"),)}, (["01"], None, None)),
    ({"required_approvers": []}, (None, None, None)),
    ({"min_approvals": "2", "ttl_seconds": 0, "gate_ttl": 90}, (None, "2", 0)),
    ({"gate_ttl": 90.7}, (None, None, 90)),
    ({"gate_ttl": -1.5}, (None, None, -1)),
    ({"gate_ttl": "45"}, (None, None, 45)),
    ({"ttl_seconds": None, "gate_ttl": None}, (None, None, None)),
])
def test_inline_rules(attrs, expected):
    assert pf._extract_inline_rules(types.SimpleNamespace(**attrs)) == expected


@pytest.mark.parametrize("override, attrs, expected", [
    ("pol_arg", {"policy_id": "pol_req"}, "pol_arg"),
    ("", {"policy_id": "pol_req", "policy_ref": "ref"}, "pol_req"),
    (None, {"policy_id": "", "policy_ref": "ref"}, "ref"),
    (None, {"policy_id": 7, "policy_ref": "ref"}, "ref"),
    (None, {"policy_id": 7}, None),
    (None, {}, None),
])
def test_policy_id(override, attrs, expected):
    assert pf._extract_policy_id(types.SimpleNamespace(**attrs), override) == expected


@pytest.mark.parametrize("argument, attribute, expected", [
    ("idem_arg", "idem_req", "idem_arg"),
    ("", "idem_req", "idem_req"),
    (None, "idem_req", "idem_req"),
    (None, "absent", None),
])
def test_idempotency_key_falls_back_to_the_request(gate_request, argument, attribute, expected):
    request = types.SimpleNamespace(**vars(gate_request))
    if attribute == "absent":
        del request.idempotency_key
    else:
        request.idempotency_key = attribute
    assert pf.build_approval_request_payload(request, idempotency_key=argument).idempotency_key == expected


@pytest.mark.parametrize("arguments, metadata", [
    ({"a": 1}, "same"), (types.MappingProxyType({"a": 1}), "same"), ([1, 2], None), (None, None)])
def test_metadata_is_the_arguments_map_itself(gate_request, core_must_not_run, arguments, metadata):
    gate_request.arguments = arguments
    payload = pf.build_approval_request_payload(gate_request)
    assert payload.metadata is (arguments if metadata == "same" else None)


def test_warrant_id_and_tool_are_text_and_absent_ones_empty(gate_request, core_must_not_run):
    request = types.SimpleNamespace(**vars(gate_request))
    request.warrant_id = 42
    del request.tool
    payload = pf.build_approval_request_payload(request)
    assert (payload.warrant_id, payload.tool) == ("42", "")


@pytest.mark.parametrize("call", [
    lambda r: pf.build_approval_request_payload(),
    lambda r: pf.build_approval_request_payload(r, None),
    lambda r: pf.build_approval_request_payload(r, signing_key=None, signing_keys=None),
    lambda r: pf.build_approval_request_payload(r, extra=1),
    lambda r: pf.build_approval_request_payload(r, request=r),
    lambda r: pf._build_attestation_fields(r, signing_key=None),
    lambda r: pf._build_attestation_fields(r, None, b""),
    lambda r: pf._normalize_request_hash(),
])
def test_wrong_argument_shapes_are_type_errors(gate_request, call):
    with pytest.raises(TypeError):
        call(gate_request)


# ---------------------------------------------------------------- the record


def record(**changes):
    fields = dict(warrant_id="w", tool="t", request_hash=b"\x01", holder_key=b"\x02",
                  args_canonical_cbor_b64="oA==", approval_context_attestation={"v": 1})
    fields.update(changes)
    return pf.ApprovalRequestPayload(**fields)


@pytest.mark.parametrize("changes, optional", [
    ({}, {}),
    ({"metadata": {}, "threshold": 0, "approver_keys": [], "ttl_seconds": 0},
     {"metadata": {}, "threshold": 0, "approver_keys": [], "ttl_seconds": 0}),
    ({"policy_id": "", "idempotency_key": ""}, {}),
    ({"idempotency_key": "k", "policy_id": "p", "ttl_seconds": 5},
     {"policy_id": "p", "ttl_seconds": 5, "idempotency_key": "k"}),
])
def test_create_request_kwargs_keys_and_order(changes, optional):
    kwargs = record(**changes).to_create_request_kwargs()
    required = ["warrant_id", "tool", "request_hash", "holder_key", "args_canonical_cbor_b64",
                "approval_context_attestation"]
    assert list(kwargs) == required + list(optional)
    assert {k: kwargs[k] for k in optional} == optional
    assert kwargs["request_hash"] == b"\x01"


def test_the_record_behaves_like_a_dataclass():
    by_position = pf.ApprovalRequestPayload("w", "t", b"\x01", b"\x02", "oA==", {"v": 1}, None, "p")
    assert by_position == record(policy_id="p") and by_position != record()
    assert by_position != ("w", "t") and by_position.threshold is None
    by_position.threshold = 3
    assert by_position.threshold == 3 and by_position != record(policy_id="p")
    assert repr(record()).startswith("ApprovalRequestPayload(warrant_id='w', tool='t', request_hash=b'\\x01', ")
    assert repr(record()).endswith("ttl_seconds=None, idempotency_key=None)")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(by_position, protocol)) == by_position
    with pytest.raises(TypeError):
        hash(by_position)
    looped = record()
    looped.metadata = {"self": looped}
    assert "metadata={'self': ...}" in repr(looped)


@pytest.mark.parametrize("args, kwargs", [
    (("w", "t", b"", b"", ""), {}),
    (("w",) * 13, {}),
    (("w", "t", b"", b"", "", {}), {"tool": "x"}),
    (("w", "t", b"", b"", "", {}), {"extra": 1}),
])
def test_record_construction_with_wrong_arguments_is_a_type_error(args, kwargs):
    with pytest.raises(TypeError):
        pf.ApprovalRequestPayload(*args, **kwargs)


# ---------------------------------------------------------------- the real service


@pytest.mark.parametrize("path", ["pre-populated", "core"])
def test_the_local_cloud_accepts_the_payload(local_cloud, gate_request, bare_request, holder, path):
    request = gate_request if path == "pre-populated" else bare_request
    payload = pf.build_approval_request_payload(request, signing_key=holder, idempotency_key="idem-1")
    with KavriCloudClient(local_cloud.runtime_key, base_url=local_cloud.url, timeout=5.0) as client:
        created = client.create_request(**payload.to_create_request_kwargs())
        again = client.create_request(**payload.to_create_request_kwargs())
    assert created["status"] == "pending" and again["id"] == created["id"]
