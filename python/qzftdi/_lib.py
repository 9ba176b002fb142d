"""Finding and binding the QZ_FTDIx64 shared library.

The library is looked for, in this order:

1. the path in the ``QZ_FTDI_LIBRARY`` environment variable;
2. a copy packaged next to this module (``libQZ_FTDIx64.so`` / ``QZ_FTDIx64.dll``);
3. the build folders of the source tree this package sits in (``build/default``,
   ``build/release``, ``build/windows/bin``), when used from a checkout;
4. the system's search path (``ctypes.util.find_library``, then the plain name,
   which honours ``LD_LIBRARY_PATH`` on Linux; ``PATH`` on Windows).

Functions are bound on first use from one table of C signatures, so a library
that lacks a newer function still loads; :meth:`Library.has` tells whether a
function is there.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import POINTER, c_char, c_char_p, c_int32, c_int64, c_uint8, c_uint32, c_uint64, c_void_p
from pathlib import Path
from typing import Any, Callable, Optional

#: The environment variable that names the library file to load.
LIBRARY_ENV = "QZ_FTDI_LIBRARY"

#: Buffer sizes the C interface expects callers to provide.
SERIAL_BUFFER_SIZE = 64
DESCRIPTION_BUFFER_SIZE = 64
I2C_ADDRESS_COUNT = 128


class QZ_RESULT(ctypes.Structure):
    """The detail record that every status-API function fills."""

    _fields_ = [
        ("status", c_int32),
        ("missingAcks", c_uint32),
        ("index", c_uint32),
        ("driverStatus", c_uint32),
    ]


class QZ_I2C_MSG(ctypes.Structure):
    """One I2C message of qz_i2cTransfer: ``len`` bytes written from, or read into, ``buf``."""

    _fields_ = [
        ("addr", c_uint8),
        ("read", c_uint8),
        ("len", c_uint32),
        ("buf", POINTER(c_uint8)),
    ]


class QZ_SPI_SEGMENT(ctypes.Structure):
    """One segment of qz_spiTransferSegments (``tx`` NULL: the fill byte; ``rx`` NULL: dropped)."""

    _fields_ = [
        ("tx", POINTER(c_uint8)),
        ("rx", POINTER(c_uint8)),
        ("len", c_uint32),
    ]


#: Limits of one raw transfer (the C header's QZ_I2C_MSG_MAX, QZ_SPI_TRANSFER_MAX).
I2C_MSG_MAX = 65536
SPI_TRANSFER_MAX = 1048576
SPI_CS_ACTIVE_HIGH = 1
SPI_LSB_FIRST = 2


class QZ_DRIVER_INFO(ctypes.Structure):
    """One driver as qz_getDrivers describes it."""

    _fields_ = [
        ("name", c_char * 16),
        ("installed", c_int32),
        ("active", c_int32),
        ("path", c_char * 256),
        ("version", c_char * 32),
    ]


#: void callback(int32_t kind, const char* text, void* context): one library message.
MESSAGE_CALLBACK = ctypes.CFUNCTYPE(None, c_int32, c_char_p, c_void_p)

_P = c_void_p
_R = POINTER(QZ_RESULT)
_U32P = POINTER(c_uint32)
_U8P = POINTER(c_uint8)

# name: (result type, argument types)
_SIGNATURES: dict[str, tuple[Any, list[Any]]] = {
    # discovery and connection
    "printConnectedDevices": (c_int32, [c_int32, c_int32]),
    "getConnectedDevices": (c_int32, [POINTER(c_char_p), c_uint32]),
    "getDeviceInfo": (c_int32, [c_uint32, _U32P, _U32P, _U32P, _U32P, c_char_p, c_char_p, c_int32]),
    "setupFTDIdev": (c_int32, [POINTER(c_void_p), c_char_p, c_uint32]),
    "closeFTDI": (c_int32, [_P]),
    "qz_getDrivers": (c_int32, [POINTER(QZ_DRIVER_INFO), c_uint32]),
    "qz_setBackend": (c_int32, [c_char_p]),
    "qz_getBackend": (c_char_p, []),
    "qz_getDeviceBackend": (c_char_p, [c_uint32]),
    # descriptors
    "initSPIDev": (c_int32, [POINTER(c_void_p), c_uint8, c_uint8, c_uint8, c_uint8, c_uint8, c_uint8,
                             c_int32, c_int32]),
    "initI2CDev": (c_int32, [POINTER(c_void_p), c_uint8, c_uint8, c_uint8, c_uint8, c_uint8, c_uint8]),
    "setupOE": (c_int32, [POINTER(c_void_p), c_uint8, c_int32]),
    "deleteSPIDev": (c_int32, [_P]),
    "deleteI2CDev": (c_int32, [_P]),
    # pins and diagnostics
    "writeCustomPattern": (c_int32, [_P, c_uint8, _U8P, c_int32]),
    "enableDebugPrint": (c_int32, [c_int32, c_int32]),
    "setDebugDelim": (c_int32, [c_char]),
    "getDLLVersion": (None, []),
    "qz_setMessageTarget": (c_int32, [c_int32, MESSAGE_CALLBACK, c_void_p]),
    "qz_getMessageTarget": (c_int32, []),
    "setI2CStrictTiming": (c_int32, [_P, c_int32]),
    "getI2CStrictTiming": (c_int32, [_P]),
    # the status API
    "qz_statusText": (c_char_p, [c_int32]),
    "qz_ackText": (c_int32, [c_uint32, c_uint32, c_int32, c_char_p, c_uint32]),
    "qz_detailText": (c_int32, [_R, c_char_p, c_uint32]),
    "qz_writeSPI": (c_int32, [_P, _P, c_uint32, c_uint32, _R]),
    "qz_readSPI": (c_int32, [_P, _P, c_uint32, _U32P, _R]),
    "qz_writeI2C": (c_int32, [_P, _P, c_uint32, c_uint32, _R]),
    "qz_readI2C": (c_int32, [_P, _P, c_uint32, _U32P, _R]),
    "qz_multiRegRW": (c_int32, [_P, _P, _U32P, _U32P, c_uint32, c_int32, _R]),
    "qz_multiRegStreamRW": (c_int32, [_P, _P, c_uint32, _U32P, c_uint32, c_int32, _R]),
    "qz_i2cScan": (c_int32, [_P, _P, _U8P, _U32P, _R]),
    "qz_i2cRecoverBus": (c_int32, [_P, _P, _R]),
    "qz_setLatencyTimer": (c_int32, [_P, c_uint8, _R]),
    "qz_getLatencyTimer": (c_int32, [_P, _U8P, _R]),
    "qz_setLowLatency": (c_int32, [_P, c_int32, _R]),
    "setLowLatency": (c_int32, [_P, c_int32]),
    "getLowLatency": (c_int32, [_P]),
    # chips without register maps
    "qz_i2cTransfer": (c_int32, [_P, _P, POINTER(QZ_I2C_MSG), c_uint32, _R]),
    "qz_spiTransferSegments": (c_int32, [_P, _P, POINTER(QZ_SPI_SEGMENT), c_uint32, c_uint8, _R]),
    "qz_setSPIMode": (c_int32, [_P, c_int32, c_uint32]),
    "qz_setBusClock": (c_int32, [_P, c_uint32]),
    "qz_getBusClock": (c_int32, [_P, _U32P]),
    "qz_getWireClock": (c_int32, [_P, _P, _U32P]),
    "qz_readPins": (c_int32, [_P, _U8P, _R]),
    "qz_playPattern": (c_int32, [_P, c_uint8, _U8P, c_uint32, _U8P, _R]),
    "qz_refusalText": (c_char_p, []),
    # the simulated bench
    "qzsim_add_device": (c_int32, [c_char_p, c_char_p, c_int32]),
    "qzsim_remove_device": (c_int32, [c_char_p]),
    "qzsim_clear_bench": (None, []),
    "qzsim_set_readback_lag": (c_int32, [c_char_p, c_uint32]),
    "qzsim_call_count": (c_int64, [c_char_p, c_char_p]),
    "qzsim_read_trace": (c_int64, [c_char_p, _U8P, _U8P, c_uint32]),
    "qzsim_clear_trace": (c_int32, [c_char_p]),
    "qzsim_write_vcd": (c_int32, [c_char_p, c_char_p]),
    "qzsim_set_profile": (c_int32, [c_char_p, c_char_p]),
    "qzsim_set_custom_profile": (c_int32, [c_char_p, c_uint32, c_uint32, c_uint32, c_uint32, c_uint32,
                                           c_uint32]),
    "qzsim_set_timed": (c_int32, [c_char_p, c_int32]),
    "qzsim_set_driver_buffer": (c_int32, [c_char_p, c_uint32]),
    "qzsim_set_write_timeout": (c_int32, [c_char_p, c_uint32]),
    "qzsim_set_lossy": (c_int32, [c_char_p, c_int32]),
    "qzsim_get_latency_timer": (c_int32, [c_char_p]),
    "qzsim_clock_ns": (c_int64, [c_char_p]),
    "qzsim_stall_count": (c_int64, [c_char_p]),
    "qzsim_dropped_count": (c_int64, [c_char_p]),
    "qzsim_unplug_at_call": (c_int32, [c_char_p, c_uint32]),
    "qzsim_unplug_at_time": (c_int32, [c_char_p, c_uint64]),
    "qzsim_fail_nth_call": (c_int32, [c_char_p, c_char_p, c_uint32, c_uint32]),
    "qzsim_set_short_write": (c_int32, [c_char_p, c_int64]),
    "qzsim_set_readback_drip": (c_int32, [c_char_p, c_int64]),
    "qzsim_set_readback_stall": (c_int32, [c_char_p, c_int64]),
    "qzsim_clear_faults": (c_int32, [c_char_p]),
    "qzsim_set_trace_limit": (c_int32, [c_char_p, c_uint32]),
    "qzsim_trace_dropped": (c_int64, [c_char_p]),
    "qzsim_set_pin_name": (c_int32, [c_char_p, c_uint8, c_char_p]),
    "qzsim_load_bench": (c_int32, [c_char_p, POINTER(c_char), c_uint32]),
    "qzsim_save_state": (c_int32, [c_char_p, POINTER(c_char), c_uint32]),
    "qzsim_load_state": (c_int32, [c_char_p, POINTER(c_char), c_uint32]),
    "qzsim_attach_spi": (c_int32, [c_char_p, c_uint8, c_uint8, c_uint8, c_uint8, c_uint8, c_uint8,
                                   c_int32, c_int32]),
    "qzsim_spi_output_enable": (c_int32, [c_int32, c_uint8, c_int32]),
    "qzsim_spi_set_mode": (c_int32, [c_int32, c_uint32, c_int32, c_int32]),
    "qzsim_spi_set_data_valid": (c_int32, [c_int32, c_int32]),
    "qzsim_attach_spi_flash": (c_int32, [c_char_p, c_uint8, c_uint8, c_uint8, c_uint8, c_uint32,
                                         c_uint32]),
    "qzsim_spi_flash_set_busy": (c_int32, [c_int32, c_uint32, c_uint32]),
    "qzsim_attach_i2c_expander": (c_int32, [c_char_p, c_uint8, c_uint8, c_uint8, c_uint8]),
    "qzsim_attach_i2c": (c_int32, [c_char_p, c_uint8, c_uint8, c_uint8, c_uint8, c_uint8, c_uint8]),
    "qzsim_i2c_fault": (c_int32, [c_int32, c_int32, c_int32]),
    "qzsim_i2c_set_reaction_delay": (c_int32, [c_int32, c_uint32]),
    "qzsim_i2c_set_speed": (c_int32, [c_int32, c_int32]),
    "qzsim_i2c_set_clock_stretch": (c_int32, [c_int32, c_uint32]),
    "qzsim_i2c_set_eeprom": (c_int32, [c_int32, c_uint32, c_uint32]),
    "qzsim_set_register_width": (c_int32, [c_int32, c_uint32, c_uint32]),
    "qzsim_set_fill": (c_int32, [c_int32, c_uint32]),
    "qzsim_set_log_limit": (c_int32, [c_int32, c_uint32]),
    "qzsim_log_count": (c_int64, [c_int32]),
    "qzsim_violation_count": (c_int64, [c_int32]),
    "qzsim_clear_logs": (c_int32, [c_int32]),
    "qzsim_get_register": (c_int32, [c_int32, c_uint32, _U32P]),
    "qzsim_set_register": (c_int32, [c_int32, c_uint32, c_uint32]),
}


class LibraryNotFound(OSError):
    """No QZ_FTDIx64 library could be loaded from any of the places searched."""


class MissingFunction(AttributeError, NotImplementedError):
    """The loaded library is older than this package and lacks a function."""


def _file_names() -> list[str]:
    if sys.platform == "win32":
        return ["QZ_FTDIx64.dll"]
    if sys.platform == "darwin":
        return ["libQZ_FTDIx64.dylib"]
    return ["libQZ_FTDIx64.so"]


def candidate_paths() -> list[str]:
    """Every place the library is looked for, first to last (see the module text)."""
    here = Path(__file__).resolve().parent
    names = _file_names()
    found: list[str] = []
    env = os.environ.get(LIBRARY_ENV)
    if env:
        found.append(env)
    found += [str(here / n) for n in names]
    source_root = here.parent.parent
    if (source_root / "QZ_FTDI" / "QZ_FTDI.h").is_file():
        for build in ("build/default", "build/release", "build/windows/bin"):
            found += [str(source_root / build / n) for n in names]
    system = ctypes.util.find_library("QZ_FTDIx64")
    if system:
        found.append(system)
    found += names
    return found


def _load_first() -> tuple[ctypes.CDLL, str]:
    env = os.environ.get(LIBRARY_ENV)
    errors: list[str] = []
    for path in candidate_paths():
        is_file_path = os.sep in path or (os.altsep is not None and os.altsep in path)
        if is_file_path and not os.path.exists(path):
            if path == env:
                raise LibraryNotFound(f"{LIBRARY_ENV}={env}: no such file")
            continue
        try:
            # x64 Windows has one calling convention, so CDLL serves the DLL too.
            return ctypes.CDLL(path), path
        except OSError as e:
            if path == env:
                raise LibraryNotFound(f"{LIBRARY_ENV}={env}: {e}") from e
            errors.append(f"{path}: {e}")
    raise LibraryNotFound(
        "QZ_FTDIx64 not found: set " + LIBRARY_ENV + " to the library file, copy it next to the "
        "qzftdi package, or put it on the system's library path" +
        ("" if not errors else " (" + "; ".join(errors) + ")"))


class Library:
    """The loaded library, with its functions bound from the signature table on first use."""

    def __init__(self, dll: ctypes.CDLL, path: str) -> None:
        self.dll = dll
        self.path = path
        self._bound: dict[str, Callable[..., Any]] = {}

    def has(self, name: str) -> bool:
        """True when the library exports the function ``name``."""
        try:
            self.function(name)
            return True
        except MissingFunction:
            return False

    def function(self, name: str) -> Callable[..., Any]:
        """The C function ``name`` with its signature set; MissingFunction if absent."""
        fn = self._bound.get(name)
        if fn is not None:
            return fn
        restype, argtypes = _SIGNATURES[name]
        try:
            fn = getattr(self.dll, name)
        except AttributeError:
            raise MissingFunction(f"{self.path} has no function {name}: the library is older than "
                                  "this qzftdi package") from None
        fn.restype = restype
        fn.argtypes = argtypes
        self._bound[name] = fn
        return fn

    def __getattr__(self, name: str) -> Callable[..., Any]:
        if name not in _SIGNATURES:
            raise AttributeError(name)
        return self.function(name)


_library: Optional[Library] = None
_lock = threading.Lock()
#: Called with the library once it is loaded (the message routing hooks in here).
on_load: list[Callable[[Library], None]] = []


def library() -> Library:
    """The process's one QZ_FTDIx64 library, loaded on first call (LibraryNotFound if none)."""
    global _library
    with _lock:
        if _library is None:
            dll, path = _load_first()
            loaded = Library(dll, path)
            for hook in on_load:
                hook(loaded)
            _library = loaded
        return _library
