"""The SPI and I2C register chips wired to a device's pins."""

from __future__ import annotations

from ctypes import POINTER, byref, c_uint8, c_uint32, c_void_p, cast
from typing import Any, Callable, Iterable, Optional, TypeVar

from . import _lib
from ._args import int_in, pin
from .device import Device
from .errors import ArgumentError, Status, nack_names

_T = TypeVar("_T")

#: The SCL clock of I2C buses and chips unless given: standard mode.
I2C_DEFAULT_HZ = 100_000


def _refused(what: str) -> ArgumentError:
    """ArgumentError for a refused descriptor call, with the library's reason."""
    why = _lib.library().qz_refusalText().decode("utf-8", "replace")
    return ArgumentError(f"{what}: {why}" if why else what, Status.BAD_ARGUMENT)


class _Descriptor:
    """Owns one protocol descriptor of the library and deletes it."""

    _delete_name = "deleteSPIDev"

    def __init__(self, device: Device) -> None:
        if not isinstance(device, Device):
            raise TypeError("a qzftdi.Device is needed")
        self.device = device
        self._proto = c_void_p()

    def _created(self, result: int, wiring: str) -> None:
        """Raises ArgumentError when the library refused the descriptor ``wiring`` names."""
        if result != 0 or not self._proto.value:
            self._proto = c_void_p()
            raise _refused(f"{wiring} refused")

    def _output_enable(self, oe: Optional[tuple[int, bool]]) -> None:
        """Adds the output-enable pin ``oe`` = (pin, high); ArgumentError (and no descriptor)
        when it is refused: on a board the buffer would never switch."""
        if oe is None:
            return
        oe_pin = pin("output-enable", oe[0])
        if _lib.library().setupOE(byref(self._proto), oe_pin, int(bool(oe[1]))) != 0:
            error = _refused(f"output-enable pin {oe_pin} refused")
            self.close()
            raise error

    @property
    def frequency(self) -> int:
        """The bus clock setting (SCL or SCK) in Hz; 0: the device's baud rate clocks the bus.

        Each transfer sets the baud rate that clocks the bus at most this fast
        (when the device runs at another): :attr:`wire_frequency` is the rate
        the chip's sample clock actually gives.
        """
        hz = c_uint32()
        if _lib.library().qz_getBusClock(self.descriptor, byref(hz)) != Status.OK:
            raise ArgumentError(f"{self!r}: no bus clock setting")
        return hz.value

    @frequency.setter
    def frequency(self, hz: int) -> None:
        hz = int_in("bus clock in Hz", hz, 0, 0xFFFFFFFF)
        if _lib.library().qz_setBusClock(self.descriptor, hz) != Status.OK:
            raise _refused(f"{self!r}: bus clock {hz} Hz refused")

    @property
    def wire_frequency(self) -> int:
        """The SCL or SCK rate in Hz this descriptor's transfers run at on the device."""
        hz = c_uint32()
        with self.device.lock:
            status = _lib.library().qz_getWireClock(self.device.handle, self.descriptor, byref(hz))
        if status != Status.OK:
            raise ArgumentError(f"{self!r}: no bus clock on {self.device!r}")
        return hz.value

    def _clocked(self, frequency: int) -> None:
        """Sets the bus clock; ArgumentError (and no descriptor) when it is refused."""
        try:
            self.frequency = frequency
        except ArgumentError:
            self.close()
            raise

    @property
    def descriptor(self) -> c_void_p:
        """The library's descriptor handle; ArgumentError once closed."""
        if not self._proto.value:
            raise ArgumentError(f"{self!r} is closed")
        return self._proto

    def close(self) -> None:
        """Deletes the descriptor (again: nothing).

        Waits for an operation in progress on the device; an operation that
        was waiting for the device then finds the chip closed (ArgumentError).
        """
        with self.device.lock:
            if self._proto.value:
                _lib.library().function(self._delete_name)(self._proto)
                self._proto = c_void_p()

    def _call(self, name: str, what: str, *args: Any, **options: Any) -> None:
        """Runs status-API function ``name`` with this descriptor, taken under the device's lock.

        The descriptor is read once the lock is held, so a close that came
        first is seen, never a handle deleted meanwhile.
        """
        with self.device.lock:
            self.device._call(name, what, self.descriptor, *args, **options)

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
        return int_in("register", reg, 0, self._reg_max)

    def _value(self, value: Any) -> int:
        return int_in("value", value, 0, self._value_max)

    def read_many(self, regs: Iterable[int]) -> list[int]:
        """Reads a batch of registers (one frame each) in one USB round trip."""
        numbers = [self._reg(r) for r in regs]
        if not numbers:
            return []
        reg_array = (c_uint32 * len(numbers))(*numbers)
        data = (c_uint32 * len(numbers))()
        self._call("qz_multiRegRW", self._what(f"batch read of {len(numbers)} registers"),
                   reg_array, data, len(numbers), 0,
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
        self._call("qz_multiRegRW", self._what(f"batch write of {len(numbers)} registers"),
                   reg_array, data, len(numbers), 1,
                   nack_namer=self._nack_namer(False), sequence="batch")

    def read_stream(self, reg: int, count: int) -> list[int]:
        """Reads ``count`` consecutive registers from ``reg`` in one frame (address sent once)."""
        reg = self._reg(reg)
        count = int_in("register count", count, 1, 0xFFFFFFFF)
        data = (c_uint32 * count)()
        self._call("qz_multiRegStreamRW", self._what(f"stream read of {count} registers", reg),
                   reg, data, count, 0,
                   nack_namer=self._nack_namer(True), sequence="stream")
        return list(data)

    def write_stream(self, reg: int, values: Iterable[int]) -> None:
        """Writes consecutive registers from ``reg`` in one frame (address sent once)."""
        reg = self._reg(reg)
        words = [self._value(v) for v in values]
        if not words:
            raise ArgumentError("a stream writes at least one register")
        data = (c_uint32 * len(words))(*words)
        self._call("qz_multiRegStreamRW",
                   self._what(f"stream write of {len(words)} registers", reg), reg, data, len(words), 1,
                   nack_namer=self._nack_namer(False), sequence="stream")


class SpiChip(_Chip):
    """An SPI register chip on four pins of a device; owns its descriptor (a context manager).

    Frames: chip select low, an optional read/write bit (1 = read), ``addr_bits``
    address bits and ``data_bits`` data bits, most significant first. ``sdi`` is
    the data into the chip, ``sdo`` the data out of it. ``oe`` = (pin, high) adds
    an output-enable pin asserted while the chip drives data out. ``mode`` (0 to
    3: clock polarity << 1 | phase) overrides ``posedge``; ``cs_high`` makes the
    chip select active high, ``lsb_first`` sends the least significant bit first.
    ``frequency`` (Hz) clocks SCK at most that fast; 0 keeps the device's baud rate.
    """

    def __init__(self, device: Device, *, clk: int, cs: int, sdi: int, sdo: int,
                 addr_bits: int = 8, data_bits: int = 16, posedge: bool = True,
                 rw_bit: bool = True, oe: Optional[tuple[int, bool]] = None,
                 mode: Optional[int] = None, cs_high: bool = False,
                 lsb_first: bool = False, frequency: int = 0) -> None:
        super().__init__(device)
        pins = (pin("clk", clk), pin("cs", cs), pin("sdi", sdi), pin("sdo", sdo))
        self.addr_bits = int_in("address bits", addr_bits, 0, 32)
        self.data_bits = int_in("data bits", data_bits, 1, 32)
        if oe is not None:
            pin("output-enable", oe[0])
        self._reg_max = (1 << self.addr_bits) - 1
        self._value_max = (1 << self.data_bits) - 1
        self._created(_lib.library().initSPIDev(byref(self._proto), *pins, self.addr_bits,
                                                self.data_bits, int(bool(posedge)),
                                                int(bool(rw_bit))),
                      f"SPI chip on clk {pins[0]}, cs {pins[1]}, sdi {pins[2]}, sdo {pins[3]}")
        self._output_enable(oe)
        flags = (_lib.SPI_CS_ACTIVE_HIGH if cs_high else 0) | (_lib.SPI_LSB_FIRST if lsb_first else 0)
        if mode is not None or flags:
            chosen = (0 if posedge else 2) if mode is None else int_in("SPI mode", mode, 0, 3)
            if _lib.library().qz_setSPIMode(self._proto, chosen, flags) != Status.OK:
                error = _refused(f"SPI mode {chosen} refused")
                self.close()
                raise error
        self._clocked(frequency)

    def exchange(self, data: Iterable[int] = b"", read: int = 0) -> bytes:
        """Clocks ``data`` out under one chip select, full duplex; the bytes clocked in.

        With ``read`` = N, N more bytes (0xFF out) follow under the same chip
        select and only those are returned (a command, then its answer).
        """
        out = bytes(data)
        read = int_in("bytes to read", read, 0, _lib.SPI_TRANSFER_MAX)
        if not out and not read:
            raise ArgumentError("an exchange clocks at least one byte")
        if len(out) + read > _lib.SPI_TRANSFER_MAX:
            raise ArgumentError(f"an exchange clocks at most {_lib.SPI_TRANSFER_MAX} bytes")
        tx = (c_uint8 * max(len(out), 1)).from_buffer_copy(out or b"\0")
        rx = (c_uint8 * (read or len(out)))()
        u8 = POINTER(c_uint8)
        parts = ([(cast(tx, u8), None, len(out))] if out and read else []) + \
            [(None if read else cast(tx, u8), cast(rx, u8), read or len(out))]
        segments = (_lib.QZ_SPI_SEGMENT * len(parts))(*parts)
        self._call("qz_spiTransferSegments", f"exchange of {len(out)} + {read} bytes on {self!r}",
                   segments, len(parts), 0xFF)
        return bytes(rx)

    def __repr__(self) -> str:
        return f"<qzftdi.SpiChip {self.addr_bits}/{self.data_bits} bits on {self.device.serial}>"

    def read(self, reg: int) -> int:
        """The value of register ``reg``; any 32-bit value, 0xFFFFFFFF included."""
        reg = self._reg(reg)
        value = c_uint32()
        self._call("qz_readSPI", self._what("read", reg), reg, byref(value))
        return value.value

    def write(self, reg: int, value: int) -> None:
        """Writes ``value`` to register ``reg``."""
        reg, value = self._reg(reg), self._value(value)
        self._call("qz_writeSPI", self._what("write", reg), reg, value)


class _I2cDescriptor(_Descriptor):
    """An I2C descriptor: pins, strict timing, scan and recovery."""

    _delete_name = "deleteI2CDev"

    def _make(self, scl: int, sda_w: int, sda_r: int, address: int, reg_bytes: int,
              data_bytes: int, strict: bool, oe: Optional[tuple[int, bool]],
              frequency: int) -> None:
        pins = (pin("scl", scl), pin("sda_w", sda_w), pin("sda_r", sda_r))
        self.pins = pins
        self.address = int_in("I2C address", address, 0, 0x7F)
        self.reg_bytes = int_in("register bytes", reg_bytes, 0, 4)
        self.data_bytes = int_in("data bytes", data_bytes, 1, 4)
        if oe is not None:
            pin("output-enable", oe[0])
        self._reg_max = (1 << 8 * self.reg_bytes) - 1
        self._value_max = (1 << 8 * self.data_bytes) - 1
        self._created(_lib.library().initI2CDev(byref(self._proto), *pins, self.address,
                                                self.reg_bytes, self.data_bytes),
                      f"I2C bus on scl {pins[0]}, sda_w {pins[1]}, sda_r {pins[2]}")
        self._output_enable(oe)
        self._strict_on = False
        if strict:
            self.strict = True
        self._clocked(frequency)

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
        self._call("qz_i2cScan", f"scan of {self!r}", present, byref(count))
        return [a for a in range(_lib.I2C_ADDRESS_COUNT) if present[a]]

    def recover(self) -> None:
        """Frees a bus whose SDA a slave holds low: up to nine SCL pulses, then a STOP.

        Raises BusError when a line still reads low afterwards.
        """
        self._call("qz_i2cRecoverBus", f"recovery of {self!r}")


class I2cChip(_I2cDescriptor, _Chip):
    """An I2C register chip at a 7-bit address; owns its descriptor (a context manager).

    Frames: the address, ``reg_bytes`` register-address bytes and ``data_bytes``
    data bytes, most significant first. SDA is written on ``sda_w`` (through a
    resistor, diode or open-drain buffer) and read on ``sda_r``. SCL runs at
    ``frequency`` Hz at most (100 kHz, standard mode, unless given; 0: as the
    device's baud rate clocks it, four samples a bit).
    """

    def __init__(self, device: Device, *, scl: int, sda_w: int, sda_r: int, address: int,
                 reg_bytes: int = 1, data_bytes: int = 1, strict: bool = False,
                 oe: Optional[tuple[int, bool]] = None, frequency: int = I2C_DEFAULT_HZ) -> None:
        super().__init__(device)
        self._make(scl, sda_w, sda_r, address, reg_bytes, data_bytes, strict, oe, frequency)

    def __repr__(self) -> str:
        return f"<qzftdi.I2cChip {self.address:#04x} on {self.device.serial}>"

    def _nack_namer(self, reading: bool) -> Callable[[int], list[str]]:
        return lambda bits: nack_names(bits, self.reg_bytes, reading)

    def read(self, reg: int) -> int:
        """The value of register ``reg``. NackError names the acknowledges that did not come."""
        reg = self._reg(reg)
        value = c_uint32()
        self._call("qz_readI2C", self._what("read", reg), reg, byref(value),
                   nack_namer=self._nack_namer(True))
        return value.value

    def write(self, reg: int, value: int) -> None:
        """Writes ``value`` to register ``reg``. NackError names the acknowledges that did not come."""
        reg, value = self._reg(reg), self._value(value)
        self._call("qz_writeI2C", self._what("write", reg), reg, value,
                   nack_namer=self._nack_namer(False))
