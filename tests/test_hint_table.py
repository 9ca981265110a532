"""Which missing module gets which one-line install hint (the venv tests in
test_install_hints.py show the hints where users meet them)."""

from __future__ import annotations

import pytest

from kavri_cloud._missing import hint_for

SDK = "Install with: pip install kavri-sdk-standin"


@pytest.mark.parametrize(
    "name, expected",
    [
        ("starlette", "pip install 'kavri-cloud[local]'"),
        ("uvicorn.config", "pip install 'kavri-cloud[local]'"),
        ("langchain_core.messages", "pip install 'kavri-cloud[langgraph]'"),
        ("langgraph.prebuilt", "pip install 'kavri-cloud[langgraph]'"),
        ("temporalio", "pip install 'kavri-cloud[temporal]'"),
        ("google", "pip install 'kavri-cloud[gcp]'"),
        ("google.cloud.secretmanager", "pip install 'kavri-cloud[gcp]'"),
        ("kavri", SDK),
        ("kavri_core", SDK),
        ("google.protobuf", None),  # temporalio's dependency, not the gcp extra
        ("numpy", None),
        ("kavri_cloud_plugins", None),
    ],
)
def test_a_missing_module_maps_to_the_command_that_installs_it(name, expected):
    hint = hint_for(ModuleNotFoundError(f"No module named {name!r}", name=name))
    if expected is None:
        assert hint is None
    else:
        assert hint is not None and "\n" not in hint
        assert hint.startswith(f"No module named {name!r}: ") and expected in hint


def test_a_hint_already_given_passes_through_unchanged():
    error = ImportError("kavri_cloud.langgraph requires kavri-cloud[langgraph]. Install with: pip install "
                        "'kavri-cloud[langgraph]'")
    assert hint_for(error) == str(error)


def test_an_import_error_that_is_not_a_missing_module_gets_no_hint():
    assert hint_for(ImportError("cannot import name 'x' from 'starlette'", name="starlette")) is None


def test_a_missing_sdk_import_names_its_install_and_keeps_the_module_name(monkeypatch):
    import sys

    import kavri_cloud  # noqa: F401  (installs the fallback finder)

    # As if the SDK were not installed: the fallback finder is the only one left to ask.
    fallback = [finder for finder in sys.meta_path if type(finder).__name__ == "_MissingSdkFinder"]
    assert len(fallback) == 1
    monkeypatch.delitem(sys.modules, "kavri_core", raising=False)
    monkeypatch.setattr(sys, "meta_path", fallback)
    with pytest.raises(ModuleNotFoundError) as info:
        import kavri_core  # noqa: F401
    assert info.value.name == "kavri_core"
    assert SDK in str(info.value)
