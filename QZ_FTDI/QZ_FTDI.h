/*
 * QZ_FTDI: read and write the registers of SPI and I2C peripherals through the
 * eight GPIO pins of an FTDI chip in synchronous bit-bang mode.
 *
 * Device handles are the D2XX driver's FT_HANDLE (a pointer-sized opaque
 * value); they are written here as void* so that this header stands alone.
 * Results are signed 32-bit integers; -1 means failure unless noted.
 * Compiles as C and as C++.
 *
 * Threads. Every function may be called from any thread.
 *  - Calls on one device are serialised inside the library: a transfer (single
 *    register, batch or stream), a pin pattern or a latency-timer call holds
 *    that device's lock from start to end, so two threads sharing a device
 *    each get whole, correct transactions, one after the other. Calls on
 *    different devices never wait for each other: use one thread per device
 *    for the most throughput.
 *  - closeFTDI waits for a transaction in progress on that device, then
 *    closes it. Using a handle after closeFTDI (also through a device ID still
 *    bound to it) fails with -1 from the driver; do not close a device while
 *    other threads still start transactions on it.
 *  - mapHandles and the device-ID functions may race freely: each register
 *    call uses the (device, descriptor) pair bound at one instant, never one
 *    half of two bindings.
 *  - enableDebugPrint and setDebugDelim take effect for dumps that start
 *    after them; dumps of different threads may interleave on stdout.
 *  - Descriptor handles are never handed out twice: a deleted descriptor's
 *    handle fails with -1 (QZ_BAD_ARGUMENT) ever after and never reaches a
 *    descriptor created later. A transfer that has started when another
 *    thread deletes its descriptor finishes with the descriptor as it was.
 */
#ifndef QZ_FTDI_H
#define QZ_FTDI_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(QZ_FTDI_BUILD)
#    define QZ_API __declspec(dllexport)
#  else
#    define QZ_API
#  endif
#else
#  define QZ_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle to a protocol descriptor (one SPI or I2C peripheral). */
typedef void* PROT_HANDLE;

/* Buffer sizes that callers provide. */
#define QZ_SERIAL_BUFFER_SIZE 64      /* each getConnectedDevices entry; getDeviceInfo's serialNumber */
#define QZ_DESCRIPTION_BUFFER_SIZE 64 /* getDeviceInfo's description */
#define QZ_I2C_ADDRESS_COUNT 128      /* entries of an i2cScan / qz_i2cScan table */

/* Discovery */
QZ_API int32_t printConnectedDevices(int32_t print2Screen, int32_t returnTotalCount);
QZ_API int32_t getConnectedDevices(char** connectedDevices, uint32_t numDevices);
QZ_API int32_t getDeviceInfo(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* devID,
                             uint32_t* locID, char* description, char* serialNumber,
                             int32_t update);

/* Device connection: results are the driver's status (0 = success). */
QZ_API int32_t setupFTDIdev(void** inHandle, const char* serial, uint32_t baudRate);
QZ_API int32_t closeFTDI(void* dev);

/* Protocol descriptors */
QZ_API int32_t initSPIDev(PROT_HANDLE* inHandle, uint8_t CLKnum, uint8_t CSnum, uint8_t SDInum,
                          uint8_t SDOnum, uint8_t addrBits, uint8_t dataBits, int32_t posedge,
                          int32_t RWbit);
QZ_API int32_t initI2CDev(PROT_HANDLE* inHandle, uint8_t SCL_num, uint8_t SDAw_num,
                          uint8_t SDAr_num, uint8_t addr, uint8_t bytesPerAddr,
                          uint8_t bytesPerReg);
QZ_API int32_t setupOE(PROT_HANDLE* inHandle, uint8_t OEnum, int32_t OEpol);
QZ_API int32_t deleteSPIDev(PROT_HANDLE spi);
QZ_API int32_t deleteI2CDev(PROT_HANDLE i2c);

