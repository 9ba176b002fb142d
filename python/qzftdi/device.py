"""FTDI devices and the SPI and I2C chips wired to their pins."""

from __future__ import annotations

import ctypes
import operator
import threading
from ctypes import byref, c_uint8, c_uint32, c_void_p
from typing import Any, Callable, Iterable, NamedTuple, Optional, Sequence, TypeVar

from . import _lib
from .errors import (ArgumentError, BusError, DriverError, FrameNotFoundError, NackError, OutOfMemory,
                     QzError, ReadbackTimeout, Status, UnpluggedError, ft_status_name, nack_names)

_T = TypeVar("_T")

#: Lowest and highest latency timer the D2XX driver accepts, in ms.
LATENCY_TIMER_MIN = 2
LATENCY_TIMER_MAX = 255


def _int_in(name: str, value: Any, low: int, high: int) -> int:
    """``value`` as an int when low <= value <= high; TypeError / ArgumentError otherwise."""
    number = operator.index(value)
    if not low <= number <= high:
        raise ArgumentError(f"{name} {number:#x} does not fit: {low:#x} to {high:#x}"
                            if high > 255 else f"{name} {number} does not fit: {low} to {high}")
    return number


def _pin(name: str, value: Any) -> int:
    return _int_in(name + " pin", value, 0, 7)


def _status_text(status: int) -> str:
    lib = _lib.library()
    if lib.has("qz_statusText"):
        return lib.qz_statusText(status).decode("ascii", "replace")
    try:
        return Status(status).name.lower().replace("_", " ")
    except ValueError:
        return f"status {status}"


def _raise_for(status: int, detail: _lib.QZ_RESULT, what: str,
               nack_namer: Optional[Callable[[int], list[str]]] = None,
               sequence: Optional[str] = None) -> None:
    """Raises the exception of a status-API result (nothing for QZ_OK).

    ``what`` says what was being done ("read of register 0x12 on ..."); for a
    ``sequence`` ("batch", "stream") the register index of ``detail`` is named too.
    """
    if status == Status.OK:
        return
    index = detail.index if sequence else None
    where = what + (f" (register {index} of the {sequence})" if sequence else "")
    text = _status_text(status)
    if status == Status.NACK:
        names = nack_namer(detail.missingAcks) if nack_namer else [f"bits {detail.missingAcks:#x}"]
        raise NackError(f"{where}: {text}: {', '.join(names)}", names, detail.missingAcks, index)
    if status in (Status.BUS_HELD, Status.CLOCK_STRETCHED):
        raise BusError(f"{where}: {text}", Status(status), index)
    if status == Status.FRAME_NOT_FOUND:
        raise FrameNotFoundError(f"{where}: {text}", Status.FRAME_NOT_FOUND, index)
    if status in (Status.DRIVER_ERROR, Status.UNPLUGGED):
        cls = UnpluggedError if status == Status.UNPLUGGED else DriverError
        name = ft_status_name(detail.driverStatus)
        raise cls(f"{where}: {text}: {name}", detail.driverStatus, Status(status), index)
    if status == Status.TIMEOUT:
        raise ReadbackTimeout(f"{where}: {text}", Status.TIMEOUT, index)
    if status == Status.BAD_ARGUMENT:
        raise ArgumentError(f"{where}: {text}", Status.BAD_ARGUMENT, index)
    if status == Status.NO_MEMORY:
        raise OutOfMemory(f"{where}: {text}", Status.NO_MEMORY, index)
    raise QzError(f"{where}: {text}", None, index)


class DeviceInfo(NamedTuple):
    """One entry of the driver's device list."""

    index: int
    flags: int
    type: int
    id: int
    location: int
    description: str
    serial: str


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
        entries.append(DeviceInfo(index, *[v.value for v in values],
                                  description.value.decode("ascii", "replace"),
                                  serial.value.decode("ascii", "replace")))
        index += 1
    return entries


def enable_debug_print(write: bool, read: bool) -> None:
    """Dump every written / read-back stream on stdout as eight rows of 0 and 1."""
    _lib.library().enableDebugPrint(int(bool(write)), int(bool(read)))


