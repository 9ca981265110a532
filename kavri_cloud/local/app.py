"""The local Kavri Cloud: a Starlette application that speaks Kavri Cloud's wire contract.

Routes, all under ``/v1/`` and all but health behind a bearer API key::

    GET    health                              service status (no key needed)
    GET    tenant                              admin key only
    GET    approval-policies?limit=N           admin key only
    POST   approvals/requests                  create (idempotent on idempotency_key)
    GET    approvals/requests?status=S&limit=N&cursor=C
                                               one page of summaries (no arguments,
                                               attestation or metadata), "next_cursor"
    GET    approvals/requests/{id}             the full record (expiry is applied on read)
    POST   approvals/requests/{id}/approve     {"approver"}: sign as a local approver (admin)
    POST   approvals/requests/{id}/deny        {"approver", "reason"} (admin)
    POST   agents/claim                        {"agent_id", "public_key", "registration_token"}
    POST   receipts                            store an authorization receipt
    GET    _local/approvers                    the local approvers and their public keys
    GET    _local/receipts?limit=N&cursor=C    one page of stored receipts (admin)
    GET    _local/agents, POST _local/agents   pending agents for Quick Connect (admin)
    GET    _local/settings, POST               signed_approval_encoding (admin to change)
    GET    _local/faults, POST, DELETE         fault injection (admin)
    GET    _local/connections                  {"opened", "open"}: connections accepted
                                               since the start, and open now (admin)

and the approvals dashboard for the local human under ``/approvals`` (see ``dashboard.py``).

Two kinds of key exist. The runtime key is what an agent holds: it creates and
reads approval requests, claims its agent, sends receipts and reads the
approvers' public keys, nothing else (403 "forbidden"). The admin key may do
everything, deciding included; so may a dashboard session. Every error is JSON
``{"code", "message", "remediation"}`` (plus "field" when one field is at
fault), including unknown routes (404) and wrong methods (405). Requests whose
Host header is not a loopback name or an address the service listens on get
421 "host_not_allowed", so a web page cannot reach it through DNS rebinding.

Choices where the hosted service's behaviour is not known:

- ``threshold`` defaults to 1 and must be reachable: at least 1 and at most
  the number of ``approver_keys`` (or of local approvers when none are named).
  An empty ``approver_keys`` list means no restriction, like an absent one.
- ``ttl_seconds`` counts from creation; 0 means the request is expired at once.
- An idempotent replay of the same call (tool, warrant id, canonical CBOR
  arguments and request hash) returns the stored request unchanged, 200; under
  a key already used for another call it is 409 "idempotency_key_reused". It
  still has to carry a valid attestation (a fresh one is fine).
- The body's tool and warrant id must be the ones its attestation binds, and
  its request hash the hash of those and the arguments (400 "invalid_attestation").
- Text must be valid Unicode and numbers finite anywhere in a body; names
  (tool, warrant id, policy, idempotency key) are at most 1024 characters,
  reasons 1000, ``ttl_seconds`` at most one year (422 naming the field).
- A denial is one approver's answer and ends the request at once; its response
  entry has ``signed_approval`` null. An approve or deny without "approver"
  answers as the first eligible local approver that has not answered yet.
- Unknown body fields are ignored, so newer clients keep working.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import ipaddress
import json
import math
import time
from pathlib import Path
from typing import Any, Callable, Mapping, Sequence

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse
from starlette.routing import Route

from .dashboard import dashboard_routes
from .faults import FaultInjector, FaultMiddleware, FaultSettingsError, parse_settings
from .store import (
    DEFAULT_APPROVER_NAMES,
    DEFAULT_PAGE,
    MAX_PAGE,
    SIGNED_APPROVAL_ENCODINGS,
    STATUSES,
    Approver,
    LocalCloudError,
    Store,
)

__all__ = [
    "MAX_BODY_BYTES",
    "MAX_TTL_SECONDS",
    "SERVICE_NAME",
    "HostCheckMiddleware",
    "allowed_host",
    "create_app",
    "service_version",
]

SERVICE_NAME = "kavri-cloud-local"
MAX_BODY_BYTES = 1024 * 1024
# Bodies between the limit and this are read to the end before the 413 goes
# out, so the client sees the answer instead of a reset while still sending.
_DRAIN_LIMIT = 64 * 1024 * 1024
_KEY_BYTES = 32
_JSON_HINT = "Send one JSON object with Content-Type: application/json."
# Names are shown on every list and dashboard row; a year is the longest wait
# any approval flow has a use for, and keeps expiry times within a float's range.
_MAX_NAME_CHARS = 1024
_MAX_REASON_CHARS = 1000
MAX_TTL_SECONDS = 365 * 24 * 3600


def service_version() -> str:
    """The package version, which is also the service's version."""
    import kavri_cloud

    version = getattr(kavri_cloud, "__version__", None)
    if isinstance(version, str) and version:
        return version
    from importlib import metadata

    try:
        return metadata.version("kavri-cloud")
    except metadata.PackageNotFoundError:
        return "0.0.0"