/* Single-register transfers */
QZ_API int32_t writeSPI(void* dev, PROT_HANDLE spi, uint32_t addr, uint32_t data);
QZ_API int32_t readSPI(void* dev, PROT_HANDLE spi, uint32_t addr);
QZ_API int32_t writeI2C(void* dev, PROT_HANDLE i2c, uint32_t reg, uint32_t data);
QZ_API int32_t readI2C(void* dev, PROT_HANDLE i2c, uint32_t reg);

/* Multi-register transfers: batches (one frame per register) and streams
 * (one frame, address sent once). `write` non-zero writes, 0 reads. */
QZ_API int32_t multiRegRW(void* dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                          uint32_t numRegs, int32_t write);
QZ_API int32_t multiRegStreamRW(void* dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                                uint32_t numRegs, int32_t write);

/* Device-ID registry and register API (IDs 0 to 255) */
QZ_API int32_t mapHandles(void* dev, PROT_HANDLE prot, uint32_t deviceID);
QZ_API int32_t write_reg(uint32_t deviceID, uint32_t reg, uint32_t data);
QZ_API int32_t read_reg(uint32_t deviceID, uint32_t reg);
QZ_API int32_t write_regs(uint32_t deviceID, const uint32_t* reg, const uint32_t* data,
                          uint32_t numRegs);
QZ_API int32_t read_regs(uint32_t deviceID, const uint32_t* reg, uint32_t* data,
                         uint32_t numRegs);
QZ_API int32_t write_reg_stream(uint32_t deviceID, uint32_t reg, const uint32_t* data,
                                uint32_t numRegs);
QZ_API int32_t read_reg_stream(uint32_t deviceID, uint32_t reg, uint32_t* data,
                               uint32_t numRegs);

/* Direct pin patterns */
QZ_API int32_t toggleSingleBit(void* dev, uint8_t bitNum, int32_t toggleLow, int32_t singleEdge);
QZ_API int32_t writeCustomPattern(void* dev, uint8_t MASK, const uint8_t* byteSequence,
                                  int32_t sequenceLen);

/* Diagnostics and identity */
QZ_API int32_t enableDebugPrint(int32_t writeDB, int32_t readDB);
QZ_API int32_t setDebugDelim(char delim);
QZ_API void getDLLVersion(void);

/* USB latency timer of an open device, 2 to 255 ms (the chip's default is
 * 16 ms). A single-register transfer waits up to one latency period for its
 * read-back: 2 ms makes small transfers several times faster. 0 / the timer in
 * ms, or -1 when the driver refuses or has no such operation. */
QZ_API int32_t setLatencyTimer(void* dev, uint8_t ms);
QZ_API int32_t getLatencyTimer(void* dev);

/* Low-latency mode of an open device (off after setupFTDIdev). On: USB IN
 * requests of one packet (64 bytes, 512 on a high-speed port), every
 * transaction padded with idle samples to whole packets of read-back, no
 * purge or bit-mode request that is not needed, and a 2 ms latency timer: a
 * single register takes about one USB frame instead of a latency period.
 * Off: the 4096-byte transfer size and the latency timer from before.
 * 0, or -1 (nothing changed) for a handle setupFTDIdev did not open or a
 * driver without FT_SetUSBParameters. getLowLatency: 1, 0, or -1 for such a
 * handle. */
QZ_API int32_t setLowLatency(void* dev, int32_t on);
QZ_API int32_t getLowLatency(void* dev);

/* Strict I2C timing on an I2C descriptor (off by default): every SCL-low phase
 * at least two samples and SDA never changing in a sample in which SCL
 * changes. Turn it on for slaves that sample the wire on their own clock
 * (FPGA, microcontroller slaves) or react late. 0 / the setting (0 or 1), or
 * -1 for a handle that is not a live I2C descriptor. */
QZ_API int32_t setI2CStrictTiming(PROT_HANDLE i2c, int32_t strict);
QZ_API int32_t getI2CStrictTiming(PROT_HANDLE i2c);

