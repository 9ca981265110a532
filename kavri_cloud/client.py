"""HTTP clients for the Kavri Cloud API.

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
(compressed answers are counted as they inflate, and their compressed bytes are
held to the same cap; a gzip body may hold several members, and anything else
after the end of the compressed stream makes the answer malformed rather than
being held), and every answer that cannot
be decoded (bad compression, bad encoding, nesting too deep, fields of the
wrong type) is a :class:`~kavri_cloud.exceptions.KavriCloudError` with the
underlying error as its cause. A copy of the API key in an answer (a service
that echoes it) is replaced by ``<redacted>`` before the answer is decoded.

httpx is imported when the first request is sent, not when this module is
imported, because the native modules import this module at load time.

Example::

    with KavriCloudClient(api_key) as client:
        record = client.create_request(**payload.to_create_request_kwargs())
        record = client.get_request(record["id"])
"""

from __future__ import annotations

import contextvars
import threading
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
    if not (api_key.isascii() and api_key.isprintable() and " " not in api_key):
        raise ValueError("api_key contains characters that are not allowed in an HTTP header")
    return api_key


_checked_urls: dict[str, str] = {}


def _check_base_url(base_url: Any) -> str:
    if not isinstance(base_url, str):
        raise TypeError(f"base_url must be a str, got {type(base_url).__name__}")
    # Every handler invocation makes a client of the same URL: check it once.
    checked = _checked_urls.get(base_url)
    if checked is None:
        checked = _split_base_url(base_url)
        if len(_checked_urls) >= 64:
            _checked_urls.clear()
        _checked_urls[base_url] = checked
    return checked


def _split_base_url(base_url: str) -> str:
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


# A list is read page by page; a service that keeps handing out cursors is cut off here.
_MAX_LIST_PAGES = 100


def _next_page(value: Any, params: dict[str, Any] | None) -> dict[str, Any] | None:
    """The query of the page after ``value``, or ``None`` when ``value`` is the last one."""
    cursor = value.get("next_cursor") if isinstance(value, dict) else None
    if cursor is None or cursor == "":
        return None
    if not isinstance(cursor, str):
        raise KavriCloudError("malformed approval list response: next_cursor is not text")
    return {**(params or {}), "cursor": cursor}


def _too_many_pages() -> KavriCloudError:
    return KavriCloudError(f"approval list has more than {_MAX_LIST_PAGES} pages")


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
# the network layer of the blocking client cuts every socket operation to it. Made
# at import: made on first use, threads sending their first requests at once could
# each make one, and a request's deadline set on one went unseen through another.
_request_deadline: Any = contextvars.ContextVar("kavri_cloud_request_deadline", default=None)


def _deadline_var() -> Any:
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
        import httpcore

        last: Exception | None = None
        for address in _lookup(host, port, _remaining(timeout, "connect")):
            try:
                stream = self._backend.connect_tcp(address, port, _remaining(timeout, "connect"), local_address,
                                                   socket_options)
            except httpcore.ConnectTimeout:
                raise
            except httpcore.ConnectError as exc:  # the next address may answer
                last = exc
                continue
            return _DeadlineStream(stream)
        raise last or httpcore.ConnectError(f"no address for {host!r}")

    def connect_unix_socket(self, path: str, timeout: float | None = None,
                            socket_options: Any = None) -> _DeadlineStream:
        stream = self._backend.connect_unix_socket(path, _remaining(timeout, "connect"), socket_options)
        return _DeadlineStream(stream)

    def sleep(self, seconds: float) -> None:
        self._backend.sleep(seconds)


def _ip_literal(host: str) -> bool:
    import ipaddress

    try:
        ipaddress.ip_address(host)
    except ValueError:
        return False
    return True


def _resolve_in_background(host: str, port: int, deliver: Any) -> None:
    """Look `host` up on a daemon thread of its own and hand `deliver` the answer or the error.

    The system resolver takes no timeout: one that does not answer holds its caller for
    as long as the resolver settings say, tens of seconds. A lookup the request gave up
    on ends by itself on this thread, which never holds up a loop's shutdown or the exit.
    """
    import socket

    def resolve() -> None:
        try:
            found: Any = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        except BaseException as exc:  # handed to the waiting request
            found = exc
        deliver(found)

    threading.Thread(target=resolve, name="kavri-cloud-resolver", daemon=True).start()


