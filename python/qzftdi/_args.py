"""Checks of the arguments the package passes to the library."""

from __future__ import annotations

import operator
from typing import Any

from .errors import ArgumentError


def int_in(name: str, value: Any, low: int, high: int) -> int:
    """``value`` as an int when low <= value <= high; TypeError / ArgumentError otherwise."""
    number = operator.index(value)
    if not low <= number <= high:
        raise ArgumentError(f"{name} {number:#x} does not fit: {low:#x} to {high:#x}"
                            if high > 255 else f"{name} {number} does not fit: {low} to {high}")
    return number


def pin(name: str, value: Any) -> int:
    """A pin number 0 to 7 (ArgumentError otherwise)."""
    return int_in(name + " pin", value, 0, 7)