/* Probes every address 0x08 to 0x77 with an address-only write frame, all in
 * one round trip. present[a] (QZ_I2C_ADDRESS_COUNT entries) is 1 where address
 * a acknowledged, else 0. The descriptor gives pins and timing; its address is
 * ignored. The number of addresses that answered, or -1 (a held bus is -1). */
QZ_API int32_t i2cScan(void* dev, PROT_HANDLE i2c, uint8_t* present);

/* Frees a bus whose SDA a slave holds low (interrupted mid-byte): releases
 * SDA, clocks SCL up to nine times until SDA reads high, then sends a STOP.
 * 0 when both lines read high at the end, -1 otherwise. */
QZ_API int32_t i2cRecoverBus(void* dev, PROT_HANDLE i2c);

/* ---- The status API ------------------------------------------------------
 * The same transfers as above (one implementation), with results that cannot
 * be mistaken for data: each returns a QZ_STATUS and passes values through
 * out-parameters. `detail` may be NULL. */
typedef enum QZ_STATUS {
    QZ_OK = 0,
    QZ_NACK = 1,               /* an acknowledge was missing: detail->missingAcks */
    QZ_BUS_HELD = 2,           /* SDA read low where the master sent a 1: held or contested */
    QZ_CLOCK_STRETCHED = 3,    /* SCL read low while the master drove it high */
    QZ_FRAME_NOT_FOUND = 4,    /* the frame does not show in the read-back */
    QZ_DRIVER_ERROR = 5,       /* a D2XX call failed: detail->driverStatus */
    QZ_TIMEOUT = 6,            /* the read-back did not come in time */
    QZ_UNPLUGGED = 7,          /* the device is gone (FT_IO_ERROR) */
    QZ_BAD_ARGUMENT = 8,       /* a handle, pointer, size or value that does not fit */
    QZ_NO_MEMORY = 9
} QZ_STATUS;

typedef struct QZ_RESULT {
    int32_t status;        /* the QZ_STATUS returned */
    uint32_t missingAcks;  /* QZ_NACK: bit 0 the address, then the register-address
                              bytes, then the data bytes (writes) or the read
                              address pass (reads), as writeI2C / readI2C count them */
    uint32_t index;        /* batches and streams: the register (0-based) the status
                              refers to */
    uint32_t driverStatus; /* QZ_DRIVER_ERROR, QZ_UNPLUGGED: the failing D2XX status */
} QZ_RESULT;

/* The text of a status code ("not acknowledged", ...); never NULL. */
QZ_API const char* qz_statusText(int32_t status);
/* Names the acknowledges in a QZ_NACK's missingAcks for an I2C frame of
 * regBytes (0-4) register-address bytes, a register read (read non-zero) or a
 * write, in frame order: "address", "register byte N", "read address",
 * "data byte N" (bytes counted from 0), separated by ", ". A missing address
 * acknowledge is named alone (no chip listened to the rest). Writes at most
 * size bytes, terminated; returns the length of the whole text, or -1 for
 * regBytes above 4 or a NULL text with size non-zero. */
QZ_API int32_t qz_ackText(uint32_t missingAcks, uint32_t regBytes, int32_t read, char* text,
                          uint32_t size);
/* The particulars of a result beyond its status text: for a write the driver
 * took only partly (QZ_DRIVER_ERROR with driverStatus FT_OK) "the driver took
 * N of M bytes", from the calling thread's last such write; otherwise "".
 * Writes at most size bytes, terminated; returns the length of the whole text,
 * or -1 for a NULL detail or a NULL text with size non-zero. */
QZ_API int32_t qz_detailText(const QZ_RESULT* detail, char* text, uint32_t size);

QZ_API int32_t qz_writeSPI(void* dev, PROT_HANDLE spi, uint32_t addr, uint32_t data,
                           QZ_RESULT* detail);
QZ_API int32_t qz_readSPI(void* dev, PROT_HANDLE spi, uint32_t addr, uint32_t* value,
                          QZ_RESULT* detail);
QZ_API int32_t qz_writeI2C(void* dev, PROT_HANDLE i2c, uint32_t reg, uint32_t data,
                           QZ_RESULT* detail);
