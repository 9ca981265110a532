"""Shared pytest configuration: fixtures live in their own modules, loaded here."""

from __future__ import annotations

import os
from collections.abc import Generator, Iterator

import pytest

pytest_plugins = ["tests.httpserver", "tests.local_fixture"]

_OWN_VARIABLES = ("KAVRI_", "GCP_PROJECT")

if os.environ.get("KAVRI_SANITIZED"):
    # The sanitizer pass puts its package first on PYTHONPATH; every process that runs
    # tests (pytest-xdist's workers too) must import the sanitized modules, not the
    # work tree's.
    import kavri_cloud.approval

    _sanitized = os.environ.get("PYTHONPATH", "").split(os.pathsep)[0]
    assert _sanitized and kavri_cloud.approval.__file__.startswith(_sanitized), kavri_cloud.approval.__file__


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


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(
    item: pytest.Item, call: pytest.CallInfo[None]
) -> Generator[None, pytest.TestReport, pytest.TestReport]:
    """A pytest-xdist worker sends captured output and log lines as UTF-8, which fails on
    the surrogate escapes of undecodable bytes (some tests log them on purpose) and loses
    the worker: such text is shown escaped instead."""
    report = yield
    report.sections = [(title, content.encode("utf-8", "backslashreplace").decode("utf-8"))
                       for title, content in report.sections]
    return report