# ------------------------------------------------------------------ helpers


def _error(
    status: int, code: str, message: str, remediation: str | None = None, *, field: str | None = None
) -> LocalCloudError:
    return LocalCloudError(status, code, message, remediation, field=field)


def _invalid(field: str, message: str) -> LocalCloudError:
    return _error(
        422,
        "invalid_request",
        f"{field}: {message}",
        "Fix the named field and send the request again.",
        field=field,
    )


def _error_response(exc: LocalCloudError, headers: Mapping[str, str] | None = None) -> JSONResponse:
    return JSONResponse(exc.to_body(), status_code=exc.status, headers=headers)


async def _read_json(request: Request, *, optional: bool = False) -> Any:
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > _DRAIN_LIMIT:
        raise _too_large()
    chunks: list[bytes] = []
    size = 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size <= MAX_BODY_BYTES:
                chunks.append(chunk)
            elif size > _DRAIN_LIMIT:
                break
    except ClientDisconnect:
        # Gone, or given up on by the body deadline (which has answered 408).
        raise _error(408, "request_timeout", "the request body did not arrive") from None
    if size > MAX_BODY_BYTES:
        raise _too_large()
    raw = b"".join(chunks)
    if not raw.strip():
        if optional:
            return {}
        raise _error(
            400,
            "invalid_json",
            "the request body is empty; a JSON object is expected",
            _JSON_HINT,
        )
    try:
        value = json.loads(raw, parse_constant=_reject_constant)
    except UnicodeDecodeError:
        raise _error(400, "invalid_json", "the request body is not UTF-8 text", _JSON_HINT) from None
    except RecursionError:
        raise _error(400, "invalid_json", "the request body is nested too deeply", _JSON_HINT) from None
    except ValueError as exc:
        raise _error(
            400,
            "invalid_json",
            f"the request body is not valid JSON: {exc}",
            _JSON_HINT,
        ) from None
    if not isinstance(value, dict):
        raise _error(
            422,
            "invalid_request",
            f"the request body must be a JSON object, not {_json_type(value)}",
            _JSON_HINT,
            field="body",
        )
    _check_storable(value)
    return value


def _check_storable(body: dict) -> None:
    """Refuse, naming the field, what could be stored but never answered again.

    JSON text may spell lone surrogates (``"\\ud800"``) and numbers too large
    for a float (``1e999``, read as infinity); either would be written and then
    fail every answer that includes it.
    """
    stack: list[tuple[str, Any]] = [(name, value) for name, value in body.items()]
    while stack:
        path, value = stack.pop()
        if isinstance(value, str):
            if not _utf8(value):
                raise _invalid(path, "holds text that is not valid Unicode (a lone surrogate)")
        elif isinstance(value, float):
            if not math.isfinite(value):
                raise _invalid(path, "must be a finite number")
        elif isinstance(value, dict):
            for key, item in value.items():
                if not _utf8(key):
                    raise _invalid(path, "has a key that is not valid Unicode (a lone surrogate)")
                stack.append((f"{path}.{key}", item))
        elif isinstance(value, list):
            stack.extend((f"{path}[{index}]", item) for index, item in enumerate(value))