class Device:
    """An open FTDI device in synchronous bit-bang mode; a context manager that closes it.

    Calls on one device are serialised by a lock, so a Device may be shared by threads.
    """

    def __init__(self, serial: str, baud: int = 1_000_000) -> None:
        """Opens the device with serial number ``serial`` at ``baud``.

        Raises DriverError with the driver's status (FT_DEVICE_NOT_FOUND, ...)
        when it cannot be opened, ArgumentError for a baud rate out of range.
        """
        baud = _int_in("baud rate", baud, 1, 0xFFFFFFFF)
        if not isinstance(serial, str) or len(serial.encode()) >= _lib.SERIAL_BUFFER_SIZE:
            raise ArgumentError(f"serial number {serial!r} does not fit")
        self.serial = serial
        self.baud = baud
        self.lock = threading.RLock()
        self._handle = c_void_p()
        status = _lib.library().setupFTDIdev(byref(self._handle), serial.encode(), baud)
        if status != 0:
            self._handle = c_void_p()
            raise DriverError(f"opening {serial}: {ft_status_name(status)}", status,
                              Status.DRIVER_ERROR)

    @property
    def closed(self) -> bool:
        """True once the device is closed."""
        return not self._handle.value

    @property
    def handle(self) -> c_void_p:
        """The driver's handle; ArgumentError once the device is closed."""
        if self.closed:
            raise ArgumentError(f"device {self.serial} is closed")
        return self._handle

    def close(self) -> None:
        """Closes the device (again: nothing). DriverError when the driver refuses."""
        with self.lock:
            if self.closed:
                return
            status = _lib.library().closeFTDI(self._handle)
            self._handle = c_void_p()
            if status != 0:
                raise DriverError(f"closing {self.serial}: {ft_status_name(status)}", status,
                                  Status.DRIVER_ERROR)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<qzftdi.Device {self.serial} {self.baud} Bd{' closed' if self.closed else ''}>"

    def call(self, name: str, what: str, *args: Any,
             nack_namer: Optional[Callable[[int], list[str]]] = None,
             sequence: Optional[str] = None) -> None:
        """Runs status-API function ``name`` on this device and raises what it reports."""
        detail = _lib.QZ_RESULT()
        fn = _lib.library().function(name)
        with self.lock:
            status = fn(self.handle, *args, byref(detail))
        _raise_for(status, detail, what, nack_namer, sequence)

    @property
    def latency_timer(self) -> int:
        """The USB latency timer in ms (2 to 255; the chip's default is 16)."""
        ms = c_uint8()
        self.call("qz_getLatencyTimer", f"reading the latency timer of {self.serial}", byref(ms))
        return ms.value

    @latency_timer.setter
    def latency_timer(self, ms: int) -> None:
        ms = _int_in("latency timer", ms, LATENCY_TIMER_MIN, LATENCY_TIMER_MAX)
        self.call("qz_setLatencyTimer", f"setting the latency timer of {self.serial}", ms)

    def write_pattern(self, mask: int, samples: Sequence[int]) -> int:
        """Plays ``samples`` (one byte per pin sample) on the pins of ``mask``; the bytes written.

        Raises DriverError when the driver fails.
        """
        mask = _int_in("pin mask", mask, 0, 255)
        data = bytes(samples)
        if not data or len(data) > 0x7FFFFFFF:
            raise ArgumentError("a pattern has 1 to 2**31-1 samples")
        buffer = (c_uint8 * len(data)).from_buffer_copy(data)
        with self.lock:
            written = _lib.library().writeCustomPattern(self.handle, mask, buffer, len(data))
        if written < 0:
            raise DriverError(f"writing a pattern to {self.serial} failed", None, Status.DRIVER_ERROR)
        return written

    def spi(self, **wiring: Any) -> "SpiChip":
        """An SpiChip on this device (keywords as for SpiChip)."""
        return SpiChip(self, **wiring)

    def i2c(self, **wiring: Any) -> "I2cChip":
        """An I2cChip on this device (keywords as for I2cChip)."""
        return I2cChip(self, **wiring)

    def i2c_bus(self, **wiring: Any) -> "I2cBus":
        """An I2cBus on this device (keywords as for I2cBus)."""
        return I2cBus(self, **wiring)


