"""Observe-first versus enforce, read from the environment."""

from __future__ import annotations

import logging

import pytest

from kavri_cloud.enforcement import observe_first_from_env

UNSET = None


@pytest.mark.parametrize(
    ("enforcement", "dry_run", "observe"),
    [
        (UNSET, UNSET, True),
        ("", "", True),
        ("observe", UNSET, True),
        ("  Observe\n", UNSET, True),
        ("enforce", UNSET, False),
        ("ENFORCE", "true", False),
        ("observe", "false", True),
        (UNSET, "true", True),
        (UNSET, " Yes ", True),
        (UNSET, "1", True),
        (UNSET, "on", True),
        (UNSET, "false", False),
        (UNSET, "0", False),
        (UNSET, "NO", False),
        (UNSET, "off", False),
        ("   ", "false", False),
        ("", "true", True),
    ],
)
def test_mode_table(monkeypatch, caplog, enforcement, dry_run, observe):
    for name, value in (("KAVRI_ENFORCEMENT", enforcement), ("KAVRI_DRY_RUN", dry_run)):
        if value is UNSET:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    with caplog.at_level(logging.WARNING, logger="kavri_cloud.enforcement"):
        assert observe_first_from_env() is observe
    assert caplog.records == []


@pytest.mark.parametrize(
    ("enforcement", "dry_run", "variable", "value"),
    [
        ("obsrve", UNSET, "KAVRI_ENFORCEMENT", "obsrve"),
        ("observe-first", "true", "KAVRI_ENFORCEMENT", "observe-first"),
        ("dry_run", UNSET, "KAVRI_ENFORCEMENT", "dry_run"),
        (UNSET, "ture", "KAVRI_DRY_RUN", "ture"),
        ("", "2", "KAVRI_DRY_RUN", "2"),
    ],
)
def test_unrecognised_value_fails_closed_with_warning(
    monkeypatch, caplog, enforcement, dry_run, variable, value
):
    for name, setting in (("KAVRI_ENFORCEMENT", enforcement), ("KAVRI_DRY_RUN", dry_run)):
        if setting is UNSET:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, setting)
    with caplog.at_level(logging.WARNING, logger="kavri_cloud.enforcement"):
        assert observe_first_from_env() is False
    [record] = caplog.records
    assert record.name == "kavri_cloud.enforcement"
    assert record.levelno == logging.WARNING
    assert variable in record.getMessage() and repr(value) in record.getMessage()


def test_environment_is_read_at_each_call(monkeypatch):
    monkeypatch.delenv("KAVRI_DRY_RUN", raising=False)
    monkeypatch.setenv("KAVRI_ENFORCEMENT", "enforce")
    assert observe_first_from_env() is False
    monkeypatch.setenv("KAVRI_ENFORCEMENT", "observe")
    assert observe_first_from_env() is True
