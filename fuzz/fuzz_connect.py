"""Fuzz target: Quick Connect token decoding and endpoint normalisation.

Each input drives three checks, against the plain-Python reference of
benchmarks/reference/connect.py (standard base64, json, ipaddress, urllib):

- ``parse_connect_token`` of fuzzed text, and of a token built around fuzzed
  bytes (so that the JSON layer and its native fast path are reached);
- ``_normalize_connect_endpoint`` of fuzzed text, with a fuzzed local base URL
  in ``KAVRI_API_URL`` when the environment can hold it.

A crash, an error kind other than ``KavriCloudError`` (the documented one), or
any difference from the reference (result, message or cause type) fails.

    pip install -r requirements/fuzz.txt
    python fuzz/fuzz_connect.py -max_total_time=600 -artifact_prefix=/tmp/ fuzz/corpus/connect
"""

from __future__ import annotations

import base64
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

import atheris  # noqa: E402

from benchmarks.reference import connect as reference  # noqa: E402
from kavri_cloud import connect  # noqa: E402
from kavri_cloud.exceptions import KavriCloudError  # noqa: E402


def _outcome(fn, *args):
    try:
        value = fn(*args)
    except KavriCloudError as exc:
        return ("error", str(exc), type(exc.__cause__).__name__)
    if hasattr(value, "raw"):  # a payload: compare what the model read
        return ("ok", value.endpoint, value.api_key, value.agent_id, value.registration_token, value.raw)
    return ("ok", value)


def _compare(what: str, fn_native, fn_reference, *args) -> None:
    got = _outcome(fn_native, *args)
    want = _outcome(fn_reference, *args)
    if got != want:
        raise AssertionError(f"{what}{args!r}: native {got!r} != reference {want!r}")


def _env_safe(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return "\0" not in text and "=" not in text[:1]


def _text(raw: bytes) -> str:
    # Invalid UTF-8 becomes lone surrogates: non-ASCII, unencodable text is reached too.
    return raw.decode("utf-8", "surrogateescape")


def test_one_input(data: bytes) -> None:
    if not data:
        return
    choice, rest = data[0] % 4, data[1:]
    if choice == 0:
        _compare("parse_connect_token", connect.parse_connect_token, reference.parse_connect_token, _text(rest))
    elif choice == 1:
        token = "kavri_ct_" + base64.urlsafe_b64encode(rest).decode("ascii").rstrip("=")
        _compare("parse_connect_token", connect.parse_connect_token, reference.parse_connect_token, token)
    else:
        base = None
        if choice == 3 and rest:
            size = rest[0] % 64
            base, rest = _text(rest[1 : 1 + size]), rest[1 + size :]
        if base is not None and _env_safe(base):
            os.environ["KAVRI_API_URL"] = base
        else:
            os.environ.pop("KAVRI_API_URL", None)
        _compare("_normalize_connect_endpoint", connect._normalize_connect_endpoint,
                 reference._normalize_connect_endpoint, _text(rest))


_SEED_DOCUMENTS = [
    b'{"endpoint":"http://127.0.0.1:8080","api_key":"tc_admin_x"}',
    b'{"endpoint": "/api", "api_key": "k", "agent_id": "agt_1", "registration_token": "rt_1"}',
    b'{"endpoint":"h\u00e9\n\"x\"","api_key":"k","api_key":"k2","x":null,"y":true,"z":false}',
    b'{"endpoint":"\ud83d\ude00","api_key":"k","n":1.5e3,"list":[1,{"a":[]}]}',
    b'  {"api_url":"api.example.com","api_key":"k"}  ',
    b'[1, 2]',
]
_SEED_ENDPOINTS = [
    b"https://api.example.com/", b"HTTP://Example.COM//", b"ftp://files", b"/api/", b"127.0.0.1:8080/api",
    b"[::1]:8080/x", b"::ffff:127.0.0.1", b"localhost.example", b"LocalHost:1", b"0127.0.0.1", b"[fe80::1%25lo]",
]


def _seed(corpus: Path) -> None:
    if any(corpus.iterdir()):
        return
    seeds = [b"\x00kavri_ct_e30", b"\x00KAVRI_CT_x", b"\x00kavri_ct_e30=x=="]
    seeds += [b"\x01" + doc for doc in _SEED_DOCUMENTS]
    seeds += [b"\x02" + e for e in _SEED_ENDPOINTS]
    seeds += [b"\x03" + bytes([len(base)]) + base + b"/api" for base in (b"127.0.0.1:9/b", b"grpc://h:1", b"http://[x")]
    for index, seed in enumerate(seeds):
        (corpus / f"seed-{index:02d}").write_bytes(seed)


def main() -> None:
    os.environ.pop("KAVRI_CONTROL_PLANE_URL", None)
    for arg in sys.argv[1:]:
        if not arg.startswith("-") and Path(arg).is_dir():
            _seed(Path(arg))
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
