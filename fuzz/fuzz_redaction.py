#!/usr/bin/env python3
"""Fuzz target: credential redaction.

Each input drives one of three checks:

- ``redact_text`` against the four substitutions made with the host's ``re``
  (``_TOKEN_PATTERNS`` in order, each ``.sub("<redacted>", ...)`` on the output of
  the one before), on a text built from the input in one of the string widths
  (ASCII, Latin-1, BMP, astral), as a str or a str subclass, now and then repeated
  into a long text with hundreds of matches, scanned with one of the instruction
  sets the machine has (scalar, SSE2, AVX2); the result is a plain str, the same
  object when nothing matched;
- ``redact`` (or ``redact_dict``/``redact_list``, which must answer the same) on a
  nested structure built from the input: dicts, lists, tuples and their
  subclasses, str, bytes, ints, None and sets, shared and self-containing
  containers, keys from a pool of secret-looking and ordinary names plus ints and
  keys whose text form fails or changes the dict being walked; checked against
  the plain-Python reference of the redaction rules in benchmarks/reference,
  item order, types and shared leaves included, with the input left as it was;
- ``redact`` on a nest up to tens of thousands of levels deep, under the host's
  recursion limit or one raised far past what the C stack holds, on the main
  thread or on one with a small stack (32 KiB and up): a faithful copy or a
  ``RecursionError``, never a crash.

    ./dev fuzz redaction        (or, by hand, with requirements/fuzz.txt installed:)
    python fuzz/fuzz_redaction.py -max_total_time=600 -artifact_prefix=/tmp/ fuzz/corpus/redaction
"""

from __future__ import annotations

