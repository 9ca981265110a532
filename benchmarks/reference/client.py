"""The package client as it was before its connections were pooled: a benchmark baseline only.

Each client builds its own httpx client and connection pool, so every handler
invocation opens its own connection; the reference handlers use it so that the
approval benchmark's ratios show what sharing the pools gains.

HTTP clients for the Kavri Cloud API.

:class:`KavriCloudClient` blocks; :class:`AsyncKavriCloudClient` offers the same
operations as coroutines. Both speak JSON to ``<base_url>/v1/``, authenticate
with a bearer API key, and report every failure as a
:class:`~kavri_cloud.exceptions.KavriCloudError` (see that module for the
mapping of HTTP statuses and transport failures).

Every request has one deadline, covering connect, write and the whole read:
the client's ``timeout``, cut shorter by the caller's :attr:`deadline` when one
is set (an approval handler sets its own remaining time there). A server that
trickles its answer or never answers cannot hold a request longer. Every answer
is read as a stream and refused past ``max_response_bytes`` of decoded content
(compressed answers are counted as they inflate), and every answer that cannot
be decoded (bad compression, bad encoding, nesting too deep, fields of the
wrong type) is a :class:`~kavri_cloud.exceptions.KavriCloudError` with the
underlying error as its cause.

httpx is imported when the first request is sent, not when this module is
imported, because the native modules import this module at load time.

Example::

    with KavriCloudClient(api_key) as client:
        record = client.create_request(**payload.to_create_request_kwargs())
        record = client.get_request(record["id"])
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence

from kavri_cloud.exceptions import KavriCloudError, error_from_response, error_from_transport
from kavri_cloud.hosted import DEFAULT_API_BASE_URL

# httpx and typing cost tens of milliseconds at import; type checkers only.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    import httpx

__all__ = ["AsyncKavriCloudClient", "KavriCloudClient"]

_version: str | None = None


def _package_version() -> str:
    global _version
    if _version is None:
        import sys

        version = getattr(sys.modules.get("kavri_cloud"), "__version__", None)
        if not isinstance(version, str) or not version:
            from importlib import metadata

            try:
                version = metadata.version("kavri-cloud")
            except metadata.PackageNotFoundError:
                version = "0.0.0"
        _version = version
    return _version


def _check_api_key(api_key: Any) -> str:
    if not isinstance(api_key, str):
        raise TypeError(f"api_key must be a str, got {type(api_key).__name__}")
    if not api_key.strip():
        raise ValueError("api_key must be a non-empty string")
    # Control characters or non-ASCII text cannot travel in a header; the key
    # itself is never echoed.
    if not all(" " < ch < "\x7f" for ch in api_key):
        raise ValueError("api_key contains characters that are not allowed in an HTTP header")
    return api_key


def _check_base_url(base_url: Any) -> str:
    if not isinstance(base_url, str):
        raise TypeError(f"base_url must be a str, got {type(base_url).__name__}")
    from urllib.parse import urlsplit

    value = base_url.strip()
    try:
        parts = urlsplit(value)
        host = parts.hostname
        _ = parts.port  # raises for a malformed port
    except ValueError:
        host = None
        parts = None
    if parts is None or parts.scheme not in ("http", "https") or not host:
        raise ValueError(f"base_url must be an http(s) URL, got {base_url!r}")
    return value.rstrip("/")


def _check_timeout(timeout: Any) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, got {type(timeout).__name__}")
    if not 0 < timeout < float("inf"):  # also rejects NaN
        raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
    return float(timeout)


def _check_path(path: Any) -> str:
    if not isinstance(path, str):
        raise TypeError(f"path must be a str, got {type(path).__name__}")
    # An absolute URL would send the bearer key to another host.
    if "://" in path or path.startswith("//"):
        raise ValueError(f"path must be relative to the API root, got {path!r}")
    return path.lstrip("/")


def _hex_field(name: str, value: Any) -> str:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if isinstance(value, str):
        try:
            return bytes.fromhex(value).hex()
        except ValueError:
            raise ValueError(f"{name} must be bytes or a hex string, got invalid hex") from None
    raise TypeError(f"{name} must be bytes or a hex string, got {type(value).__name__}")


def _str_field(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, got {type(value).__name__}")
    return value


def _int_field(name: str, value: Any, *, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} must be >= {minimum}, got {value}")
    return value


def _mapping_field(name: str, value: Any) -> dict[str, Any]:
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} must be a mapping, got {type(value).__name__}")
    return dict(value)


def _approval_body(
    *,
    warrant_id: Any,
    tool: Any,
    request_hash: Any,
    holder_key: Any,
    args_canonical_cbor_b64: Any,
    approval_context_attestation: Any,
    metadata: Any,
    policy_id: Any,
    threshold: Any,
    approver_keys: Any,
    ttl_seconds: Any,
    idempotency_key: Any,
) -> dict[str, Any]:
    body: dict[str, Any] = {
        "warrant_id": _str_field("warrant_id", warrant_id),
        "tool": _str_field("tool", tool),
        "request_hash": _hex_field("request_hash", request_hash),
        "holder_key": _hex_field("holder_key", holder_key),
        "args_canonical_cbor_b64": _str_field("args_canonical_cbor_b64", args_canonical_cbor_b64),
        "approval_context_attestation": _mapping_field(
            "approval_context_attestation", approval_context_attestation
        ),
    }
    if metadata is not None:
        body["metadata"] = _mapping_field("metadata", metadata)
    if policy_id is not None:
        body["policy_id"] = _str_field("policy_id", policy_id)
    if threshold is not None:
        body["threshold"] = _int_field("threshold", threshold, minimum=0)
    if approver_keys is not None:
        if isinstance(approver_keys, (str, bytes)) or not isinstance(approver_keys, Sequence):
            raise TypeError(
                f"approver_keys must be a list of str, got {type(approver_keys).__name__}"
            )
        body["approver_keys"] = [
            _str_field(f"approver_keys[{i}]", key) for i, key in enumerate(approver_keys)
        ]
    if ttl_seconds is not None:
        body["ttl_seconds"] = _int_field("ttl_seconds", ttl_seconds, minimum=0)
    if idempotency_key is not None:
        body["idempotency_key"] = _str_field("idempotency_key", idempotency_key)
    return body


def _request_path(request_id: Any) -> str:
    if not isinstance(request_id, str):
        raise TypeError(f"request_id must be a str, got {type(request_id).__name__}")
    if not request_id:
        raise ValueError("request_id must be a non-empty string")
    from urllib.parse import quote

    return "approvals/requests/" + quote(request_id, safe="")


def _limit_params(limit: Any) -> dict[str, Any] | None:
    if limit is None:
        return None
    return {"limit": _int_field("limit", limit, minimum=1)}


def _status_params(status: Any) -> dict[str, Any] | None:
    if status is None:
        return None
    return {"status": _str_field("status", status)}


def _receipt_body(receipt: Any) -> dict[str, Any]:
    return _mapping_field("receipt", receipt)


def _malformed(message: str, *, status: int | None = None, body: Any = None,
               cause: BaseException | None = None) -> KavriCloudError:
    """The error for an answer that cannot be decoded; ``cause`` becomes its ``__cause__``."""
    error = KavriCloudError(message, status_code=status, body=body)
    if cause is not None:
        error.__cause__ = cause
    return error


def _wrong_type(what: str, field: str, expected: str, value: Any) -> KavriCloudError:
    problem = TypeError(f'"{field}" must be {expected}, got {type(value).__name__}')
    return _malformed(f"malformed {what}: {problem}", cause=problem)


_OPTIONAL_TEXT = ("request_id", "status", "denied_reason", "reason")


def _record(value: Any) -> dict[str, Any]:
    """An approval record whose fields the handlers read have the types they expect."""
    what = "approval record"
    if not isinstance(value, dict):
        raise KavriCloudError("malformed approval record: expected a JSON object")
    if "id" in value and not isinstance(value["id"], str):
        raise _wrong_type(what, "id", "text", value["id"])
    for name in _OPTIONAL_TEXT:
        field = value.get(name)
        if field is not None and not isinstance(field, str):
            raise _wrong_type(what, name, "text or null", field)
    responses = value.get("responses")
    if responses is not None:
        if not isinstance(responses, list):
            raise _wrong_type(what, "responses", "a list", responses)
        for index, entry in enumerate(responses):
            if not isinstance(entry, dict):
                raise _wrong_type(what, f"responses[{index}]", "an object", entry)
            signed = entry.get("signed_approval")
            if signed is not None and not isinstance(signed, str):
                raise _wrong_type(what, f"responses[{index}].signed_approval", "text or null", signed)
    return value


def _object(value: Any, what: str) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise KavriCloudError(f"malformed {what} response: expected a JSON object")
    return value


def _items(value: Any, what: str) -> list[Any]:
    if isinstance(value, list):
        return value
    if isinstance(value, dict) and isinstance(value.get("items"), list):
        items: list[Any] = value["items"]
        return items
    raise KavriCloudError(f"malformed {what} response: expected a list of items")


# ---------------------------------------------------------------------------
# Transport: one deadline per request, one size cap per answer

DEFAULT_MAX_RESPONSE_BYTES = 4 * 1024 * 1024
"""Largest decoded answer accepted (4 MiB): approval records are a few KiB."""

# Only encodings the client can inflate under the cap are asked for.
_ACCEPT_ENCODING = "gzip, deflate"

# The absolute (time.monotonic) deadline of the request this context is sending;
# the network layer of the blocking client cuts every socket operation to it.
_request_deadline: Any = None


def _deadline_var() -> Any:
    global _request_deadline
    if _request_deadline is None:
        import contextvars

        _request_deadline = contextvars.ContextVar("kavri_cloud_request_deadline", default=None)
    return _request_deadline


def _remaining(timeout: float | None, what: str) -> float | None:
    """``timeout`` cut to what is left of the current request's deadline."""
    deadline = _deadline_var().get()
    if deadline is None:
        return timeout
    import time

    left = deadline - time.monotonic()
    if left <= 0:
        import httpcore

        cls = {"connect": httpcore.ConnectTimeout, "write": httpcore.WriteTimeout}.get(what, httpcore.ReadTimeout)
        raise cls("the request's deadline passed")
    return left if timeout is None else min(timeout, left)


