"""Finding the attached devices: serial numbers, the driver's details, and which drivers are loaded."""

from __future__ import annotations

import ctypes
from ctypes import byref, c_uint32
from typing import NamedTuple

from . import _lib
from .errors import ArgumentError, DriverError, Status

#: The backend choices (see :func:`set_backend`).
BACKENDS = ("auto", "vendor", "libftdi", "simulator")


class DeviceInfo(NamedTuple):
    """One entry of the driver's device list."""

    index: int
    flags: int
    type: int
    id: int
    location: int
    description: str
    serial: str
    backend: str = ""  # "vendor", "libftdi" or "simulator"


class DriverInfo(NamedTuple):
    """One driver: whether its library is installed and in use, from which file, which version."""

    name: str       # "vendor", "libftdi" or "simulator"
    installed: bool
    active: bool    # its devices are listed under the backend choice in force
    path: str       # "" when none is loaded (or built in)
    version: str    # "" when unknown


def drivers() -> list[DriverInfo]:
    """The drivers the library knows: FTDI's D2XX library, libftdi1, the simulator."""
    lib = _lib.library()
    count = lib.qz_getDrivers(None, 0)
    table = (_lib.QZ_DRIVER_INFO * count)()
    lib.qz_getDrivers(table, count)
    return [DriverInfo(d.name.decode(), bool(d.installed), bool(d.active),
                       d.path.decode(errors="replace"), d.version.decode(errors="replace"))
            for d in table]


def set_backend(name: str) -> None:
    """Where real devices come from: "auto", "vendor", "libftdi" or "simulator" (none)."""
    if name not in BACKENDS or _lib.library().qz_setBackend(name.encode()) != 0:
        raise ArgumentError(f"backend {name!r}: expected one of {', '.join(BACKENDS)}")


def backend() -> str:
    """The backend choice in force."""
    return _lib.library().qz_getBackend().decode()


def list_devices() -> list[str]:
    """Serial numbers of the attached devices that can be opened, in the driver's order.

    Raises DriverError when the driver cannot list them.
    """
    lib = _lib.library()
    count = lib.printConnectedDevices(0, 0)
    if count < 0:
        raise DriverError("listing the devices failed", None, Status.DRIVER_ERROR)
    if count == 0:
        return []
    buffers = [ctypes.create_string_buffer(_lib.SERIAL_BUFFER_SIZE) for _ in range(count)]
    pointers = (ctypes.c_char_p * count)(*[ctypes.cast(b, ctypes.c_char_p) for b in buffers])
    if lib.getConnectedDevices(pointers, count) != 0:
        raise DriverError("listing the devices failed", None, Status.DRIVER_ERROR)
    return [b.value.decode("ascii", "replace") for b in buffers]


def device_info() -> list[DeviceInfo]:
    """The driver's details of every attached device, listable or not (DriverError on failure)."""
    lib = _lib.library()
    entries: list[DeviceInfo] = []
    count = None
    index = 0
    while count is None or index < count:
        values = [c_uint32() for _ in range(4)]
        description = ctypes.create_string_buffer(_lib.DESCRIPTION_BUFFER_SIZE)
        serial = ctypes.create_string_buffer(_lib.SERIAL_BUFFER_SIZE)
        result = lib.getDeviceInfo(index, *[byref(v) for v in values], description, serial,
                                   1 if count is None else 0)
        if result < 0:
            raise DriverError(f"reading the details of device {index} failed", None,
                              Status.DRIVER_ERROR)
        if count is None:
            count = result
            if count == 0:
                break
        source = lib.qz_getDeviceBackend(index)
        entries.append(DeviceInfo(index, *[v.value for v in values],
                                  description.value.decode("ascii", "replace"),
                                  serial.value.decode("ascii", "replace"),
                                  source.decode() if source else ""))
        index += 1
    return entries
