/* Demo section: blocks of registers by device ID, one register at a time, as
 * a batch (one complete frame per register) and as a stream (one frame, the
 * address sent once), with the driver round trips (FT_Write + FT_Read calls)
 * each way took. Two more virtual chips join the demo's wiring: an SPI chip
 * with its chip select on pin 7 (clock, data-in and data-out shared with the
 * SPI section's chip on pins 0, 2 and 3; 7 address bits, 8 data bits and a
 * read/write bit), and an I2C chip at address 0x52 on the I2C section's bus
 * (SCL 4, SDA 5 and 6; one register-address byte, two data bytes). */
#include "QZ_FTDI.h"
#include "demo.h"
#include "qzsim/qzsim.h"

#include <stdio.h>

enum { BLOCK = 8, SPI_ID = 1, I2C_ID = 2 };

/* Driver round trips made on the device so far. */
static int64_t round_trips(const char* serial) {
    return qzsim_call_count(serial, "Write") + qzsim_call_count(serial, "Read");
}

/* The register file of one chip against the values one way wrote: 0 when
 * every register holds its value. */
static int chip_holds(int32_t chip, const uint32_t* regs, const uint32_t* values) {
    for (int i = 0; i < BLOCK; ++i) {
        uint32_t held = 0;
        if (qzsim_get_register(chip, regs[i], &held) != 0 || held != values[i]) return -1;
    }
    return 0;
}

static int same_words(const uint32_t* a, const uint32_t* b) {
    for (int i = 0; i < BLOCK; ++i)
        if (a[i] != b[i]) return -1;
    return 0;
}

enum Way { SINGLE, BATCH, STREAM };

/* Writes (`write` non-zero) or reads one block of the chip bound to `id` in
 * one way: `regs` one at a time or as a batch, or `first` onwards as a
 * stream. Returns the driver round trips it took, or -1 if a call failed. */
static int64_t move_block(const char* serial, enum Way way, int write, uint32_t id,
                          const uint32_t* regs, uint32_t first, uint32_t* words) {
    int64_t before = round_trips(serial);
    int32_t result = 0;
    switch (way) {
        case SINGLE:
            for (int i = 0; i < BLOCK && result == 0; ++i) {
                if (write)
                    result = write_reg(id, regs[i], words[i]);
                else
                    words[i] = (uint32_t)read_reg(id, regs[i]);
            }
            break;
        case BATCH:
            result = write ? write_regs(id, regs, words, BLOCK) : read_regs(id, regs, words, BLOCK);
            break;
        case STREAM:
            result = write ? write_reg_stream(id, first, words, BLOCK)
                           : read_reg_stream(id, first, words, BLOCK);
            break;
    }
    return result == 0 ? round_trips(serial) - before : -1;
}

/* Writes and reads back one block of the chip bound to `id` in each of the
 * three ways, each with values of its own, and prints their round trips.
 * One at a time and batched go to the registers `scattered`; the stream
 * covers `first` .. `first` + 7. Returns 0 when every way read its values
 * back and left them in the chip. */
static int demo_block(const char* serial, const char* name, uint32_t id, int32_t chip,
                      const uint32_t* scattered, uint32_t first, uint32_t valueMask) {
    uint32_t run[BLOCK], values[BLOCK], got[BLOCK];
    int64_t trips[3][2]; /* [single, batch, stream][write, read] */
    int failures = 0;

    for (int i = 0; i < BLOCK; ++i) run[i] = first + (uint32_t)i;
    for (int way = SINGLE; way <= STREAM; ++way) {
        for (int i = 0; i < BLOCK; ++i)
            values[i] = (0x3C5Au + 0x1111u * (uint32_t)i + 0x0203u * (uint32_t)way) & valueMask;
        trips[way][0] = move_block(serial, (enum Way)way, 1, id, scattered, first, values);
        trips[way][1] = move_block(serial, (enum Way)way, 0, id, scattered, first, got);
        failures += trips[way][0] < 0 || trips[way][1] < 0 || same_words(got, values) != 0 ||
                    chip_holds(chip, way == STREAM ? run : scattered, values) != 0;
    }

    printf("%s, ID %u: registers 0x%02X..0x%02X by stream read back:", name, (unsigned)id,
           (unsigned)first, (unsigned)(first + BLOCK - 1));
    for (int i = 0; i < BLOCK; ++i) printf(" 0x%X", (unsigned)got[i]);
    printf("\n");
    printf("  %-30s %8s %7s %8s\n", "driver round trips", "single", "batch", "stream");
    for (int dir = 0; dir < 2; ++dir)
        printf("  %-30s %8lld %7lld %8lld\n", dir == 0 ? "write 8 registers" : "read 8 registers",
               (long long)trips[0][dir], (long long)trips[1][dir], (long long)trips[2][dir]);
    qzsim_clear_trace(serial);
    return failures ? -1 : 0;
}

int demo_blocks(void* dev, const char* serial) {
    static const uint32_t spiRegs[BLOCK] = {0x03, 0x11, 0x12, 0x2A, 0x30, 0x41, 0x55, 0x7F};
    static const uint32_t i2cRegs[BLOCK] = {0x80, 0x04, 0x91, 0x22, 0xF0, 0x3B, 0x67, 0x05};
    PROT_HANDLE spi = NULL, i2c = NULL;
    int failures = 0;

    int32_t spiChip = qzsim_attach_spi(serial, 0, 7, 2, 3, 7, 8, /*posedge*/ 1, /*rwBit*/ 1);
    int32_t i2cChip = qzsim_attach_i2c(serial, 4, 5, 6, 0x52, 1, 2);
    if (spiChip < 0 || i2cChip < 0 || initSPIDev(&spi, 0, 7, 2, 3, 7, 8, 1, 1) != 0 ||
        initI2CDev(&i2c, 4, 5, 6, 0x52, 1, 2) != 0) {
        deleteSPIDev(spi);
        return -1;
    }
    mapHandles(dev, spi, SPI_ID);
    mapHandles(dev, i2c, I2C_ID);

    printf("-- Blocks of registers by device ID: one at a time, batched, streamed\n");
    printf("   (the counts are FT_Write plus FT_Read calls: an SPI write only writes; a read,\n"
           "    and an I2C write, which reads its acknowledges back, write once and read once.\n"
           "    A batch or a stream of any length is one such transfer)\n");
    failures += demo_block(serial, "SPI chip", SPI_ID, spiChip, spiRegs, 0x60, 0xFF) != 0;
    failures += demo_block(serial, "I2C chip", I2C_ID, i2cChip, i2cRegs, 0xA0, 0xFFFF) != 0;

    /* The IDs only borrow the handles: empty them before the descriptors go. */
    mapHandles(NULL, NULL, SPI_ID);
    mapHandles(NULL, NULL, I2C_ID);
    deleteI2CDev(i2c);
    deleteSPIDev(spi);
    return failures ? -1 : 0;
}
