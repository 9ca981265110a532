"""SQLite storage of the local Kavri Cloud.

One database file per data folder, in WAL mode. Every operation that writes is
a single ``BEGIN IMMEDIATE`` transaction, so a crash or a rejected request never
leaves a half-written record behind, and a second process (the
``kavri-cloud local token`` command, say) can read while the service writes.

The store owns the domain rules that must hold under concurrency: idempotent
creation, one response per approver, the approval threshold and expiry. The
HTTP layer (``app.py``) only validates input and maps :class:`LocalCloudError`
to JSON error responses.
"""

from __future__ import annotations

import base64
import json
import logging
import math
import os
import secrets
import stat
import sqlite3
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence

__all__ = [
    "DB_FILENAME",
    "DEFAULT_APPROVER_NAMES",
    "LocalCloudError",
    "Store",
    "iso_time",
]

DB_FILENAME = "kavri-cloud.sqlite3"
DEFAULT_APPROVER_NAMES: tuple[str, ...] = ("alice", "bob", "carol")
SIGNED_APPROVAL_ENCODINGS = ("base64", "hex")
STATUSES = ("pending", "approved", "denied", "expired")

_SCHEMA_VERSION = 2
#: How a list answer is ordered and paged: oldest first, ``limit`` at a time.
DEFAULT_PAGE = 100
MAX_PAGE = 500

logger = logging.getLogger("kavri_cloud.local")
_SCHEMA = """
CREATE TABLE IF NOT EXISTS settings (
    key   TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS approvers (
    name        TEXT PRIMARY KEY,
    private_key TEXT NOT NULL,
    public_key  TEXT NOT NULL UNIQUE,
    created_at  REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS policies (
    id         TEXT PRIMARY KEY,
    body       TEXT NOT NULL,
    created_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS requests (
    id              TEXT PRIMARY KEY,
    idempotency_key TEXT UNIQUE,
    status          TEXT NOT NULL,
    denied_reason   TEXT,
    reason          TEXT,
    threshold       INTEGER NOT NULL,
    expires_at      REAL,
    created_at      REAL NOT NULL,
    resolved_at     REAL,
    body            TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS requests_by_status ON requests (status, created_at);
CREATE TABLE IF NOT EXISTS responses (
    seq             INTEGER PRIMARY KEY AUTOINCREMENT,
    request_id      TEXT NOT NULL REFERENCES requests (id),
    approver        TEXT NOT NULL,
    approver_key    TEXT NOT NULL,
    decision        TEXT NOT NULL,
    signed_approval BLOB,
    created_at      REAL NOT NULL,
    UNIQUE (request_id, approver)
);
CREATE TABLE IF NOT EXISTS agents (
    agent_id           TEXT PRIMARY KEY,
    name               TEXT NOT NULL,
    registration_token TEXT NOT NULL,
    status             TEXT NOT NULL,
    public_key         TEXT,
    created_at         REAL NOT NULL,
    claimed_at         REAL
);
CREATE TABLE IF NOT EXISTS receipts (
    seq         INTEGER PRIMARY KEY AUTOINCREMENT,
    id          TEXT NOT NULL UNIQUE,
    body        TEXT NOT NULL,
    received_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS used_logins (
    nonce      TEXT PRIMARY KEY,
    expires_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS sessions (
    nonce      TEXT PRIMARY KEY,
    created_at REAL NOT NULL,
    expires_at REAL NOT NULL,
    revoked_at REAL
);
"""


class LocalCloudError(Exception):
    """A request the service refuses, with the HTTP answer it deserves.

    Args:
        status: HTTP status code of the answer.
        code: Machine-readable error code.
        message: Human-readable description naming the problem.
        remediation: What the caller can do about it.
        field: The request field at fault, when there is one.
    """

    def __init__(
        self,
        status: int,
        code: str,
        message: str,
        remediation: str | None = None,
        *,
        field: str | None = None,
    ) -> None:
        super().__init__(message)
        self.status = status
        self.code = code
        self.message = message
        self.remediation = remediation
        self.field = field

    def to_body(self) -> dict[str, Any]:
        body: dict[str, Any] = {
            "code": self.code,
            "message": self.message,
            "remediation": self.remediation,
        }
        if self.field is not None:
            body["field"] = self.field
        return body


