/*
 * C interface of the simulated FTDI bench, exported from QZ_FTDIx64 beside the
 * library's own functions. Host programs and scripts use it to set up virtual
 * devices and peripherals before the board exists. Compiles as C and C++.
 * Results: 0 (or an ID / count >= 0) on success, -1 on failure.
 */
#ifndef QZSIM_H
#define QZSIM_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(QZ_FTDI_BUILD)
#    define QZSIM_API __declspec(dllexport)
#  else
#    define QZSIM_API
#  endif
#else
#  define QZSIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Devices. A device that is not listable answers FT_DEVICE_NOT_OPENED when
 * listed by index. */
QZSIM_API int32_t qzsim_add_device(const char* serial, const char* description,
                                   int32_t listable);
QZSIM_API int32_t qzsim_remove_device(const char* serial);
QZSIM_API void qzsim_clear_bench(void);
/* Read-back lag in samples: 0, 1 (the chip's default) or 2. */
QZSIM_API int32_t qzsim_set_readback_lag(const char* serial, uint32_t lag);
/* Driver calls made on a device so far; `op` names the operation without its
 * FT_ prefix ("Write", "Read", "Purge", ...). -1 for an unknown device or op. */
QZSIM_API int64_t qzsim_call_count(const char* serial, const char* op);
/* Copies up to `capacity` samples of the device's wire trace (oldest first):
 * the written bytes and the resolved pin levels (either array may be null).
 * Returns the number of samples recorded, which may exceed `capacity`. */
QZSIM_API int64_t qzsim_read_trace(const char* serial, uint8_t* written, uint8_t* levels,
                                   uint32_t capacity);
QZSIM_API int32_t qzsim_clear_trace(const char* serial);
/* Writes the device's wire trace as a VCD file (one wire per pin, 1 us per
 * sample), readable by sigrok and GTKWave. */
QZSIM_API int32_t qzsim_write_vcd(const char* serial, const char* path);

/* ---- Time, buffers and USB (the timed chip model) ----------------------
 * Off by default: an untimed device answers at once with unbounded buffers.
 * Profiles: "FT232R" (the default), "FT232H", "FT2232H", "FT4232H". */
QZSIM_API int32_t qzsim_set_profile(const char* serial, const char* profile);
/* A custom profile: chip FIFO towards the host and from the host (bytes), USB
 * packet size (64 or 512, 2 of them status bytes), sample clock = baud x
 * multiplier up to maxSampleRate samples/s, default latency timer (ms). */
QZSIM_API int32_t qzsim_set_custom_profile(const char* serial, uint32_t fifoToHost,
                                           uint32_t fifoFromHost, uint32_t packetSize,
                                           uint32_t sampleMultiplier, uint32_t maxSampleRate,
                                           uint32_t latencyMs);
QZSIM_API int32_t qzsim_set_timed(const char* serial, int32_t timed);
/* The driver's receive buffer (default 65536 bytes). */
QZSIM_API int32_t qzsim_set_driver_buffer(const char* serial, uint32_t bytes);
/* How long FT_Write waits for room before it returns short (default 5000 ms). */
QZSIM_API int32_t qzsim_set_write_timeout(const char* serial, uint32_t ms);
/* Lossy: read-back that finds the driver buffer full is dropped, and the chip
 * goes on, instead of stalling. */
QZSIM_API int32_t qzsim_set_lossy(const char* serial, int32_t lossy);
QZSIM_API int32_t qzsim_get_latency_timer(const char* serial);
/* The device's simulated clock in ns; writes that stalled the chip until their
 * timeout; read-back bytes dropped in lossy mode. -1 for an unknown device. */
QZSIM_API int64_t qzsim_clock_ns(const char* serial);
QZSIM_API int64_t qzsim_stall_count(const char* serial);
QZSIM_API int64_t qzsim_dropped_count(const char* serial);
/* Reads of bytes that never came with no read timeout set ("would block for
 * ever" on a real driver); -1 for an unknown device. */
QZSIM_API int64_t qzsim_forever_reads(const char* serial);
/* Unplug the device at its n-th driver call from now (1 = the next), or when
 * its clock reaches `ns`; every call then answers FT_IO_ERROR. */
QZSIM_API int32_t qzsim_unplug_at_call(const char* serial, uint32_t nth);
QZSIM_API int32_t qzsim_unplug_at_time(const char* serial, uint64_t ns);

/* ---- Fault injection -------------------------------------------------------
 * The nth call from now (1 = the next) of `op` ("Write", "Read", "Purge", ...)
 * fails with D2XX status `status`. A NULL serial names the operations that
 * take no handle (ListDevices, CreateDeviceInfoList, GetDeviceInfoDetail,
 * OpenEx). Negative byte counts switch a fault off. */
