"""Redact credentials from diagnostic output: values under secret-looking keys, and
Quick Connect, "tc_", "cs_" and bearer tokens in text."""

import re
from typing import Any, Final

_REDACTED: Final[str]
_SECRET_KEYS: Final[frozenset[str]]
_TOKEN_PATTERNS: Final[list[re.Pattern[str]]]

def _is_secret_key(key: str) -> bool:
    """True when the key names a secret by itself.

    Args:
        key: A dictionary key; lower-cased, with "-" read as "_".

    Returns:
        Whether the normalised key is one of ``_SECRET_KEYS`` or ends in "_token" or "_secret".

    Raises:
        AttributeError: The key has no text methods.
    """

def redact_text(value: str) -> str:
    """Replace credential-shaped substrings with "<redacted>".

    The four ``_TOKEN_PATTERNS`` apply in order, each to the output of the one before.

    Args:
        value: The text to scan.

    Returns:
        The redacted text; the same object when nothing matched (a plain copy for a str subclass).

    Raises:
        TypeError: ``value`` is not a str (the host's regular-expression error).
    """

def redact(value: Any, *, key: str = "") -> Any:
    """A redacted copy of ``value``.

    A value under a secret key becomes "<redacted>" whole; text is scanned with
    ``redact_text``; dicts (keys turned to text), lists and tuples are rebuilt as plain
    ones with their items redacted; anything else comes back as the same object.

    Args:
        value: Any value, nested to any depth.
        key: The dictionary key the value was found under; an empty key is not tested.

    Returns:
        The redacted copy. The input is never modified; untouched leaves are shared.

    Raises:
        RecursionError: The structure contains itself or is nested deeper than the host allows.
        RuntimeError: A dictionary changed size while it was walked.
    """

def redact_dict(value: dict[str, Any]) -> Any:
    """``redact(value)``; the argument is neither checked nor converted."""

def redact_list(value: list[Any]) -> Any:
    """``redact(value)``; the argument is neither checked nor converted."""

def _scan_isas() -> tuple[str, ...]:
    """The instruction sets the text scanner can use on this machine, narrowest first.

    "scalar" everywhere, "sse2" on x86-64, "avx2" where the CPU and OS support it. The
    widest is chosen when the module loads; every one gives the same results.
    """

def _scan_isa() -> str:
    """The instruction set the text scanner uses."""

def _set_scan_isa(name: str) -> None:
    """Make the text scanner use the named instruction set; for tests.

    Raises:
        ValueError: ``name`` is not one of ``_scan_isas()``.
    """
