"""Shared pytest configuration: fixtures live in their own modules, loaded here."""

from __future__ import annotations

import os
from collections.abc import Iterator

import pytest

pytest_plugins = ["tests.httpserver", "tests.local_fixture"]

_OWN_VARIABLES = ("KAVRI_", "GCP_PROJECT")


@pytest.fixture(autouse=True)
def isolated_environment() -> Iterator[None]:
    """Each test starts without the package's variables and leaves the environment
    as it found it: the code under test writes os.environ (Quick Connect export)."""
    saved = dict(os.environ)
    for name in list(os.environ):
        if name.startswith(_OWN_VARIABLES):
            del os.environ[name]
    try:
        yield
    finally:
        os.environ.clear()
        os.environ.update(saved)