QZ_API int32_t qz_readI2C(void* dev, PROT_HANDLE i2c, uint32_t reg, uint32_t* value,
                          QZ_RESULT* detail);
QZ_API int32_t qz_multiRegRW(void* dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                             uint32_t numRegs, int32_t write, QZ_RESULT* detail);
QZ_API int32_t qz_multiRegStreamRW(void* dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                                   uint32_t numRegs, int32_t write, QZ_RESULT* detail);
QZ_API int32_t qz_write_reg(uint32_t deviceID, uint32_t reg, uint32_t data, QZ_RESULT* detail);
QZ_API int32_t qz_read_reg(uint32_t deviceID, uint32_t reg, uint32_t* value, QZ_RESULT* detail);
QZ_API int32_t qz_write_regs(uint32_t deviceID, const uint32_t* reg, const uint32_t* data,
                             uint32_t numRegs, QZ_RESULT* detail);
QZ_API int32_t qz_read_regs(uint32_t deviceID, const uint32_t* reg, uint32_t* data,
                            uint32_t numRegs, QZ_RESULT* detail);
QZ_API int32_t qz_write_reg_stream(uint32_t deviceID, uint32_t reg, const uint32_t* data,
                                   uint32_t numRegs, QZ_RESULT* detail);
QZ_API int32_t qz_read_reg_stream(uint32_t deviceID, uint32_t reg, uint32_t* data,
                                  uint32_t numRegs, QZ_RESULT* detail);
/* present: QZ_I2C_ADDRESS_COUNT entries; count: the number that answered. */
QZ_API int32_t qz_i2cScan(void* dev, PROT_HANDLE i2c, uint8_t* present, uint32_t* count,
                          QZ_RESULT* detail);
QZ_API int32_t qz_i2cRecoverBus(void* dev, PROT_HANDLE i2c, QZ_RESULT* detail);
QZ_API int32_t qz_setLatencyTimer(void* dev, uint8_t ms, QZ_RESULT* detail);
QZ_API int32_t qz_getLatencyTimer(void* dev, uint8_t* ms, QZ_RESULT* detail);
QZ_API int32_t qz_setLowLatency(void* dev, int32_t on, QZ_RESULT* detail);

/* Progress of long transfers made by the calling thread: while one of its
 * calls plays a stream of more than 4096 samples (a long SPI transfer, a long
 * I2C message, a large batch or stream), `callback` gets the samples whose
 * read-back has come and the stream's length, after each block and once at
 * the end, from inside that call. A NULL callback switches it off. Returns 0. */
typedef void (*QZ_PROGRESS_CALLBACK)(uint64_t done, uint64_t total, void* context);
QZ_API int32_t qz_setProgressCallback(QZ_PROGRESS_CALLBACK callback, void* context);

/* Where the library's messages ("FTDI Error, ...", the device list of
 * printConnectedDevices, the enableDebugPrint dumps, the getDLLVersion banner)
 * go: standard output (the default), standard error, nowhere, or a callback.
 * The callback gets one message per call, without its final newline, from the
 * thread that caused it; a call already under way may still reach the previous
 * target. Returns 0, or -1 (nothing changed) for an unknown target or
 * QZ_MESSAGES_CALLBACK without a callback. */
typedef enum QZ_MESSAGE_TARGET {
    QZ_MESSAGES_STDOUT = 0,
    QZ_MESSAGES_STDERR = 1,
    QZ_MESSAGES_NONE = 2,
    QZ_MESSAGES_CALLBACK = 3
} QZ_MESSAGE_TARGET;
typedef enum QZ_MESSAGE_KIND {
    QZ_MESSAGE_ERROR = 0, /* "FTDI Error, ..." */
    QZ_MESSAGE_INFO = 1,  /* the device list, the version banner */
    QZ_MESSAGE_DEBUG = 2  /* the enableDebugPrint pattern dumps */
} QZ_MESSAGE_KIND;
typedef void (*QZ_MESSAGE_CALLBACK)(int32_t kind, const char* text, void* context);
QZ_API int32_t qz_setMessageTarget(int32_t target, QZ_MESSAGE_CALLBACK callback, void* context);
/* The current QZ_MESSAGE_TARGET. */
QZ_API int32_t qz_getMessageTarget(void);