def _addresses(found: Any) -> list[str]:
    """The addresses of a lookup's answer, in the resolver's order, or its error as httpcore's."""
    import httpcore

    if isinstance(found, BaseException):
        raise httpcore.ConnectError(str(found) or type(found).__name__) from found
    addresses: list[str] = []
    for _family, _type, _proto, _name, sockaddr in found:
        if sockaddr[0] not in addresses:
            addresses.append(sockaddr[0])
    return addresses


def _lookup(host: str, port: int, timeout: float | None) -> list[str]:
    """The addresses of `host`, waiting for them at most `timeout` (the request's deadline)."""
    if _ip_literal(host):
        return [host]  # nothing to look up

    import httpcore

    done = threading.Event()
    outcome: list[Any] = []

    def deliver(found: Any) -> None:
        outcome.append(found)
        done.set()

    _resolve_in_background(host, port, deliver)
    if not done.wait(timeout):
        raise httpcore.ConnectTimeout(f"looking up {host!r} took longer than the request's deadline")
    return _addresses(outcome[0])


async def _lookup_async(host: str, port: int) -> list[str]:
    """The addresses of `host`, without the loop's default executor.

    The loop's own lookup runs in its default executor, and shutting a loop down
    (``asyncio.run`` does) waits for every thread of that executor: a resolver that
    does not answer would hold the shutdown long after the request was cancelled at
    its deadline. The request's cancellation bounds this wait.
    """
    if _ip_literal(host):
        return [host]
    import asyncio

    loop = asyncio.get_running_loop()
    answer = loop.create_future()

    def settle(found: Any) -> None:
        if not answer.done():
            answer.set_result(found)

    def deliver(found: Any) -> None:
        try:
            loop.call_soon_threadsafe(settle, found)
        except RuntimeError:  # the loop closed while the resolver took its time
            pass

    _resolve_in_background(host, port, deliver)
    return _addresses(await answer)


class _ResolvingAsyncBackend:
    """httpcore's asynchronous network backend, with host names looked up by `_lookup_async`."""

    def __init__(self) -> None:
        import httpcore

        self._backend = httpcore.AnyIOBackend()  # what httpcore picks under asyncio

    async def connect_tcp(self, host: str, port: int, timeout: float | None = None,
                          local_address: str | None = None, socket_options: Any = None) -> Any:
        import httpcore

        last: Exception | None = None
        for address in await _lookup_async(host, port):
            try:
                return await self._backend.connect_tcp(address, port, timeout, local_address, socket_options)
            except httpcore.ConnectTimeout:
                raise
            except httpcore.ConnectError as exc:  # the next address may answer
                last = exc
        raise last or httpcore.ConnectError(f"no address for {host!r}")

    async def connect_unix_socket(self, path: str, timeout: float | None = None, socket_options: Any = None) -> Any:
        return await self._backend.connect_unix_socket(path, timeout, socket_options)

    async def sleep(self, seconds: float) -> None:
        await self._backend.sleep(seconds)


def _httpx_error(exc: Exception) -> Exception | None:
    """The httpx error of the same kind as an httpcore error (httpx names them alike)."""
    import httpx

    for cls in type(exc).__mro__:
        mapped = getattr(httpx, cls.__name__, None)
        if isinstance(mapped, type) and issubclass(mapped, httpx.TransportError):
            return mapped(str(exc))
    return None


# ---------------------------------------------------------------------------
# Connection pools: shared by the clients, one per service and event loop
#
# A handler invocation owns its client, but not the connections under it: every
# client of one base URL borrows the pool of its event loop (blocking clients:
# the process's pool), so a thousand concurrent approvals open at most
# POOL_CONNECTIONS connections and each invocation's client costs a few hundred
# bytes. A pool is released (its connections closed) when the last client that
# borrowed it closes, so no socket outlives the clients that used it, a loop
# that ends leaves nothing behind, and no client's close can cut another's
# request short. A forked child never touches its parent's connections.