def _utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _reject_constant(name: str) -> Any:
    # NaN and Infinity are not JSON; accepting them would poison later answers.
    raise ValueError(f"{name} is not a JSON value")


def _too_large() -> LocalCloudError:
    return _error(
        413,
        "payload_too_large",
        f"the request body is larger than {MAX_BODY_BYTES} bytes",
        "Send a smaller body; large tool arguments belong in metadata references.",
    )


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def _string(
    body: dict, name: str, *, required: bool, non_empty: bool = False, max_length: int | None = None
) -> str | None:
    value = body.get(name)
    if value is None:
        if required:
            raise _invalid(name, "is required")
        return None
    if not isinstance(value, str):
        raise _invalid(name, f"must be a string, not {_json_type(value)}")
    if non_empty and not value:
        raise _invalid(name, "must not be empty")
    if max_length is not None and len(value) > max_length:
        raise _invalid(name, f"must be at most {max_length} characters, got {len(value)}")
    return value


def _hex(body: dict, name: str, *, length: int | None = None, value: Any = None) -> str:
    text = body.get(name) if value is None else value
    if text is None:
        raise _invalid(name, "is required")
    if not isinstance(text, str):
        raise _invalid(name, f"must be hexadecimal text, not {_json_type(text)}")
    try:
        raw = bytes.fromhex(text)
    except ValueError:
        raise _invalid(name, "is not valid hexadecimal") from None
    if not raw:
        raise _invalid(name, "must not be empty")
    if length is not None and len(raw) != length:
        raise _invalid(name, f"must be {length} bytes ({2 * length} hex digits), got {len(raw)}")
    return raw.hex()


def _integer(
    body: dict, name: str, *, minimum: int, maximum: int | None = None, number: bool = False
) -> Any:
    value = body.get(name)
    if value is None:
        return None
    kinds = (int, float) if number else (int,)
    # Integers are compared exactly (10**400 is a fine int and a float overflow).
    if (
        isinstance(value, bool)
        or not isinstance(value, kinds)
        or (isinstance(value, float) and not math.isfinite(value))
    ):
        raise _invalid(name, f"must be {'a number' if number else 'an integer'}, not {_json_type(value)}")
    if value < minimum or (maximum is not None and value > maximum):
        bound = f"between {minimum} and {maximum}" if maximum is not None else f"at least {minimum}"
        raise _invalid(name, f"must be {bound}, got {value}")
    return value


def _query_int(request: Request, name: str, *, default: int, maximum: int) -> int:
    raw = request.query_params.get(name)
    if raw is None:
        return default
    try:
        value = int(raw)
    except ValueError:
        raise _invalid(name, f"must be an integer, got {raw!r}") from None
    if not 1 <= value <= maximum:
        raise _invalid(name, f"must be between 1 and {maximum}, got {value}")
    return value


def _page(request: Request) -> tuple[int, int | None]:
    """The ``limit`` and ``cursor`` of a list request (a cursor is the last row number seen)."""
    limit = _query_int(request, "limit", default=DEFAULT_PAGE, maximum=MAX_PAGE)
    cursor = request.query_params.get("cursor")
    if not cursor:
        return limit, None
    if not cursor.isdigit() or len(cursor) > 18:
        raise _invalid("cursor", "is not a cursor this service handed out")
    return limit, int(cursor)


# ------------------------------------------------------------------ crypto


def generate_approver_key() -> tuple[str, str]:
    """A fresh Ed25519 approver key as (seed hex, public key hex)."""
    from kavri_core import SigningKey

    key = SigningKey.generate()
    return key.to_bytes().hex(), key.public_key.to_bytes().hex()


