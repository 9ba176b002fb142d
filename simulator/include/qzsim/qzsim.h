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

/* A virtual SPI register chip on the device's pins. posedge non-zero: clock
 * idles low and is sampled on the rising edge; zero: idles high, sampled on
 * the falling edge. rwBit 1: a read/write bit precedes the address.
 * Returns a peripheral ID. */
QZSIM_API int32_t qzsim_attach_spi(const char* serial, uint8_t clk, uint8_t cs, uint8_t sdi,
                                   uint8_t sdo, uint8_t addrBits, uint8_t dataBits,
                                   int32_t rwBit, int32_t posedge);
/* A virtual I2C register chip at a 7-bit address on the open-drain bus formed
 * by the device's SCL, SDA-write and SDA-read pins (one bus per pin triple,
 * shared by every chip attached to it). Returns a peripheral ID. */
QZSIM_API int32_t qzsim_attach_i2c(const char* serial, uint8_t scl, uint8_t sdaW, uint8_t sdaR,
                                   uint8_t address, uint8_t regBytes, uint8_t dataBytes);
/* I2C fault modes: 0 none, 1 no acknowledge of its address, 2 no acknowledge
 * of data byte `arg` (0 = first), 3 holds SDA low, 4 holds SCL low. */
QZSIM_API int32_t qzsim_i2c_fault(int32_t peripheral, int32_t fault, int32_t arg);

/* Registers of a virtual peripheral. */
QZSIM_API int32_t qzsim_get_register(int32_t peripheral, uint32_t reg, uint32_t* value);
QZSIM_API int32_t qzsim_set_register(int32_t peripheral, uint32_t reg, uint32_t value);

#ifdef __cplusplus
}
#endif

#endif /* QZSIM_H */