POOL_CONNECTIONS = 100
"""Connections one pool opens at most; requests beyond wait for a free one."""

# Pollers come back every few seconds; connections that expired sooner would be
# opened again and again. Services keep idle connections longer (the local one 75 s).
_KEEPALIVE_EXPIRY = 30.0

# Key of a pool: ``None`` for the blocking pool, else the event loop (weakly) and
# the base URL. Guarded by _pools_lock: loops on several threads share the tables.
_blocking_pools: dict[str, _Pool] = {}
_loop_pools: Any = None  # weakref.WeakKeyDictionary[loop, dict[str, _Pool]], made on first use
# Made at import, as one lock must guard them all: two threads' first requests could
# each have made a lock of their own on first use.
_pools_lock: Any = threading.Lock()
_inherited: list[Any] = []  # a forked child's copies of its parent's pools: never used, never closed


class _Pool:
    """One httpcore pool and the number of open clients borrowing it.

    Its loop is held weakly, so a pool keeps no ended loop alive.
    """

    __slots__ = ("core", "users", "_loop", "base_url", "closing")

    def __init__(self, core: Any, loop: Any, base_url: str) -> None:
        import weakref

        self.core = core
        self.users = 0
        self._loop = None if loop is None else weakref.ref(loop)
        self.base_url = base_url
        self.closing = False

    @property
    def loop(self) -> Any:
        """The event loop of an asynchronous pool (None once it is gone, and for the blocking pool)."""
        return None if self._loop is None else self._loop()


def _lock() -> Any:
    return _pools_lock


def _after_fork_in_child() -> None:
    # The parent's sockets (and TLS sessions) are not ours to close: a close could
    # end the parent's session. Keep the objects, drop them from the tables.
    global _pools_lock, _loop_pools
    _inherited.extend(_blocking_pools.values())
    if _loop_pools is not None:
        _inherited.extend(dict(_loop_pools).values())
    _blocking_pools.clear()
    _loop_pools = None
    _pools_lock = threading.Lock()  # another thread may have held it at the fork


def _register_fork_hook() -> None:
    import os

    if hasattr(os, "register_at_fork"):
        os.register_at_fork(after_in_child=_after_fork_in_child)


_register_fork_hook()


def _loop_table(loop: Any) -> dict[str, _Pool]:
    """The pools of `loop` (called with the lock held)."""
    global _loop_pools
    if _loop_pools is None:
        import weakref

        _loop_pools = weakref.WeakKeyDictionary()
    table: dict[str, _Pool] | None = _loop_pools.get(loop)
    if table is None:
        # A new loop: drop the pools of closed ones (they hold dead transports).
        for stale in [other for other in list(_loop_pools) if other.is_closed()]:
            del _loop_pools[stale]
        table = {}
        _loop_pools[loop] = table
    return table


def _acquire(base_url: str, loop: Any) -> _Pool:
    """Borrow the pool of `base_url` (on `loop`, or the blocking one when None); one more user."""
    with _lock():
        if loop is None:
            table = _blocking_pools
        else:
            table = _loop_table(loop)
        pool = table.get(base_url)
        if pool is None:
            pool = _Pool(_new_http(loop is not None), loop, base_url)
            table[base_url] = pool
        pool.users += 1
        return pool


def _release(pool: _Pool) -> bool:
    """One user less; True when it was the last one and the pool is now out of the tables."""
    with _lock():
        pool.users -= 1
        if pool.users > 0:
            return False
        pool.closing = True
        if pool._loop is None:
            table: dict[str, _Pool] | None = _blocking_pools
        else:
            loop = pool.loop
            table = None if _loop_pools is None or loop is None else _loop_pools.get(loop)
        if table is not None and table.get(pool.base_url) is pool:
            del table[pool.base_url]
        return True