def sign_approval(approver: Approver, request_hash: bytes) -> bytes:
    """The serialized ``SignedApproval`` of ``approver`` over ``request_hash``."""
    from kavri_core import SignedApproval, SigningKey

    key = SigningKey.from_hex(approver.private_key)
    return SignedApproval.create(key, request_hash).to_bytes()


def _verify_attestation(fields: dict[str, Any]) -> None:
    """Check that the holder signed this very request; 400 "invalid_attestation" if not.

    The attestation binds the warrant id, the tool, the digest of the arguments
    and the request hash computed from all three; the body must say the same,
    or an approver would be shown one call and sign another.
    """
    from kavri_core import verify_approval_context_attestation

    attestation = fields["approval_context_attestation"]
    holder = bytes.fromhex(fields["holder_key"])
    remediation = (
        "Build the attestation with the holder's signing key for this tool call "
        "(kavri_core.py_build_approval_context_attestation)."
    )
    try:
        attested_hash = verify_approval_context_attestation(attestation, holder)
    except (ValueError, TypeError, KeyError) as exc:
        raise _error(
            400,
            "invalid_attestation",
            f"approval_context_attestation does not verify against holder_key: {exc}",
            remediation,
            field="approval_context_attestation",
        ) from None
    if bytes(attested_hash).hex() != fields["request_hash"]:
        raise _error(
            400,
            "invalid_attestation",
            "approval_context_attestation covers request hash "
            f"{bytes(attested_hash).hex()}, not the request_hash sent ({fields['request_hash']})",
            remediation,
            field="request_hash",
        )
    # The attestation names the digest of the arguments it covers; arguments
    # swapped after attesting must not reach an approver.
    digest = attestation.get("args_sha256") if isinstance(attestation, dict) else None
    if isinstance(digest, str):
        try:
            cbor = base64.b64decode(fields["args_canonical_cbor_b64"], validate=True)
        except (binascii.Error, ValueError):
            raise _invalid("args_canonical_cbor_b64", "is not valid standard base64") from None
        if hashlib.sha256(cbor).hexdigest() != digest.lower():
            raise _error(
                400,
                "invalid_attestation",
                "args_canonical_cbor_b64 is not the argument encoding the attestation covers",
                remediation,
                field="args_canonical_cbor_b64",
            )
    for name in ("tool", "warrant_id"):
        attested = attestation.get(name)
        if attested != fields[name]:
            raise _error(
                400,
                "invalid_attestation",
                f"{name} {_quoted(fields[name])} is not the {name} the attestation binds "
                f"({_quoted(attested)})",
                remediation,
                field=name,
            )
    # The request hash must be the one of this warrant, tool, arguments and
    # holder; a holder could otherwise attest a harmless call's names over
    # another call's hash.
    import cbor2
    from kavri_core import compute_request_hash

    try:
        arguments = cbor2.loads(base64.b64decode(fields["args_canonical_cbor_b64"], validate=True))
        recomputed = compute_request_hash(fields["warrant_id"], fields["tool"], arguments, holder)
    except (binascii.Error, ValueError, TypeError, cbor2.CBORError, RecursionError) as exc:
        raise _invalid("args_canonical_cbor_b64", f"does not decode as canonical CBOR: {exc}") from None
    if bytes(recomputed).hex() != fields["request_hash"]:
        raise _error(
            400,
            "invalid_attestation",
            "request_hash is not the hash of the attested warrant, tool and arguments",
            remediation,
            field="request_hash",
        )


def _quoted(value: Any) -> str:
    text = json.dumps(value, ensure_ascii=True) if isinstance(value, str) else repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


# ------------------------------------------------------------------ the service