def open(serial: str, baud: int = 1_000_000) -> Device:  # noqa: A001 - the package's verb
    """Opens a device by serial number: ``with qzftdi.open("FT5XYZ12", 1_000_000) as dev: ...``."""
    return Device(serial, baud)


class _Descriptor:
    """Owns one protocol descriptor of the library and deletes it."""

    _delete_name = "deleteSPIDev"

    def __init__(self, device: Device) -> None:
        if not isinstance(device, Device):
            raise TypeError("a qzftdi.Device is needed")
        self.device = device
        self._proto = c_void_p()

    def _created(self, result: int) -> None:
        if result != 0 or not self._proto.value:
            self._proto = c_void_p()
            raise OutOfMemory("creating a descriptor failed", Status.NO_MEMORY)

    @property
    def descriptor(self) -> c_void_p:
        """The library's descriptor handle; ArgumentError once closed."""
        if not self._proto.value:
            raise ArgumentError(f"{self!r} is closed")
        return self._proto

    def close(self) -> None:
        """Deletes the descriptor (again: nothing)."""
        if self._proto.value:
            _lib.library().function(self._delete_name)(self._proto)
            self._proto = c_void_p()

    def __enter__(self: _T) -> _T:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # the interpreter may be shutting down
            pass


class _Chip(_Descriptor):
    """The register operations SPI and I2C chips share: batches and streams."""

    _reg_max = 0
    _value_max = 0

    def _what(self, action: str, reg: Optional[int] = None) -> str:
        return f"{action}{'' if reg is None else f' of register {reg:#x}'} on {self!r}"

    def _nack_namer(self, reading: bool) -> Optional[Callable[[int], list[str]]]:
        return None

    def _reg(self, reg: Any) -> int:
        return _int_in("register", reg, 0, self._reg_max)

    def _value(self, value: Any) -> int:
        return _int_in("value", value, 0, self._value_max)

    def read_many(self, regs: Iterable[int]) -> list[int]:
        """Reads a batch of registers (one frame each) in one USB round trip."""
        numbers = [self._reg(r) for r in regs]
        if not numbers:
            return []
        reg_array = (c_uint32 * len(numbers))(*numbers)
        data = (c_uint32 * len(numbers))()
        self.device.call("qz_multiRegRW", self._what(f"batch read of {len(numbers)} registers"),
                         self.descriptor, reg_array, data, len(numbers), 0,
                         nack_namer=self._nack_namer(True), sequence="batch")
        return list(data)

    def write_many(self, regs: Iterable[int], values: Iterable[int]) -> None:
        """Writes a batch of registers (one frame each) in one USB round trip."""
        numbers = [self._reg(r) for r in regs]
        words = [self._value(v) for v in values]
        if len(numbers) != len(words):
            raise ArgumentError(f"{len(numbers)} registers but {len(words)} values")
        if not numbers:
            return
        reg_array = (c_uint32 * len(numbers))(*numbers)
        data = (c_uint32 * len(words))(*words)
        self.device.call("qz_multiRegRW", self._what(f"batch write of {len(numbers)} registers"),
                         self.descriptor, reg_array, data, len(numbers), 1,
                         nack_namer=self._nack_namer(False), sequence="batch")

    def read_stream(self, reg: int, count: int) -> list[int]:
        """Reads ``count`` consecutive registers from ``reg`` in one frame (address sent once)."""
        reg = self._reg(reg)
        count = _int_in("register count", count, 1, 0xFFFFFFFF)
        data = (c_uint32 * count)()
        self.device.call("qz_multiRegStreamRW", self._what(f"stream read of {count} registers", reg),
                         self.descriptor, reg, data, count, 0,
                         nack_namer=self._nack_namer(True), sequence="stream")
        return list(data)

    def write_stream(self, reg: int, values: Iterable[int]) -> None:
        """Writes consecutive registers from ``reg`` in one frame (address sent once)."""
        reg = self._reg(reg)
        words = [self._value(v) for v in values]
        if not words:
            raise ArgumentError("a stream writes at least one register")
        data = (c_uint32 * len(words))(*words)
        self.device.call("qz_multiRegStreamRW",
                         self._what(f"stream write of {len(words)} registers", reg),
                         self.descriptor, reg, data, len(words), 1,
                         nack_namer=self._nack_namer(False), sequence="stream")