def iso_time(seconds: float | None) -> str | None:
    """UTC ISO 8601 text with a trailing ``Z``, the form every timestamp takes on the wire."""
    if seconds is None:
        return None
    moment = datetime.fromtimestamp(seconds, timezone.utc)
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")


def _new_id(prefix: str) -> str:
    return prefix + secrets.token_hex(10)


def _new_api_key(kind: str) -> str:
    # "tc_" keys are what the package's redaction recognises as credentials.
    return f"tc_{kind}_" + secrets.token_urlsafe(24)


@dataclass(frozen=True)
class Approver:
    """A local approver: a name and the Ed25519 key the service signs with for it."""

    name: str
    private_key: str
    public_key: str

    def public_view(self) -> dict[str, str]:
        return {"name": self.name, "public_key": self.public_key}


class Store:
    """The service's database.

    Args:
        data_dir: Folder holding the database; created when missing.
        clock: Source of wall-clock seconds; the service reads time only through it.

    The connection is shared by the service's threads and guarded by one lock:
    SQLite serialises writers anyway, and the lock keeps ``BEGIN IMMEDIATE``
    from ever waiting on a sibling thread of the same process.
    """

    def __init__(self, data_dir: str | Path, *, clock: Callable[[], float] = time.time) -> None:
        self.data_dir = Path(data_dir)
        private_folder(self.data_dir)
        self.path = self.data_dir / DB_FILENAME
        self.clock = clock
        self._lock = threading.RLock()
        # Created private before SQLite opens it: the database holds the API keys
        # and the approvers' signing seeds. SQLite gives its -wal and -shm files
        # the database file's mode.
        private_file(self.path)
        self._conn = sqlite3.connect(
            self.path, check_same_thread=False, isolation_level=None, timeout=10.0
        )
        self._conn.row_factory = sqlite3.Row
        self._conn.execute("PRAGMA journal_mode=WAL")
        for suffix in ("-wal", "-shm"):
            companion = self.path.with_name(self.path.name + suffix)
            if companion.exists():
                private_file(companion)
        # NORMAL in WAL mode survives process crashes; only an OS crash can
        # lose the last commits, which is acceptable for a development service.
        self._conn.execute("PRAGMA synchronous=NORMAL")
        self._conn.execute("PRAGMA foreign_keys=ON")
        self._conn.execute("PRAGMA busy_timeout=10000")
        self._migrate()

    # ------------------------------------------------------------------ basics

    def close(self) -> None:
        with self._lock:
            self._conn.close()

    @contextmanager
    def transaction(self) -> Iterator[sqlite3.Connection]:
        """One write transaction: everything inside commits together or not at all."""
        with self._lock:
            self._conn.execute("BEGIN IMMEDIATE")
            try:
                yield self._conn
            except BaseException:
                self._conn.execute("ROLLBACK")
                raise
            self._conn.execute("COMMIT")

    @contextmanager
    def _read(self) -> Iterator[sqlite3.Connection]:
        with self._lock:
            yield self._conn

    def _migrate(self) -> None:
        with self._lock:
            version = self._conn.execute("PRAGMA user_version").fetchone()[0]
            if version > _SCHEMA_VERSION:
                raise RuntimeError(
                    f"{self.path} was written by a newer kavri-cloud (schema {version})"
                )
            # executescript commits on its own, so the schema is created outside
            # the transaction helper; every statement in it is idempotent.
            self._conn.executescript(_SCHEMA)
            self._conn.execute(f"PRAGMA user_version = {_SCHEMA_VERSION}")

    # ---------------------------------------------------------------- settings

    def get_setting(self, key: str, default: str | None = None) -> str | None:
        with self._read() as conn:
            row = conn.execute("SELECT value FROM settings WHERE key = ?", (key,)).fetchone()
        return row["value"] if row else default

    def set_setting(self, key: str, value: str) -> None:
        with self.transaction() as conn:
            _put_setting(conn, key, value)

    def settings(self) -> dict[str, str]:
        with self._read() as conn:
            rows = conn.execute("SELECT key, value FROM settings").fetchall()
        return {row["key"]: row["value"] for row in rows}

    # --------------------------------------------------------------- bootstrap

    def bootstrap(
        self,
        *,
        admin_key: str | None,
        runtime_key: str | None,
        approver_names: Sequence[str],
        signed_approval_encoding: str | None,
        generate_key: Callable[[], tuple[str, str]],
    ) -> None:
        """Create what a first start needs, keep what an earlier start made.

        Args:
            admin_key: Admin API key to use; generated at first start when none.
            runtime_key: Runtime API key to use; generated at first start when none.
            approver_names: Local approvers that must exist; missing ones are created.
            signed_approval_encoding: Encoding to switch to, or none to keep the stored one.
            generate_key: Returns a fresh (private hex, public hex) Ed25519 pair.
        """
        now = self.clock()
        with self.transaction() as conn:
            for key, given, kind in (
                ("admin_key", admin_key, "admin"),
                ("runtime_key", runtime_key, "runtime"),
            ):
                if given:
                    _put_setting(conn, key, given)
                elif _get_setting(conn, key) is None:
                    _put_setting(conn, key, _new_api_key(kind))
            if _get_setting(conn, "admin_key") == _get_setting(conn, "runtime_key"):
                raise ValueError("the admin key and the runtime key must differ")
            if signed_approval_encoding is not None:
                _put_setting(conn, "signed_approval_encoding", signed_approval_encoding)
            elif _get_setting(conn, "signed_approval_encoding") is None:
                _put_setting(conn, "signed_approval_encoding", "base64")
            if _get_setting(conn, "tenant") is None:
                tenant = {"id": _new_id("ten_"), "name": "Local Kavri Cloud", "slug": "local"}
                _put_setting(conn, "tenant", json.dumps(tenant))
            for name in approver_names:
                exists = conn.execute("SELECT 1 FROM approvers WHERE name = ?", (name,)).fetchone()
                if not exists:
                    private_hex, public_hex = generate_key()
                    conn.execute(
                        "INSERT INTO approvers (name, private_key, public_key, created_at)"
                        " VALUES (?, ?, ?, ?)",
                        (name, private_hex, public_hex, now),
                    )
            if conn.execute("SELECT 1 FROM policies LIMIT 1").fetchone() is None:
                keys = [
                    row["public_key"]
                    for row in conn.execute("SELECT public_key FROM approvers ORDER BY created_at, name")
                ]
                policy = {
                    "id": "pol_default",
                    "name": "Default local approval policy",
                    "threshold": 1,
                    "approver_keys": keys,
                    "ttl_seconds": None,
                    "created_at": iso_time(now),
                }
                conn.execute(
                    "INSERT INTO policies (id, body, created_at) VALUES (?, ?, ?)",
                    (policy["id"], json.dumps(policy), now),
                )

    def tenant(self) -> dict[str, Any]:
        return json.loads(self.get_setting("tenant") or "{}")

    def policies(self, limit: int) -> list[dict[str, Any]]:
        with self._read() as conn:
            rows = conn.execute(
                "SELECT body FROM policies ORDER BY created_at, id LIMIT ?", (limit,)
            ).fetchall()
        return [json.loads(row["body"]) for row in rows]

    # --------------------------------------------------------------- approvers

    def approvers(self) -> list[Approver]:
        with self._read() as conn:
            rows = conn.execute(
                "SELECT name, private_key, public_key FROM approvers ORDER BY created_at, rowid"
            ).fetchall()
        return [Approver(row["name"], row["private_key"], row["public_key"]) for row in rows]

    # ---------------------------------------------------------------- requests

    def create_request(self, fields: dict[str, Any], *, encoding: str) -> tuple[dict[str, Any], bool]:
        """Store a new approval request, or find the one made under the same idempotency key.

        Args:
            fields: Validated request fields (see ``app.py``); ``idempotency_key`` may be none.
            encoding: How ``signed_approval`` is written in the returned record.

        Returns:
            The record and whether it was created by this call.
        """
        now = self.clock()
        key = fields.get("idempotency_key")
        ttl = fields.get("ttl_seconds")
        with self.transaction() as conn:
            if key is not None:
                row = conn.execute(
                    "SELECT id, body FROM requests WHERE idempotency_key = ?", (key,)
                ).fetchone()
                if row is not None:
                    if not _same_call(_load(row["body"]), fields):
                        raise LocalCloudError(
                            409,
                            "idempotency_key_reused",
                            "idempotency key was already used for a different approval request",
                            "Use a fresh idempotency key for each distinct tool call.",
                            field="idempotency_key",
                        )
                    self._expire(conn, now, row["id"])
                    return self._record(conn, row["id"], encoding), False
            request_id = _new_id("apr_")
            conn.execute(
                "INSERT INTO requests (id, idempotency_key, status, threshold, expires_at,"
                " created_at, body) VALUES (?, ?, 'pending', ?, ?, ?, ?)",
                (
                    request_id,
                    key,
                    fields["threshold"],
                    None if ttl is None else now + ttl,
                    now,
                    json.dumps(fields),
                ),
            )
            self._expire(conn, now, request_id)
            return self._record(conn, request_id, encoding), True

    def get_request(self, request_id: str, *, encoding: str) -> dict[str, Any]:
        now = self.clock()
        with self._read() as conn:
            row = conn.execute(
                "SELECT status, expires_at FROM requests WHERE id = ?", (request_id,)
            ).fetchone()
            if row is None:
                raise _not_found(request_id)
            if _is_due(row, now):
                # Expiry is decided on read, so only a due request pays for a write.
                with self.transaction() as tx:
                    self._expire(tx, now, request_id)
            return self._record(conn, request_id, encoding)

    def list_requests(
        self, *, status: str | None, limit: int, after: int | None = None
    ) -> tuple[list[dict[str, Any]], int | None]:
        """One page of request summaries, oldest first.

        Args:
            status: Only requests in this status; all when none.
            limit: At most this many summaries.
            after: The cursor of the previous page (a row number); from the start when none.

        Returns:
            The summaries and the cursor of the next page (none on the last page).
        """
        now = self.clock()
        with self.transaction() as conn:
            self._expire(conn, now, None)
            sql = "SELECT rowid AS seq, * FROM requests WHERE rowid > ?"
            args: list[Any] = [after or 0]
            if status is not None:
                sql += " AND status = ?"
                args.append(status)
            # rowid follows creation order, so it pages without gaps or repeats.
            rows = conn.execute(sql + " ORDER BY rowid LIMIT ?", (*args, limit + 1)).fetchall()
            more = len(rows) > limit
            rows = rows[:limit]
            items = [self._summary(conn, row) for row in rows]
        return items, (rows[-1]["seq"] if more and rows else None)

    def recent_resolved(self, limit: int) -> list[dict[str, Any]]:
        """Summaries of the last ``limit`` requests that left "pending", newest first."""
        with self._read() as conn:
            rows = conn.execute(
                "SELECT * FROM requests WHERE status != 'pending'"
                " ORDER BY resolved_at DESC, rowid DESC LIMIT ?",
                (limit,),
            ).fetchall()
            return [self._summary(conn, row) for row in rows]

    def respond(
        self,
        request_id: str,
        *,
        approver: str | None,
        decision: str,
        reason: str | None,
        sign: Callable[[Approver, bytes], bytes],
        encoding: str,
    ) -> dict[str, Any]:
        """Record one approver's decision and resolve the request when it is due.

        Args:
            request_id: The approval request.
            approver: Name of a local approver; none picks the first eligible
                approver that has not answered yet.
            decision: "approved" or "denied".
            reason: The denial reason (ignored for approvals).
            sign: Builds the serialized signed approval of an approver over a request hash.
            encoding: How ``signed_approval`` is written in the returned record.

        Returns:
            The updated record.
        """
        now = self.clock()
        approvers = {a.name: a for a in self.approvers()}
        with self.transaction() as conn:
            row = conn.execute("SELECT * FROM requests WHERE id = ?", (request_id,)).fetchone()
            if row is None:
                raise _not_found(request_id)
            self._expire(conn, now, request_id)
            status = conn.execute(
                "SELECT status FROM requests WHERE id = ?", (request_id,)
            ).fetchone()["status"]
            if status != "pending":
                raise LocalCloudError(
                    409,
                    "not_pending",
                    f"approval request {request_id} is already {status}",
                    "Only pending requests accept responses; create a new request.",
                )
            body = json.loads(row["body"])
            allowed = body.get("approver_keys")
            answered = {
                r["approver"]
                for r in conn.execute(
                    "SELECT approver FROM responses WHERE request_id = ?", (request_id,)
                )
            }
            chosen = self._choose_approver(approver, approvers, allowed, answered, request_id)
            signed = None
            if decision == "approved":
                signed = sign(chosen, bytes.fromhex(body["request_hash"]))
            conn.execute(
                "INSERT INTO responses (request_id, approver, approver_key, decision,"
                " signed_approval, created_at) VALUES (?, ?, ?, ?, ?, ?)",
                (request_id, chosen.name, chosen.public_key, decision, signed, now),
            )
            if decision == "denied":
                # The approver's own words only; "reason" always says who decided.
                conn.execute(
                    "UPDATE requests SET status = 'denied', denied_reason = ?, reason = ?,"
                    " resolved_at = ? WHERE id = ?",
                    (reason or None, reason or f"denied by {chosen.name}", now, request_id),
                )
            else:
                approvals = conn.execute(
                    "SELECT COUNT(*) FROM responses WHERE request_id = ? AND decision = 'approved'",
                    (request_id,),
                ).fetchone()[0]
                if approvals >= row["threshold"]:
                    conn.execute(
                        "UPDATE requests SET status = 'approved', resolved_at = ? WHERE id = ?",
                        (now, request_id),
                    )
            return self._record(conn, request_id, encoding)

    @staticmethod
    def _choose_approver(
        name: str | None,
        approvers: dict[str, Approver],
        allowed: list[str] | None,
        answered: set[str],
        request_id: str,
    ) -> Approver:
        def eligible(a: Approver) -> bool:
            return allowed is None or a.public_key in allowed

        if name is None:
            candidates = [a for a in approvers.values() if eligible(a)]
            if not candidates:
                raise LocalCloudError(
                    403,
                    "not_an_approver",
                    f"none of this service's approvers may answer {request_id}",
                    "List the local approvers' public keys in approver_keys.",
                )
            for candidate in candidates:
                if candidate.name not in answered:
                    return candidate
            raise LocalCloudError(
                409,
                "already_responded",
                f"every eligible approver has already answered {request_id}",
                "Wait for the request to resolve, or name another approver.",
            )
        chosen = approvers.get(name)
        if chosen is None:
            raise LocalCloudError(
                422,
                "unknown_approver",
                f"approver: no local approver is named {name!r}",
                "GET /v1/_local/approvers lists the approvers.",
                field="approver",
            )
        if not eligible(chosen):
            raise LocalCloudError(
                403,
                "not_an_approver",
                f"approver {name!r} is not among the approver_keys of {request_id}",
                "Answer as one of the approvers the request names.",
            )
        if name in answered:
            raise LocalCloudError(
                409,
                "already_responded",
                f"approver {name!r} has already answered {request_id}",
                "Each approver answers once; name another approver.",
            )
        return chosen

    def _expire(self, conn: sqlite3.Connection, now: float, request_id: str | None) -> None:
        sql = (
            "UPDATE requests SET status = 'expired', reason = 'approval request expired',"
            " resolved_at = expires_at WHERE status = 'pending' AND expires_at IS NOT NULL"
            " AND expires_at <= ?"
        )
        if request_id is None:
            conn.execute(sql, (now,))
        else:
            conn.execute(sql + " AND id = ?", (now, request_id))

    def _summary(self, conn: sqlite3.Connection, row: sqlite3.Row) -> dict[str, Any]:
        # What a list shows: the request's identity and state, never its
        # arguments, attestation or metadata, so a page stays small whatever
        # agents sent. The record route has the rest.
        body = _load(row["body"])
        attestation = body.get("approval_context_attestation")
        attested = attestation if isinstance(attestation, dict) else {}
        responses = [
            {"approver": r["approver"], "decision": r["decision"], "created_at": iso_time(r["created_at"])}
            for r in conn.execute(
                "SELECT approver, decision, created_at FROM responses WHERE request_id = ? ORDER BY seq",
                (row["id"],),
            )
        ]
        return _printable({
            "id": row["id"],
            "status": row["status"],
            "denied_reason": row["denied_reason"],
            "reason": row["reason"],
            "tool": _clip(attested.get("tool", body.get("tool"))),
            "warrant_id": _clip(attested.get("warrant_id", body.get("warrant_id"))),
            "request_hash": body.get("request_hash"),
            "policy_id": _clip(body.get("policy_id")),
            "threshold": row["threshold"],
            "approvals": sum(1 for r in responses if r["decision"] == "approved"),
            "expires_at": iso_time(row["expires_at"]),
            "created_at": iso_time(row["created_at"]),
            "resolved_at": iso_time(row["resolved_at"]),
            "idempotency_key": _clip(row["idempotency_key"]),
            "responses": responses,
        })

    def _record(self, conn: sqlite3.Connection, request_id: str, encoding: str) -> dict[str, Any]:
        row = conn.execute("SELECT * FROM requests WHERE id = ?", (request_id,)).fetchone()
        if row is None:
            raise _not_found(request_id)
        body = _load(row["body"])
        responses = [
            {
                "approver": r["approver"],
                "approver_key": r["approver_key"],
                "decision": r["decision"],
                "signed_approval": _encode(r["signed_approval"], encoding),
                "created_at": iso_time(r["created_at"]),
            }
            for r in conn.execute(
                "SELECT * FROM responses WHERE request_id = ? ORDER BY seq", (request_id,)
            )
        ]
        return _printable({
            "id": row["id"],
            "status": row["status"],
            "denied_reason": row["denied_reason"],
            "reason": row["reason"],
            "tool": body.get("tool"),
            "warrant_id": body.get("warrant_id"),
            "holder_key": body.get("holder_key"),
            "request_hash": body.get("request_hash"),
            "args_canonical_cbor_b64": body.get("args_canonical_cbor_b64"),
            "approval_context_attestation": body.get("approval_context_attestation"),
            "metadata": body.get("metadata"),
            "policy_id": body.get("policy_id"),
            "threshold": row["threshold"],
            "approver_keys": body.get("approver_keys"),
            "ttl_seconds": body.get("ttl_seconds"),
            "expires_at": iso_time(row["expires_at"]),
            "created_at": iso_time(row["created_at"]),
            "resolved_at": iso_time(row["resolved_at"]),
            "idempotency_key": row["idempotency_key"],
            "responses": responses,
        })

    # ------------------------------------------------------------------ agents

    def create_agent(self, name: str) -> dict[str, Any]:
        now = self.clock()
        agent_id = _new_id("agt_")
        token = "rt_" + secrets.token_urlsafe(24)
        with self.transaction() as conn:
            conn.execute(
                "INSERT INTO agents (agent_id, name, registration_token, status, created_at)"
                " VALUES (?, ?, ?, 'pending', ?)",
                (agent_id, name, token, now),
            )
        return {"agent_id": agent_id, "name": name, "status": "pending", "registration_token": token}

    def agents(self) -> list[dict[str, Any]]:
        with self._read() as conn:
            rows = conn.execute("SELECT * FROM agents ORDER BY created_at, rowid").fetchall()
        return [_agent_view(row) for row in rows]

    def claim_agent(self, agent_id: str, public_key: str, registration_token: str) -> dict[str, Any]:
        now = self.clock()
        with self.transaction() as conn:
            row = conn.execute("SELECT * FROM agents WHERE agent_id = ?", (agent_id,)).fetchone()
            if row is None:
                raise LocalCloudError(
                    404,
                    "not_found",
                    f"no agent {agent_id!r}",
                    "Generate a fresh Quick Connect token with an agent binding.",
                )
            if not secrets.compare_digest(row["registration_token"], registration_token):
                raise LocalCloudError(
                    401,
                    "invalid_registration_token",
                    f"the registration token does not match agent {agent_id}",
                    "Generate a fresh Quick Connect token in Kavri Cloud.",
                )
            if row["status"] != "pending":
                raise LocalCloudError(
                    409,
                    "agent_not_pending",
                    f"agent {agent_id} is already {row['status']}",
                    "The agent is claimed; nothing more to do.",
                )
            conn.execute(
                "UPDATE agents SET status = 'active', public_key = ?, claimed_at = ?"
                " WHERE agent_id = ?",
                (public_key, now, agent_id),
            )
            claimed = conn.execute("SELECT * FROM agents WHERE agent_id = ?", (agent_id,)).fetchone()
        view = _agent_view(claimed)
        return {k: view[k] for k in ("agent_id", "status", "name", "public_key")}

    # ---------------------------------------------------------------- receipts

    def add_receipt(self, receipt: Any) -> dict[str, Any]:
        now = self.clock()
        receipt_id = _new_id("rcp_")
        with self.transaction() as conn:
            conn.execute(
                "INSERT INTO receipts (id, body, received_at) VALUES (?, ?, ?)",
                (receipt_id, json.dumps(receipt), now),
            )
        return {"id": receipt_id, "received_at": iso_time(now)}

    def receipts(self, limit: int, after: int | None = None) -> tuple[list[dict[str, Any]], int | None]:
        """One page of stored receipts, oldest first, and the cursor of the next page."""
        with self._read() as conn:
            rows = conn.execute(
                "SELECT * FROM receipts WHERE seq > ? ORDER BY seq LIMIT ?", (after or 0, limit + 1)
            ).fetchall()
        more = len(rows) > limit
        rows = rows[:limit]
        items = [
            _printable({"id": r["id"], "received_at": iso_time(r["received_at"]), "receipt": _load(r["body"])})
            for r in rows
        ]
        return items, (rows[-1]["seq"] if more and rows else None)

    # ---------------------------------------------------------------- dashboard

    # Sessions and login links run on the wall clock, like the signed tokens
    # that name them, not on the service's (possibly simulated) request clock.

    def use_login(self, nonce: str, expires_at: float, now: float) -> bool:
        """Mark a login link's nonce used; False when it was used before (by any process)."""
        with self.transaction() as conn:
            conn.execute("DELETE FROM used_logins WHERE expires_at < ?", (now,))
            cursor = conn.execute(
                "INSERT OR IGNORE INTO used_logins (nonce, expires_at) VALUES (?, ?)",
                (nonce, expires_at),
            )
            return cursor.rowcount == 1

    def open_session(self, nonce: str, expires_at: float, now: float) -> None:
        with self.transaction() as conn:
            conn.execute("DELETE FROM sessions WHERE expires_at < ?", (now,))
            conn.execute(
                "INSERT INTO sessions (nonce, created_at, expires_at) VALUES (?, ?, ?)",
                (nonce, now, expires_at),
            )

    def session_open(self, nonce: str, now: float) -> bool:
        """Whether the session exists, has not expired and was not revoked."""
        with self._read() as conn:
            row = conn.execute(
                "SELECT expires_at, revoked_at FROM sessions WHERE nonce = ?", (nonce,)
            ).fetchone()
        return row is not None and row["revoked_at"] is None and row["expires_at"] > now

    def revoke_session(self, nonce: str, now: float) -> None:
        with self.transaction() as conn:
            conn.execute(
                "UPDATE sessions SET revoked_at = ? WHERE nonce = ? AND revoked_at IS NULL",
                (now, nonce),
            )