def _new_http(asynchronous: bool) -> Any:
    """Build a connection pool: the one place where transports are made.

    The blocking pool's network layer cuts each socket operation to the time left
    before the request's deadline; the asynchronous one is bounded by cancelling
    the request at its deadline.
    """
    import httpcore

    options: dict[str, Any] = {
        "ssl_context": _shared_ssl_context(),
        "max_connections": POOL_CONNECTIONS,
        "max_keepalive_connections": POOL_CONNECTIONS,
        "keepalive_expiry": _KEEPALIVE_EXPIRY,
    }
    if asynchronous:
        return _AsyncConnections(POOL_CONNECTIONS)
    backend: Any = _DeadlineBackend()
    return httpcore.ConnectionPool(network_backend=backend, **options)


class _AsyncConnections:
    """The asynchronous pool: at most ``limit`` HTTP/1.1 connections of one loop and origin.

    httpcore's own pool rescans every queued request against every connection
    each time one is released: with a thousand requests waiting that is tens of
    millions of steps, on the loop. Here a released connection goes straight to
    the longest waiter (or onto a stack of idle ones, so the warmest is reused
    first), each step O(1); the connections themselves are httpcore's.
    """

    def __init__(self, limit: int) -> None:
        self._limit = limit
        self._idle: list[Any] = []
        self._count = 0  # connections open or being opened
        self._waiters: Any = None  # collections.deque of futures, made on first wait
        self._closed = False
        self._backend: Any = _ResolvingAsyncBackend()  # httpcore's AsyncNetworkBackend, by its methods

    @property
    def connections(self) -> list[Any]:
        """The idle connections (for inspection)."""
        return list(self._idle)

    def _new(self, origin: Any, counted: bool = False) -> Any:
        import httpcore

        if not counted:
            self._count += 1
        return httpcore.AsyncHTTPConnection(origin=origin, ssl_context=_shared_ssl_context(),
                                            keepalive_expiry=_KEEPALIVE_EXPIRY, network_backend=self._backend)

    async def _checkout(self, origin: Any) -> Any:
        idle = self._idle
        while idle:
            connection = idle.pop()
            if connection.is_available() and not connection.has_expired():
                return connection
            self._count -= 1
            await connection.aclose()
        if self._count < self._limit:
            return self._new(origin)
        import asyncio
        import collections

        if self._waiters is None:
            self._waiters = collections.deque()
        waiter = asyncio.get_running_loop().create_future()
        self._waiters.append(waiter)
        try:
            connection = await waiter
        except BaseException:
            if waiter.done() and not waiter.cancelled():
                # Handed over just as this request gave up: pass it on.
                handed = waiter.result()
                if handed is None:
                    self._count -= 1
                    self._pass_slot()
                else:
                    self._checkin(handed, origin)
            else:
                try:
                    self._waiters.remove(waiter)
                except ValueError:
                    pass
            raise
        if connection is None:  # a slot came free (already counted as ours): open a connection
            return self._new(origin, counted=True)
        return connection

    def _checkin(self, connection: Any, origin: Any) -> None:
        """Give a connection back after its request: to the next waiter, or to the idle stack."""
        reusable = not self._closed and connection.is_available()
        if not reusable:
            self._count -= 1
            if not connection.is_closed():
                _close_later(connection)
        if not reusable:
            self._pass_slot()
            return
        waiters = self._waiters
        while waiters:
            waiter = waiters.popleft()
            if not waiter.done():
                waiter.set_result(connection)
                return
        self._idle.append(connection)

    def _pass_slot(self) -> None:
        """A connection slot came free: the longest waiter gets it and opens its own connection."""
        waiters = self._waiters
        while waiters and self._count < self._limit:
            waiter = waiters.popleft()
            if not waiter.done():
                self._count += 1
                waiter.set_result(None)
                return

    async def handle_async_request(self, request: Any) -> Any:
        """Send `request` on a pooled connection; the response releases it when closed."""
        return await self.send(request.url.origin, lambda: request)

    async def send(self, origin: Any, build: Any, *args: Any) -> Any:
        """Send the request `build(*args)` makes once a connection of `origin` is free.

        The request is built only then: a thousand requests waiting for a
        connection hold no encoded bodies, and their encoding is spread over the
        moments they get one instead of landing all in the loop iteration that
        started them. The arguments come apart from `build`, not in a closure
        over them, so a waiting request holds one tuple, not a cell for each.
        """
        connection = await self._checkout(origin)
        try:
            response = await connection.handle_async_request(build(*args))
        except BaseException:
            self._checkin(connection, origin)
            raise
        return _PooledResponse(response, self, connection, origin)

    async def aclose(self) -> None:
        self._closed = True
        idle, self._idle = self._idle, []
        for connection in idle:
            self._count -= 1
            await connection.aclose()