import sys
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for path in (ROOT, ROOT / "sdk"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

import atheris  # noqa: E402
import harness  # noqa: E402

from kavri_cloud import redaction  # noqa: E402

from benchmarks.reference import redaction as reference  # noqa: E402

REDACTED = "<redacted>"
# The reference substitutes with its own patterns; they must be the module's.
assert [(p.pattern, p.flags) for p in reference._TOKEN_PATTERNS] == [
    (p.pattern, p.flags) for p in redaction._TOKEN_PATTERNS
], "the reference's token patterns differ from the module's"

# Pieces of the four patterns, the white space \s knows beyond ASCII, and the
# characters that IGNORECASE folds onto token letters.
TEXT_FRAGMENTS = [
    "kavri_ct_", "kavri_ct", "KAVRI_CT_", "tc_", "cs_", "TC_", "Cs_", "Bearer", "bearer", "BEARER", "bEaReR",
    "Bearer ", "Authorization: Bearer ", " ", "  ", "\t", "\n", "\r\n", "\x0b", "\x0c", "\x1c", "\x1f", "\x85",
    "\xa0", "\u1680", "\u2000", "\u2028", "\u3000", "\u200b", "\ufeff", "\u0130", "\u0131", "\u017f", "\u212a",
    "K", "k", "s", "S", "i", "I", ".", "_", "-", "~", "+", "/", "=", "<redacted>", "<", ">", "abcdefgh",
    "12345678", "\U0001f511", "\udc80", "\xe9", "\xdf",
]
TOKEN_ALPHABET = "AZaz09_-._~+/=Kks"

KEY_POOL = [
    "api_key", "API-Key", "ApiKey", "apikey", "Authorization", "AUTHORIZATION", "client-secret", "client_secret",
    "connect_token", "registration_token", "secret", "Secret", "token", "TOKEN", "access_token", "refresh-token",
    "webhook_secret", "X_TOKEN", "x-api-key", "password", "secret_key", "tokens", "passphrase", "_token", "_secret",
    "token_", "name", "", "1", "api_\u212aey", "\u0130_token", "t\u00f6ken", "value", "headers",
]


class Text(str):
    pass


class Dict(dict):
    pass


class List(list):
    pass


class Tuple(tuple):
    pass


class FailingKey:
    """A key whose text form cannot be made."""

    def __str__(self):
        raise ValueError("no text form")


class GrowingKey:
    """A key whose text form adds an entry to the dict that holds it."""

    def __init__(self):
        self.owner = None
        self.calls = 0

    def __str__(self):
        self.calls += 1
        if self.owner is not None:
            self.owner[f"grown-{self.calls}"] = self.calls
        return "grow"


class ShrinkingKey:
    """A key whose text form removes another entry of the dict that holds it."""

    def __init__(self):
        self.owner = None

    def __str__(self):
        if self.owner is not None:
            for other in list(self.owner):
                if other is not self:
                    del self.owner[other]
                    break
        return "shrink"


class TextKey:
    """A key whose text form is a str subclass."""

    def __str__(self):
        return Text("Api-Key")


class Builder:
    """Builds one structure from the input; the same input builds an equal one."""

    MAX_NODES = 160

    def __init__(self, data: bytes):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.nodes = 0
        self.containers = []
        self.mutating = False

    def text(self) -> str:
        width = harness.pick_width(self.fdp)
        return harness.build_text(self.fdp, width, TEXT_FRAGMENTS, TOKEN_ALPHABET, max_pieces=8)

    def key(self):
        fdp = self.fdp
        kind = fdp.ConsumeIntInRange(0, 15)
        if kind <= 9:
            return KEY_POOL[fdp.ConsumeIntInRange(0, len(KEY_POOL) - 1)]
        if kind == 10:
            return self.text()
        if kind == 11:
            return fdp.ConsumeIntInRange(-2, 2)
        if kind == 12:
            return (None, True, 1.5, (1, "a"))[fdp.ConsumeIntInRange(0, 3)]
        if kind == 13:
            return Text(KEY_POOL[fdp.ConsumeIntInRange(0, len(KEY_POOL) - 1)])
        if kind == 14:
            return TextKey()
        special = fdp.ConsumeIntInRange(0, 2)
        if special == 0:
            return FailingKey()
        self.mutating = True
        return GrowingKey() if special == 1 else ShrinkingKey()

    def value(self, depth: int = 0):
        fdp = self.fdp
        self.nodes += 1
        leaf_only = depth >= 6 or self.nodes >= self.MAX_NODES
        kind = fdp.ConsumeIntInRange(0, 8 if leaf_only else 17)
        if kind <= 2:
            return self.text()
        if kind == 3:
            return Text(self.text())
        if kind == 4:
            return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12))
        if kind == 5:
            return fdp.ConsumeIntInRange(-(2**70), 2**70)
        if kind == 6:
            return None
        if kind == 7:
            return (True, False, 0.5, b"tc_12345678", bytearray(b"Bearer x"))[fdp.ConsumeIntInRange(0, 4)]
        if kind == 8:
            return frozenset({"token", 1}) if fdp.ConsumeBool() else {"kavri_ct_abc"}
        if kind == 9 and self.containers:
            # Shared, or (when the container is still being filled) self-containing.
            return self.containers[fdp.ConsumeIntInRange(0, len(self.containers) - 1)]
        if kind in (9, 10, 11, 12):
            mapping = Dict() if kind == 12 else {}
            self.containers.append(mapping)
            for _ in range(fdp.ConsumeIntInRange(0, 5)):
                k = self.key()
                if isinstance(k, (GrowingKey, ShrinkingKey)):
                    k.owner = mapping
                mapping[k] = self.value(depth + 1)
            return mapping
        if kind in (13, 14, 15):
            items = List() if kind == 15 else []
            self.containers.append(items)
            for _ in range(fdp.ConsumeIntInRange(0, 5)):
                items.append(self.value(depth + 1))
            return items
        items = [self.value(depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
        return Tuple(items) if kind == 17 else tuple(items)

    def call(self):
        """(operation name, value, key) of the call to make."""
        fdp = self.fdp
        how = fdp.ConsumeIntInRange(0, 5)
        value = self.value()
        if how == 0:
            return "redact", value, KEY_POOL[fdp.ConsumeIntInRange(0, len(KEY_POOL) - 1)]
        if how == 1:
            return "redact_dict", value, None
        if how == 2:
            return "redact_list", value, None
        return "redact", value, None


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except RecursionError:
        return ("error", RecursionError, "")  # the depth at which it gives up is the implementer's
    except (ValueError, RuntimeError, TypeError) as exc:
        return ("error", type(exc), str(exc))


def same(got, want, shared: bool, path: str = "value") -> None:
    """Type-strict equality; leaves that are not rebuilt must be the very objects."""
    if type(got) is not type(want):
        raise AssertionError(f"{path}: {type(got).__name__} {got!r} != {type(want).__name__} {want!r}")
    if isinstance(want, dict):
        got_items, want_items = list(got.items()), list(want.items())
        if [(type(k), k) for k, _ in got_items] != [(type(k), k) for k, _ in want_items]:
            raise AssertionError(f"{path}: keys {list(got)!r} != {list(want)!r}")
        for (k, g), (_, w) in zip(got_items, want_items):
            same(g, w, shared, f"{path}[{k!r}]")
    elif isinstance(want, (list, tuple)):
        if len(got) != len(want):
            raise AssertionError(f"{path}: {len(got)} items != {len(want)}")
        for index, (g, w) in enumerate(zip(got, want)):
            same(g, w, shared, f"{path}[{index}]")
    elif isinstance(want, str):
        if got != want:
            raise AssertionError(f"{path}: {got!r} != {want!r}")
    elif shared and got is not want:
        raise AssertionError(f"{path}: {got!r} is a copy, not the input's own object")
    elif not shared and got != want:
        raise AssertionError(f"{path}: {got!r} != {want!r}")


def fingerprint(value, seen=None):
    """The input's shape and contents, to tell that a walk left it as it was."""
    seen = {} if seen is None else seen
    if isinstance(value, (dict, list, tuple)):
        if id(value) in seen:
            return ("ref", seen[id(value)])
        seen[id(value)] = len(seen)
        if isinstance(value, dict):
            items = [(type(k).__name__, k if isinstance(k, (str, int, float, tuple)) or k is None else "<object>",
                      fingerprint(v, seen)) for k, v in value.items()]
            return (type(value).__name__, items)
        return (type(value).__name__, [fingerprint(v, seen) for v in value])
    return (type(value).__name__, value if not isinstance(value, (set, frozenset)) else sorted(map(repr, value)))


ISAS = redaction._scan_isas()
BEST_ISA = redaction._scan_isa()


def check_text(fdp) -> None:
    width = harness.pick_width(fdp)
    subclass = fdp.ConsumeIntInRange(0, 7) == 0
    isa = ISAS[fdp.ConsumeIntInRange(0, len(ISAS) - 1)]
    # Long texts take the scanner past the matches it keeps in place and across many vectors.
    repeat = fdp.ConsumeIntInRange(2, 400) if fdp.ConsumeIntInRange(0, 7) == 0 else 1
    text = harness.build_text(fdp, width, TEXT_FRAGMENTS, TOKEN_ALPHABET) * repeat
    value = Text(text) if subclass else text
    want = reference.redact_text(text)
    redaction._set_scan_isa(isa)
    try:
        got = redaction.redact_text(value)
    finally:
        redaction._set_scan_isa(BEST_ISA)
    if type(got) is not str or got != want:
        raise AssertionError(f"redact_text({value!r}) [{width}, {isa}]: {got!r} != {want!r}")
    if want == text and not subclass and got is not value:
        raise AssertionError(f"redact_text({value!r}): nothing matched, yet a copy came back")


def check_structure(data: bytes) -> None:
    native = Builder(data)
    op, value, key = native.call()
    fresh = Builder(data).call()[1]
    kwargs = {} if key is None else {"key": key}
    got = outcome(getattr(redaction, op), value, **kwargs)
    if native.mutating:
        # The keys change their dicts: the reference walks its own copy.
        want = outcome(reference.redact, Builder(data).call()[1], **kwargs)
    else:
        if fingerprint(value) != fingerprint(fresh):
            raise AssertionError(f"{op} modified its input: {value!r}, built as {fresh!r}")
        want = outcome(reference.redact, value, **kwargs)
    if got[0] == "ok" and want[0] == "ok":
        same(got[1], want[1], shared=not native.mutating)
    elif got != want:
        raise AssertionError(f"{op}({value!r}, {kwargs}): native {got!r} != reference {want!r}")


def check_deep(fdp) -> None:
    # Mostly modest depths; the host's recursion limit raised far above what the C
    # stack holds, or a small thread stack, leaves the walk's own depth and stack
    # guards as the only defence.
    depth = fdp.ConsumeIntInRange(1, 3000) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(1, 40_000)
    kinds = [fdp.ConsumeIntInRange(0, 2) for _ in range(8)]
    raise_limit = fdp.ConsumeBool()
    stack = (0, 32 * 1024, 128 * 1024, 512 * 1024, 1024 * 1024)[fdp.ConsumeIntInRange(0, 4)]
    leaf = harness.build_text(fdp, harness.pick_width(fdp), TEXT_FRAGMENTS, TOKEN_ALPHABET, max_pieces=4)
    value = leaf
    for level in range(depth):
        kind = kinds[level % len(kinds)]
        value = [value] if kind == 0 else (value,) if kind == 1 else {"k": value}
    result = {}

    def walk():
        try:
            result["got"] = redaction.redact(value)
        except RecursionError:
            result["recursion"] = True

    limit = sys.getrecursionlimit()
    if raise_limit:
        sys.setrecursionlimit(1_000_000)
    try:
        if stack:
            previous = threading.stack_size(stack)
            try:
                thread = threading.Thread(target=walk)
                thread.start()
                thread.join()
            finally:
                threading.stack_size(previous)
        else:
            walk()
    finally:
        sys.setrecursionlimit(limit)
    if "recursion" in result:
        return
    got = result["got"]
    # A copy came back: walk it level by level, without recursion of our own.
    for level in reversed(range(depth)):
        kind = kinds[level % len(kinds)]
        want_type = (list, tuple, dict)[kind]
        if type(got) is not want_type or len(got) != 1:
            raise AssertionError(f"redact of a {depth}-deep nest: level {depth - level} is {type(got).__name__}")
        got = got["k"] if kind == 2 else got[0]
    if got != reference.redact_text(leaf):
        raise AssertionError(f"redact of a {depth}-deep nest: leaf {got!r} != {reference.redact_text(leaf)!r}")


def test_one_input(data: bytes) -> None:
    if not data:
        return
    choice, rest = data[0] % 16, data[1:]
    if choice < 6:
        check_text(atheris.FuzzedDataProvider(rest))
    elif choice < 15:
        check_structure(rest)
    else:
        check_deep(atheris.FuzzedDataProvider(rest))


def main() -> None:
    harness.instrument_modules(sys.modules[__name__], harness)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
