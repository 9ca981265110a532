"""Redaction: token scanning against the host's re, key rules, container rules, deep and cyclic input."""

from __future__ import annotations

import collections
import contextlib
import gc
import random
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kavri_cloud import redaction
from kavri_cloud.redaction import _is_secret_key, redact, redact_dict, redact_list, redact_text

R = "<redacted>"


def host_redact_text(value: str) -> str:
    """The four substitutions done one after another by the host's own re."""
    for pattern in redaction._TOKEN_PATTERNS:
        value = pattern.sub(R, value)
    return value


ISAS = redaction._scan_isas()


@contextlib.contextmanager
def scanning_with(isa):
    """Run the text scanner on one instruction set; every one must give the host's result."""
    before = redaction._scan_isa()
    redaction._set_scan_isa(isa)
    try:
        yield
    finally:
        redaction._set_scan_isa(before)


# ---------------------------------------------------------------------------
# Constants


def test_constants_are_the_documented_ones():
    assert redaction._REDACTED == R
    assert isinstance(redaction._SECRET_KEYS, frozenset)
    assert redaction._SECRET_KEYS == {
        "api_key", "apikey", "authorization", "client_secret",
        "connect_token", "registration_token", "secret", "token",
    }
    patterns = redaction._TOKEN_PATTERNS
    assert isinstance(patterns, list) and all(isinstance(p, re.Pattern) for p in patterns)
    assert [(p.pattern, bool(p.flags & re.IGNORECASE)) for p in patterns] == [
        ("kavri_ct_[A-Za-z0-9_-]+", False),
        ("tc_[A-Za-z0-9_-]{8,}", False),
        ("cs_[A-Za-z0-9_-]{8,}", False),
        (r"Bearer\s+[A-Za-z0-9._~+/=-]+", True),
    ]


# ---------------------------------------------------------------------------
# Text: differential against the host's re

FRAGMENTS = [
    "kavri_ct_", "kavri_ct", "avri_ct_", "tc_", "cs_", "TC_", "CS_", "Kavri_ct_",
    "Bearer", "bearer", "BEARER", "bEaReR", "Beare", "Bearer ", "Bearer\t", "Bearer\u3000",
    "abcdefgh", "1234567", "12345678", "x", "Q", "9", "_", "-", ".", "~", "+", "/", "=",
    "<", ">", "<redacted>", ":", ",", "ey.JhbG",
    # White space of every kind re's \s knows, and characters that are not.
    " ", "  ", "\t", "\n", "\r\n", "\x0b", "\x0c", "\x1c", "\x1f", "\x85", "\xa0",
    "\u1680", "\u2003", "\u2028", "\u202f", "\u3000", "\u200b", "\ufeff",
    # Case variants the host's IGNORECASE folds into the token class, and ones it does not.
    "\u0130", "\u0131", "\u017f", "\u212a", "\u212b", "\uff21", "\xe9", "\xdf", "\U0001f600",
]

texts = st.lists(st.sampled_from(FRAGMENTS) | st.text(max_size=3), max_size=40).map("".join)


@pytest.mark.parametrize("isa", ISAS)
@settings(max_examples=2000, deadline=None)
@given(text=texts)
def test_redact_text_equals_the_host_substitutions(isa, text):
    with scanning_with(isa):
        assert redact_text(text) == host_redact_text(text)


@pytest.mark.parametrize("isa", ISAS)
@settings(max_examples=400, deadline=None)
@given(
    parts=st.lists(st.sampled_from(FRAGMENTS), min_size=1, max_size=30),
    widener=st.sampled_from(["", "\xe9", "\u0100", "\U0001f600"]),
)
def test_every_storage_width_gives_the_host_result(isa, parts, widener):
    # One wide character anywhere decides the storage of the whole text.
    text = widener.join(parts) + widener
    with scanning_with(isa):
        out = redact_text(text)
    assert out == host_redact_text(text)
    assert out.isascii() == host_redact_text(text).isascii()


# The three shapes the scanner is tuned for, each stored in all three widths: log lines
# (a few with tokens), log lines with user names outside Latin-1, and text where half
# the words are secrets.
NAMES = ["Дмитрий", "张伟", "Łukasz", "Ελένη", "Şükrü", "محمد", "Nguyễn", "ana", "\U0001f511key"]
WORDS = "approval request polling status tool_call agent warrant receipt the a of cs tc bearer".split()


SPACES = [" ", "\t", "  ", "\u3000"]


