"""The approvals dashboard of the local Kavri Cloud: where the local human decides.

Pages and endpoints, all under ``/approvals``::

    GET  /approvals                          pending requests (and the last few resolved ones)
    GET  /approvals?request=<id>             one request, with Approve / Deny per local approver
    POST /approvals/requests/<id>/approve    form post: approve as one local approver
    POST /approvals/requests/<id>/deny       form post: deny as one local approver, with a reason
    GET  /approvals/api/requests?since=V     JSON for the live list (polled by the page;
                                             no "html" when the list is still at version V)
    GET  /approvals/api/requests/<id>        JSON for the live request page
    GET  /approvals/login?token=T&next=P     one-time login link; sets the session cookie
    GET  /approvals/login, POST              log in by pasting the admin API key
    POST /approvals/logout                   end the session (on the server, not only the cookie)
    GET  /approvals/static/<file>            the page's stylesheet and script

How it authenticates. The dashboard approves with the approvers' private keys,
so it is the most powerful thing the service offers and is kept for the human
at this machine:

- It answers only clients on a loopback address; anyone else gets 403, even
  when the service itself listens on a public interface.
- A session is a cookie (HttpOnly, SameSite=Strict, path /approvals) whose
  value is signed with the admin API key and named in the store: changing the
  admin key logs every browser out, and logging out revokes the session, so a
  copied cookie stops working too. Sessions last 12 hours.
- A browser gets the cookie from a one-time login link (:func:`login_url`,
  printed by ``kavri-cloud local`` and ``./dev demo``; valid one hour, signed
  with the admin key so no state is needed to mint one, and usable once: used
  links are kept in the store, across restarts and processes), or by
  pasting the admin key into the login form, which is a POST so the key never
  lands in a URL or the browser history.
- Every form post carries a token derived from the session (on top of the
  SameSite cookie), and every page is served with a strict Content-Security-
  Policy: no inline script, no third-party anything.

Once logged in, the link the LangGraph handler logs
(``KAVRI_DASHBOARD_URL`` + "/approvals?request=<id>", with the dashboard URL
set to the service URL) opens the request directly; logged out, it leads to
the login form and back.

Everything shown is escaped: tool names, arguments, reasons and keys come from
agents and are not to be trusted. The page itself is server-rendered; its
script only polls the JSON endpoints and swaps in the server-rendered
fragment when the request changed, and counts the TTL down between polls.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import html
import ipaddress
import json
import math
import secrets
import time
from datetime import datetime
from pathlib import Path
from typing import Any, Mapping
from urllib.parse import parse_qs, quote, urlencode

from starlette.requests import ClientDisconnect, Request
from starlette.responses import HTMLResponse, JSONResponse, RedirectResponse, Response
from starlette.routing import Route

from .store import LocalCloudError

__all__ = [
    "DASHBOARD_PATH",
    "LOGIN_LINK_TTL",
    "SESSION_COOKIE",
    "SESSION_TTL",
    "dashboard_routes",
    "login_token",
    "login_url",
    "request_url",
]

DASHBOARD_PATH = "/approvals"
SESSION_COOKIE = "kavri_dashboard"
#: Lifetime of a one-time login link, in seconds.
LOGIN_LINK_TTL = 3600.0
#: Lifetime of a dashboard session, in seconds.
SESSION_TTL = 12 * 3600.0

_STATIC_DIR = Path(__file__).with_name("static")
_STATIC_FILES = {"dashboard.css": "text/css", "dashboard.js": "text/javascript"}
_MAX_ARGUMENT_CHARS = 20_000
_MAX_REASON_CHARS = 1000
_MAX_FORM_BYTES = 16 * 1024
_RECENT_RESOLVED = 10
_MAX_LISTED = 200
_CSP = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"
)
_SECURITY_HEADERS = {
    "Content-Security-Policy": _CSP,
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}


# ------------------------------------------------------------------ signed tokens


# Tokens are hex and dots only: printed links pass through credential redaction,
# whose patterns ("tc_...", "cs_...") can never match inside them.
def _mac(admin_key: str, purpose: str, *parts: str) -> str:
    message = "\x1f".join((purpose, *parts)).encode()
    return hmac.new(admin_key.encode(), message, hashlib.sha256).hexdigest()


def login_token(admin_key: str, *, ttl: float = LOGIN_LINK_TTL, now: float | None = None) -> str:
    """A one-time login token for the dashboard, signed with the admin key.

    Args:
        admin_key: The service's admin API key.
        ttl: Seconds the token stays usable.
        now: Wall-clock seconds to count from (the current time by default).
    """
    expires = str(int((time.time() if now is None else now) + ttl))
    nonce = secrets.token_hex(12)
    return f"{expires}.{nonce}.{_mac(admin_key, 'login', expires, nonce)}"


def request_url(base_url: str, request_id: str) -> str:
    """The dashboard page of one approval request: what the LangGraph handler links to."""
    return f"{base_url.rstrip('/')}{DASHBOARD_PATH}?request={quote(str(request_id), safe='')}"


def login_url(
    base_url: str, admin_key: str, *, next: str = DASHBOARD_PATH, ttl: float = LOGIN_LINK_TTL
) -> str:
    """A one-time link that logs a browser into the dashboard and then opens ``next``.

    Args:
        base_url: The service's base URL (``LocalCloud.url``).
        admin_key: The service's admin API key, which signs the link.
        next: Dashboard path (with query) to open after logging in.
        ttl: Seconds the link stays usable.
    """
    query = urlencode({"token": login_token(admin_key, ttl=ttl), "next": next})
    return f"{base_url.rstrip('/')}{DASHBOARD_PATH}/login?{query}"


def _safe_next(value: str | None) -> str:
    # Only dashboard paths: a login link must not become an open redirect.
    if value and value.startswith(DASHBOARD_PATH) and "\\" not in value and "//" not in value:
        rest = value[len(DASHBOARD_PATH):]
        if not rest or rest[0] in "/?":
            return value
    return DASHBOARD_PATH


# ------------------------------------------------------------------ rendering helpers


def _e(value: Any) -> str:
    return html.escape("" if value is None else str(value), quote=True)


def _parse_time(text: Any) -> float | None:
    if not isinstance(text, str) or not text:
        return None
    try:
        # fromisoformat of Python 3.10 does not read the trailing "Z".
        return datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()
    except ValueError:
        return None


def _duration(seconds: float) -> str:
    seconds = max(0, int(math.ceil(seconds)))
    hours, rest = divmod(seconds, 3600)
    minutes, secs = divmod(rest, 60)
    if hours:
        return f"{hours} h {minutes:02d} min"
    if minutes:
        return f"{minutes} min {secs:02d} s"
    return f"{secs} s"


def _short(key: Any, length: int = 12) -> str:
    text = "" if key is None else str(key)
    return text if len(text) <= length + 1 else text[:length] + "…"


def _approved_count(record: Mapping[str, Any]) -> int:
    return sum(1 for r in record.get("responses") or [] if r.get("decision") == "approved")


def _json_text(value: Any) -> str:
    try:
        text = json.dumps(value, indent=2, ensure_ascii=False, default=_jsonable)
    except (TypeError, ValueError, RecursionError):
        text = repr(value)
    if len(text) > _MAX_ARGUMENT_CHARS:
        text = text[:_MAX_ARGUMENT_CHARS] + f"\n… ({len(text) - _MAX_ARGUMENT_CHARS} more characters)"
    return text


def _canonical(value: Any) -> str:
    # Canonical CBOR orders map keys; the agent's metadata need not.
    try:
        return json.dumps(value, sort_keys=True, default=_jsonable)
    except (TypeError, ValueError, RecursionError):
        return repr(value)


def _jsonable(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray)):
        return "h'" + bytes(value).hex() + "'"
    if isinstance(value, (set, frozenset)):
        return sorted(value, key=repr)
    return repr(value)


def _decoded_arguments(record: Mapping[str, Any]) -> tuple[Any, str | None]:
    """The attested arguments decoded from canonical CBOR, or (None, why not)."""
    try:
        import cbor2

        raw = base64.b64decode(record.get("args_canonical_cbor_b64") or "", validate=True)
        return cbor2.loads(raw), None
    except Exception as exc:  # anything an agent sends must still render
        return None, f"{type(exc).__name__}: {exc}"


def _attested(record: Mapping[str, Any], name: str) -> Any:
    """The tool or warrant id the holder attested: what an approval is for."""
    attestation = record.get("approval_context_attestation")
    if isinstance(attestation, Mapping) and name in attestation:
        return attestation[name]
    return record.get(name)


def _status_badge(status: Any) -> str:
    known = {"pending", "approved", "denied", "expired"}
    kind = status if status in known else "unknown"
    return f'<span class="badge badge-{kind}">{_e(status)}</span>'


def _ttl_cell(record: Mapping[str, Any], now: float) -> str:
    expires = _parse_time(record.get("expires_at"))
    if expires is None:
        return '<span class="muted">no expiry</span>'
    if record.get("status") != "pending":
        return f'<span class="muted">until {_e(record.get("expires_at"))}</span>'
    left = max(0.0, expires - now)
    return f'<span class="ttl" data-expires-in="{left:.3f}">{_e(_duration(left))}</span>'


# ------------------------------------------------------------------ the dashboard


class Dashboard:
    """The dashboard's handlers over one running service (``app.state.service``)."""

    def __init__(self, service: Any) -> None:
        self.service = service

    # -- sessions

    @property
    def _admin_key(self) -> str:
        return str(self.service.admin_key)

    def _session_value(self) -> str:
        now = time.time()
        issued = str(int(now))
        nonce = secrets.token_hex(16)
        # Kept in the store as well as signed, so logging out ends the session
        # on the server and not only in the browser that asked.
        self.service.store.open_session(nonce, int(now) + SESSION_TTL, now)
        return f"{issued}.{nonce}.{_mac(self._admin_key, 'session', issued, nonce)}"

    def _session_nonce(self, request: Request) -> str | None:
        """The nonce of a valid session cookie, or None."""
        value = request.cookies.get(SESSION_COOKIE, "")
        issued, _, rest = value.partition(".")
        nonce, _, mac = rest.partition(".")
        if not (issued.isdigit() and nonce and mac):
            return None
        expected = _mac(self._admin_key, "session", issued, nonce)
        if not hmac.compare_digest(mac.encode(), expected.encode()):
            return None
        now = time.time()
        if now - int(issued) > SESSION_TTL:
            return None
        if not self.service.store.session_open(nonce, now):
            return None
        return nonce

    def _csrf(self, nonce: str) -> str:
        return _mac(self._admin_key, "csrf", nonce)

    def _use_login_token(self, token: str) -> bool:
        expires, _, rest = token.partition(".")
        nonce, _, mac = rest.partition(".")
        if not (expires.isdigit() and nonce and mac):
            return False
        expected = _mac(self._admin_key, "login", expires, nonce)
        if not hmac.compare_digest(mac.encode(), expected.encode()):
            return False
        now = time.time()
        if int(expires) < now:
            return False
        # The used set lives in the store, so a restart does not make a used link new.
        return bool(self.service.store.use_login(nonce, float(expires), now))

    def _logged_in(self, response: Response) -> Response:
        response.set_cookie(
            SESSION_COOKIE,
            self._session_value(),
            max_age=int(SESSION_TTL),
            path=DASHBOARD_PATH,
            httponly=True,
            samesite="strict",
        )
        return response

    # -- gatekeeping

    @staticmethod
    def _local_client(request: Request) -> bool:
        host = request.client.host if request.client else ""
        try:
            return ipaddress.ip_address(host.split("%", 1)[0]).is_loopback
        except ValueError:
            return False

    def _page(self, body: str, *, title: str, status: int = 200, nonce: str | None = None) -> HTMLResponse:
        logout = ""
        if nonce is not None:
            logout = (
                f'<form method="post" action="{DASHBOARD_PATH}/logout" class="logout">'
                f'<input type="hidden" name="csrf" value="{_e(self._csrf(nonce))}">'
                '<button type="submit" class="link">Log out</button></form>'
            )
        page = (
            "<!doctype html>\n"
            '<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>{_e(title)} · Local Kavri Cloud</title>"
            f'<link rel="stylesheet" href="{DASHBOARD_PATH}/static/dashboard.css">'
            f'<script src="{DASHBOARD_PATH}/static/dashboard.js" defer></script>'
            "</head><body>"
            f'<header class="top"><a class="brand" href="{DASHBOARD_PATH}">Local Kavri Cloud'
            '<span class="brand-sub">approvals</span></a>'
            f'<span class="live" id="live-state" hidden></span>{logout}</header>'
            f'<main>{body}</main></body></html>'
        )
        return HTMLResponse(page, status_code=status, headers=_SECURITY_HEADERS)

    def _refuse_remote(self, request: Request) -> Response | None:
        if self._local_client(request):
            return None
        text = "The approvals dashboard answers only on this machine (a loopback address)."
        if request.url.path.startswith(f"{DASHBOARD_PATH}/api/"):
            return JSONResponse({"code": "forbidden", "message": text, "remediation": None}, 403)
        return self._page(f'<p class="error">{_e(text)}</p>', title="Forbidden", status=403)

    def _require_session(self, request: Request) -> tuple[str | None, Response | None]:
        refused = self._refuse_remote(request)
        if refused is not None:
            return None, refused
        nonce = self._session_nonce(request)
        if nonce is not None:
            return nonce, None
        if request.url.path.startswith(f"{DASHBOARD_PATH}/api/"):
            body = {
                "code": "unauthorized",
                "message": "not logged in to the dashboard",
                "remediation": "Open a login link printed by `kavri-cloud local`, or log in with the admin key.",
            }
            return None, JSONResponse(body, status_code=401)
        target = request.url.path + (f"?{request.url.query}" if request.url.query else "")
        login = f"{DASHBOARD_PATH}/login?" + urlencode({"next": _safe_next(target)})
        return None, RedirectResponse(login, status_code=303)

    # -- login and logout

    async def login(self, request: Request) -> Response:
        refused = self._refuse_remote(request)
        if refused is not None:
            return refused
        if request.method == "POST":
            form = await _read_form(request)
            target = _safe_next(form.get("next"))
            key = form.get("key", "").strip()
            if key and hmac.compare_digest(key.encode(), self._admin_key.encode()):
                return self._logged_in(RedirectResponse(target, status_code=303))
            return self._login_form(target, "That is not this service's admin API key.", status=401)
        target = _safe_next(request.query_params.get("next"))
        token = request.query_params.get("token")
        if token is not None:
            if self._use_login_token(token):
                return self._logged_in(RedirectResponse(target, status_code=303))
            return self._login_form(
                target, "This login link has expired or was already used.", status=401
            )
        if self._session_nonce(request) is not None:
            return RedirectResponse(target, status_code=303)
        return self._login_form(target, None)

    def _login_form(self, target: str, error: str | None, *, status: int = 200) -> HTMLResponse:
        message = f'<p class="error" role="alert">{_e(error)}</p>' if error else ""
        body = (
            '<section class="card narrow"><h1>Log in to the approvals dashboard</h1>'
            f"{message}"
            "<p>Open the one-time link that <code>kavri-cloud local</code> or "
            "<code>./dev demo</code> printed, or paste the service's admin API key.</p>"
            f'<form method="post" action="{DASHBOARD_PATH}/login" class="stack">'
            f'<input type="hidden" name="next" value="{_e(target)}">'
            '<label for="key">Admin API key</label>'
            '<input id="key" name="key" type="password" autocomplete="off" required autofocus>'
            '<button type="submit" class="primary">Log in</button></form></section>'
        )
        return self._page(body, title="Log in", status=status)

    async def logout(self, request: Request) -> Response:
        nonce, refused = self._require_session(request)
        if refused is not None:
            return refused
        assert nonce is not None
        form = await _read_form(request)
        if not hmac.compare_digest(form.get("csrf", "").encode(), self._csrf(nonce).encode()):
            return self._page('<p class="error">Stale form; reload the page.</p>', title="Error", status=403)
        self.service.store.revoke_session(nonce, time.time())
        response = RedirectResponse(f"{DASHBOARD_PATH}/login", status_code=303)
        response.delete_cookie(SESSION_COOKIE, path=DASHBOARD_PATH)
        return response

    # -- pages

    async def index(self, request: Request) -> Response:
        nonce, refused = self._require_session(request)
        if refused is not None:
            return refused
        assert nonce is not None
        request_id = request.query_params.get("request")
        if request_id:
            return self._request_page(request_id, nonce)
        body = (
            '<h1>Approval requests</h1>'
            f'<div id="live" data-live-src="{DASHBOARD_PATH}/api/requests" data-version="{_e(self._list_version())}">'
            f"{self._list_fragment()}</div>"
        )
        return self._page(body, title="Approval requests", nonce=nonce)

    def _request_page(
        self, request_id: str, nonce: str, *, error: str | None = None, status: int = 200
    ) -> HTMLResponse:
        try:
            record = self._record(request_id)
        except LocalCloudError as exc:
            if exc.status != 404:
                raise
            body = (
                f'<p class="error">No approval request {_e(request_id)} here.</p>'
                f'<p><a href="{DASHBOARD_PATH}">All pending requests</a></p>'
            )
            return self._page(body, title="Not found", status=404, nonce=nonce)
        banner = f'<p class="error" role="alert">{_e(error)}</p>' if error else ""
        src = f"{DASHBOARD_PATH}/api/requests/{quote(request_id, safe='')}"
        body = (
            f'<p class="crumbs"><a href="{DASHBOARD_PATH}">← All requests</a></p>{banner}'
            f'<div id="live" data-live-src="{_e(src)}" data-version="{_e(_record_version(record))}"'
            f' data-final="{"true" if record.get("status") != "pending" else "false"}">'
            f"{self._request_fragment(record, nonce)}</div>"
        )
        return self._page(body, title=f"Approval: {_attested(record, 'tool')}", status=status, nonce=nonce)

    # -- live JSON

    async def api_list(self, request: Request) -> Response:
        nonce, refused = self._require_session(request)
        if refused is not None:
            return refused
        version = self._list_version()
        answer: dict[str, Any] = {"version": version}
        # The page polls every second; an unchanged list is not sent again.
        if request.query_params.get("since") != version:
            answer["html"] = self._list_fragment()
        return JSONResponse(answer, headers={"Cache-Control": "no-store"})

    async def api_request(self, request: Request) -> Response:
        nonce, refused = self._require_session(request)
        if refused is not None:
            return refused
        assert nonce is not None
        record = self._record(request.path_params["request_id"])
        return JSONResponse(
            {
                "id": record["id"],
                "status": record["status"],
                "final": record["status"] != "pending",
                "version": _record_version(record),
                "html": self._request_fragment(record, nonce),
            },
            headers={"Cache-Control": "no-store"},
        )

    # -- decisions

    async def approve(self, request: Request) -> Response:
        return await self._decide(request, "approved")

    async def deny(self, request: Request) -> Response:
        return await self._decide(request, "denied")

    async def _decide(self, request: Request, decision: str) -> Response:
        nonce, refused = self._require_session(request)
        if refused is not None:
            return refused
        assert nonce is not None
        request_id = request.path_params["request_id"]
        form = await _read_form(request)
        if not hmac.compare_digest(form.get("csrf", "").encode(), self._csrf(nonce).encode()):
            return self._request_page(
                request_id, nonce, error="This form is stale; reload the page and try again.", status=403
            )
        approver = form.get("approver") or None
        reason = None
        if decision == "denied":
            reason = form.get("reason", "").strip()[:_MAX_REASON_CHARS] or None
        from .app import sign_approval

        service = self.service
        try:
            service.store.respond(
                request_id,
                approver=approver,
                decision=decision,
                reason=reason,
                sign=sign_approval,
                encoding=service.encoding,
            )
        except LocalCloudError as exc:
            if exc.status == 404:
                return self._request_page(request_id, nonce)
            return self._request_page(request_id, nonce, error=exc.message, status=exc.status)
        target = f"{DASHBOARD_PATH}?request={quote(request_id, safe='')}"
        return RedirectResponse(target, status_code=303)

    # -- static files

    async def static(self, request: Request) -> Response:
        name = request.path_params["name"]
        media = _STATIC_FILES.get(name)
        if media is None:
            return Response("not found", status_code=404, media_type="text/plain")
        content = (_STATIC_DIR / name).read_bytes()
        headers = {"X-Content-Type-Options": "nosniff", "Cache-Control": "no-cache"}
        return Response(content, media_type=media, headers=headers)

    # -- data

    def _record(self, request_id: str) -> dict[str, Any]:
        return self.service.store.get_request(request_id, encoding=self.service.encoding)

    # The list shows summaries (no arguments, attestation or metadata), so a
    # poll stays small however large the requests' bodies are.
    def _pending(self) -> list[dict[str, Any]]:
        items, _ = self.service.store.list_requests(status="pending", limit=_MAX_LISTED)
        return list(items)

    def _recent(self) -> list[dict[str, Any]]:
        return list(self.service.store.recent_resolved(_RECENT_RESOLVED))

    def _list_version(self) -> str:
        pending = self._pending()
        state = [(r["id"], _approved_count(r)) for r in pending]
        state.append(tuple(r["id"] for r in self._recent()))
        return hashlib.sha1(json.dumps(state).encode()).hexdigest()[:16]

    # -- fragments

    def _list_fragment(self) -> str:
        now = self.service.store.clock()
        pending = self._pending()
        if pending:
            rows = "".join(
                "<tr>"
                f'<td><a class="tool" href="{DASHBOARD_PATH}?request={quote(r["id"], safe="")}">{_e(r.get("tool"))}</a></td>'
                f'<td class="mono">{_e(r["id"])}</td>'
                f'<td>{_e(r.get("warrant_id"))}</td>'
                f"<td>{_approved_count(r)} / {_e(r.get('threshold'))}</td>"
                f"<td>{_ttl_cell(r, now)}</td>"
                f'<td class="muted">{_e(r.get("created_at"))}</td>'
                "</tr>"
                for r in pending
            )
            table = (
                '<table class="list"><thead><tr><th>Tool</th><th>Request</th><th>Warrant</th>'
                "<th>Approvals</th><th>TTL left</th><th>Created</th></tr></thead>"
                f"<tbody>{rows}</tbody></table>"
            )
        else:
            table = '<p class="empty">No pending requests. New ones appear here as agents ask.</p>'
        recent = self._recent()
        resolved = ""
        if recent:
            items = "".join(
                "<tr>"
                f'<td><a class="tool" href="{DASHBOARD_PATH}?request={quote(r["id"], safe="")}">{_e(r.get("tool"))}</a></td>'
                f'<td class="mono">{_e(r["id"])}</td>'
                f"<td>{_status_badge(r.get('status'))}</td>"
                f'<td>{_e(r.get("denied_reason") or "")}</td>'
                f'<td class="muted">{_e(r.get("resolved_at"))}</td>'
                "</tr>"
                for r in recent
            )
            resolved = (
                '<section class="card"><h2>Recently resolved</h2><table class="list"><thead><tr>'
                "<th>Tool</th><th>Request</th><th>Status</th><th>Reason</th><th>Resolved</th></tr></thead>"
                f"<tbody>{items}</tbody></table></section>"
            )
        return f'<section class="card"><h2>Pending ({len(pending)})</h2>{table}</section>{resolved}'

    def _request_fragment(self, record: Mapping[str, Any], nonce: str) -> str:
        now = self.service.store.clock()
        status = record.get("status")
        approvers = list(self.service.approvers)
        by_key = {a.public_key: a.name for a in approvers}
        allowed = record.get("approver_keys")
        responses = list(record.get("responses") or [])
        answered = {r.get("approver"): r for r in responses}

        decoded, decode_error = _decoded_arguments(record)
        if decode_error is None:
            arguments = f'<pre class="code" id="arguments">{_e(_json_text(decoded))}</pre>'
        else:
            arguments = f'<p class="error">The attested arguments do not decode: {_e(decode_error)}</p>'
        metadata = record.get("metadata")
        metadata_note = ""
        if metadata is not None:
            same = decode_error is None and _canonical(metadata) == _canonical(decoded)
            if same:
                metadata_note = '<p class="muted">The metadata the agent sent matches the attested arguments.</p>'
            else:
                metadata_note = (
                    '<p class="warning">The metadata the agent sent differs from the attested '
                    "arguments. Decide on the attested arguments above; only they are signed.</p>"
                    f'<pre class="code" id="metadata">{_e(_json_text(metadata))}</pre>'
                )

        if status == "pending":
            what = f"Approve or deny this call of <strong>{_e(_attested(record, 'tool'))}</strong>."
        elif status == "approved":
            what = "Approved. The agent's handler receives the signed approvals."
        elif status == "denied":
            what = f"Denied: {_e(record.get('denied_reason'))}"
        else:
            what = f"{_e(str(status).capitalize())}: {_e(record.get('reason') or '')}"

        if allowed:
            approver_items = "".join(
                f'<li><span class="name">{_e(by_key.get(key, "external approver"))}</span>'
                f' <span class="mono key">{_e(key)}</span></li>'
                for key in allowed
            )
        else:
            approver_items = (
                '<li class="muted">Any local approver: '
                + _e(", ".join(a.name for a in approvers))
                + "</li>"
            )

        facts = (
            '<dl class="facts">'
            f'<dt>Status</dt><dd id="status">{_status_badge(status)}</dd>'
            f'<dt>Request</dt><dd class="mono">{_e(record.get("id"))}</dd>'
            f'<dt>Warrant</dt><dd class="mono">{_e(_attested(record, "warrant_id"))}</dd>'
            f'<dt>Holder key</dt><dd class="mono key">{_e(record.get("holder_key"))}</dd>'
            f'<dt>Request hash</dt><dd class="mono key">{_e(record.get("request_hash"))}</dd>'
            f'<dt>Threshold</dt><dd id="threshold">{_approved_count(record)} of {_e(record.get("threshold"))} approvals</dd>'
            f'<dt>TTL left</dt><dd id="ttl">{_ttl_cell(record, now)}</dd>'
            f'<dt>Created</dt><dd>{_e(record.get("created_at"))}</dd>'
        )
        if record.get("policy_id"):
            facts += f'<dt>Policy</dt><dd class="mono">{_e(record.get("policy_id"))}</dd>'
        if record.get("idempotency_key"):
            facts += f'<dt>Idempotency key</dt><dd class="mono">{_e(record.get("idempotency_key"))}</dd>'
        facts += "</dl>"

        if responses:
            response_rows = "".join(
                "<tr>"
                f'<td>{_e(r.get("approver"))}</td>'
                f"<td>{_status_badge(r.get('decision'))}</td>"
                f'<td class="mono">{_e(_short(r.get("approver_key"), 16))}</td>'
                f'<td class="muted">{_e(r.get("created_at"))}</td>'
                "</tr>"
                for r in responses
            )
            response_table = (
                '<table class="list" id="responses"><thead><tr><th>Approver</th><th>Decision</th>'
                f"<th>Key</th><th>At</th></tr></thead><tbody>{response_rows}</tbody></table>"
            )
        else:
            response_table = '<p class="empty" id="responses">No responses yet.</p>'

        actions = ""
        if status == "pending":
            csrf = _e(self._csrf(nonce))
            base = f"{DASHBOARD_PATH}/requests/{quote(str(record.get('id')), safe='')}"
            rows = []
            for approver in approvers:
                name = approver.name
                eligible = not allowed or approver.public_key in allowed
                if name in answered:
                    state = _status_badge(answered[name].get("decision"))
                    rows.append(f'<div class="approver"><span class="name">{_e(name)}</span>{state}</div>')
                    continue
                if not eligible:
                    rows.append(
                        f'<div class="approver"><span class="name">{_e(name)}</span>'
                        '<span class="muted">not an approver of this warrant</span></div>'
                    )
                    continue
                rows.append(
                    f'<div class="approver" data-approver="{_e(name)}"><span class="name">{_e(name)}</span>'
                    f'<form method="post" action="{base}/approve" class="inline">'
                    f'<input type="hidden" name="csrf" value="{csrf}">'
                    f'<input type="hidden" name="approver" value="{_e(name)}">'
                    f'<button type="submit" class="approve">Approve as {_e(name)}</button></form>'
                    f'<form method="post" action="{base}/deny" class="inline deny">'
                    f'<input type="hidden" name="csrf" value="{csrf}">'
                    f'<input type="hidden" name="approver" value="{_e(name)}">'
                    f'<input type="text" name="reason" placeholder="Reason for denying" '
                    f'aria-label="Reason for {_e(name)} to deny" maxlength="{_MAX_REASON_CHARS}" required>'
                    f'<button type="submit" class="deny">Deny as {_e(name)}</button></form></div>'
                )
            actions = '<section class="card actions"><h2>Decide</h2>' + "".join(rows) + "</section>"

        return (
            f'<h1><span class="tool">{_e(_attested(record, "tool"))}</span> {_status_badge(status)}</h1>'
            f'<p class="lead" id="outcome">{what}</p>'
            f"{actions}"
            '<div class="columns">'
            f'<section class="card"><h2>Arguments</h2>'
            '<p class="muted">Decoded from the canonical CBOR the holder attested.</p>'
            f"{arguments}{metadata_note}</section>"
            f'<section class="card"><h2>Request</h2>{facts}'
            f'<h3>Approvers</h3><ul class="approvers">{approver_items}</ul>'
            f"<h3>Responses so far</h3>{response_table}</section>"
            "</div>"
        )