def _same_call(stored: dict[str, Any], fields: dict[str, Any]) -> bool:
    """Whether a create under a used idempotency key asks for the stored call again."""
    for name in ("tool", "warrant_id", "request_hash"):
        if stored.get(name) != fields.get(name):
            return False
    try:
        return base64.b64decode(stored.get("args_canonical_cbor_b64") or "") == base64.b64decode(
            fields.get("args_canonical_cbor_b64") or ""
        )
    except ValueError:
        return False


_MAX_LISTED_CHARS = 256


def _clip(value: Any) -> Any:
    if isinstance(value, str) and len(value) > _MAX_LISTED_CHARS:
        return value[:_MAX_LISTED_CHARS] + "…"
    return value


def _load(text: str) -> dict[str, Any]:
    """A stored JSON body; a row that no longer parses reads as empty instead of failing a list."""
    try:
        value = json.loads(text)
    except (TypeError, ValueError, RecursionError):
        return {}
    return value if isinstance(value, dict) else {}


def _printable(value: Any) -> Any:
    """``value`` with what JSON answers cannot carry made showable.

    Older versions stored lone surrogates and non-finite numbers; such a row is
    rendered (U+FFFD for the surrogate, the number's name as text) rather than
    failing every answer that includes it.
    """
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in value)
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, dict):
        return {_printable(k) if isinstance(k, str) else k: _printable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_printable(v) for v in value]
    return value