def _close_later(connection: Any) -> None:
    # A connection that cannot be reused and is still open (a response left half
    # read): close it on the loop, without making the release itself wait.
    import asyncio

    task = asyncio.get_running_loop().create_task(connection.aclose())
    _closing.add(task)  # the loop keeps only a weak reference to its tasks
    task.add_done_callback(_closing.discard)


_closing: set[Any] = set()


class _PooledResponse:
    """An httpcore response whose close hands its connection back to the pool."""

    __slots__ = ("status", "headers", "stream", "_response", "_pool", "_connection", "_origin")

    def __init__(self, response: Any, pool: _AsyncConnections, connection: Any, origin: Any) -> None:
        self.status = response.status
        self.headers = response.headers
        self.stream = response.stream
        self._response = response
        self._pool = pool
        self._connection = connection
        self._origin = origin

    async def aclose(self) -> None:
        connection, self._connection = self._connection, None
        if connection is None:
            return
        try:
            await self._response.aclose()
        finally:
            self._pool._checkin(connection, self._origin)


class _Target:
    """What every request to one base URL shares: scheme, host, port, Host header, path prefix."""

    __slots__ = ("scheme", "host", "port", "host_header", "prefix", "origin")

    def __init__(self, base_url: str) -> None:
        from urllib.parse import urlsplit

        parts = urlsplit(base_url)
        self.scheme = parts.scheme.encode("ascii")
        host = parts.hostname or ""
        default = 443 if parts.scheme == "https" else 80
        self.port = parts.port or default
        self.host = host.encode("idna") if not host.isascii() else host.encode("ascii")
        shown = f"[{host}]" if ":" in host else host
        if parts.port and parts.port != default:
            shown += f":{parts.port}"
        self.host_header = shown.encode("idna") if not shown.isascii() else shown.encode("ascii")
        self.prefix = (parts.path.rstrip("/") + "/v1/").encode("ascii", "strict") if parts.path.isascii() else \
            _quote_path(parts.path.rstrip("/") + "/v1/")
        import httpcore

        self.origin = httpcore.Origin(self.scheme, self.host, self.port)


def _quote_path(path: str) -> bytes:
    from urllib.parse import quote

    return quote(path, safe="/%:@!$&'()*+,;=~").encode("ascii")


_targets: dict[str, _Target] = {}


def _target(base_url: str) -> _Target:
    target = _targets.get(base_url)
    if target is None:
        if len(_targets) > 64:  # base URLs are few; a bound all the same
            _targets.clear()
        target = _targets[base_url] = _Target(base_url)
    return target


