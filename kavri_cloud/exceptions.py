"""Errors raised by the Kavri Cloud client and the package's helpers.

Every failure of the package is a :class:`KavriCloudError`; the subclasses say
what went wrong so callers can react to one kind without parsing messages::

    KavriCloudError                 any failure of the package; itself for an
                                    answer that does not decode (malformed,
                                    too large, fields of the wrong type)
    ├── AuthenticationError         HTTP 401 (bad or revoked API key) and 403
    │   └── PermissionDeniedError   HTTP 403 (valid key, missing permission)
    ├── NotFoundError               HTTP 404
    ├── ConflictError               HTTP 409 (for example an already claimed agent)
    ├── ValidationError             HTTP 400, 413 and 422 (the request was rejected)
    ├── RateLimitError              HTTP 429
    ├── ServerError                 HTTP 5xx
    ├── TransportError              no (whole) response: connection refused or
    │                               dropped, DNS failure, or the request's one
    │                               deadline passed (connect, send or any read)
    ├── ApprovalDeniedError         an error response whose code is "approval_denied"
    ├── ApprovalExpiredError        an error response whose code is "approval_expired"
    └── ApprovalTimeoutError        an approval request still pending when a
                                    poll loop's deadline passed (raised by the
                                    approval handlers, never by the client)

Errors built from an HTTP response carry ``status_code``, the service's error
``code`` and ``remediation`` hint when it sent them, and the decoded ``body``.
None of these classes derives from the authorization SDK's ``ApprovalDenied``:
the approval handlers translate them into SDK denials themselves.

:func:`error_from_response` and :func:`error_from_transport` are the only
places that choose a class, so every HTTP outcome maps the same way.
"""

from __future__ import annotations

# typing costs milliseconds at import and is needed only by type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = [
    "ApprovalDeniedError",
    "ApprovalExpiredError",
    "ApprovalTimeoutError",
    "AuthenticationError",
    "ConflictError",
    "KavriCloudError",
    "NotFoundError",
    "PermissionDeniedError",
    "RateLimitError",
    "ServerError",
    "TransportError",
    "ValidationError",
    "error_from_response",
    "error_from_transport",
]


def _restore(
    cls: type[KavriCloudError], args: tuple[Any, ...], state: dict[str, Any]
) -> KavriCloudError:
    # Rebuilds without calling __init__, whose signature differs per class.
    exc = cls.__new__(cls)
    exc.args = args
    exc.__dict__.update(state)
    return exc


class KavriCloudError(Exception):
    """Base class of every error raised by the package.

    Args:
        message: Human-readable description; it is also the ``str()`` of the error.
        status_code: HTTP status of the response that caused the error, if any.
        code: Machine-readable error code sent by Kavri Cloud, if any.
        remediation: What the user can do about it, as sent by Kavri Cloud.
        body: The decoded response body (JSON value, or text when it was not JSON).

    Attributes:
        message: The message text.
        status_code: HTTP status, or ``None`` when no response was received.
        code: Service error code, or ``None``.
        remediation: Remediation hint, or ``None``.
        body: Decoded response body, or ``None``.
    """

    def __init__(
        self,
        message: str,
        *,
        status_code: int | None = None,
        code: str | None = None,
        remediation: str | None = None,
        body: Any = None,
    ) -> None:
        super().__init__(message)
        self.message = message
        self.status_code = status_code
        self.code = code
        self.remediation = remediation
        self.body = body

    def __str__(self) -> str:
        return str(self.message)

    def __repr__(self) -> str:
        extra = "".join(
            f", {name}={value!r}"
            for name, value in (("status_code", self.status_code), ("code", self.code))
            if value is not None
        )
        return f"{type(self).__name__}({self.message!r}{extra})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore, (type(self), self.args, dict(self.__dict__)))


class AuthenticationError(KavriCloudError):
    """The API key was rejected (HTTP 401) or lacks a permission (HTTP 403)."""


class PermissionDeniedError(AuthenticationError):
    """The API key is valid but not allowed to do this (HTTP 403)."""


class NotFoundError(KavriCloudError):
    """The addressed resource does not exist (HTTP 404)."""


class ConflictError(KavriCloudError):
    """The request conflicts with the resource's current state (HTTP 409)."""


class ValidationError(KavriCloudError):
    """Kavri Cloud rejected the request as invalid (HTTP 400, 413 or 422)."""


class RateLimitError(KavriCloudError):
    """Too many requests; retry later (HTTP 429)."""


class ServerError(KavriCloudError):
    """Kavri Cloud failed to handle the request (HTTP 5xx)."""


class TransportError(KavriCloudError):
    """No response was received: the connection failed, dropped or timed out.

    The transport library's error is attached as ``__cause__``.

    Args:
        message: Description of the failure.
        method: HTTP method of the failed request, if known.
        url: URL of the failed request, if known (without credentials).
        **kwargs: Passed on to :class:`KavriCloudError`.

    Attributes:
        method: HTTP method, or ``None``.
        url: Request URL, or ``None``.
    """

    def __init__(
        self, message: str, *, method: str | None = None, url: str | None = None, **kwargs: Any
    ) -> None:
        super().__init__(message, **kwargs)
        self.method = method
        self.url = url


