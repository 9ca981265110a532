"""HTTP clients for the Kavri Cloud API.

:class:`KavriCloudClient` blocks; :class:`AsyncKavriCloudClient` offers the same
operations as coroutines. Both speak JSON to ``<base_url>/v1/``, authenticate
with a bearer API key, and report every failure as a
:class:`~kavri_cloud.exceptions.KavriCloudError` (see that module for the
mapping of HTTP statuses and transport failures).

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


def _record(value: Any) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise KavriCloudError("malformed approval record: expected a JSON object")
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


class _BaseClient:
    """Configuration, validation and response handling shared by both clients."""

    _http: Any

    def __init__(
        self,
        api_key: str,
        base_url: str = DEFAULT_API_BASE_URL,
        *,
        timeout: float | None = 30.0,
    ) -> None:
        self._api_key = _check_api_key(api_key)
        self._base_url = _check_base_url(base_url)
        self._timeout = _check_timeout(timeout)
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
        """The per-request timeout in seconds (``None``: no timeout)."""
        return self._timeout

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
        }

    def _http_options(self) -> dict[str, Any]:
        return {
            "base_url": self.api_root,
            "headers": self._headers(),
            "timeout": self._timeout,
            "follow_redirects": False,
            "verify": _shared_ssl_context(),
        }

    def _ensure_open(self) -> None:
        if self._closed:
            raise RuntimeError(f"{type(self).__name__} is closed")

    def _handle_response(self, response: httpx.Response) -> Any:
        """Decode a successful response, or raise the error it describes.

        Args:
            response: A response whose body has been read.

        Returns:
            The decoded JSON value; ``{}`` for an empty body.

        Raises:
            KavriCloudError: The most specific subclass for an unsuccessful
                status, or the base class for a malformed JSON body.
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
        except ValueError as exc:
            raise KavriCloudError(
                f"Kavri Cloud returned malformed JSON (HTTP {status})",
                status_code=status,
                body=content.decode("utf-8", errors="replace"),
            ) from exc


class KavriCloudClient(_BaseClient):
    """Blocking client for the Kavri Cloud API.

    Args:
        api_key: The Kavri Cloud API key, sent as a bearer token.
        base_url: Service base URL; requests go to ``<base_url>/v1/...``.
        timeout: Per-request timeout in seconds, or ``None`` for none.

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

        if self._http is None:
            self._http = httpx.Client(**self._http_options())
        try:
            return self._http.request(method, path, json=json, params=params)
        except httpx.HTTPError as exc:
            raise error_from_transport(
                exc, method=method, url=self.api_root + path, timeout=self._timeout
            ) from exc

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
        import httpx

        if self._http is None:
            self._http = httpx.AsyncClient(**self._http_options())
        try:
            return await self._http.request(method, path, json=json, params=params)
        except httpx.HTTPError as exc:
            raise error_from_transport(
                exc, method=method, url=self.api_root + path, timeout=self._timeout
            ) from exc

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