class SpiChip(_Chip):
    """An SPI register chip on four pins of a device; owns its descriptor (a context manager).

    Frames: chip select low, an optional read/write bit (1 = read), ``addr_bits``
    address bits and ``data_bits`` data bits, most significant first. ``sdi`` is
    the data into the chip, ``sdo`` the data out of it. ``oe`` = (pin, high) adds
    an output-enable pin asserted while the chip drives data out.
    """

    def __init__(self, device: Device, *, clk: int, cs: int, sdi: int, sdo: int,
                 addr_bits: int = 8, data_bits: int = 16, posedge: bool = True,
                 rw_bit: bool = True, oe: Optional[tuple[int, bool]] = None) -> None:
        super().__init__(device)
        pins = (_pin("clk", clk), _pin("cs", cs), _pin("sdi", sdi), _pin("sdo", sdo))
        self.addr_bits = _int_in("address bits", addr_bits, 0, 32)
        self.data_bits = _int_in("data bits", data_bits, 1, 32)
        oe_pin = None if oe is None else _pin("output-enable", oe[0])
        self._reg_max = (1 << self.addr_bits) - 1
        self._value_max = (1 << self.data_bits) - 1
        lib = _lib.library()
        self._created(lib.initSPIDev(byref(self._proto), *pins, self.addr_bits, self.data_bits,
                                     int(bool(posedge)), int(bool(rw_bit))))
        if oe is not None:
            lib.setupOE(byref(self._proto), oe_pin, int(bool(oe[1])))

    def __repr__(self) -> str:
        return f"<qzftdi.SpiChip {self.addr_bits}/{self.data_bits} bits on {self.device.serial}>"

    def read(self, reg: int) -> int:
        """The value of register ``reg``; any 32-bit value, 0xFFFFFFFF included."""
        reg = self._reg(reg)
        value = c_uint32()
        self.device.call("qz_readSPI", self._what("read", reg), self.descriptor, reg, byref(value))
        return value.value

    def write(self, reg: int, value: int) -> None:
        """Writes ``value`` to register ``reg``."""
        reg, value = self._reg(reg), self._value(value)
        self.device.call("qz_writeSPI", self._what("write", reg), self.descriptor, reg, value)


class _I2cDescriptor(_Chip):
    """An I2C descriptor: pins, strict timing, scan and recovery."""

    _delete_name = "deleteI2CDev"

    def _make(self, scl: int, sda_w: int, sda_r: int, address: int, reg_bytes: int,
              data_bytes: int, strict: bool, oe: Optional[tuple[int, bool]]) -> None:
        pins = (_pin("scl", scl), _pin("sda_w", sda_w), _pin("sda_r", sda_r))
        self.pins = pins
        self.address = _int_in("I2C address", address, 0, 0x7F)
        self.reg_bytes = _int_in("register bytes", reg_bytes, 0, 4)
        self.data_bytes = _int_in("data bytes", data_bytes, 1, 4)
        oe_pin = None if oe is None else _pin("output-enable", oe[0])
        self._reg_max = (1 << 8 * self.reg_bytes) - 1
        self._value_max = (1 << 8 * self.data_bytes) - 1
        lib = _lib.library()
        self._created(lib.initI2CDev(byref(self._proto), *pins, self.address, self.reg_bytes,
                                     self.data_bytes))
        if oe is not None:
            lib.setupOE(byref(self._proto), oe_pin, int(bool(oe[1])))
        self._strict_on = False
        if strict:
            self.strict = True

    @property
    def strict(self) -> bool:
        """Strict I2C timing: SCL low for two samples at least, SDA never changing with SCL.

        For slaves that sample the wire on their own clock or react late.
        """
        result = _lib.library().getI2CStrictTiming(self.descriptor)
        if result < 0:
            raise ArgumentError(f"{self!r}: no strict-timing setting")
        return bool(result)

    @strict.setter
    def strict(self, on: bool) -> None:
        if _lib.library().setI2CStrictTiming(self.descriptor, int(bool(on))) != 0:
            raise ArgumentError(f"{self!r}: strict timing refused")
        self._strict_on = bool(on)

    def scan(self) -> list[int]:
        """The 7-bit addresses (0x08 to 0x77) that acknowledge on this bus, in one round trip.

        Raises BusError when the bus is held, DriverError when the driver fails.
        """
        present = (c_uint8 * _lib.I2C_ADDRESS_COUNT)()
        count = c_uint32()
        self.device.call("qz_i2cScan", f"scan of {self!r}", self.descriptor, present, byref(count))
        return [a for a in range(_lib.I2C_ADDRESS_COUNT) if present[a]]

    def recover(self) -> None:
        """Frees a bus whose SDA a slave holds low: up to nine SCL pulses, then a STOP.

        Raises BusError when a line still reads low afterwards.
        """
        self.device.call("qz_i2cRecoverBus", f"recovery of {self!r}", self.descriptor)


