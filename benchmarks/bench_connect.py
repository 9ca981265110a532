"""CPU cost of decoding a Quick Connect token, native against plain Python.

``parse_connect_token`` and ``connect_config_from_token`` per call, for the
endpoint forms a token carries: an absolute hosted URL, a scheme-less loopback
address, a scheme-less host name, and a relative path (resolved against
``KAVRI_API_URL`` through the host's urljoin on both sides, so it is reported
without a target), and the two in a row, as a bootstrap calls them. Both sides
build the same payload and configuration models; ``ConnectTokenPayload.from_dict``
takes about half of what ``parse_connect_token`` costs natively, which bounds the
ratio that call alone can reach.
Each figure is the median over several timed runs (after a warm-up) of the CPU
time per call, for the native module and for the plain-Python reference in
``benchmarks/reference/connect.py``, timed in alternating blocks in one
process; the ratio is the median of the per-run ratios.

    python benchmarks/bench_connect.py [--quick]
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk", ROOT / "benchmarks"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

from kavri_cloud import connect as native  # noqa: E402
from kavri_cloud.local import make_connect_token  # noqa: E402
from reference import connect as reference  # noqa: E402
from timing import measure, print_table  # noqa: E402

TARGET_RATIO = 3.0

TOKENS = {
    "hosted https endpoint, agent binding": make_connect_token(
        "https://api.kavri.cloud",
        "tc_runtime_4fJk2m9QxR7vW1sTzY8bN3hL",
        agent_id="agt_01HZX4K7Q2M9",
        registration_token="rt_Vq3mZ8xK1pL6wR9tY2bN5cJ7",
    ),
    "loopback host:port": make_connect_token("127.0.0.1:8080", "tc_admin_4fJk2m9QxR7vW1sTzY8bN3hL"),
    "scheme-less host name": make_connect_token("cloud.example.com/api", "tc_runtime_4fJk2m9QxR7vW1sTzY8bN3hL"),
    "relative path": make_connect_token("/api", "tc_admin_4fJk2m9QxR7vW1sTzY8bN3hL"),
}


def _both(module):
    """What a bootstrap does with a token: read its payload, then its configuration."""
    parse, config = module.parse_connect_token, module.connect_config_from_token

    def call(token: str):
        return parse(token), config(token)

    return call


# (figure, native, reference, judged); parse_connect_token alone is shown, not
# judged: the model's from_dict, which both sides call, is about half of its cost.
OPERATIONS = [
    ("parse_connect_token", native.parse_connect_token, reference.parse_connect_token, False),
    ("connect_config_from_token", native.connect_config_from_token, reference.connect_config_from_token, True),
    ("parse_connect_token + connect_config_from_token", _both(native), _both(reference), True),
]


def _same(token: str) -> None:
    # A baseline that computes something else measures nothing.
    got, want = native.connect_config_from_token(token), reference.connect_config_from_token(token)
    if got != want:
        raise AssertionError(f"native {got!r} != reference {want!r}")


def run(quick: bool = False) -> list[dict]:
    """Measure; one dict per figure: name, unit, native, reference, ratio, target, met."""
    calls, runs = (2_000, 5) if quick else (10_000, 9)
    saved = os.environ.get("KAVRI_API_URL")
    os.environ["KAVRI_API_URL"] = "http://127.0.0.1:9000"
    figures = []
    try:
        for label, token in TOKENS.items():
            _same(token)
            targeted = label != "relative path"
            for op, native_fn, reference_fn, judged in OPERATIONS:
                native_us, reference_us, ratio = measure(
                    lambda: native_fn(token), lambda: reference_fn(token), calls, runs
                )
                judged = judged and targeted
                figures.append(
                    {
                        "name": f"connect: {op}, {label}",
                        "unit": "us CPU/call",
                        "native": round(native_us, 3),
                        "reference": round(reference_us, 3),
                        "ratio": round(ratio, 2),
                        "target": f">= {TARGET_RATIO:g}x" if judged else None,
                        "met": ratio >= TARGET_RATIO if judged else None,
                    }
                )
    finally:
        if saved is None:
            os.environ.pop("KAVRI_API_URL", None)
        else:
            os.environ["KAVRI_API_URL"] = saved
    return figures




def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls per run")
    args = parser.parse_args(argv)
    print_table(run(quick=args.quick))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
