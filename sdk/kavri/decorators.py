"""The signing key bound to the current scope.

The binding lives in a context variable, so it follows the code that set it:
each thread and each asyncio task sees its own binding (tasks start with a
copy of their creator's).
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any

_current_key: ContextVar[Any | None] = ContextVar("kavri_signing_key", default=None)


def key_scope() -> Any | None:
    """The `SigningKey` bound to the current scope, or None."""
    return _current_key.get()


@contextmanager
def bind_key(key: Any) -> Iterator[Any]:
    """Bind `key` as the current scope's signing key for the `with` block.

    Nested bindings shadow outer ones; leaving a block restores the outer one.
    """
    token = _current_key.set(key)
    try:
        yield key
    finally:
        _current_key.reset(token)


__all__ = ["bind_key", "key_scope"]
