#!/usr/bin/env python3
"""Fuzz target: signed-approval extraction from approval records.

Each input builds one record the way a cloud response could look: "responses"
missing, null, empty, a list or tuple of entries, or some other JSON value; entries
that are dicts (with or without "signed_approval"), other mappings, or text,
numbers, lists; signatures that are real ``kavri_core`` SignedApprovals (several
approvers and request hashes, one re-signed by an unknown key) written as padded
or unpadded standard base64, URL-safe base64, hex in either case, with blanks
or a newline, tampered (a flipped bit, cut short, extended), or text and values
of other kinds. Then:

- ``_extract_signed_approvals`` must give exactly what the Python reference below
  gives: the one SignedApproval, the list of them, ``KavriCloudError`` with one of
  its two messages, or the SDK's ``ValueError`` unchanged;
- ``TemporalCloudApprovalHandler._extract_approval`` must return the reference's
  SignedApproval, list of them or None, after the same WARNING records (one per failed
  decoding, base64 first, then hex).

A crash, any other error kind or any difference fails.

    ./dev fuzz approvals        (or, by hand, with requirements/fuzz.txt installed:)
    python fuzz/fuzz_approvals.py -max_total_time=600 -artifact_prefix=/tmp/ fuzz/corpus/approvals
"""

from __future__ import annotations

import base64
import logging
import re
import sys
import types
from collections.abc import Mapping
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

import atheris  # noqa: E402
import harness  # noqa: E402

import kavri.cp_approval  # noqa: E402
import kavri_core.encoding  # noqa: E402
import kavri_core.keys  # noqa: E402
import kavri_core.signed_approval  # noqa: E402
from kavri.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response  # noqa: E402
from kavri_core import SignedApproval, SigningKey  # noqa: E402

from kavri_cloud import approval  # noqa: E402
from kavri_cloud.exceptions import KavriCloudError  # noqa: E402

NO_RESPONSES = "approved request has no approval responses"
MALFORMED = "malformed signed_approval in cloud response: not valid hex or base64"
_HEX_RE = re.compile("^[0-9a-fA-F]+$")

# Fixed keys and hashes, so that a saved input reproduces the same approvals.
_APPROVERS = [SigningKey.from_bytes(bytes([n]) * 32) for n in (1, 2, 3)]
_HASHES = [bytes([n]) * 32 for n in (0xA0, 0xB1)]
_APPROVALS = [
    SignedApproval.create(key, digest, approved_at=1_700_000_000 + 7 * index).to_bytes()
    for index, (key, digest) in enumerate((k, h) for k in _APPROVERS for h in _HASHES)
]
# One re-signed by a key no approver list knows: still a well-formed approval.
_APPROVALS.append(SignedApproval.create(SigningKey.from_bytes(b"\x7f" * 32), _HASHES[0], approved_at=5).to_bytes())


class _Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record):
        self.records.append(record)


_LOG = _Records()
_LOGGER = logging.getLogger("kavri_cloud.approval")
_LOGGER.addHandler(_LOG)
_LOGGER.propagate = False
_LOGGER.setLevel(logging.DEBUG)


# ---------------------------------------------------------------------------
# Reference


def _entries(responses):
    """The entries of a "responses" value; one that cannot be iterated holds none."""
    if not responses:
        return []
    try:
        return list(iter(responses))
    except TypeError:
        return []


def _signature_of(entry):
    return entry.get("signed_approval") if isinstance(entry, Mapping) else None


def ref_extract_signed_approvals(result):
    entries = _entries(result.get("responses"))
    if not entries:
        raise KavriCloudError(NO_RESPONSES)
    signed_b64 = []
    for entry in entries:
        raw = _signature_of(entry)
        if not raw:
            continue
        if not isinstance(raw, str):
            raise KavriCloudError(MALFORMED)
        if _HEX_RE.match(raw) and len(raw) % 2 == 0:
            try:
                signed_b64.append(base64.b64encode(bytes.fromhex(raw)).decode("ascii"))
                continue
            except (ValueError, TypeError):
                pass
        try:
            base64.b64decode(raw, validate=True)
        except Exception:
            raise KavriCloudError(MALFORMED) from None
        if "=" in raw and raw.index("=") % 4 == 0:
            # Validate mode as 3.13 has it, on every Python: padding only completes the last quantum.
            raise KavriCloudError(MALFORMED)
        signed_b64.append(raw)
    record = ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=signed_b64 or None)
    approvals = signed_approvals_from_response(record)
    if not approvals:
        raise KavriCloudError(NO_RESPONSES)
    return approvals[0] if len(approvals) == 1 else approvals


def ref_extract_approval(data):
    """(every decodable approval: one, a list, or None; the kinds of the failed decodings in order)."""
    failures = []
    found = []
    for entry in _entries(data.get("responses")):
        raw = _signature_of(entry) or ""
        if not raw:
            continue
        for kind, decode in (("base64", base64.b64decode), ("hex", bytes.fromhex)):
            try:
                found.append(SignedApproval.from_bytes(decode(raw)))
                break
            except Exception:
                failures.append(kind)
    if not found:
        return None, failures
    return (found[0] if len(found) == 1 else found), failures


# ---------------------------------------------------------------------------
# Records from fuzz data


def _tampered(fdp, raw: bytes) -> bytes:
    how = fdp.ConsumeIntInRange(0, 3)
    if how == 0 and raw:
        at = fdp.ConsumeIntInRange(0, len(raw) - 1)
        return raw[:at] + bytes([raw[at] ^ (1 << fdp.ConsumeIntInRange(0, 7))]) + raw[at + 1 :]
    if how == 1:
        return raw[: fdp.ConsumeIntInRange(0, len(raw))]
    if how == 2:
        return raw + fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 4))
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))