class _Service:
    """Request handlers bound to one store, key pair and fault injector."""

    def __init__(self, store: Store, faults: FaultInjector) -> None:
        self.store = store
        self.faults = faults
        self.version = service_version()
        self.admin_key = store.get_setting("admin_key") or ""
        self.runtime_key = store.get_setting("runtime_key") or ""
        self.approvers = store.approvers()
        # Read on every record answer, changed only through this service.
        self.encoding = store.get_setting("signed_approval_encoding") or "base64"

    # -- auth

    def _role(self, request: Request) -> str:
        header = request.headers.get("authorization", "")
        scheme, _, key = header.partition(" ")
        key = key.strip() if scheme.lower() == "bearer" else ""
        if not key:
            key = request.headers.get("x-api-key", "").strip()
        if key and hmac.compare_digest(key.encode(), self.admin_key.encode()):
            return "admin"
        if key and hmac.compare_digest(key.encode(), self.runtime_key.encode()):
            return "runtime"
        raise _error(
            401,
            "unauthorized",
            "missing or unknown API key" if key else "missing API key",
            "Send 'Authorization: Bearer <key>' with a key that `kavri-cloud local` printed.",
        )

    def _admin(self, request: Request, what: str = "read tenant, policy or service settings") -> None:
        if self._role(request) != "admin":
            raise _error(
                403,
                "forbidden",
                f"the runtime API key may not {what}",
                "Use the admin API key; runtime keys only create and read approval requests"
                " (and claim agents and send receipts).",
            )

    # -- public routes

    async def health(self, request: Request) -> JSONResponse:
        return JSONResponse({"status": "ok", "service": SERVICE_NAME, "version": self.version})

    async def tenant(self, request: Request) -> JSONResponse:
        self._admin(request, "read the tenant")
        return JSONResponse(self.store.tenant())

    async def policies(self, request: Request) -> JSONResponse:
        self._admin(request, "read approval policies")
        limit = _query_int(request, "limit", default=50, maximum=1000)
        return JSONResponse({"items": self.store.policies(limit)})

    async def create_request(self, request: Request) -> JSONResponse:
        self._role(request)
        fields = self._request_fields(await _read_json(request))
        _verify_attestation(fields)
        record, created = self.store.create_request(fields, encoding=self.encoding)
        return JSONResponse(record, status_code=201 if created else 200)

    def _request_fields(self, body: dict) -> dict[str, Any]:
        fields: dict[str, Any] = {
            "warrant_id": _string(body, "warrant_id", required=True, max_length=_MAX_NAME_CHARS),
            "tool": _string(body, "tool", required=True, max_length=_MAX_NAME_CHARS),
            "request_hash": _hex(body, "request_hash"),
            "holder_key": _hex(body, "holder_key", length=_KEY_BYTES),
            "args_canonical_cbor_b64": _string(body, "args_canonical_cbor_b64", required=True),
        }
        attestation = body.get("approval_context_attestation")
        if attestation is None:
            raise _invalid("approval_context_attestation", "is required")
        if not isinstance(attestation, dict):
            raise _invalid(
                "approval_context_attestation", f"must be an object, not {_json_type(attestation)}"
            )
        fields["approval_context_attestation"] = attestation
        metadata = body.get("metadata")
        if metadata is not None and not isinstance(metadata, dict):
            raise _invalid("metadata", f"must be an object, not {_json_type(metadata)}")
        fields["metadata"] = metadata
        fields["policy_id"] = _string(body, "policy_id", required=False, max_length=_MAX_NAME_CHARS) or None
        keys = body.get("approver_keys")
        if keys is not None:
            if not isinstance(keys, list):
                raise _invalid("approver_keys", f"must be an array, not {_json_type(keys)}")
            normalized: list[str] = []
            for index, key in enumerate(keys):
                hex_key = _hex({}, f"approver_keys[{index}]", length=_KEY_BYTES, value=key)
                if hex_key not in normalized:
                    normalized.append(hex_key)
            # An empty list names no restriction, as an absent one does.
            keys = normalized or None
        fields["approver_keys"] = keys
        threshold = _integer(body, "threshold", minimum=1)
        threshold = 1 if threshold is None else threshold
        available = len(keys) if keys is not None else len(self.approvers)
        if threshold > available:
            who = "approver_keys" if keys is not None else "this service's approvers"
            raise _invalid(
                "threshold", f"{threshold} approvals can never be reached with {available} in {who}"
            )
        fields["threshold"] = threshold
        fields["ttl_seconds"] = _integer(
            body, "ttl_seconds", minimum=0, maximum=MAX_TTL_SECONDS, number=True
        )
        fields["idempotency_key"] = (
            _string(body, "idempotency_key", required=False, max_length=_MAX_NAME_CHARS) or None
        )
        return fields

    async def list_requests(self, request: Request) -> JSONResponse:
        self._role(request)
        status = request.query_params.get("status") or None
        if status is not None and status not in STATUSES:
            raise _invalid("status", f"must be one of {', '.join(STATUSES)}, got {status!r}")
        limit, after = _page(request)
        items, next_after = self.store.list_requests(status=status, limit=limit, after=after)
        return JSONResponse(
            {"items": items, "next_cursor": None if next_after is None else str(next_after)}
        )

    async def get_request(self, request: Request) -> JSONResponse:
        self._role(request)
        record = self.store.get_request(request.path_params["request_id"], encoding=self.encoding)
        return JSONResponse(record)

    async def approve(self, request: Request) -> JSONResponse:
        return await self._respond(request, "approved")

    async def deny(self, request: Request) -> JSONResponse:
        return await self._respond(request, "denied")

    async def _respond(self, request: Request, decision: str) -> JSONResponse:
        # The agent holds the runtime key; were it enough to decide, an agent
        # could approve its own calls.
        self._admin(request, "approve or deny approval requests")
        body = await _read_json(request, optional=True)
        approver = _string(body, "approver", required=False, non_empty=True, max_length=_MAX_NAME_CHARS)
        reason = None
        if decision == "denied":
            reason = _string(body, "reason", required=False, max_length=_MAX_REASON_CHARS)
        record = self.store.respond(
            request.path_params["request_id"],
            approver=approver,
            decision=decision,
            reason=reason,
            sign=sign_approval,
            encoding=self.encoding,
        )
        return JSONResponse(record)

    async def claim(self, request: Request) -> JSONResponse:
        self._role(request)
        body = await _read_json(request)
        agent_id = _string(body, "agent_id", required=True, non_empty=True)
        public_key = _hex(body, "public_key", length=_KEY_BYTES)
        token = _string(body, "registration_token", required=True, non_empty=True)
        assert agent_id is not None and token is not None
        return JSONResponse(self.store.claim_agent(agent_id, public_key, token))

    async def receipt(self, request: Request) -> JSONResponse:
        self._role(request)
        body = await _read_json(request)
        return JSONResponse(self.store.add_receipt(body), status_code=201)

    # -- local routes

    async def local_approvers(self, request: Request) -> JSONResponse:
        self._role(request)
        return JSONResponse([a.public_view() for a in self.approvers])

    async def local_receipts(self, request: Request) -> JSONResponse:
        self._admin(request, "read receipts")
        limit, after = _page(request)
        items, next_after = self.store.receipts(limit, after)
        return JSONResponse(
            {"items": items, "next_cursor": None if next_after is None else str(next_after)}
        )

    async def local_agents(self, request: Request) -> JSONResponse:
        self._admin(request, "list or create agents")
        if request.method == "GET":
            return JSONResponse({"items": self.store.agents()})
        body = await _read_json(request, optional=True)
        name = _string(body, "name", required=False, non_empty=True, max_length=_MAX_NAME_CHARS) or "local-agent"
        return JSONResponse(self.store.create_agent(name), status_code=201)

    async def local_connections(self, request: Request) -> JSONResponse:
        self._admin(request, "read connection counts")
        shared = getattr(request.app.state, "connections", None)
        opened, open_now = (0, 0) if shared is None else (shared.opened, len(shared.open))
        return JSONResponse({"opened": opened, "open": open_now})

    async def local_settings(self, request: Request) -> JSONResponse:
        if request.method == "GET":
            self._role(request)
        else:
            self._admin(request, "change service settings")
            body = await _read_json(request)
            unknown = sorted(set(body) - {"signed_approval_encoding"})
            if unknown:
                raise _invalid(unknown[0], "unknown setting")
            encoding = body.get("signed_approval_encoding")
            if encoding is not None:
                if encoding not in SIGNED_APPROVAL_ENCODINGS:
                    raise _invalid(
                        "signed_approval_encoding",
                        f"must be one of {', '.join(SIGNED_APPROVAL_ENCODINGS)}, got {encoding!r}",
                    )
                self.store.set_setting("signed_approval_encoding", encoding)
                self.encoding = encoding
        return JSONResponse({"signed_approval_encoding": self.encoding})

    async def local_faults(self, request: Request) -> JSONResponse:
        self._admin(request, "read or change fault injection")
        if request.method == "POST":
            body = await _read_json(request)
            try:
                self.faults.configure(parse_settings(body))
            except FaultSettingsError as exc:
                raise _invalid(exc.field, str(exc).split(": ", 1)[-1]) from None
        elif request.method == "DELETE":
            self.faults.clear()
        return JSONResponse(self.faults.settings.to_dict())