/* ---- Chips without register maps -------------------------------------------
 * Additive: each call is one transaction on the device (one USB round trip up
 * to the chunk size, longer ones chunked), judged sample by sample as the
 * register transfers are. Results are QZ_STATUS values; `detail` may be NULL. */

/* One I2C message (the Linux i2c_msg model): `len` bytes written from, or
 * read into, `buf` at the 7-bit address `addr`. */
typedef struct QZ_I2C_MSG {
    uint8_t addr;   /* 7-bit address (0x50, not 0xA0) */
    uint8_t read;   /* non-zero: read len bytes into buf; 0: write them */
    uint32_t len;   /* 0 to QZ_I2C_MSG_MAX (a read at least 1) */
    uint8_t* buf;
} QZ_I2C_MSG;
#define QZ_I2C_MSG_MAX 65536u

/* Plays the messages as one frame: START, each message (address pass, then
 * its bytes) with a repeated START before the next, one STOP at the end.
 * Reads acknowledge every byte but the last of their message. The descriptor
 * gives pins, output enable and timing; its address and widths are ignored.
 * QZ_NACK: detail->index is the message, detail->missingAcks its acknowledge
 * bits (bit 0 the address, bit k + 1 written byte k; the first 32 kept). QZ_BUS_HELD / QZ_CLOCK_STRETCHED: detail->index is the message
 * where the line read wrong. Read buffers are written only on QZ_OK. */
QZ_API int32_t qz_i2cTransfer(void* dev, PROT_HANDLE i2c, const QZ_I2C_MSG* msgs, uint32_t count,
                              QZ_RESULT* detail);

/* One segment of an SPI transfer: `len` bytes clocked out from `tx` (NULL:
 * the fill byte) while `len` bytes are clocked in to `rx` (NULL: dropped). */
typedef struct QZ_SPI_SEGMENT {
    const uint8_t* tx;
    uint8_t* rx;
    uint32_t len;
} QZ_SPI_SEGMENT;
#define QZ_SPI_TRANSFER_MAX 1048576u /* bytes of one transfer, all segments together */

/* Full-duplex SPI under one chip-select window, in the descriptor's SPI mode,
 * chip-select polarity and bit order (its address and data widths are
 * ignored). rx is written only on QZ_OK. */
QZ_API int32_t qz_spiTransfer(void* dev, PROT_HANDLE spi, const uint8_t* tx, uint8_t* rx,
                              uint32_t len, uint8_t fill, QZ_RESULT* detail);
/* The segments one after the other under one chip select ("write 4 bytes,
 * then read 256": a flash command in one call). */
QZ_API int32_t qz_spiTransferSegments(void* dev, PROT_HANDLE spi, const QZ_SPI_SEGMENT* segments,
                                      uint32_t count, uint8_t fill, QZ_RESULT* detail);

/* SPI mode of an SPI descriptor, honoured by every SPI transfer (register
 * transfers included): mode 0 to 3 (clock polarity << 1 | phase; initSPIDev's
 * posedge 1 is mode 0, posedge 0 mode 2) and QZ_SPI_* flags. QZ_OK, or
 * QZ_BAD_ARGUMENT (descriptor unchanged; qz_refusalText says why). */
#define QZ_SPI_CS_ACTIVE_HIGH 1u
#define QZ_SPI_LSB_FIRST 2u
QZ_API int32_t qz_setSPIMode(PROT_HANDLE spi, int32_t mode, uint32_t flags);
QZ_API int32_t qz_getSPIMode(PROT_HANDLE spi, int32_t* mode, uint32_t* flags);