QZSIM_API int32_t qzsim_fail_nth_call(const char* serial, const char* op, uint32_t nth,
                                      uint32_t status);
QZSIM_API int32_t qzsim_set_short_write(const char* serial, int64_t maxBytesPerWrite);
QZSIM_API int32_t qzsim_set_readback_drip(const char* serial, int64_t bytesPerPoll);
QZSIM_API int32_t qzsim_set_readback_stall(const char* serial, int64_t bytesBeforeStall);
QZSIM_API int32_t qzsim_clear_faults(const char* serial);

/* ---- Wire trace ------------------------------------------------------------
 * A ring of the most recent samples (default 4194304); 0 switches it off. */
QZSIM_API int32_t qzsim_set_trace_limit(const char* serial, uint32_t samples);
/* Samples that fell out of the ring since the trace was last cleared. */
QZSIM_API int64_t qzsim_trace_dropped(const char* serial);
/* The name a pin carries in VCD files (default "D0".."D7", or the signal of an
 * attached chip: SCL, SDA, CLK, CS, MOSI, MISO, OE). */
QZSIM_API int32_t qzsim_set_pin_name(const char* serial, uint8_t pin, const char* name);

/* ---- Bench files -----------------------------------------------------------
 * Loads a TOML bench file (devices and their virtual chips) onto the bench.
 * 0, or -1 with "file:line: key: what" in `error` (may be NULL). */
QZSIM_API int32_t qzsim_load_bench(const char* path, char* error, uint32_t errorCapacity);

/* The contents of every virtual chip on the bench (registers, a flash's
 * bytes, a port expander's latches) in a text file, so that a virtual board
 * keeps what was written to it between program runs: save after a run, load
 * after the bench file in the next. Devices are named by serial, chips by
 * their place on the device and their kind; a chip the file names gets
 * exactly the file's contents. Loading is all or nothing: 0, or -1 with
 * "file:line: what" in `error` (may be NULL) when the file is damaged or
 * names a device or chip that is not on the bench. Saving goes through a
 * temporary file renamed into place: 0, or -1 with the reason. */
QZSIM_API int32_t qzsim_save_state(const char* path, char* error, uint32_t errorCapacity);
QZSIM_API int32_t qzsim_load_state(const char* path, char* error, uint32_t errorCapacity);

/* A virtual SPI register chip on the device's pins. posedge non-zero: clock
 * idles low and is sampled on the rising edge; zero: idles high, sampled on
 * the falling edge. rwBit 1: a read/write bit precedes the address (the same
 * order as initSPIDev). Returns a peripheral ID. */
QZSIM_API int32_t qzsim_attach_spi(const char* serial, uint8_t clk, uint8_t cs, uint8_t sdi,
                                   uint8_t sdo, uint8_t addrBits, uint8_t dataBits,
                                   int32_t posedge, int32_t rwBit);
/* The SPI chip drives data-out only while this input is asserted (level
 * `high` non-zero: high while asserted). */
QZSIM_API int32_t qzsim_spi_output_enable(int32_t peripheral, uint8_t pin, int32_t high);
/* SPI mode 0-3 (clock polarity << 1 | phase), chip select active high, least
 * significant bit first (each field on its own), for an SPI chip or flash
 * (a flash is always most significant bit first). */
QZSIM_API int32_t qzsim_spi_set_mode(int32_t peripheral, uint32_t mode, int32_t csActiveHigh,
                                     int32_t lsbFirst);
/* How long data-out holds a bit: 0 (default) from the sample after the
 * shifting edge through the next shifting edge; 1, the harshest case, only in
 * the sample of the sampling edge, with noise in every other sample. */
QZSIM_API int32_t qzsim_spi_set_data_valid(int32_t peripheral, int32_t samplingSampleOnly);
/* A virtual SPI NOR flash (mode 0; settable with qzsim_spi_set_mode) of
 * `sizeBytes` (a power of two, 256 B to 16 MiB; bytes read 0xFF until
 * programmed) answering JEDEC ID `jedecId` (3 bytes, e.g. 0xEF4014): JEDEC ID
 * 0x9F, status 0x05, read 0x03, fast read 0x0B, write enable 0x06 / disable
 * 0x04, page program 0x02, sector erase 0x20. Its bytes are its registers.
 * Returns a peripheral ID. */
QZSIM_API int32_t qzsim_attach_spi_flash(const char* serial, uint8_t clk, uint8_t cs,
                                         uint8_t sdi, uint8_t sdo, uint32_t sizeBytes,
                                         uint32_t jedecId);