# ------------------------------------------------------------------ host check


def _host_name(header: str) -> str:
    """The host part of a Host header, lower case, without port, brackets or trailing dot."""
    text = header.strip().lower()
    if text.startswith("["):
        return text[1:].partition("]")[0]
    if text.count(":") == 1:
        text = text.partition(":")[0]
    return text.rstrip(".")


def allowed_host(name: str, listen_hosts: Sequence[str]) -> bool:
    """Whether a request naming host ``name`` may be served by a service listening on ``listen_hosts``.

    Loopback addresses and "localhost" always; a name or address the service
    listens on; any address literal when it listens on all interfaces. Other
    names are what DNS rebinding uses to reach a local service from a web page.
    """
    if name == "localhost" or name.endswith(".localhost"):
        return True
    try:
        address = ipaddress.ip_address(name.partition("%")[0])
    except ValueError:
        address = None
    for listen in listen_hosts:
        listen = _host_name(listen)
        if name == listen:
            return True
        if address is not None and listen in ("0.0.0.0", "::", ""):
            return True
    return address is not None and address.is_loopback


class HostCheckMiddleware:
    """Answer 421 to any request whose Host header the service does not go by."""

    def __init__(self, app: Any, listen_hosts: Sequence[str]) -> None:
        self.app = app
        self.listen_hosts = tuple(listen_hosts)

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] == "http":
            raw = b""
            for name, value in scope.get("headers") or ():
                if name == b"host":
                    raw = value
                    break
            host = _host_name(raw.decode("latin-1"))
            if not allowed_host(host, self.listen_hosts):
                error = _error(
                    421,
                    "host_not_allowed",
                    f"this service does not answer for host {host!r}",
                    "Reach the local Kavri Cloud by a loopback address or localhost.",
                )
                await _error_response(error)(scope, receive, send)
                return
        await self.app(scope, receive, send)