/* Bus clock of a descriptor (SCL or SCK) in Hz; 0 (the default) keeps the
 * device's baud rate. A transaction on the descriptor sets the baud rate
 * that gives at most this clock from the chip's sample clock (16 x baud on
 * the FT232R and older chips, 5 x on the H series), and only when it differs
 * from the device's current one. On an I2C descriptor a clock also keeps
 * every SCL phase at least two samples long (as strict timing does) and at
 * least the shortest SCL low and high time of the mode the clock falls in
 * (standard up to 100 kHz, fast up to 400 kHz, fast-plus above), so that
 * 400 kHz runs at about 385 kHz. qz_getBusClock: the setting. */
QZ_API int32_t qz_setBusClock(PROT_HANDLE prot, uint32_t hz);
QZ_API int32_t qz_getBusClock(PROT_HANDLE prot, uint32_t* hz);
/* The SCL or SCK frequency in Hz a transaction on the descriptor clocks the
 * bus at on the device (inside a burst): the chip's sample clock at the baud
 * rate the descriptor's clock picks, or at the device's current one when it
 * has none (a device at 1 MBaud: SCL 4 MHz on an FT232R, 1.25 MHz on an
 * FT232H). QZ_OK; QZ_BAD_ARGUMENT for a null hz, a handle that is not a live
 * descriptor or a device setupFTDIdev did not open. */
QZ_API int32_t qz_getWireClock(void* dev, PROT_HANDLE prot, uint32_t* hz);

/* The levels of all eight pins now, one sample, with every pin an input for
 * it (no pin is driven). */
QZ_API int32_t qz_readPins(void* dev, uint8_t* levels, QZ_RESULT* detail);
/* Plays `len` samples with direction mask `mask` and hands back their
 * read-back (one byte per sample, as the chip returns it) in `readback`. */
QZ_API int32_t qz_playPattern(void* dev, uint8_t mask, const uint8_t* samples, uint32_t len,
                              uint8_t* readback, QZ_RESULT* detail);

/* Why the last descriptor call of this thread (initSPIDev, initI2CDev,
 * setupOE, qz_setSPIMode, qz_setBusClock) was refused, e.g. "SPI chip select
 * and output enable both on pin 3"; "" after one that succeeded. Never NULL;
 * valid until this thread's next descriptor call. */
QZ_API const char* qz_refusalText(void);

/* ---- Drivers and backends ------------------------------------------------
 * Real devices come from one backend: the vendor's D2XX library, or libftdi1
 * (Linux; Debian's libftdi1-2), both loaded at run time where installed;
 * simulated devices follow them. The choice: "auto" (the default: the vendor
 * library when installed, else libftdi1), "vendor", "libftdi", or "simulator"
 * (simulated devices only); the environment variable QZ_FTDI_BACKEND sets it
 * at start. A serial number written "simulator:SN" (or "vendor:SN",
 * "libftdi:SN") opens SN with that backend only. */
typedef struct QZ_DRIVER_INFO {
    char name[16];     /* "vendor", "libftdi" or "simulator" */
    int32_t installed; /* 1: its library was found and loaded (the simulator: always) */
    int32_t active;    /* 1: its devices are listed under the choice in force */
    char path[256];    /* the library file loaded; "" if none (or built in) */
    char version[32];  /* its version; "" if unknown */
} QZ_DRIVER_INFO;

/* The number of drivers (3); fills the first min(capacity, 3) entries.
 * -1 for a NULL array with a capacity. */
QZ_API int32_t qz_getDrivers(QZ_DRIVER_INFO* drivers, uint32_t capacity);
/* 0, or -1 for an unknown name. Applies to listings and opens after it;
 * devices open already stay usable. Not while other threads list or open. */
QZ_API int32_t qz_setBackend(const char* name);
/* The choice in force ("auto", "vendor", "libftdi", "simulator"). */
QZ_API const char* qz_getBackend(void);
/* The backend ("vendor", "libftdi", "simulator") of device `index` of the
 * list getDeviceInfo(..., update != 0) last built; NULL past its end. */
QZ_API const char* qz_getDeviceBackend(uint32_t index);

#ifdef __cplusplus
}
#endif

#endif /* QZ_FTDI_H */