class I2cBus(_I2cDescriptor):
    """The I2C bus on three pins of a device (SCL, SDA written, SDA read): scan and recovery."""

    def __init__(self, device: Device, *, scl: int, sda_w: int, sda_r: int,
                 strict: bool = False) -> None:
        super().__init__(device)
        self._make(scl, sda_w, sda_r, 0, 1, 1, strict, None)

    def __repr__(self) -> str:
        scl, sda_w, sda_r = self.pins
        return f"<qzftdi.I2cBus SCL {scl} SDA {sda_w}/{sda_r} on {self.device.serial}>"

    def chip(self, address: int, reg_bytes: int = 1, data_bytes: int = 1,
             strict: Optional[bool] = None) -> "I2cChip":
        """An I2cChip at ``address`` on this bus (strict timing as the bus unless given)."""
        scl, sda_w, sda_r = self.pins
        return I2cChip(self.device, scl=scl, sda_w=sda_w, sda_r=sda_r, address=address,
                       reg_bytes=reg_bytes, data_bytes=data_bytes,
                       strict=self._strict_on if strict is None else strict)


class I2cChip(_I2cDescriptor):
    """An I2C register chip at a 7-bit address; owns its descriptor (a context manager).

    Frames: the address, ``reg_bytes`` register-address bytes and ``data_bytes``
    data bytes, most significant first. SDA is written on ``sda_w`` (through a
    resistor, diode or open-drain buffer) and read on ``sda_r``.
    """

    def __init__(self, device: Device, *, scl: int, sda_w: int, sda_r: int, address: int,
                 reg_bytes: int = 1, data_bytes: int = 1, strict: bool = False,
                 oe: Optional[tuple[int, bool]] = None) -> None:
        super().__init__(device)
        self._make(scl, sda_w, sda_r, address, reg_bytes, data_bytes, strict, oe)

    def __repr__(self) -> str:
        return f"<qzftdi.I2cChip {self.address:#04x} on {self.device.serial}>"

    def _nack_namer(self, reading: bool) -> Callable[[int], list[str]]:
        return lambda bits: nack_names(bits, self.reg_bytes, reading)

    def read(self, reg: int) -> int:
        """The value of register ``reg``. NackError names the acknowledges that did not come."""
        reg = self._reg(reg)
        value = c_uint32()
        self.device.call("qz_readI2C", self._what("read", reg), self.descriptor, reg, byref(value),
                         nack_namer=self._nack_namer(True))
        return value.value

    def write(self, reg: int, value: int) -> None:
        """Writes ``value`` to register ``reg``. NackError names the acknowledges that did not come."""
        reg, value = self._reg(reg), self._value(value)
        self.device.call("qz_writeI2C", self._what("write", reg), self.descriptor, reg, value,
                         nack_namer=self._nack_namer(False))