def _written(fdp, raw: bytes) -> str:
    how = fdp.ConsumeIntInRange(0, 9)
    if how <= 2:
        return base64.b64encode(raw).decode()
    if how == 3:
        return base64.b64encode(raw).decode().rstrip("=")
    if how == 4:
        return base64.urlsafe_b64encode(raw).decode()
    if how == 5:
        return raw.hex()
    if how == 6:
        return raw.hex().upper()
    if how == 7:
        text = raw.hex()
        return "".join(c.upper() if fdp.ConsumeBool() else c for c in text[:16]) + text[16:]
    text = base64.b64encode(raw).decode() if how == 8 else raw.hex()
    # Blanks, a line break or a stray character somewhere in the text.
    at = fdp.ConsumeIntInRange(0, len(text))
    return text[:at] + (" ", "\n", "\t", "\r\n", "!", "=", "\u00e9")[fdp.ConsumeIntInRange(0, 6)] + text[at:]


def _signature(fdp):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 4:
        raw = _APPROVALS[fdp.ConsumeIntInRange(0, len(_APPROVALS) - 1)]
        return _written(fdp, _tampered(fdp, raw) if kind == 4 else raw)
    if kind == 5:
        return None
    if kind == 6:
        return ""
    if kind == 7:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))
    if kind == 8:
        alphabet = "0123456789abcdefABCDEF+/=\n "
        count = fdp.ConsumeIntInRange(1, 10)
        return "".join(alphabet[fdp.ConsumeIntInRange(0, len(alphabet) - 1)] for _ in range(count))
    if kind == 9:
        return (0, 1, -1, 2.5, True, False)[fdp.ConsumeIntInRange(0, 5)]
    if kind == 10:
        return [base64.b64encode(_APPROVALS[0]).decode()]
    return {"signed_approval": base64.b64encode(_APPROVALS[0]).decode()}


def _entry(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 5:
        entry = {}
        if fdp.ConsumeIntInRange(0, 5):
            entry["signed_approval"] = _signature(fdp)
        if fdp.ConsumeBool():
            entry["approver"] = "agt_1"
        return entry if kind <= 4 else types.MappingProxyType(entry)
    if kind == 6:
        return base64.b64encode(_APPROVALS[0]).decode()
    if kind == 7:
        return ["signed_approval", base64.b64encode(_APPROVALS[0]).decode()]
    return (None, 0, 3, True, b"signed_approval", ("signed_approval",))[fdp.ConsumeIntInRange(0, 5)]


def _record(fdp):
    record = {"status": "approved", "id": "apr_1"}
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 5:
        entries = [_entry(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
        record["responses"] = tuple(entries) if kind == 5 else entries
    elif kind == 6:
        pass
    elif kind == 7:
        record["responses"] = None
    elif kind == 8:
        record["responses"] = {"signed_approval": base64.b64encode(_APPROVALS[0]).decode()}
    else:
        record["responses"] = (0, 5, 1.5, True, False, "", "abcd", [])[fdp.ConsumeIntInRange(0, 7)]
    return types.MappingProxyType(record) if fdp.ConsumeIntInRange(0, 7) == 0 else record


# ---------------------------------------------------------------------------
# The checks


def _outcome(fn, record):
    try:
        value = fn(record)
    except KavriCloudError as exc:
        if type(exc) is not KavriCloudError or str(exc) not in (NO_RESPONSES, MALFORMED):
            raise AssertionError(f"undocumented failure {type(exc).__name__}: {exc}") from exc
        return ("cloud", str(exc))
    except ValueError as exc:
        if type(exc) is not ValueError:
            raise AssertionError(f"undocumented failure {type(exc).__name__}: {exc}") from exc
        return ("sdk", str(exc))
    return _shape(value)


def _shape(value):
    """("one", bytes) or ("many", [bytes, ...]): what a caller can tell of a result."""
    if isinstance(value, SignedApproval):
        return ("one", value.to_bytes())
    if type(value) is list and len(value) >= 2 and all(isinstance(v, SignedApproval) for v in value):
        return ("many", [v.to_bytes() for v in value])
    raise AssertionError(f"undocumented result {value!r}")


def check_extract_signed_approvals(record) -> None:
    got = _outcome(approval._extract_signed_approvals, record)
    want = _outcome(ref_extract_signed_approvals, record)
    if got != want:
        raise AssertionError(f"_extract_signed_approvals({dict(record)!r}): {got!r} != reference {want!r}")


def check_extract_approval(record) -> None:
    _LOG.records.clear()
    got = approval.TemporalCloudApprovalHandler._extract_approval(record)
    logged = [(r.levelno, r.getMessage().split(":")[0]) for r in _LOG.records]
    want, failures = ref_extract_approval(record)
    shape = None if got is None else _shape(got)
    if shape != (None if want is None else _shape(want)):
        raise AssertionError(f"_extract_approval({dict(record)!r}): {got!r} != reference {want!r}")
    expected = [(logging.WARNING, f"failed to decode signed_approval as {kind}") for kind in failures]
    if logged != expected:
        raise AssertionError(f"_extract_approval({dict(record)!r}) logged {logged!r}, expected {expected!r}")


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    record = _record(fdp)
    check_extract_signed_approvals(record)
    check_extract_approval(record)


def main() -> None:
    harness.instrument_modules(sys.modules[__name__], harness, base64, kavri.cp_approval, kavri_core.signed_approval,
                               kavri_core.keys, kavri_core.encoding)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
