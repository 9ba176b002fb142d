"""The I2C bus on three pins of a device: scan, recovery and the chips on it."""

from __future__ import annotations

from typing import Optional

from .chips import I2cChip, _I2cDescriptor
from .device import Device


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
