#!/usr/bin/env python3
"""Fuzz target: the shared hexadecimal and base64 codecs, against the host's own.

The codecs are native and not exported, so each is driven through the module
operation that uses it, on texts built from the input in each string width
(ASCII, Latin-1, BMP, astral), with the SDK call behind it replaced by a spy:

- hex decoding: ``payload_forge._normalize_request_hash`` against
  ``bytes.fromhex``: the same bytes, or a ``ValueError`` where the host fails, at
  the position the host names;
- lenient standard base64, then hex: ``TemporalCloudApprovalHandler._extract_approval``
  with a spy ``kavri_core.SignedApproval`` that records the bytes it is handed,
  against ``base64.b64decode`` and ``bytes.fromhex`` per response;
- the hex test, hex-to-base64 re-encoding and the strict base64 check:
  ``_extract_signed_approvals`` with a spy ``signed_approvals_from_response``,
  against ``re``, ``bytes.fromhex``, ``base64.b64encode`` and
  ``base64.b64decode(validate=True)``: the texts handed to the SDK (a valid base64
  text as the very object received), or the malformed-signature error;
- URL-safe base64: ``parse_connect_token``: its encoding error exactly when
  ``base64.urlsafe_b64decode`` fails, with the host's text and cause type, and
  otherwise the very document those bytes hold.

    ./dev fuzz codecs        (or, by hand, with requirements/fuzz.txt installed:)
    python fuzz/fuzz_codecs.py -max_total_time=600 -artifact_prefix=/tmp/ fuzz/corpus/codecs
"""

from __future__ import annotations

import base64
import json
import logging
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

import atheris  # noqa: E402
import harness  # noqa: E402

import kavri.cp_approval  # noqa: E402
import kavri_core  # noqa: E402
from kavri_cloud import approval, connect, payload_forge  # noqa: E402
from kavri_cloud.exceptions import KavriCloudError  # noqa: E402

MALFORMED = "malformed signed_approval in cloud response: not valid hex or base64"
NO_RESPONSES = "approved request has no approval responses"
_HEX_RE = re.compile("^[0-9a-fA-F]+$")

HEX_FRAGMENTS = ["0", "9", "a", "f", "A", "F", "0a", "ff", "Ab", " ", "\t", "\n", "\r", "\x0b", "\x0c", "\x1c",
                 "\xa0", "\u0660", "\uff10", "g", "x", "\u00e9", "\U0001d7ce"]
HEX_ALPHABET = "0123456789abcdefABCDEF"
B64_FRAGMENTS = ["=", "==", "===", "A", "QQ", "QUI", "QUJD", "+", "/", "-", "_", " ", "\n", "\r\n", "\t", "!", "*",
                 ".", "\x00", "\x7f", "\xe9", "\u0100", "\uff21", "\U0001d400", "=QQ==", "QQ==QUJD"]
B64_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
URL_ALPHABET = B64_ALPHABET + "-_"

logging.getLogger("kavri_cloud.approval").disabled = True  # two WARNING records per undecodable response


def host(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except (ValueError, TypeError) as exc:  # binascii.Error is a ValueError
        return ("error", exc)


def texts(fdp, fragments, alphabet, count_max=1):
    width = harness.pick_width(fdp)
    return [harness.build_text(fdp, width, fragments, alphabet) for _ in range(fdp.ConsumeIntInRange(1, count_max))]


# ---------------------------------------------------------------------------
# Hexadecimal


def check_hex(fdp) -> None:
    if fdp.ConsumeIntInRange(0, 15) == 0:
        raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 16))
        for value in (raw, bytearray(raw)):
            got = payload_forge._normalize_request_hash(value)
            if type(got) is not bytes or got != raw:
                raise AssertionError(f"_normalize_request_hash({value!r}) = {got!r}")
        return
    (text,) = texts(fdp, HEX_FRAGMENTS, HEX_ALPHABET)
    want = host(bytes.fromhex, text)
    got = host(payload_forge._normalize_request_hash, text)
    if want[0] == "ok":
        if got != want:
            raise AssertionError(f"hex {text!r}: {got!r} != bytes.fromhex {want!r}")
        return
    if got[0] != "error" or type(got[1]) is not ValueError:
        raise AssertionError(f"hex {text!r}: {got!r}, where bytes.fromhex fails with {want[1]!r}")
    # Both name where the digits went wrong (running out of digits is the end of the text
    # to the host), except that the host names the first non-ASCII character before all else.
    if not text.isascii():
        return
    host_at = int(re.search(r"position (\d+)", str(want[1])).group(1))
    message = str(got[1])
    named = re.search(r"position (\d+)", message)
    native_at = len(text) if "odd number of digits" in message else int(named.group(1)) if named else -1
    if native_at != host_at:
        raise AssertionError(f"hex {text!r}: {message!r}, the host: {want[1]}")


