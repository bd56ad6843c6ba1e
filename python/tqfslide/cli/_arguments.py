"""The types of the command line's arguments, for argparse: each parses the
text or raises argparse.ArgumentTypeError with the reason."""

from __future__ import annotations

import argparse
import math
from typing import Callable, TypeVar

__all__ = ["positive_int", "int_between", "positive_float", "fraction"]

T = TypeVar("T")


def _parse(text: str, kind: Callable[[str], T]) -> T:
    try:
        return kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not {'an integer' if kind is int else 'a number'}: {text!r}") from None


def positive_int(text: str) -> int:
    """An integer of at least 1."""
    value = _parse(text, int)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def int_between(low: int, high: int) -> Callable[[str], int]:
    """The type of an integer from `low` to `high`."""
    def parse(text: str) -> int:
        value = _parse(text, int)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {low} to {high}, got {value}")
        return value

    return parse


def positive_float(text: str) -> float:
    """A finite number above 0."""
    value = _parse(text, float)
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def fraction(text: str) -> float:
    """A number above 0 and at most 1."""
    value = _parse(text, float)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be above 0 and at most 1, got {text}")
    return value