class _DeadlineStream:
    """A network stream whose reads and writes end by the request's deadline.

    The transport library's read timeout applies to each read, so a server
    that trickles one byte at a time (headers included) would never trip it.
    """

    _WRITE_PIECE = 64 * 1024

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        data: bytes = self._stream.read(max_bytes, _remaining(timeout, "read"))
        return data

    def write(self, buffer: bytes, timeout: float | None = None) -> None:
        # In pieces, so a server that reads slowly cannot stretch one write.
        view = memoryview(buffer)
        for start in range(0, len(view), self._WRITE_PIECE) or (0,):
            self._stream.write(bytes(view[start : start + self._WRITE_PIECE]), _remaining(timeout, "write"))

    def close(self) -> None:
        self._stream.close()

    def start_tls(self, ssl_context: Any, server_hostname: str | None = None,
                  timeout: float | None = None) -> _DeadlineStream:
        # The host's TLS handshake keeps one deadline over all its reads.
        return _DeadlineStream(self._stream.start_tls(ssl_context, server_hostname, _remaining(timeout, "connect")))

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)


class _DeadlineBackend:
    """httpcore's blocking network backend, with every operation cut to the deadline."""

    def __init__(self) -> None:
        import httpcore

        self._backend = httpcore.SyncBackend()

    def connect_tcp(self, host: str, port: int, timeout: float | None = None,
                    local_address: str | None = None, socket_options: Any = None) -> _DeadlineStream:
        stream = self._backend.connect_tcp(host, port, _remaining(timeout, "connect"), local_address, socket_options)
        return _DeadlineStream(stream)

    def connect_unix_socket(self, path: str, timeout: float | None = None,
                            socket_options: Any = None) -> _DeadlineStream:
        stream = self._backend.connect_unix_socket(path, _remaining(timeout, "connect"), socket_options)
        return _DeadlineStream(stream)

    def sleep(self, seconds: float) -> None:
        self._backend.sleep(seconds)