def secret(rnd):
    space = rnd.choice(SPACES)
    return rnd.choice(
        [
            lambda: f"tc_{rnd.getrandbits(48):x}",
            lambda: f"cs_{rnd.getrandbits(48):x}",
            lambda: f"kavri_ct_{rnd.getrandbits(64):x}",
            lambda: f"Bearer{space}ey{rnd.getrandbits(64):x}.{rnd.getrandbits(16):x}",
            lambda: f"tc_{rnd.getrandbits(16):x}",  # too short for its pattern
            lambda: f"xkavri_ct_{rnd.getrandbits(8):x}-\u212a",
        ]
    )()


def log_lines(rnd, names, chance):
    lines = []
    for i in range(300):
        words = [rnd.choice(WORDS) for _ in range(rnd.randint(3, 10))]
        if rnd.random() < chance:
            words.insert(rnd.randrange(len(words) + 1), "Authorization: " + secret(rnd))
        user = rnd.choice(names) if names else f"u{i}"
        lines.append(f"2024-05-01T12:00:{i % 60:02d}Z INFO user={user} " + " ".join(words))
    return "\n".join(lines)


def dense_words(rnd):
    return " ".join(secret(rnd) if rnd.random() < 0.5 else rnd.choice(WORDS) for _ in range(1500))


SHAPES = {
    "log": lambda rnd: log_lines(rnd, None, 0.1),
    "log with wide names": lambda rnd: log_lines(rnd, NAMES, 0.1),
    "dense tokens": dense_words,
}


@pytest.mark.parametrize("isa", ISAS)
@pytest.mark.parametrize("widener", ["", "\xe9", "\u0100", "\U0001f600"], ids=["ascii", "latin1", "ucs2", "ucs4"])
@pytest.mark.parametrize("shape", SHAPES)
def test_text_shapes_in_every_width_give_the_host_result(isa, widener, shape):
    rnd = random.Random(f"{shape}{widener}")
    text = SHAPES[shape](rnd) + widener
    with scanning_with(isa):
        out = redact_text(text)
    assert out == host_redact_text(text)
    assert out.count(R) > 10


@pytest.mark.parametrize("isa", ISAS)
@pytest.mark.parametrize("widener", ["", "\u0100", "\U0001f600"], ids=["ascii", "ucs2", "ucs4"])
@pytest.mark.parametrize(
    "token", ["tc_12345678", "cs_1234567", "kavri_ct_x", "BEARER\t a.b", "bearer\u212a", "Bearer x", "tc_1234567_tc_abcdefgh"]
)
def test_tokens_at_every_offset_across_vector_edges(isa, widener, token):
    # Each offset puts the token's pieces at a different place in (and across) the vectors.
    with scanning_with(isa):
        for offset in range(70):
            text = "y" * offset + token + "z" * (70 - offset) + token + widener
            assert redact_text(text) == host_redact_text(text), (offset, text)


FAR_APART = [
    # Hundreds of matches over a long text: more than the scanner keeps in place.
    ("sparse tokens", lambda w: ("x" * 1100 + w + " tc_12345678 ") * 400),
    # Then many short Bearer tokens, each of which makes the result longer than its text.
    ("then growing", lambda w: ("x" * 1100 + w + " cs_12345678 ") * 300 + "Bearer x " * 20000),
    # The only wide characters are inside tokens: the result is narrower than the text.
    ("wide only in tokens", lambda w: ("x" * 1100 + " Bearer \u0130" + w + "k ") * 300),
]


@pytest.mark.parametrize("isa", ISAS)
@pytest.mark.parametrize("widener", ["", "\xe9", "\u0101", "\U0001f600"], ids=["ascii", "latin1", "ucs2", "ucs4"])
@pytest.mark.parametrize("make", [m for _, m in FAR_APART], ids=[name for name, _ in FAR_APART])
def test_many_matches_in_long_text_give_the_host_result(isa, widener, make):
    text = make(widener)
    with scanning_with(isa):
        out = redact_text(text)
    want = host_redact_text(text)
    assert out == want
    assert out.isascii() == want.isascii()  # the same storage: str equality does not look at it


