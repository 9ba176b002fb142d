"""What the library prints: its "FTDI Error, ..." lines, the device list and the debug dumps.

They go to the :mod:`logging` logger ``qzftdi`` (errors at ERROR, the device
list and version banner at INFO, the pattern dumps at DEBUG), never to the
program's stdout. ``logging.basicConfig(level=logging.DEBUG)`` shows them all.
"""

from __future__ import annotations

import atexit
import ctypes
import logging
from typing import Optional

from . import _lib

#: The logger the library's messages go to.
logger = logging.getLogger("qzftdi")

_LEVELS = {0: logging.ERROR, 1: logging.INFO, 2: logging.DEBUG}
_TARGET_STDOUT = 0
_TARGET_CALLBACK = 3


def _log(kind: int, text: Optional[bytes], _context: Optional[int]) -> None:
    try:
        logger.log(_LEVELS.get(kind, logging.INFO), "%s",
                   (text or b"").decode("utf-8", "replace"))
    except Exception:  # a failing handler must not unwind into the library
        pass


_callback = _lib.MESSAGE_CALLBACK(_log)


def _route_to_logging(lib: _lib.Library) -> None:
    if not lib.has("qz_setMessageTarget"):
        return
    lib.qz_setMessageTarget(_TARGET_CALLBACK, _callback, None)
    # At exit the interpreter goes before the library: stdout again from then on.
    atexit.register(lib.qz_setMessageTarget, _TARGET_STDOUT, ctypes.cast(None, _lib.MESSAGE_CALLBACK),
                    None)


_lib.on_load.append(_route_to_logging)


def enable_debug_print(write: bool, read: bool) -> None:
    """Dumps every written / read-back stream as eight rows of 0 and 1 to the logger at DEBUG."""
    _lib.library().enableDebugPrint(int(bool(write)), int(bool(read)))
