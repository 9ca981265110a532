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

__version__ = "0.1.0"