@pytest.mark.parametrize("filler", ["ab ", "\u0101b "], ids=["1-byte", "2-byte"])
def test_result_larger_than_the_allocator_reuses(filler):
    # Past 32 MiB the result lives in a block mapped afresh, which the scanner asks to back
    # with huge pages; its contents must be exactly the text's.
    body = filler * ((17 << 20) // len(filler))
    out = redact_text(body + "tc_12345678 " + body)
    assert out == body + R + " " + body


def test_scanner_instruction_sets():
    assert ISAS[0] == "scalar" and redaction._scan_isa() == ISAS[-1]
    with pytest.raises(ValueError, match="instruction set"):
        redaction._set_scan_isa("avx1024")


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("Authorization: Bearer abc.def.ghi", f"Authorization: {R}"),
        ("authorization: bearer abc.def", f"authorization: {R}"),
        ("AUTHORIZATION: BEARER abc.def", f"AUTHORIZATION: {R}"),
        ("Bearer", "Bearer"),
        ("Bearer   ", "Bearer   "),
        ("tc_1234567", "tc_1234567"),
        ("tc_12345678", R),
        ("abctc_12345678xyz", f"abc{R}"),
        ("kavri_ct_abc.def", f"{R}.def"),
        ("Bearer kavri_ct_abc", f"Bearer {R}"),
        ("TC_12345678 CS_12345678", "TC_12345678 CS_12345678"),
        # Each pattern reads the output of the one before: a Quick Connect token cuts the
        # "tc_" run, which is then too short; a "tc_" replacement ends a Bearer token.
        ("tc_abcdekavri_ct_x", f"tc_abcde{R}"),
        ("Bearer abc.tc_12345678", f"{R}{R}"),
        ("cs_12345678tc_12345678kavri_ct_1", f"{R}{R}{R}"),
        ("Bearer Bearer x", f"{R} x"),
        ("Bearer \u212a\u0130", R),
        ("x\u3000Bearer\u3000tok", f"x\u3000{R}"),
    ],
)
def test_redact_text_cases(text, expected):
    assert redact_text(text) == expected == host_redact_text(text)


@pytest.mark.parametrize("isa", ISAS)
def test_long_text_with_many_tokens(isa):
    # More matches than the scanner keeps in place, so it stores them in blocks.
    line = "id=tc_{:08d} auth: Bearer tok{}== key=kavri_ct_{} cs_short; "
    text = "".join(line.format(i, i, i) for i in range(3000)) + "\u2003end"
    with scanning_with(isa):
        assert redact_text(text) == host_redact_text(text)


def test_unchanged_text_is_not_copied():
    text = "nothing secret here " * 10
    assert redact_text(text) is text
    assert redact(text) is text


def test_str_subclass_comes_back_as_plain_str():
    class Text(str):
        pass

    for value in (Text("plain"), Text("tc_12345678"), Text("")):
        out = redact_text(value)
        assert type(out) is str and out == host_redact_text(value)


@pytest.mark.parametrize("value", [b"Bearer x", bytearray(b"x"), 1, None, ["tc_12345678"]])
def test_redact_text_rejects_non_text_with_the_host_error(value):
    with pytest.raises(TypeError) as expected:
        redaction._TOKEN_PATTERNS[0].sub(R, value)
    with pytest.raises(TypeError, match=re.escape(str(expected.value))):
        redact_text(value)


# ---------------------------------------------------------------------------
# Signatures


@pytest.mark.parametrize(
    "call",
    [
        lambda: redact_text(),
        lambda: redact_text("a", "b"),
        lambda: redact("a", "token"),
        lambda: redact(),
        lambda: redact("a", keyy="x"),
        lambda: redact_dict({}, {}),
        lambda: redact_list(),
        lambda: _is_secret_key(),
        lambda: _is_secret_key("a", "b"),
    ],
)
def test_wrong_arguments_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_redact_takes_value_by_name_and_key_by_keyword_only():
    assert redact(value="tc_12345678") == R
    assert redact("plain", key="token") == R
    assert redact("plain", key="") == "plain"
    with pytest.raises(TypeError, match="1 positional argument but 2 were given"):
        redact("a", "token")


# ---------------------------------------------------------------------------
# Key rules


@pytest.mark.parametrize(
    ("key", "secret"),
    [
        ("Api-KEY", True), ("AUTHORIZATION", True), ("client-secret", True), ("access_token", True),
        ("refresh-token", True), ("webhook_secret", True), ("apikey", True), ("Registration-Token", True),
        ("_token", True), ("x_secret", True), ("api_\u212aey", True),  # the Kelvin sign lower-cases to "k"
        ("x-api-key", False), ("password", False), ("secret_key", False), ("tokens", False),
        ("passphrase", False), ("token_", False), ("mytoken", False), ("", False), ("\u0130token", False),
    ],
)
def test_secret_key_rules(key, secret):
    assert _is_secret_key(key) is secret


def test_secret_key_uses_the_keys_own_text_methods():
    class Shouting(str):
        def lower(self):
            return "token"

    assert _is_secret_key(Shouting("harmless")) is True
    with pytest.raises(AttributeError):
        _is_secret_key(1)
    with pytest.raises(TypeError):
        _is_secret_key(b"TOKEN")  # bytes.replace refuses str arguments


# ---------------------------------------------------------------------------
# Container rules