# ---------------------------------------------------------------------------
# Lenient base64 (then hex), as the Temporal handler reads a signature


class SpySignedApproval:
    def __init__(self, accept_at):
        self.seen = []
        self.accept_at = accept_at

    def from_bytes(self, data):
        self.seen.append(data)
        if len(self.seen) == self.accept_at:
            return ("accepted", bytes(data))
        raise ValueError("spy refuses")


def check_lenient_b64(fdp) -> None:
    raws = texts(fdp, B64_FRAGMENTS, B64_ALPHABET, count_max=3)
    accept_at = fdp.ConsumeIntInRange(0, 4)
    spy = SpySignedApproval(accept_at)
    original = kavri_core.SignedApproval
    kavri_core.SignedApproval = spy
    try:
        result = approval.TemporalCloudApprovalHandler._extract_approval(
            {"responses": [{"signed_approval": raw} for raw in raws]}
        )
    finally:
        kavri_core.SignedApproval = original
    # Every signature is tried (base64, then hex, until one is accepted); the spy
    # accepts only its accept_at-th decoding, so at most one approval comes back.
    expected = []
    want = None
    for raw in raws:
        if not raw:
            continue
        for decode in (base64.b64decode, bytes.fromhex):
            decoded = host(decode, raw)
            if decoded[0] == "ok":
                expected.append(decoded[1])
                if accept_at and len(expected) == accept_at:
                    want = ("accepted", decoded[1])
                    break
    if [type(b) for b in spy.seen] != [bytes] * len(spy.seen) or spy.seen != expected:
        raise AssertionError(f"signatures {raws!r}: decoded {spy.seen!r}, the host {expected!r}")
    if result != want:
        raise AssertionError(f"signatures {raws!r}: returned {result!r}, expected {want!r}")


# ---------------------------------------------------------------------------
# Hex test, re-encoding and the strict base64 check, as the generic handlers read signatures


def strict_b64_ok(text: str) -> bool:
    """The strict check's one rule: the host's validate mode as Python 3.13 has it,
    where padding may only complete the last quantum ("QUJD=" is malformed; 3.12
    and older accepted it)."""
    if host(base64.b64decode, text, validate=True)[0] != "ok":
        return False
    return "=" not in text or text.index("=") % 4 != 0


def check_strict_b64(fdp) -> None:
    fragments = B64_FRAGMENTS + HEX_FRAGMENTS if fdp.ConsumeBool() else B64_FRAGMENTS
    alphabet = HEX_ALPHABET if fdp.ConsumeIntInRange(0, 2) == 0 else B64_ALPHABET
    raws = texts(fdp, fragments, alphabet, count_max=3)
    seen = []

    def spy(record):
        seen.append((record.status, record.signed_approvals_b64))
        return []

    original = kavri.cp_approval.signed_approvals_from_response
    kavri.cp_approval.signed_approvals_from_response = spy
    try:
        try:
            approval._extract_signed_approvals({"responses": [{"signed_approval": raw} for raw in raws]})
            got = ("returned",)
        except KavriCloudError as exc:
            got = ("error", str(exc))
    finally:
        kavri.cp_approval.signed_approvals_from_response = original

    handed, passed_through = [], []
    want = ("error", NO_RESPONSES)
    for raw in raws:
        if not raw:
            continue
        if _HEX_RE.match(raw) and len(raw) % 2 == 0:
            decoded = host(bytes.fromhex, raw)
            if decoded[0] == "ok":
                handed.append(base64.b64encode(decoded[1]).decode("ascii"))
                passed_through.append(None)
                continue
        if not strict_b64_ok(raw):
            want = ("error", MALFORMED)
            break
        handed.append(raw)
        passed_through.append(raw)
    if got != want:
        raise AssertionError(f"signatures {raws!r}: {got!r}, expected {want!r}")
    if want[1] == MALFORMED:
        if seen:
            raise AssertionError(f"signatures {raws!r}: malformed, yet the SDK was called with {seen!r}")
        return
    if seen != [("approved", handed or None)]:
        raise AssertionError(f"signatures {raws!r}: the SDK was handed {seen!r}, expected {handed!r}")
    for raw, text in zip(passed_through, seen[0][1] or []):
        if type(text) is not str:
            raise AssertionError(f"signatures {raws!r}: handed a {type(text).__name__}")
        # A valid base64 signature goes to the SDK as the very object received.
        if raw is not None and text is not raw:
            raise AssertionError(f"signature {raw!r}: handed a copy")