# ------------------------------------------------------------------ assembly


async def _on_service_error(request: Request, exc: Exception) -> JSONResponse:
    assert isinstance(exc, LocalCloudError)
    return _error_response(exc)


async def _on_http_error(request: Request, exc: Exception) -> JSONResponse:
    assert isinstance(exc, HTTPException)
    if exc.status_code == 404:
        error = _error(
            404, "not_found", f"no route for {request.method} {request.url.path}",
            "The API lives under /v1/; see the route list of `kavri-cloud local`.",
        )
    elif exc.status_code == 405:
        error = _error(
            405,
            "method_not_allowed",
            f"{request.method} is not allowed on {request.url.path}",
            f"Allowed: {(exc.headers or {}).get('allow', 'see the route list')}.",
        )
    else:
        error = _error(exc.status_code, "http_error", str(exc.detail))
    return _error_response(error, headers=exc.headers)


async def _on_crash(request: Request, exc: Exception) -> JSONResponse:
    error = _error(
        500, "internal_error", f"the local service failed: {type(exc).__name__}",
        "This is a bug of the local service; its log has the traceback.",
    )
    return _error_response(error)


def create_app(
    data_dir: str | Path,
    *,
    admin_key: str | None = None,
    runtime_key: str | None = None,
    approvers: Sequence[str] = DEFAULT_APPROVER_NAMES,
    signed_approval_encoding: str | None = None,
    clock: Callable[[], float] = time.time,
    listen_hosts: Sequence[str] = ("127.0.0.1",),
) -> Starlette:
    """Build the local Kavri Cloud application over the data folder ``data_dir``.

    Args:
        data_dir: Folder of the SQLite database; created when missing. A second
            start on the same folder finds every key, approver and request again.
        admin_key: Admin API key to use (and keep); generated at first start when none.
        runtime_key: Runtime API key to use (and keep); generated at first start when none.
        approvers: Names of the local approvers; missing ones get a fresh Ed25519 key.
        signed_approval_encoding: "base64" or "hex" to switch to; none keeps the stored choice.
        clock: Wall-clock seconds, the only time source of the service (for TTLs).
        listen_hosts: Addresses (or names) the service listens on; requests whose
            Host header names anything but these or a loopback address get 421.

    Returns:
        The ASGI application. ``app.state.store`` is the :class:`Store`,
        ``app.state.faults`` the :class:`FaultInjector`.
    """
    if signed_approval_encoding is not None and signed_approval_encoding not in SIGNED_APPROVAL_ENCODINGS:
        raise ValueError(f"signed_approval_encoding must be one of {SIGNED_APPROVAL_ENCODINGS}")
    names = list(approvers)
    if not names or len(set(names)) != len(names) or not all(isinstance(n, str) and n for n in names):
        raise ValueError("approvers must be distinct non-empty names")
    store = Store(data_dir, clock=clock)
    store.bootstrap(
        admin_key=admin_key,
        runtime_key=runtime_key,
        approver_names=names,
        signed_approval_encoding=signed_approval_encoding,
        generate_key=generate_approver_key,
    )
    faults = FaultInjector()
    service = _Service(store, faults)
    requests_path = "/v1/approvals/requests"
    routes = [
        Route("/v1/health", service.health, methods=["GET"]),
        Route("/v1/tenant", service.tenant, methods=["GET"]),
        Route("/v1/approval-policies", service.policies, methods=["GET"]),
        Route(requests_path, service.create_request, methods=["POST"]),
        Route(requests_path, service.list_requests, methods=["GET"]),
        Route(requests_path + "/{request_id}", service.get_request, methods=["GET"]),
        Route(requests_path + "/{request_id}/approve", service.approve, methods=["POST"]),
        Route(requests_path + "/{request_id}/deny", service.deny, methods=["POST"]),
        Route("/v1/agents/claim", service.claim, methods=["POST"]),
        Route("/v1/receipts", service.receipt, methods=["POST"]),
        Route("/v1/_local/approvers", service.local_approvers, methods=["GET"]),
        Route("/v1/_local/receipts", service.local_receipts, methods=["GET"]),
        Route("/v1/_local/agents", service.local_agents, methods=["GET", "POST"]),
        Route("/v1/_local/settings", service.local_settings, methods=["GET", "POST"]),
        Route("/v1/_local/faults", service.local_faults, methods=["GET", "POST", "DELETE"]),
        Route("/v1/_local/connections", service.local_connections, methods=["GET"]),
        *dashboard_routes(service),
    ]
    app = Starlette(
        routes=routes,
        middleware=[
            Middleware(HostCheckMiddleware, listen_hosts=listen_hosts),
            Middleware(FaultMiddleware, injector=faults),
        ],
        exception_handlers={
            LocalCloudError: _on_service_error,
            HTTPException: _on_http_error,
            Exception: _on_crash,
        },
    )
    app.state.store = store
    app.state.faults = faults
    app.state.service = service
    return app