def _encode_request(target: _Target, headers: list[tuple[bytes, bytes]], method: str, path: str, json: Any,
                    params: Mapping[str, Any] | None, budget: float | None) -> Any:
    """The httpcore request of one API call."""
    import httpcore

    raw_path = _quote_path(path) if not path.isascii() or " " in path else path.encode("ascii")
    query = b""
    if params:
        from urllib.parse import urlencode

        query = b"?" + urlencode([(k, _param_text(v)) for k, v in params.items() if v is not None]).encode("ascii")
        if query == b"?":
            query = b""
    sent = [(b"Host", target.host_header), *headers]
    content: bytes | None = None
    if json is not None:
        import json as json_module

        content = json_module.dumps(json, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode("utf-8")
        sent.append((b"Content-Type", b"application/json"))
        sent.append((b"Content-Length", str(len(content)).encode("ascii")))
    elif method in ("POST", "PUT", "PATCH"):
        sent.append((b"Content-Length", b"0"))
    timeouts = {"connect": budget, "read": budget, "write": budget, "pool": budget}
    url = httpcore.URL(scheme=target.scheme, host=target.host, port=target.port,
                       target=target.prefix + raw_path + query)
    return httpcore.Request(method.encode("ascii"), url, headers=sent, content=content,
                            extensions={"timeout": timeouts})


def _param_text(value: Any) -> str:
    # As httpx writes query values: booleans in lower case, None empty.
    if value is True:
        return "true"
    if value is False:
        return "false"
    return str(value)


async def _close_async_pool(pool: _Pool) -> None:
    """Close a released pool on its own loop; a pool of an ended loop has nothing left to close."""
    import asyncio

    loop = pool.loop
    if loop is None or loop.is_closed():
        return
    try:
        running = asyncio.get_running_loop()
    except RuntimeError:
        running = None
    if running is loop:
        await pool.core.aclose()
    else:  # released from another loop's thread: its own loop closes it
        asyncio.run_coroutine_threadsafe(pool.core.aclose(), loop)


def _transport_error(exc: Exception) -> Exception:
    """An httpcore error as the httpx error of its kind (what the error model is written against)."""
    mapped = _httpx_error(exc)
    if mapped is None:
        return exc
    mapped.__cause__ = exc
    return mapped


_INFLATE_WBITS = {"gzip": 16 + 15, "x-gzip": 16 + 15, "deflate": 15}


class _Body:
    """Collects an answer as it streams, inflating it and counting decoded bytes.

    Past ``cap`` decoded bytes, or ``cap`` compressed ones, a successful answer
    fails; an error answer keeps what came before the cap, which is plenty to
    describe the error.
    """

    def __init__(self, status: int, headers: list[tuple[bytes, bytes]], cap: int, deadline: float | None) -> None:
        self.status = status
        self.headers = headers
        self._ok = 200 <= self.status < 300
        self._cap = cap
        self._deadline = deadline
        self._parts: list[bytes] = []
        self._size = 0
        self.full = False
        self._inflater: Any = None
        self._deflate_retry = False
        self._members = False  # gzip: a body may hold several members, one after another
        self._raw = 0  # compressed bytes read
        encoding = b",".join(v for k, v in headers if k.lower() == b"content-encoding").decode("latin-1")
        codings = [c.strip().lower() for c in encoding.split(",")]
        codings = [c for c in codings if c and c != "identity"]
        if len(codings) > 1 or (codings and codings[0] not in _INFLATE_WBITS):
            self._fail(f"Kavri Cloud answered with an unsupported content encoding ({', '.join(codings)})")
        elif codings:
            import zlib

            self._inflater = zlib.decompressobj(_INFLATE_WBITS[codings[0]])
            self._deflate_retry = codings[0] == "deflate"
            self._members = codings[0] != "deflate"

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
        # The compressed bytes are held to the cap too: padding that inflates to nothing
        # (empty blocks, empty gzip members) would otherwise be read on until the deadline.
        self._raw += len(chunk)
        if self._raw > self._cap:
            if self._ok:
                raise _malformed(f"Kavri Cloud's answer is larger than {self._cap} bytes (HTTP {self.status})",
                                 status=self.status)
            self.full = True  # an error answer: what was inflated so far is kept
            return
        import zlib

        data = chunk
        while not self.full:
            if self._inflater.eof:
                # Bytes past the end of the compressed stream. The inflater would keep them
                # all (unbounded, and copied at every chunk): they must be a further gzip
                # member, inflated under the same cap, or the answer is refused.
                if not data:
                    return
                if not self._members:
                    self._fail("Kavri Cloud's answer has data after the end of its compressed body")
                    self.full = True  # an error answer: what came before is kept
                    return
                self._inflater = zlib.decompressobj(_INFLATE_WBITS["gzip"])
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
            if self._inflater.eof:
                data = self._inflater.unused_data
                continue
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

    def response(self) -> httpx.Response:
        """A response holding the decoded body, for :meth:`_BaseClient._handle_response`."""
        import httpx

        headers = [(k, v) for k, v in self.headers
                   if k.lower() not in (b"content-encoding", b"content-length", b"transfer-encoding")]
        return httpx.Response(self.status, headers=headers, content=self.finish())


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


def _without_key(content: bytes, api_key: str) -> bytes:
    """``content`` with every copy of the API key replaced by ``<redacted>``.

    A service that echoes the key it was sent ("API key ... is revoked", a
    denial reason) would otherwise put it in error texts, denial reasons, logs
    and a Temporal workflow's history. The key is looked for as sent and as a
    JSON string writes it. A key shorter than ``_REDACTED_KEY_MIN`` characters
    cannot be told from ordinary text (a key "k" is in "ok"), so it is left alone.
    """
    if len(api_key) < _REDACTED_KEY_MIN:
        return content
    forms = _key_forms.get(api_key)
    if forms is None:
        import json

        escaped = json.dumps(api_key)[1:-1]
        forms = tuple(form.encode("ascii") for form in {api_key, escaped, escaped.replace("/", "\\/")})
        if len(_key_forms) >= 16:  # keys are few; a bound all the same
            _key_forms.clear()
        _key_forms[api_key] = forms
    for form in forms:
        if form in content:
            content = content.replace(form, b"<redacted>")
    return content


_key_forms: dict[str, tuple[bytes, ...]] = {}
_REDACTED_KEY_MIN = 16


_header_lists: dict[str, list[tuple[bytes, bytes]]] = {}


class _BaseClient:
    """Configuration, validation and response handling shared by both clients."""

    __slots__ = ("_api_key", "_base_url", "_timeout", "_max_response_bytes", "_deadline", "_pool", "_more",
                 "_closed", "__weakref__")

    _pool: _Pool | None
    _more: list[_Pool] | None  # pools of further loops, for an asynchronous client used on several

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
        self._pool = None
        self._more = None
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

    def _raw_headers(self) -> list[tuple[bytes, bytes]]:
        # Built once per key, not per client: a thousand handler invocations share one list.
        raw = _header_lists.get(self._api_key)
        if raw is None:
            raw = [(k.encode("ascii"), v.encode("ascii")) for k, v in self._headers().items()]
            if len(_header_lists) >= 16:  # keys are few; a bound all the same
                _header_lists.clear()
            _header_lists[self._api_key] = raw
        return raw

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
        content = _without_key(response.content, self._api_key)
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

    The client borrows the process's connection pool for its base URL (at most
    :data:`POOL_CONNECTIONS` connections, shared by every blocking client of
    that URL): close it with :meth:`close` or use it as a context manager. Its
    close never ends another client's request; the last client to close lets
    the pool's connections go. It is not meant to be shared between threads.
    """

    __slots__ = ()

    def __enter__(self) -> KavriCloudClient:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Close the client and give back its share of the pool. Calling it again does nothing."""
        self._closed = True
        pool, self._pool = self._pool, None
        if pool is not None and _release(pool):
            pool.core.close()

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
        pool = self._pool
        if pool is None:
            pool = self._pool = _acquire(self._base_url, None)
        import time

        deadline = None if budget is None else time.monotonic() + budget
        token = _deadline_var().set(deadline)
        try:
            try:
                request = _encode_request(_target(self._base_url), self._raw_headers(), method, path, json, params,
                                          budget)
                response = pool.core.handle_request(request)
                try:
                    body = _Body(response.status, response.headers, self._max_response_bytes, deadline)
                    for chunk in response.stream:
                        body.feed(chunk)
                        if body.full:
                            break
                finally:
                    response.close()
            except httpx.HTTPError:
                raise
            except Exception as exc:
                mapped = _transport_error(exc)
                if mapped is exc:
                    raise
                raise mapped from exc
            return body.response()
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
        """List approval records, optionally only those with ``status``, every page of them.

        Raises:
            KavriCloudError: The request failed, an answer is malformed, or the
                list runs past a hundred pages.
        """
        params = _status_params(status)
        items: list[Any] = []
        for _ in range(_MAX_LIST_PAGES):
            page = self._call("GET", "approvals/requests", params=params)
            items += _items(page, "approval list")
            params = _next_page(page, params)
            if params is None:
                return items
        raise _too_many_pages()

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