def _httpx_error(exc: Exception) -> Exception | None:
    """The httpx error of the same kind as an httpcore error (httpx names them alike)."""
    import httpx

    for cls in type(exc).__mro__:
        mapped = getattr(httpx, cls.__name__, None)
        if isinstance(mapped, type) and issubclass(mapped, httpx.TransportError):
            return mapped(str(exc))
    return None


def _response_stream(stream: Any) -> Any:
    """httpcore's body stream as httpx's, with httpcore's errors as httpx's."""
    import httpx

    class _ResponseStream(httpx.SyncByteStream):
        def __iter__(self) -> Any:
            try:
                yield from stream
            except Exception as exc:
                mapped = _httpx_error(exc)
                if mapped is None:
                    raise
                raise mapped from exc

        def close(self) -> None:
            close = getattr(stream, "close", None)
            if close is not None:
                close()

    return _ResponseStream()


class _DeadlineTransport:
    """The blocking client's transport: httpcore's pool over the deadline backend."""

    def __init__(self, ssl_context: Any) -> None:
        import httpcore

        # Duck-typed: httpcore is imported only when the first request is sent.
        backend: Any = _DeadlineBackend()
        self._pool = httpcore.ConnectionPool(
            ssl_context=ssl_context,
            max_connections=100,
            max_keepalive_connections=20,
            keepalive_expiry=5.0,
            network_backend=backend,
        )

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        import httpcore
        import httpx

        core_request = httpcore.Request(
            method=request.method,
            url=httpcore.URL(scheme=request.url.raw_scheme, host=request.url.raw_host, port=request.url.port,
                             target=request.url.raw_path),
            headers=request.headers.raw,
            content=request.stream,
            extensions=request.extensions,
        )
        try:
            response = self._pool.handle_request(core_request)
        except Exception as exc:
            mapped = _httpx_error(exc)
            if mapped is None:
                raise
            raise mapped from exc
        return httpx.Response(status_code=response.status, headers=response.headers,
                              stream=_response_stream(response.stream),
                              extensions=response.extensions)

    def close(self) -> None:
        self._pool.close()

    def __enter__(self) -> _DeadlineTransport:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _new_http(asynchronous: bool, options: dict[str, Any]) -> Any:
    """Build a client's connection pool: the one place where transports are made."""
    import httpx

    if asynchronous:
        # The asynchronous client bounds a request by cancelling it at its deadline.
        transport: Any = httpx.AsyncHTTPTransport(verify=_shared_ssl_context())
        return httpx.AsyncClient(transport=transport, **options)
    bounded: Any = _DeadlineTransport(_shared_ssl_context())
    return httpx.Client(transport=bounded, **options)


