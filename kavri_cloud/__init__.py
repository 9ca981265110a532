"""Kavri Cloud add-on for the Kavri agent-authorization SDK.

The native modules are imported on demand::

    from kavri_cloud.approval import cloud_approval, async_cloud_approval
    from kavri_cloud.connect import connect, doctor
    from kavri_cloud.langgraph import KavriMiddleware, KavriToolNode
    from kavri_cloud.temporal import KavriPluginConfig
    from kavri_cloud.redaction import redact

Importing this package imports none of them, so a short-lived worker pays only
for what it uses.
"""

from kavri_cloud._missing import install_sdk_finder as _install_sdk_finder

__version__ = "0.1.0"

# A missing SDK fails the step that imports it with the command that installs it.
_install_sdk_finder()