async def _within(budget: float | None, awaitable: Any) -> Any:
    """Await ``awaitable``, cancelled with ``asyncio.TimeoutError`` after ``budget`` seconds.

    A cancellation of the caller always propagates. ``asyncio.wait_for`` before
    Python 3.12 drops one that lands as the inner call finishes, and on 3.10 the
    transport's own cancel scopes can absorb one too, so a cancelled approval
    wait would go on polling until its timeout.
    """
    import asyncio

    if hasattr(asyncio, "timeout") and asyncio.current_task() is not None:
        # 3.11+: tells its own cancellation from the caller's, without a task per request.
        async with asyncio.timeout(budget):
            return await awaitable
    # 3.10 (or no task to cancel): the exchange runs as a task of its own, so only this
    # frame sees the caller's cancellation.
    exchange = asyncio.ensure_future(awaitable)
    try:
        done, _ = await asyncio.wait({exchange}, timeout=budget)
    except BaseException:
        await _stop(exchange)
        raise
    if not done:
        await _stop(exchange)
        raise asyncio.TimeoutError
    return exchange.result()


async def _stop(task: Any) -> None:
    """Cancel ``task`` and wait until it has cleaned up; its outcome is dropped."""
    import asyncio

    task.cancel()
    await asyncio.wait({task})
    if not task.cancelled():
        task.exception()  # retrieved, so the loop does not report it