_INFLATE_WBITS = {"gzip": 16 + 15, "x-gzip": 16 + 15, "deflate": 15}


class _Body:
    """Collects an answer as it streams, inflating it and counting decoded bytes.

    Past ``cap`` decoded bytes a successful answer fails; an error answer keeps
    what came before the cap, which is plenty to describe the error.
    """

    def __init__(self, response: httpx.Response, cap: int, deadline: float | None) -> None:
        self.status = response.status_code
        self._ok = 200 <= self.status < 300
        self._cap = cap
        self._deadline = deadline
        self._parts: list[bytes] = []
        self._size = 0
        self.full = False
        self._inflater: Any = None
        self._deflate_retry = False
        codings = [c.strip().lower() for c in response.headers.get("content-encoding", "").split(",")]
        codings = [c for c in codings if c and c != "identity"]
        if len(codings) > 1 or (codings and codings[0] not in _INFLATE_WBITS):
            self._fail(f"Kavri Cloud answered with an unsupported content encoding ({', '.join(codings)})")
        elif codings:
            import zlib

            self._inflater = zlib.decompressobj(_INFLATE_WBITS[codings[0]])
            self._deflate_retry = codings[0] == "deflate"

    def _fail(self, message: str, cause: BaseException | None = None) -> None:
        if self._ok:
            raise _malformed(message, status=self.status, cause=cause)
        self._inflater = None  # an error answer: keep its bytes as they came

    def _add(self, data: bytes) -> None:
        room = self._cap - self._size
        if len(data) > room:
            if self._ok:
                raise _malformed(f"Kavri Cloud's answer is larger than {self._cap} bytes (HTTP {self.status})",
                                 status=self.status)
            data = data[:room]
            self.full = True
        self._parts.append(data)
        self._size += len(data)

    def feed(self, chunk: bytes) -> None:
        if self._deadline is not None:
            import time

            if time.monotonic() > self._deadline:
                import httpx

                raise httpx.ReadTimeout("the request's deadline passed while the answer was read")
        if self._inflater is None:
            self._add(chunk)
            return
        import zlib

        data = chunk
        while not self.full:
            # At most one byte past the cap is ever inflated.
            limit = self._cap - self._size + 1
            try:
                out = self._inflater.decompress(data, limit)
            except zlib.error as exc:
                if self._deflate_retry and not self._size:
                    # "deflate" is sent both with and without its zlib header.
                    self._deflate_retry = False
                    self._inflater = zlib.decompressobj(-15)
                    continue
                self._fail("Kavri Cloud's answer could not be decompressed", exc)
                self._add(chunk)
                return
            self._deflate_retry = False
            self._add(out)
            data = self._inflater.unconsumed_tail
            if not data and len(out) < limit:
                return

    def finish(self) -> bytes:
        if self._inflater is not None and not self.full:
            import zlib

            try:
                self._add(self._inflater.flush())
            except zlib.error as exc:
                self._fail("Kavri Cloud's answer could not be decompressed", exc)
        return b"".join(self._parts)

    def response(self, streamed: httpx.Response) -> httpx.Response:
        """A response holding the decoded body, for :meth:`_BaseClient._handle_response`."""
        import httpx

        headers = [(k, v) for k, v in streamed.headers.multi_items()
                   if k.lower() not in ("content-encoding", "content-length", "transfer-encoding")]
        return httpx.Response(self.status, headers=headers, content=self.finish(), request=streamed.request,
                              extensions=streamed.extensions)