class ApprovalDeniedError(KavriCloudError):
    """Kavri Cloud reports the approval request as denied."""


class ApprovalExpiredError(KavriCloudError):
    """Kavri Cloud reports the approval request as expired."""


class ApprovalTimeoutError(KavriCloudError):
    """An approval request was still pending when the wait deadline passed.

    Args:
        request_id: Identifier of the pending approval request.
        timeout: The wait timeout in seconds, as the caller gave it.

    Attributes:
        request_id: Identifier of the pending approval request.
        timeout: The wait timeout in seconds.
    """

    def __init__(self, request_id: str, timeout: float) -> None:
        super().__init__(f"approval request {request_id} still pending after {timeout}s")
        self.request_id = request_id
        self.timeout = timeout


_STATUS_CLASSES: dict[int, type[KavriCloudError]] = {
    400: ValidationError,
    401: AuthenticationError,
    403: PermissionDeniedError,
    404: NotFoundError,
    409: ConflictError,
    413: ValidationError,
    422: ValidationError,
    429: RateLimitError,
}

_CODE_CLASSES: dict[str, type[KavriCloudError]] = {
    "approval_denied": ApprovalDeniedError,
    "approval_expired": ApprovalExpiredError,
}


def _decode_body(body: Any) -> Any:
    if isinstance(body, (bytes, bytearray, memoryview)):
        body = bytes(body).decode("utf-8", errors="replace")
    if isinstance(body, str):
        if not body.strip():
            return None
        import json

        try:
            return json.loads(body)
        except (ValueError, RecursionError):  # not JSON, or nested too deeply to decode
            return body
    return body


def _text(mapping: dict[str, Any], key: str) -> str | None:
    value = mapping.get(key)
    return value if isinstance(value, str) and value else None


def error_from_response(status: int, body: Any) -> KavriCloudError:
    """Build the most specific error for an unsuccessful HTTP response.

    The service describes errors as ``{"code", "message", "remediation"}``,
    either at the top level or nested under ``"error"``; whatever is missing
    falls back to a generic message.

    Args:
        status: The HTTP status code.
        body: The raw body (bytes or text) or an already decoded JSON value.

    Returns:
        The error to raise; the caller raises it. An error code of
        "approval_denied" or "approval_expired" wins over the status.
    """
    decoded = _decode_body(body)
    code = message = remediation = None
    if isinstance(decoded, dict):
        details = decoded.get("error")
        fields = details if isinstance(details, dict) else decoded
        code = _text(fields, "code")
        message = _text(fields, "message") or _text(fields, "detail")
        remediation = _text(fields, "remediation")
        if message is None and isinstance(details, str) and details:
            message = details
    if code in _CODE_CLASSES:
        cls = _CODE_CLASSES[code]
    elif status >= 500:
        cls = ServerError
    else:
        cls = _STATUS_CLASSES.get(status, KavriCloudError)
    return cls(
        message or f"Kavri Cloud returned HTTP {status}",
        status_code=status,
        code=code,
        remediation=remediation,
        body=decoded,
    )


def _without_userinfo(url: str) -> str:
    # A base URL may carry credentials; error texts end up in logs.
    scheme, sep, rest = url.partition("://")
    if not sep:
        return url
    authority, slash, path = rest.partition("/")
    if "@" in authority:
        authority = authority.rpartition("@")[2]
    return f"{scheme}://{authority}{slash}{path}"


def error_from_transport(
    exc: BaseException, *, method: str, url: Any, timeout: float | None
) -> TransportError:
    """Build the error for a request that got no response.

    Args:
        exc: The transport library's error (an ``httpx.HTTPError`` or ``OSError``).
        method: HTTP method of the request.
        url: URL of the request.
        timeout: The client's timeout in seconds, named in timeout messages.

    Returns:
        A :class:`TransportError`. The caller raises it ``from exc`` so the
        original error stays attached as the cause.
    """
    shown = _without_userinfo(str(url))
    is_timeout = isinstance(exc, TimeoutError)
    if not is_timeout:
        import httpx

        is_timeout = isinstance(exc, httpx.TimeoutException)
    if is_timeout:
        message = f"request to {shown} timed out after {timeout}s"
    else:
        message = f"could not reach Kavri Cloud at {shown}: {_transport_detail(exc)}"
    return TransportError(message, method=method, url=shown)


def _transport_detail(exc: BaseException) -> str:
    """The first text along ``exc``'s causes: the async stack wraps a reset
    connection in errors that say nothing ("ReadError()" around a bare
    BrokenResourceError around the ConnectionResetError that tells what happened)."""
    seen: BaseException | None = exc
    for _ in range(8):
        if seen is None:
            break
        if str(seen):
            return str(seen)
        seen = seen.__cause__ or seen.__context__
    return type(exc).__name__
