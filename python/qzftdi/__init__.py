"""qzftdi: SPI and I2C registers through the GPIO pins of an FTDI chip (QZ_FTDIx64 from Python).

    import qzftdi
    with qzftdi.open("FT5XYZ12", 1_000_000) as dev:
        adc = qzftdi.SpiChip(dev, clk=0, cs=3, sdi=1, sdo=2, addr_bits=8, data_bits=16)
        adc.write(0x12, 0xBEEF)
        print(hex(adc.read(0x12)))

Failures are exceptions derived from QzError: NackError, BusError, DriverError,
ReadbackTimeout (a TimeoutError), ArgumentError (a ValueError), ...
The simulated bench is in :mod:`qzftdi.sim`.
"""

from ._lib import LIBRARY_ENV, LibraryNotFound, MissingFunction, library
from .bus import I2cBus, Message, read, write
from .chips import I2cChip, SpiChip
from .device import Device, open
from .discovery import (BACKENDS, DeviceInfo, DriverInfo, backend, device_info, drivers, list_devices,
                        set_backend)
from .messages import enable_debug_print
from .errors import (ArgumentError, BenchFileError, BusError, DriverError, FrameNotFoundError, FtStatus,
                     NackError, OutOfMemory, QzError, ReadbackTimeout, Status, UnpluggedError)

__version__ = "1.0.1"

__all__ = [
    "LIBRARY_ENV", "LibraryNotFound", "MissingFunction", "library",
    "Device", "DeviceInfo", "I2cBus", "Message", "read", "write", "I2cChip", "SpiChip", "device_info", "enable_debug_print",
    "list_devices", "open", "BACKENDS", "DriverInfo", "backend", "drivers", "set_backend",
    "ArgumentError", "BenchFileError", "BusError", "DriverError", "FrameNotFoundError", "FtStatus",
    "NackError", "OutOfMemory", "QzError", "ReadbackTimeout", "Status", "UnpluggedError",
]
