"""One line for a missing optional component: what is missing and the command that
installs it.

The SDK (``kavri``, ``kavri_core``) is a dependency of the package, but it can still
be absent (an install with ``--no-deps``, a removed distribution); the extras
(``local``, ``langgraph``, ``temporal``, ``gcp``) are the user's choice. Either way the
step that needs the component fails with an import error whose text names it.
"""

from __future__ import annotations

import importlib.abc
import sys
from typing import Any

SDK_DISTRIBUTION = "kavri-sdk-standin"
SDK_MODULES = frozenset({"kavri", "kavri_core"})
SDK_HINT = (
    "the Kavri SDK is not installed. Install with: pip install kavri-sdk-standin "
    "(it ships beside kavri-cloud's wheels: ./dev wheels writes both to dist/)"
)

#: Top-level module -> the extra of kavri-cloud that installs it.
EXTRA_OF = {
    "starlette": "local",
    "uvicorn": "local",
    "httptools": "local",
    "langchain": "langgraph",
    "langchain_core": "langgraph",
    "langgraph": "langgraph",
    "temporalio": "temporal",
    # google-cloud-secret-manager; "google" alone when no google package is there at all
    "google": "gcp",
    "google.cloud": "gcp",
}


def extra_hint(extra: str) -> str:
    """The install command of one extra, as the hints spell it."""
    return f"Install with: pip install 'kavri-cloud[{extra}]'"


def hint_for(error: ImportError) -> str | None:
    """The one-line answer to an import error of an optional component, or None when
    the missing module is none of the package's optional components."""
    text = str(error)
    if "Install with:" in text:
        return text
    name = error.name or ""
    top = name.partition(".")[0]
    if top in SDK_MODULES:
        return f"No module named {name!r}: {SDK_HINT}"
    # Longest known prefix: google.protobuf (temporalio's) is not the gcp extra.
    parts = name.split(".")
    extra = EXTRA_OF.get(".".join(parts[:2])) if top == "google" else EXTRA_OF.get(top)
    if top == "google" and len(parts) > 1 and parts[1] != "cloud":
        extra = None
    if extra is None or not isinstance(error, ModuleNotFoundError):
        return None
    return f"No module named {name!r}: kavri-cloud[{extra}] is not installed. {extra_hint(extra)}"


class _MissingSdkFinder(importlib.abc.MetaPathFinder):
    """Last on ``sys.meta_path``: asked only when no other finder has the SDK, so the
    import of a missing ``kavri``/``kavri_core`` (from a native module or the local
    service) fails with the install line instead of a bare "No module named"."""

    def find_spec(self, fullname: str, path: Any = None, target: Any = None) -> None:
        if fullname in SDK_MODULES:
            raise ModuleNotFoundError(f"No module named {fullname!r}: {SDK_HINT}", name=fullname)
        return None


def install_sdk_finder() -> None:
    """Append the SDK's fallback finder once per process."""
    if not any(isinstance(finder, _MissingSdkFinder) for finder in sys.meta_path):
        sys.meta_path.append(_MissingSdkFinder())
