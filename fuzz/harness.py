"""Shared pieces of the fuzz targets: coverage for the chosen modules, and texts.

Coverage: instrumenting every loaded module costs about ten seconds of start-up
here, most of it in code an input never reaches; a target instruments itself and
the Python code whose branches say something about its input.

Texts: the host stores a str in one of three widths (1, 2 or 4 bytes a character,
by its largest code point), and the native scanners and codecs read each width
through its own instantiation; pure ASCII has a fast path of its own. A target
picks the width, and the text is made of fragments that matter to the code under
test, runs of an alphabet and arbitrary code points of that width, with one
character forced in when the pieces alone would leave the text narrower.
"""

from __future__ import annotations

import inspect
import types
from collections.abc import Sequence

import atheris


def instrument_modules(*modules: types.ModuleType) -> None:
    """Instrument the functions and methods that the given modules define."""
    done: set[int] = set()

    def one(func) -> None:
        if isinstance(func, (staticmethod, classmethod)):
            func = func.__func__
        if isinstance(func, property):
            for part in (func.fget, func.fset, func.fdel):
                if part is not None:
                    one(part)
            return
        if isinstance(func, types.FunctionType) and id(func) not in done:
            done.add(id(func))
            atheris.instrument_func(func)

    for module in modules:
        for value in vars(module).values():
            if getattr(value, "__module__", None) != module.__name__:
                continue
            if inspect.isclass(value):
                for member in vars(value).values():
                    one(member)
            else:
                one(value)


WIDTHS = ("ascii", "latin1", "bmp", "astral")
_LOWEST = {"ascii": 0, "latin1": 0x80, "bmp": 0x100, "astral": 0x10000}
_HIGHEST = {"ascii": 0x7F, "latin1": 0xFF, "bmp": 0xFFFF, "astral": 0x10FFFF}


def pick_width(fdp) -> str:
    return WIDTHS[fdp.ConsumeIntInRange(0, len(WIDTHS) - 1)]


def build_text(fdp, width: str, fragments: Sequence[str], alphabet: str, max_pieces: int = 24) -> str:
    """A text of exactly `width`: fragments, alphabet runs and raw code points."""
    highest = _HIGHEST[width]
    pieces = []
    for _ in range(fdp.ConsumeIntInRange(0, max_pieces)):
        kind = fdp.ConsumeIntInRange(0, 5)
        if kind <= 2:
            pieces.append(fragments[fdp.ConsumeIntInRange(0, len(fragments) - 1)])
        elif kind <= 4:
            count = fdp.ConsumeIntInRange(1, 12)
            pieces.append("".join(alphabet[fdp.ConsumeIntInRange(0, len(alphabet) - 1)] for _ in range(count)))
        else:
            pieces.append(chr(fdp.ConsumeIntInRange(0, highest)))
    # Fragments wider than the chosen width fold into it, keeping their low bits.
    text = "".join(c if ord(c) <= highest else chr(ord(c) & highest) for c in "".join(pieces))
    lowest = _LOWEST[width]
    if lowest and all(ord(c) < lowest for c in text):
        at = fdp.ConsumeIntInRange(0, len(text))
        text = text[:at] + chr(fdp.ConsumeIntInRange(lowest, highest)) + text[at:]
    return text
