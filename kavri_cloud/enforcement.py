"""Observe-first or enforce: how guarded tool calls treat a denial.

In observe-first mode a denied call is recorded (receipts, logs) but still
runs; in enforce mode it is blocked. Observe-first is the default so that a
new integration can be watched before it starts refusing work.

The mode comes from ``KAVRI_ENFORCEMENT`` ("observe" or "enforce"), or, when
that is unset or empty, from its older alias ``KAVRI_DRY_RUN`` ("true"/"1"/
"yes"/"on" observe, "false"/"0"/"no"/"off" enforce). Values are trimmed and
compared without regard to case.
"""

from __future__ import annotations

import logging
import os

__all__ = ["observe_first_from_env"]

logger = logging.getLogger("kavri_cloud.enforcement")

_ENFORCEMENT_MODES = {"observe": True, "enforce": False}
_DRY_RUN_VALUES = {
    "true": True,
    "1": True,
    "yes": True,
    "on": True,
    "false": False,
    "0": False,
    "no": False,
    "off": False,
}


def _read(name: str, table: dict[str, bool]) -> bool | None:
    raw = os.environ.get(name, "")
    value = raw.strip().lower()
    if not value:
        return None
    if value in table:
        return table[value]
    # A typo must never switch enforcement off, so unknown values enforce.
    logger.warning("unrecognised %s value %r; enforcing", name, raw)
    return False


def observe_first_from_env() -> bool:
    """Read the enforcement mode from the environment, at each call.

    Returns:
        True for observe-first (the default when neither variable is set),
        False for enforce. An unrecognised value in either variable gives
        False and a warning on the "kavri_cloud.enforcement" logger.
    """
    mode = _read("KAVRI_ENFORCEMENT", _ENFORCEMENT_MODES)
    if mode is None:
        mode = _read("KAVRI_DRY_RUN", _DRY_RUN_VALUES)
    return True if mode is None else mode