/* Samples a page program and a sector erase keep the flash busy (defaults 200
 * and 2000). */
QZSIM_API int32_t qzsim_spi_flash_set_busy(int32_t peripheral, uint32_t programSamples,
                                           uint32_t eraseSamples);
/* A virtual I2C register chip at a 7-bit address on the open-drain bus formed
 * by the device's SCL, SDA-write and SDA-read pins (one bus per pin triple,
 * shared by every chip attached to it). Returns a peripheral ID. */
QZSIM_API int32_t qzsim_attach_i2c(const char* serial, uint8_t scl, uint8_t sdaW, uint8_t sdaR,
                                   uint8_t address, uint8_t regBytes, uint8_t dataBytes);
/* A virtual 8-bit I2C port expander without a register pointer: a write sets
 * its outputs, a read returns its pins. Register 0 is the output latch (0xFF
 * at power-up), register 1 the levels the circuit drives on the pins (0xFF:
 * nothing pulls them low); a read gives register 0 AND register 1. Returns a
 * peripheral ID. */
QZSIM_API int32_t qzsim_attach_i2c_expander(const char* serial, uint8_t scl, uint8_t sdaW,
                                            uint8_t sdaR, uint8_t address);
/* I2C fault modes: 0 none, 1 no acknowledge of its address, 2 no acknowledge
 * of data byte `arg` (0 = first), 3 holds SDA low, 4 holds SCL low. */
QZSIM_API int32_t qzsim_i2c_fault(int32_t peripheral, int32_t fault, int32_t arg);
/* Real chips' habits. Reaction delay: acknowledge and read data are driven,
 * and released, `samples` after SCL falls. Clock stretching: holds SCL low for
 * `samples` after each byte. EEPROM: writes wrap within pages of `pageSize`
 * bytes of register space, and for `busySamples` after a write's STOP the chip
 * does not acknowledge its address. */
QZSIM_API int32_t qzsim_i2c_set_reaction_delay(int32_t peripheral, uint32_t samples);
QZSIM_API int32_t qzsim_i2c_set_clock_stretch(int32_t peripheral, uint32_t samples);
QZSIM_API int32_t qzsim_i2c_set_eeprom(int32_t peripheral, uint32_t pageSize,
                                       uint32_t busySamples);
/* A chip that samples the pins on its own clock may see SDA move before SCL
 * when both change in one sample (SDA rising as SCL falls is then a STOP to
 * it): `leads` non-zero sets that order, zero the default (SCL first). */
QZSIM_API int32_t qzsim_i2c_set_sda_leads_scl(int32_t peripheral, int32_t leads);
/* The bus speed an I2C chip is made for: 0 standard (100 kHz), 1 fast (400
 * kHz, the default), 2 fast-plus (1 MHz), 3 unchecked. On a timed device the
 * chip checks SCL low and high times and data setup against it in simulated
 * time, and misbehaves (no acknowledge, wrong bits) when clocked beyond it. */
QZSIM_API int32_t qzsim_i2c_set_speed(int32_t peripheral, int32_t speed);
/* I2C register widths in bytes (1 to 4) for one register, overriding the
 * chip's data width (an LM75 has 1- and 2-byte registers). */
QZSIM_API int32_t qzsim_set_register_width(int32_t peripheral, uint32_t reg, uint32_t bytes);
/* What unwritten registers read (0xFF for a blank EEPROM). */
QZSIM_API int32_t qzsim_set_fill(int32_t peripheral, uint32_t value);
/* The chip's transfer and violation logs: bounded rings (default 1024 entries
 * each), their counts, and a clear. */
QZSIM_API int32_t qzsim_set_log_limit(int32_t peripheral, uint32_t entries);
QZSIM_API int64_t qzsim_log_count(int32_t peripheral);
QZSIM_API int64_t qzsim_violation_count(int32_t peripheral);
QZSIM_API int32_t qzsim_clear_logs(int32_t peripheral);

/* A loopback wire (a jumper) from pin `from` to pin `to`: `to` follows the
 * level of `from` in every sample. 0, or -1 for an unknown device, a pin above
 * 7, or from == to. */
QZSIM_API int32_t qzsim_attach_wire(const char* serial, uint8_t from, uint8_t to);

/* Registers of a virtual peripheral. */
QZSIM_API int32_t qzsim_get_register(int32_t peripheral, uint32_t reg, uint32_t* value);
QZSIM_API int32_t qzsim_set_register(int32_t peripheral, uint32_t reg, uint32_t value);

#ifdef __cplusplus
}
#endif

#endif /* QZSIM_H */