class AsyncKavriCloudClient(_BaseClient):
    """Asynchronous client for the Kavri Cloud API.

    Same constructor and operations as :class:`KavriCloudClient`, each
    awaited. Close it with ``await client.close()`` or ``async with``. It
    borrows the connection pool of the running event loop for its base URL
    (each loop has its own; at most :data:`POOL_CONNECTIONS` connections each,
    shared by every client of that loop and URL); its close never ends another
    client's request, and the last client to close lets the pool's connections go.
    """

    __slots__ = ()

    async def __aenter__(self) -> AsyncKavriCloudClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def close(self) -> None:
        """Close the client and give back its share of the pools. Calling it again does nothing."""
        self._closed = True
        pools = [self._pool, *(self._more or ())]
        self._pool, self._more = None, None
        for pool in pools:
            if pool is not None and _release(pool):
                await _close_async_pool(pool)

    def _loop_pool(self) -> _Pool:
        import asyncio

        loop = asyncio.get_running_loop()
        pool = self._pool
        if pool is not None and pool.loop is loop:
            return pool
        for other in self._more or ():
            if other.loop is loop:
                return other
        pool = _acquire(self._base_url, loop)
        if self._pool is None:
            self._pool = pool
        else:
            self._more = [*(self._more or ()), pool]
        return pool

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
        pool = self._loop_pool()
        try:
            # Cancelled at its deadline, wherever it waits: a free connection, connect, write, any read.
            return await _within(budget, self._exchange(pool, method, path, json, params, budget))
        except asyncio.TimeoutError as exc:
            cause = httpx.TimeoutException(f"no complete answer within {self._shown(budget)}s")
            raise self._timed_out(cause, method, url, budget) from cause
        except httpx.HTTPError as exc:
            raise error_from_transport(exc, method=method, url=url, timeout=self._shown(budget)) from exc

    async def _exchange(
        self, pool: _Pool, method: str, path: str, json: Any, params: Mapping[str, Any] | None,
        budget: float | None
    ) -> httpx.Response:
        try:
            target = _target(self._base_url)
            response = await pool.core.send(target.origin, _encode_request, target, self._raw_headers(), method,
                                            path, json, params, budget)
            try:
                body = _Body(response.status, response.headers, self._max_response_bytes, None)
                async for chunk in response.stream:
                    body.feed(chunk)
                    if body.full:
                        break
            finally:
                await response.aclose()
        except Exception as exc:
            mapped = _transport_error(exc)
            if mapped is exc:
                raise
            raise mapped from exc
        return body.response()

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
        """List approval records; see :meth:`KavriCloudClient.list_requests`."""
        params = _status_params(status)
        items: list[Any] = []
        for _ in range(_MAX_LIST_PAGES):
            page = await self._call("GET", "approvals/requests", params=params)
            items += _items(page, "approval list")
            params = _next_page(page, params)
            if params is None:
                return items
        raise _too_many_pages()

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