def _get_setting(conn: sqlite3.Connection, key: str) -> str | None:
    row = conn.execute("SELECT value FROM settings WHERE key = ?", (key,)).fetchone()
    return row["value"] if row else None


def _put_setting(conn: sqlite3.Connection, key: str, value: str) -> None:
    conn.execute(
        "INSERT INTO settings (key, value) VALUES (?, ?)"
        " ON CONFLICT (key) DO UPDATE SET value = excluded.value",
        (key, value),
    )


def _is_due(row: sqlite3.Row, now: float) -> bool:
    return row["status"] == "pending" and row["expires_at"] is not None and row["expires_at"] <= now


def _encode(signed: bytes | None, encoding: str) -> str | None:
    if signed is None:
        return None
    if encoding == "hex":
        return bytes(signed).hex()
    return base64.b64encode(bytes(signed)).decode("ascii")


def _not_found(request_id: str) -> LocalCloudError:
    return LocalCloudError(
        404,
        "not_found",
        f"no approval request {request_id!r}",
        "Check the request id; requests live in the service's data folder.",
    )


def _agent_view(row: sqlite3.Row) -> dict[str, Any]:
    return {
        "agent_id": row["agent_id"],
        "name": row["name"],
        "status": row["status"],
        "public_key": row["public_key"],
        "created_at": iso_time(row["created_at"]),
        "claimed_at": iso_time(row["claimed_at"]),
    }


# ------------------------------------------------------------------ file modes


def private_folder(path: Path) -> None:
    """Create ``path`` as a folder only its owner can enter (0700), and tighten what is in it.

    A folder or file found open to the group or others (from an older version
    or a loose umask) is tightened, with a warning naming it.
    """
    path.mkdir(parents=True, exist_ok=True, mode=0o700)
    _tighten(path, 0o700)
    for entry in path.iterdir():
        if entry.is_file() and not entry.is_symlink():
            _tighten(entry, 0o600)


def private_file(path: Path) -> None:
    """Create ``path`` when missing with mode 0600 whatever the umask, else tighten it to 0600."""
    fd = os.open(path, os.O_CREAT | os.O_RDWR, 0o600)
    os.close(fd)
    _tighten(path, 0o600)


def _tighten(path: Path, mode: int) -> None:
    current = stat.S_IMODE(path.stat().st_mode)
    if current & 0o077:
        logger.warning(
            "%s was readable by other users (mode %04o); tightened to %04o", path, current, mode
        )
    if current != mode:
        os.chmod(path, mode)
