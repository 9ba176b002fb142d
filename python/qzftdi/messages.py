"""What the library prints: the debug dumps of written and read-back streams."""

from __future__ import annotations

from . import _lib


def enable_debug_print(write: bool, read: bool) -> None:
    """Dump every written / read-back stream on stdout as eight rows of 0 and 1."""
    _lib.library().enableDebugPrint(int(bool(write)), int(bool(read)))