def _record_version(record: Mapping[str, Any]) -> str:
    state = [
        record.get("status"),
        record.get("denied_reason"),
        [(r.get("approver"), r.get("decision")) for r in record.get("responses") or []],
    ]
    return hashlib.sha1(json.dumps(state, default=str).encode()).hexdigest()[:16]


async def _read_form(request: Request) -> dict[str, str]:
    """A URL-encoded form body as a flat mapping (first value of each field)."""
    chunks: list[bytes] = []
    size = 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size > _MAX_FORM_BYTES:
                return {}
            chunks.append(chunk)
    except ClientDisconnect:
        return {}
    try:
        text = b"".join(chunks).decode("utf-8")
    except UnicodeDecodeError:
        return {}
    return {name: values[0] for name, values in parse_qs(text, keep_blank_values=True).items()}


def dashboard_routes(service: Any) -> list[Route]:
    """The dashboard's routes over ``service``, to add to the application's routes."""
    dashboard = Dashboard(service)
    p = DASHBOARD_PATH
    routes = [
        Route(p, dashboard.index, methods=["GET"]),
        Route(p + "/login", dashboard.login, methods=["GET", "POST"]),
        Route(p + "/logout", dashboard.logout, methods=["POST"]),
        Route(p + "/requests/{request_id}/approve", dashboard.approve, methods=["POST"]),
        Route(p + "/requests/{request_id}/deny", dashboard.deny, methods=["POST"]),
        Route(p + "/api/requests", dashboard.api_list, methods=["GET"]),
        Route(p + "/api/requests/{request_id}", dashboard.api_request, methods=["GET"]),
        Route(p + "/static/{name}", dashboard.static, methods=["GET"]),
    ]
    service.dashboard = dashboard
    return routes

