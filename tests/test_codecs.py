"""The shared hexadecimal and base64 codecs agree with the host's own decoders.

The codecs are native and not exported, so each is driven through the module
operation that uses it, with the SDK call behind it replaced by a spy that
records the decoded bytes.
"""

from __future__ import annotations

import base64
import binascii
import string
import sys

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from kavri_cloud import approval, payload_forge

B64_CHARS = string.ascii_letters + string.digits + "+/=-_ \n\t!*é"
HEX_CHARS = string.hexdigits + " \t\n\r\x0b\x0cxg\u00e9\u0660"

hex_texts = st.text(alphabet=HEX_CHARS, max_size=40)
b64_texts = st.one_of(
    st.text(alphabet=B64_CHARS, max_size=40),
    # mostly-valid texts: the alphabet with padding in any place
    st.text(alphabet=string.ascii_letters + string.digits + "+/=", max_size=24),
    st.binary(max_size=18).map(lambda b: base64.b64encode(b).decode()),
)


def host(fn, *args):
    try:
        return ("ok", fn(*args))
    except (ValueError, binascii.Error):
        return ("error", None)


@settings(max_examples=500)
@given(hex_texts)
@example("0A 0b\n")
@example(" a b")
@example("abc")
def test_hex_decoding_matches_bytes_fromhex(text):
    expected = host(bytes.fromhex, text)
    got = host(payload_forge._normalize_request_hash, text)
    assert got == expected


def test_hex_errors_say_what_is_wrong():
    with pytest.raises(ValueError, match="odd number of digits"):
        payload_forge._normalize_request_hash("abc")
    with pytest.raises(ValueError, match="position 1"):
        payload_forge._normalize_request_hash("ag")


class Spy:
    def __init__(self):
        self.seen = []

    def from_bytes(self, data):
        self.seen.append(bytes(data))
        raise ValueError("spy")


@settings(max_examples=500)
@given(b64_texts.filter(lambda s: s.strip() != ""))
@example("QUJD=")
@example("QQ=")
@example("Q===")
def test_lenient_standard_base64_matches_b64decode(text):
    import kavri_core

    spy = Spy()
    original = kavri_core.SignedApproval
    kavri_core.SignedApproval = spy
    try:
        approval.TemporalCloudApprovalHandler._extract_approval({"responses": [{"signed_approval": text}]})
    finally:
        kavri_core.SignedApproval = original
    expected = host(base64.b64decode, text)
    if expected[0] == "ok":
        assert spy.seen[:1] == [expected[1]]
    else:
        # base64 refused it; the hex attempt may still have produced bytes.
        hexed = host(bytes.fromhex, text)
        assert spy.seen == ([hexed[1]] if hexed[0] == "ok" else [])


@pytest.mark.skipif(sys.version_info < (3, 11), reason="the host's strict mode changed in 3.11; the codec follows 3.11+")
@pytest.mark.parametrize(
    "signature, accepted",
    [
        ("QUJD", True),
        ("QQ==", True),
        ("QUI=", True),
        ("QUJD=", False),  # 3.12 and older accept this in validate mode, 3.13 does not
        ("QUJD==", False),
        ("QUJD=QQ==", False),
        ("=QUJD", False),
    ],
)
def test_padding_only_completes_the_last_quantum_on_every_python(signature, accepted):
    from kavri_cloud.exceptions import KavriCloudError

    if accepted:
        with pytest.raises(KavriCloudError, match="no approval responses|signed approval"):
            _extract_through_failing_sdk(signature)
    else:
        with pytest.raises(KavriCloudError, match="malformed signed_approval"):
            _extract_through_failing_sdk(signature)


def _extract_through_failing_sdk(signature):
    import kavri.cp_approval

    original = kavri.cp_approval.signed_approvals_from_response
    kavri.cp_approval.signed_approvals_from_response = lambda record: []
    try:
        approval._extract_signed_approvals({"responses": [{"signed_approval": signature}]})
    finally:
        kavri.cp_approval.signed_approvals_from_response = original


@settings(max_examples=500)
@given(b64_texts.filter(lambda s: s != ""))
@example("QUJD=")
@example("QUJD==")
@example("QUJD=QQ==")
@example("=QQ==")
@example("QQ===")
def test_strict_base64_check_matches_validate_mode(text):
    import kavri.cp_approval

    seen = []
    original = kavri.cp_approval.signed_approvals_from_response

    def spy(record):
        seen.extend(record.signed_approvals_b64 or [])
        return []

    kavri.cp_approval.signed_approvals_from_response = spy
    try:
        try:
            approval._extract_signed_approvals({"responses": [{"signed_approval": text}]})
        except Exception as exc:  # "no approval responses" (the spy decodes none) or "malformed"
            malformed = "malformed" in str(exc)
    finally:
        kavri.cp_approval.signed_approvals_from_response = original
    is_hex = all(c in string.hexdigits for c in text.rstrip("\n")) and text.rstrip("\n") and len(text) % 2 == 0
    if is_hex and host(bytes.fromhex, text)[0] == "ok":
        return  # the hex branch took it
    # One rule on every Python: validate mode as 3.13 has it, where padding may only
    # complete the last quantum (3.12 and older let "QUJD=" through).
    valid = host(lambda s: base64.b64decode(s, validate=True), text)[0] == "ok"
    valid = valid and ("=" not in text or text.index("=") % 4 != 0)
    assert malformed is (not valid)
    if valid:
        assert seen == [text]
