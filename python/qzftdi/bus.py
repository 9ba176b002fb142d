"""The I2C bus on three pins of a device: scan, recovery and the chips on it."""

from __future__ import annotations

from ctypes import POINTER, byref, c_uint8, cast
from dataclasses import dataclass
from typing import Iterable, Optional, Sequence

from . import _lib
from ._args import int_in
from .chips import I2C_DEFAULT_HZ, I2cChip, _I2cDescriptor
from .device import Device
from .errors import ArgumentError, nack_names, raise_for


@dataclass(frozen=True)
class Message:
    """One message of :meth:`I2cBus.transfer`: write ``data``, or read ``length`` bytes."""

    address: int
    read: bool
    data: bytes = b""
    length: int = 0

    def __repr__(self) -> str:
        return f"{'r' if self.read else 'w'}{self.length if self.read else len(self.data)}@{self.address:#04x}"


def write(address: int, data: Iterable[int]) -> Message:
    """A message writing ``data`` to the chip at the 7-bit ``address``."""
    data = bytes(data)
    if len(data) > _lib.I2C_MSG_MAX:
        raise ArgumentError(f"an I2C message holds at most {_lib.I2C_MSG_MAX} bytes")
    return Message(int_in("I2C address", address, 0, 0x7F), False, data)


def read(address: int, length: int) -> Message:
    """A message reading ``length`` bytes from the chip at the 7-bit ``address``."""
    return Message(int_in("I2C address", address, 0, 0x7F), True,
                   length=int_in("bytes to read", length, 1, _lib.I2C_MSG_MAX))


class I2cBus(_I2cDescriptor):
    """The I2C bus on three pins of a device (SCL, SDA written, SDA read): scan and recovery.

    SCL runs at ``frequency`` Hz at most (100 kHz unless given; 0: as the
    device's baud rate clocks it); its chips take the bus's unless given.
    """

    def __init__(self, device: Device, *, scl: int, sda_w: int, sda_r: int,
                 strict: bool = False, frequency: int = I2C_DEFAULT_HZ) -> None:
        super().__init__(device)
        self._make(scl, sda_w, sda_r, 0, 1, 1, strict, None, frequency)

    def __repr__(self) -> str:
        scl, sda_w, sda_r = self.pins
        return f"<qzftdi.I2cBus SCL {scl} SDA {sda_w}/{sda_r} on {self.device.serial}>"

    def transfer(self, messages: Sequence[Message]) -> list[bytes]:
        """Plays ``messages`` as one frame (repeated STARTs, one STOP); the data of each read.

        NackError names the message and byte that went unanswered; read data
        comes back only when the whole frame succeeded.
        """
        messages = list(messages)
        if not messages or not all(isinstance(m, Message) for m in messages):
            raise ArgumentError("a transfer takes one or more qzftdi.write / qzftdi.read messages")
        buffers = [(c_uint8 * max(m.length if m.read else len(m.data), 1))
                   .from_buffer_copy(m.data or bytes(max(m.length, 1))) for m in messages]
        u8 = POINTER(c_uint8)
        wire = (_lib.QZ_I2C_MSG * len(messages))(
            *[(m.address, int(m.read), m.length if m.read else len(m.data), cast(b, u8))
              for m, b in zip(messages, buffers)])
        detail = _lib.QZ_RESULT()
        with self.device.lock:
            status = _lib.library().qz_i2cTransfer(self.device.handle, self.descriptor, wire,
                                                   len(messages), byref(detail))
        if status:
            at = detail.index if detail.index < len(messages) else 0
            m = messages[at]
            raise_for(status, detail, f"message {at} ({m!r}) of a transfer on {self!r}",
                      lambda bits: nack_names(bits, 0, m.read))
        return [bytes(b[:m.length]) for m, b in zip(messages, buffers) if m.read]

    def chip(self, address: int, reg_bytes: int = 1, data_bytes: int = 1,
             strict: Optional[bool] = None, frequency: Optional[int] = None) -> "I2cChip":
        """An I2cChip at ``address`` on this bus (strict timing and clock as the bus unless given)."""
        scl, sda_w, sda_r = self.pins
        return I2cChip(self.device, scl=scl, sda_w=sda_w, sda_r=sda_r, address=address,
                       reg_bytes=reg_bytes, data_bytes=data_bytes,
                       strict=self._strict_on if strict is None else strict,
                       frequency=self.frequency if frequency is None else frequency)
