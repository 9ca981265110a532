"""Every public callable of the native modules has a signature that inspect (and so
help(), IDEs and frameworks that introspect hooks) can read, with its real defaults.
That the signatures match the stubs is mypy.stubtest's check."""

from __future__ import annotations

import importlib
import inspect

import pytest

MODULES = ["approval", "connect", "langgraph", "temporal", "payload_forge", "redaction"]


def public_callables():
    for name in MODULES:
        module = importlib.import_module(f"kavri_cloud.{name}")
        for attr in sorted(vars(module)):
            obj = getattr(module, attr)
            if attr.startswith("_") or not callable(obj) or getattr(obj, "__module__", None) != module.__name__:
                continue
            yield pytest.param(obj, id=f"{name}.{attr}")
            if isinstance(obj, type):
                for method in ("from_env", "wrap_tool_call", "awrap_tool_call", "__call__"):
                    if method in vars(obj):
                        yield pytest.param(getattr(obj, method), id=f"{name}.{attr}.{method}")


@pytest.mark.parametrize("obj", list(public_callables()))
def test_inspect_reads_a_signature(obj):
    inspect.signature(obj)


@pytest.mark.parametrize(
    "path, expected",
    [
        ("connect.connect",
         "(token=None, *, public_key_hex=None, claim=True, apply_env=True, async_client=False, verify=False)"),
        ("connect.doctor",
         "(token=None, *, api_key=None, base_url=None, public_key_hex=None, claim=False, apply_env=False)"),
        ("approval.cloud_approval",
         "(api_key, *, signing_key=None, base_url='https://api.kavri.cloud', poll_interval=2.0, timeout=300.0)"),
        ("approval.async_cloud_approval",
         "(api_key, *, signing_key=None, base_url='https://api.kavri.cloud', poll_interval=2.0, timeout=300.0)"),
        ("approval.temporal_cloud_approval",
         "(api_key, signing_key, *, base_url='https://api.kavri.cloud', fast_poll_seconds=2.0, fast_poll_attempts=3)"),
        ("temporal.KavriPluginConfig.from_env", "(**overrides)"),
        ("temporal.configure_temporal_worker",
         "(activity_fns, *, api_key=None, signing_key=None, control_plane_url=None, dashboard_root_key_hex=None, "
         "authorizer_name='temporal-worker', fast_poll_seconds=2.0, fast_poll_attempts=3)"),
    ],
)
def test_signatures_show_the_parameters_and_real_defaults(path, expected):
    module, _, rest = path.partition(".")
    obj = importlib.import_module(f"kavri_cloud.{module}")
    for part in rest.split("."):
        obj = getattr(obj, part)
    assert str(inspect.signature(obj)) == expected
    # help() shows the parameters, not "(...)"; 3.13 wraps a long signature over lines.
    assert "".join(expected.split()) in "".join(_help_text(obj).split())


def _help_text(obj) -> str:
    import pydoc

    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


def test_the_blocking_handler_shows_its_request_parameter():
    from kavri_cloud.approval import cloud_approval

    assert str(inspect.signature(cloud_approval("key"))) == "(request)"