# ---------------------------------------------------------------------------
# URL-safe base64, as the Quick Connect token is read


def _document(fdp) -> bytes:
    value = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 16))
    doc = {"endpoint": "http://127.0.0.1:8080", "api_key": "k" + value}
    if fdp.ConsumeBool():
        doc["note"] = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 8))
    return json.dumps(doc, ensure_ascii=fdp.ConsumeBool()).encode("utf-8")


def _complete(document) -> bool:
    """Whether the token's document makes a payload: an object with text fields, endpoint and key set."""
    fields = ("endpoint", "api_url", "api_key", "agent_id", "registration_token")
    return (
        isinstance(document, dict)
        and all(isinstance(document.get(name), (str, type(None))) for name in fields)
        and bool(document.get("endpoint"))
        and bool(document.get("api_key"))
    )


def check_urlsafe_b64(fdp) -> None:
    if fdp.ConsumeBool():
        (body,) = texts(fdp, B64_FRAGMENTS, URL_ALPHABET)
    else:
        # A real document's encoding, then edited: characters the decoder skips,
        # padding in the middle, cut or widened.
        body = base64.urlsafe_b64encode(_document(fdp)).decode("ascii")
        if fdp.ConsumeBool():
            body = body.rstrip("=")
        for _ in range(fdp.ConsumeIntInRange(0, 3)):
            at = fdp.ConsumeIntInRange(0, len(body))
            how = fdp.ConsumeIntInRange(0, 3)
            if how == 0:
                body = body[:at] + B64_FRAGMENTS[fdp.ConsumeIntInRange(0, len(B64_FRAGMENTS) - 1)] + body[at:]
            elif how == 1:
                body = body[:at] + body[at + 1 :]
            elif how == 2:
                body = body[:at]
            else:
                body = body[:at] + chr(fdp.ConsumeIntInRange(0x80, 0x10FFFF)) + body[at:]
    token = "kavri_ct_" + body
    decoded = host(base64.urlsafe_b64decode, body + "=" * (-len(body) % 4))
    try:
        payload = connect.parse_connect_token(token)
        got = ("ok", payload)
    except KavriCloudError as exc:
        got = ("error", str(exc), type(exc.__cause__))
    if decoded[0] == "error":
        want = ("error", f"invalid connect token encoding: {decoded[1]}", type(decoded[1]))
        if got != want:
            raise AssertionError(f"token body {body!r}: {got!r}, urlsafe_b64decode: {want!r}")
        return
    if got[0] == "error" and got[1].startswith("invalid connect token encoding"):
        raise AssertionError(f"token body {body!r}: {got!r}, urlsafe_b64decode gives {decoded[1]!r}")
    try:
        document = json.loads(decoded[1].decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError):
        if got[0] != "error" or not got[1].startswith("invalid connect token JSON: "):
            raise AssertionError(f"token body {body!r} holds no JSON ({decoded[1]!r}), yet: {got!r}") from None
        return
    if _complete(document) and (got[0] != "ok" or got[1].raw != document):
        raise AssertionError(f"token body {body!r} holds {document!r}, yet: {got!r}")


def test_one_input(data: bytes) -> None:
    if not data:
        return
    choice = data[0] % 4
    fdp = atheris.FuzzedDataProvider(data[1:])
    (check_hex, check_lenient_b64, check_strict_b64, check_urlsafe_b64)[choice](fdp)


def main() -> None:
    harness.instrument_modules(sys.modules[__name__], harness, base64)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