def test_structure_is_rebuilt_with_keys_applied_to_direct_values():
    leaf = object()
    data = {
        "token": {"nested": "dict"}, "API-Key": ["list"], "secret": None, "": "tc_12345678",
        1: "one", "x-api-key": "Bearer abc", "password": "plain",
        "items": [{"api_key": "k1", "ok": 1}, "tc_12345678", "token"],
        "pair": ("cs_12345678", leaf, b"Bearer x"), "set": {"tc_12345678"},
    }
    out = redact(data)
    assert out == {
        "token": R, "API-Key": R, "secret": R, "": R,
        "1": "one", "x-api-key": R, "password": "plain",
        "items": [{"api_key": R, "ok": 1}, R, "token"],
        "pair": (R, leaf, b"Bearer x"), "set": {"tc_12345678"},
    }
    assert out["pair"][1] is leaf and out["pair"][2] is data["pair"][2] and out["set"] is data["set"]
    assert out["password"] is data["password"]
    assert data["token"] == {"nested": "dict"} and data["items"][1] == "tc_12345678"


def test_containers_are_always_new_plain_ones():
    Point = collections.namedtuple("Point", "x y")

    class Mapping(dict):
        pass

    class Items(list):
        pass

    inner = []
    data = [inner, Point("tc_12345678", 2), Mapping(a=1), Items([1]), ()]
    out = redact(data)
    assert [type(v) for v in out] == [list, tuple, dict, list, tuple]
    assert out == [[], (R, 2), {"a": 1}, [1], ()]
    assert out is not data and out[0] is not inner


def test_later_key_with_the_same_text_wins_and_order_follows_the_input():
    assert list(redact({1: "a", "1": "b", "z": 0}).items()) == [("1", "b"), ("z", 0)]
    ordered = collections.OrderedDict(a=1, b=2, c=3)
    ordered.move_to_end("a")
    assert list(redact(ordered)) == ["b", "c", "a"]


@pytest.mark.parametrize("value", [b"Bearer x", frozenset({"a"}), 1.5, None, True, Ellipsis])
def test_other_values_are_returned_as_is(value):
    assert redact(value) is value
    assert redact_dict(value) is value and redact_list(value) is value


def test_dict_and_list_entry_points_neither_check_nor_convert():
    assert redact_dict("Bearer x") == R
    assert redact_list({"token": 1}) == {"token": R}


def test_copy_is_tracked_by_the_collector():
    out = redact({"a": [{"b": [1]}], "c": ({"d": []},)})
    containers = [out, out["a"], out["a"][0], out["a"][0]["b"], out["c"], out["c"][0], out["c"][0]["d"]]
    assert all(gc.is_tracked(c) for c in containers)


# ---------------------------------------------------------------------------
# Failures


class Key:
    def __init__(self, text, on_str=None):
        self.text, self.on_str = text, on_str

    def __str__(self):
        if self.on_str:
            self.on_str()
        return self.text


@pytest.mark.parametrize("nested", [False, True])
def test_dict_changed_during_the_walk(nested):
    outer = {}
    inner = {Key("a", lambda: (outer if nested else inner).update(b=2)): 1}
    outer.update(x=[inner], y="after")  # str keys only: a change from below must still be seen
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        redact(outer if nested else inner)


def test_errors_of_keys_and_iteration_propagate():
    def boom():
        raise ValueError("no text form")

    with pytest.raises(ValueError, match="no text form"):
        redact({"ok": 1, Key("x", boom): 2})

    class Broken(list):
        def __iter__(self):
            raise LookupError("cannot iterate")

    with pytest.raises(LookupError, match="cannot iterate"):
        redact({"a": (1, Broken([2]))})


# ---------------------------------------------------------------------------
# Deep and cyclic structures


def nested(depth, make=lambda inner: [inner]):
    value = "tc_12345678"
    for _ in range(depth):
        value = make(value)
    return value


def test_cycles_end_in_recursion_error():
    loop = []
    loop.append(loop)
    mapping = {}
    mapping["self"] = [mapping]
    for value in (loop, mapping, (loop,)):
        with pytest.raises(RecursionError):
            redact(value)


def test_depth_follows_the_host_recursion_limit():
    out = redact(nested(200, lambda inner: {"k": inner}))
    for _ in range(200):
        out = out["k"]
    assert out == R
    with pytest.raises(RecursionError):
        redact(nested(sys.getrecursionlimit() + 10))


@pytest.mark.parametrize("in_thread", [False, True])
def test_raised_recursion_limit_still_ends_in_recursion_error(in_thread):
    # Far deeper than any C stack holds; run apart so a crash fails the test rather than the run.
    script = textwrap.dedent(
        """
        import sys, threading
        from kavri_cloud.redaction import redact
        sys.setrecursionlimit(10**7)
        value = []
        for _ in range(1_000_000):
            value = [value]
        def walk():
            try:
                redact(value)
            except RecursionError:
                print("RecursionError")
        if %r:
            threading.stack_size(1 << 20)
            t = threading.Thread(target=walk); t.start(); t.join()
        else:
            walk()
        """
        % in_thread
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "RecursionError"