_ssl_context: Any = None


def _shared_ssl_context() -> Any:
    """One TLS context for every client of the process.

    Building one loads the CA bundle (about 20 ms); each handler invocation owns
    a client, so without sharing, a thousand concurrent approvals would stall
    their event loop for twenty seconds before the first request.
    """
    global _ssl_context
    if _ssl_context is None:
        import httpx

        create = getattr(httpx, "create_ssl_context", None)
        if create is None:  # httpx < 0.28
            import ssl

            create = ssl.create_default_context
        _ssl_context = create()
    return _ssl_context


def _check_deadline(deadline: Any) -> float | None:
    if deadline is None:
        return None
    if isinstance(deadline, bool) or not isinstance(deadline, (int, float)):
        raise TypeError(f"deadline must be a time.monotonic() value, got {type(deadline).__name__}")
    if deadline != deadline:
        raise ValueError("deadline must not be NaN")
    return float(deadline)


def _check_cap(cap: Any) -> int:
    if isinstance(cap, bool) or not isinstance(cap, int):
        raise TypeError(f"max_response_bytes must be an int, got {type(cap).__name__}")
    if cap < 1:
        raise ValueError(f"max_response_bytes must be >= 1, got {cap}")
    return cap


class _BaseClient:
    """Configuration, validation and response handling shared by both clients."""

    _http: Any

    def __init__(
        self,
        api_key: str,
        base_url: str = DEFAULT_API_BASE_URL,
        *,
        timeout: float | None = 30.0,
        max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES,
    ) -> None:
        self._api_key = _check_api_key(api_key)
        self._base_url = _check_base_url(base_url)
        self._timeout = _check_timeout(timeout)
        self._max_response_bytes = _check_cap(max_response_bytes)
        self._deadline: float | None = None
        self._http = None
        self._closed = False

    @property
    def base_url(self) -> str:
        """The service base URL, without a trailing slash."""
        return self._base_url

    @property
    def api_root(self) -> str:
        """The URL under which relative API paths are resolved (ends in ``/v1/``)."""
        return self._base_url + "/v1/"

    @property
    def timeout(self) -> float | None:
        """The whole-request timeout in seconds (``None``: no timeout).

        It covers connecting, sending and reading the whole answer, not each read.
        """
        return self._timeout

    @property
    def deadline(self) -> float | None:
        """A ``time.monotonic()`` time by which every request must have ended, or ``None``.

        A caller with a deadline of its own (an approval handler with a timeout)
        sets it, so that no request outlives the caller's wait; a request sent
        after it fails at once with a timeout
        :class:`~kavri_cloud.exceptions.TransportError`.
        """
        return self._deadline

    @deadline.setter
    def deadline(self, value: float | None) -> None:
        self._deadline = _check_deadline(value)

    @property
    def max_response_bytes(self) -> int:
        """The largest decoded answer accepted, in bytes."""
        return self._max_response_bytes

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` has been called."""
        return self._closed

    def __repr__(self) -> str:
        return f"{type(self).__name__}(base_url={self._base_url!r})"

    def _headers(self) -> dict[str, str]:
        return {
            "Authorization": f"Bearer {self._api_key}",
            "User-Agent": f"kavri-cloud-python/{_package_version()}",
            "Accept": "application/json",
            "Accept-Encoding": _ACCEPT_ENCODING,
        }

    def _http_options(self) -> dict[str, Any]:
        return {
            "base_url": self.api_root,
            "headers": self._headers(),
            "timeout": self._timeout,
            "follow_redirects": False,
        }

    def _ensure_open(self) -> None:
        if self._closed:
            raise RuntimeError(f"{type(self).__name__} is closed")

    def _budget(self, method: str, url: str) -> float | None:
        """Seconds this request may take: the timeout, cut to the caller's deadline.

        Raises:
            TransportError: The caller's deadline has already passed.
        """
        if self._deadline is None:
            return self._timeout
        import time

        left = self._deadline - time.monotonic()
        if left == float("inf"):
            return self._timeout
        if left <= 0:
            raise self._timed_out(TimeoutError("the caller's deadline passed before the request was sent"),
                                  method, url, 0.0)
        return left if self._timeout is None else min(self._timeout, left)

    def _shown(self, budget: float | None) -> float | None:
        # The timeout as the caller gave it, unless a deadline cut it shorter.
        if budget is None or budget == self._timeout:
            return self._timeout
        return round(budget, 3)

    def _timed_out(self, cause: BaseException, method: str, url: str, budget: float | None) -> KavriCloudError:
        error = error_from_transport(cause, method=method, url=url, timeout=self._shown(budget))
        error.__cause__ = cause
        return error

    def _handle_response(self, response: httpx.Response) -> Any:
        """Decode a successful response, or raise the error it describes.

        Args:
            response: A response whose body has been read.

        Returns:
            The decoded JSON value; ``{}`` for an empty body.

        Raises:
            KavriCloudError: The most specific subclass for an unsuccessful
                status, or the base class for a body that does not decode
                (malformed JSON, not UTF-8, nested too deeply), with the
                decoder's error as the cause.
        """
        status = response.status_code
        content = response.content
        if not 200 <= status < 300:
            raise error_from_response(status, content)
        if not content.strip():
            return {}
        import json

        try:
            return json.loads(content)
        except (ValueError, RecursionError) as exc:
            raise _malformed(
                f"Kavri Cloud returned malformed JSON (HTTP {status})",
                status=status,
                body=content.decode("utf-8", errors="replace"),
                cause=exc,
            ) from exc


class KavriCloudClient(_BaseClient):
    """Blocking client for the Kavri Cloud API.

    Args:
        api_key: The Kavri Cloud API key, sent as a bearer token.
        base_url: Service base URL; requests go to ``<base_url>/v1/...``.
        timeout: Whole-request timeout in seconds (connect, send and the
            whole answer), or ``None`` for none.
        max_response_bytes: Largest decoded answer accepted; a larger one
            fails with :class:`~kavri_cloud.exceptions.KavriCloudError`.

    Raises:
        TypeError: An argument has the wrong type.
        ValueError: ``api_key`` is empty or ``base_url`` is not an http(s) URL.

    The client owns a connection pool: close it with :meth:`close` or use it
    as a context manager. It is not meant to be shared between threads.
    """

    _http: httpx.Client | None

    def __enter__(self) -> KavriCloudClient:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Close the connection pool. Calling it again does nothing."""
        self._closed = True
        http, self._http = self._http, None
        if http is not None:
            http.close()

    def _send(
        self,
        method: str,
        path: str,
        *,
        json: Any = None,
        params: Mapping[str, Any] | None = None,
    ) -> httpx.Response:
        """Send one request under the API root and return its response.

        Args:
            method: HTTP method.
            path: Path relative to the API root, such as ``"agents/claim"``.
            json: JSON body, if any.
            params: Query parameters, if any.

        Returns:
            The response, body read, whatever its status.

        Raises:
            TransportError: No response (refused, dropped, timed out); the
                httpx error is the ``__cause__``.
            RuntimeError: The client is closed.
        """
        self._ensure_open()
        path = _check_path(path)
        import httpx

        url = self.api_root + path
        budget = self._budget(method, url)
        if self._http is None:
            self._http = _new_http(False, self._http_options())
        import time

        deadline = None if budget is None else time.monotonic() + budget
        token = _deadline_var().set(deadline)
        try:
            request = self._http.build_request(method, path, json=json, params=params, timeout=budget)
            streamed = self._http.send(request, stream=True)
            try:
                body = _Body(streamed, self._max_response_bytes, deadline)
                for chunk in streamed.iter_raw():
                    body.feed(chunk)
                    if body.full:
                        break
                return body.response(streamed)
            finally:
                streamed.close()
        except httpx.HTTPError as exc:
            if isinstance(exc, httpx.TimeoutException):
                raise self._timed_out(exc, method, url, budget) from exc
            raise error_from_transport(exc, method=method, url=url, timeout=self._shown(budget)) from exc
        finally:
            _deadline_var().reset(token)

    def _call(self, method: str, path: str, **kwargs: Any) -> Any:
        return self._handle_response(self._send(method, path, **kwargs))

    def create_request(
        self,
        *,
        warrant_id: str,
        tool: str,
        request_hash: bytes | str,
        holder_key: bytes | str,
        args_canonical_cbor_b64: str,
        approval_context_attestation: Mapping[str, Any],
        metadata: Mapping[str, Any] | None = None,
        policy_id: str | None = None,
        threshold: int | None = None,
        approver_keys: Sequence[str] | None = None,
        ttl_seconds: int | None = None,
        idempotency_key: str | None = None,
    ) -> dict[str, Any]:
        """Create an approval request (``POST approvals/requests``).

        Args:
            warrant_id: Warrant whose tool call needs approval.
            tool: Name of the guarded tool.
            request_hash: Hash of the request, bytes or hex; sent as lower-case hex.
            holder_key: Warrant holder's public key, bytes or hex; sent as lower-case hex.
            args_canonical_cbor_b64: Tool arguments as canonical CBOR, base64.
            approval_context_attestation: The signed approval-context attestation.
            metadata: Tool arguments shown to approvers.
            policy_id: Approval policy to apply.
            threshold: Minimum number of approvals.
            approver_keys: Hex public keys of the allowed approvers.
            ttl_seconds: Lifetime of the request.
            idempotency_key: Makes retried creates return the same request.

        Returns:
            The approval record, with at least "id" and "status".

        Raises:
            TypeError: A field has the wrong type (checked before sending).
            ValueError: A field has an invalid value (checked before sending).
            KavriCloudError: The request failed or the record is malformed.
        """
        body = _approval_body(
            warrant_id=warrant_id,
            tool=tool,
            request_hash=request_hash,
            holder_key=holder_key,
            args_canonical_cbor_b64=args_canonical_cbor_b64,
            approval_context_attestation=approval_context_attestation,
            metadata=metadata,
            policy_id=policy_id,
            threshold=threshold,
            approver_keys=approver_keys,
            ttl_seconds=ttl_seconds,
            idempotency_key=idempotency_key,
        )
        return _record(self._call("POST", "approvals/requests", json=body))

    def get_request(self, request_id: str) -> dict[str, Any]:
        """Fetch an approval record (``GET approvals/requests/{id}``).

        Raises:
            TypeError, ValueError: ``request_id`` is not a non-empty str.
            KavriCloudError: The request failed or the record is malformed.
        """
        return _record(self._call("GET", _request_path(request_id)))

    def list_requests(self, *, status: str | None = None) -> list[Any]:
        """List approval records, optionally only those with ``status``."""
        params = _status_params(status)
        return _items(self._call("GET", "approvals/requests", params=params), "approval list")

    def health(self) -> dict[str, Any]:
        """Read the service health (``GET health``); has a "status" entry."""
        return _object(self._call("GET", "health"), "health")

    def get_tenant(self) -> dict[str, Any]:
        """Read the API key's tenant (``GET tenant``): "id", "name", "slug"."""
        return _object(self._call("GET", "tenant"), "tenant")

    def list_policies(self, *, limit: int | None = None) -> list[Any]:
        """List approval policies (``GET approval-policies``), at most ``limit``."""
        params = _limit_params(limit)
        return _items(self._call("GET", "approval-policies", params=params), "policy list")

    def submit_receipt(self, receipt: Mapping[str, Any]) -> dict[str, Any]:
        """Store an authorization receipt (``POST receipts``)."""
        result: dict[str, Any] = self._call("POST", "receipts", json=_receipt_body(receipt))
        return result


class AsyncKavriCloudClient(_BaseClient):
    """Asynchronous client for the Kavri Cloud API.

    Same constructor and operations as :class:`KavriCloudClient`, each
    awaited. Close it with ``await client.close()`` or ``async with``. The
    connection pool belongs to the event loop that sent the first request.
    """

    _http: httpx.AsyncClient | None

    async def __aenter__(self) -> AsyncKavriCloudClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def close(self) -> None:
        """Close the connection pool. Calling it again does nothing."""
        self._closed = True
        http, self._http = self._http, None
        if http is not None:
            await http.aclose()

    async def _send(
        self,
        method: str,
        path: str,
        *,
        json: Any = None,
        params: Mapping[str, Any] | None = None,
    ) -> httpx.Response:
        """Send one request under the API root; see :meth:`KavriCloudClient._send`."""
        self._ensure_open()
        path = _check_path(path)
        import asyncio

        import httpx

        url = self.api_root + path
        budget = self._budget(method, url)
        if self._http is None:
            self._http = _new_http(True, self._http_options())
        try:
            if budget is None:
                return await self._exchange(method, path, json, params, budget)
            # Cancelled at its deadline, wherever it waits: connect, write, any read.
            return await asyncio.wait_for(self._exchange(method, path, json, params, budget), budget)
        except asyncio.TimeoutError as exc:
            cause = httpx.TimeoutException(f"no complete answer within {self._shown(budget)}s")
            raise self._timed_out(cause, method, url, budget) from cause
        except httpx.HTTPError as exc:
            raise error_from_transport(exc, method=method, url=url, timeout=self._shown(budget)) from exc

    async def _exchange(
        self, method: str, path: str, json: Any, params: Mapping[str, Any] | None, budget: float | None
    ) -> httpx.Response:
        http: Any = self._http
        request = http.build_request(method, path, json=json, params=params, timeout=budget)
        streamed = await http.send(request, stream=True)
        try:
            body = _Body(streamed, self._max_response_bytes, None)
            async for chunk in streamed.aiter_raw():
                body.feed(chunk)
                if body.full:
                    break
            return body.response(streamed)
        finally:
            await streamed.aclose()

    async def _call(self, method: str, path: str, **kwargs: Any) -> Any:
        return self._handle_response(await self._send(method, path, **kwargs))

    async def create_request(
        self,
        *,
        warrant_id: str,
        tool: str,
        request_hash: bytes | str,
        holder_key: bytes | str,
        args_canonical_cbor_b64: str,
        approval_context_attestation: Mapping[str, Any],
        metadata: Mapping[str, Any] | None = None,
        policy_id: str | None = None,
        threshold: int | None = None,
        approver_keys: Sequence[str] | None = None,
        ttl_seconds: int | None = None,
        idempotency_key: str | None = None,
    ) -> dict[str, Any]:
        """Create an approval request; see :meth:`KavriCloudClient.create_request`."""
        body = _approval_body(
            warrant_id=warrant_id,
            tool=tool,
            request_hash=request_hash,
            holder_key=holder_key,
            args_canonical_cbor_b64=args_canonical_cbor_b64,
            approval_context_attestation=approval_context_attestation,
            metadata=metadata,
            policy_id=policy_id,
            threshold=threshold,
            approver_keys=approver_keys,
            ttl_seconds=ttl_seconds,
            idempotency_key=idempotency_key,
        )
        return _record(await self._call("POST", "approvals/requests", json=body))

    async def get_request(self, request_id: str) -> dict[str, Any]:
        """Fetch an approval record; see :meth:`KavriCloudClient.get_request`."""
        return _record(await self._call("GET", _request_path(request_id)))

    async def list_requests(self, *, status: str | None = None) -> list[Any]:
        """List approval records, optionally only those with ``status``."""
        params = _status_params(status)
        return _items(await self._call("GET", "approvals/requests", params=params), "approval list")

    async def health(self) -> dict[str, Any]:
        """Read the service health (``GET health``)."""
        return _object(await self._call("GET", "health"), "health")

    async def get_tenant(self) -> dict[str, Any]:
        """Read the API key's tenant (``GET tenant``)."""
        return _object(await self._call("GET", "tenant"), "tenant")

    async def list_policies(self, *, limit: int | None = None) -> list[Any]:
        """List approval policies (``GET approval-policies``), at most ``limit``."""
        params = _limit_params(limit)
        return _items(await self._call("GET", "approval-policies", params=params), "policy list")

    async def submit_receipt(self, receipt: Mapping[str, Any]) -> dict[str, Any]:
        """Store an authorization receipt (``POST receipts``)."""
        result: dict[str, Any] = await self._call("POST", "receipts", json=_receipt_body(receipt))
        return result
