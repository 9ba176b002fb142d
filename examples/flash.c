/* An SPI NOR flash from C: read its JEDEC ID, dump the first 64 KiB, erase a
 * 4 KiB sector, program one 256-byte page and read it back. Each flash
 * command is one qz_spiTransferSegments call: one chip-select window, one USB
 * round trip. Wiring (SPI mode 0): SCK pin 0, CS# pin 1, MOSI pin 2, MISO pin 3.
 *   flash SERIAL [DUMP_FILE]
 * On the simulated bench: QZ_SIM_BENCH=examples/benches/flash.toml flash QZF001
 * Exit 0 when the page verified, 1 when the flash said otherwise, 2 when the
 * device or driver failed. */
#include "QZ_FTDI.h"

#include <stdio.h>
#include <string.h>

enum {
    CMD_WRITE_ENABLE = 0x06,
    CMD_READ_STATUS = 0x05,
    CMD_READ = 0x03,
    CMD_PAGE_PROGRAM = 0x02,
    CMD_SECTOR_ERASE = 0x20,
    CMD_JEDEC_ID = 0x9F,
    STATUS_BUSY = 0x01,
    STATUS_WRITE_ENABLED = 0x02,
    PAGE_SIZE = 256,
    DUMP_SIZE = 65536,
    /* Status polls before a program or erase counts as stuck: each poll is a
     * USB round trip (about 1 ms on full speed), a sector erase takes up to
     * 400 ms on common parts. */
    MAX_POLLS = 2000
};

static void* dev;
static PROT_HANDLE spi;

/* Sends `cmd` and the 24-bit `addr` (when addrBytes is 3), then `len` bytes
 * from `tx`, or into `rx`, under one chip select. QZ_OK or the failure. */
static int32_t flashCommand(uint8_t cmd, int addrBytes, uint32_t addr, const uint8_t* tx,
                            uint8_t* rx, uint32_t len) {
    uint8_t head[4] = {cmd, (uint8_t)(addr >> 16), (uint8_t)(addr >> 8), (uint8_t)addr};
    QZ_SPI_SEGMENT segments[2] = {{head, NULL, 1u + (uint32_t)addrBytes}, {tx, rx, len}};
    QZ_RESULT detail;
    const int32_t status = qz_spiTransferSegments(dev, spi, segments, len ? 2 : 1, 0xFF, &detail);
    if (status != QZ_OK) fprintf(stderr, "flash command 0x%02x: %s\n", cmd, qz_statusText(status));
    return status;
}

/* Write enable, checked in the status register. QZ_OK, QZ_BAD_ARGUMENT when
 * the flash does not take it (write protected, or not a flash), or the failure. */
static int32_t writeEnable(void) {
    uint8_t status = 0;
    int32_t result = flashCommand(CMD_WRITE_ENABLE, 0, 0, NULL, NULL, 0);
    if (result == QZ_OK) result = flashCommand(CMD_READ_STATUS, 0, 0, NULL, &status, 1);
    if (result == QZ_OK && !(status & STATUS_WRITE_ENABLED)) {
        fprintf(stderr, "the flash does not enable writes (status 0x%02x)\n", status);
        return QZ_BAD_ARGUMENT;
    }
    return result;
}

/* Polls the status register until the busy bit clears. QZ_OK, QZ_TIMEOUT
 * when it stays busy, or the failure. */
static int32_t waitReady(const char* what) {
    for (int poll = 0; poll < MAX_POLLS; ++poll) {
        uint8_t status = 0;
        const int32_t result = flashCommand(CMD_READ_STATUS, 0, 0, NULL, &status, 1);
        if (result != QZ_OK) return result;
        if (!(status & STATUS_BUSY)) return QZ_OK;
    }
    fprintf(stderr, "%s: the flash stays busy\n", what);
    return QZ_TIMEOUT;
}

static int run(const char* dumpPath) {
    static uint8_t image[DUMP_SIZE];
    uint8_t id[3], page[PAGE_SIZE], back[PAGE_SIZE];
    const uint32_t sector = 0x001000;

    if (flashCommand(CMD_JEDEC_ID, 0, 0, NULL, id, sizeof id) != QZ_OK) return 2;
    printf("JEDEC ID %02x %02x %02x\n", id[0], id[1], id[2]);
    if (id[0] == 0x00 || id[0] == 0xFF) {
        fprintf(stderr, "no flash answers (check the wiring and MISO)\n");
        return 1;
    }

    if (flashCommand(CMD_READ, 3, 0, NULL, image, DUMP_SIZE) != QZ_OK) return 2;
    printf("read 64 KiB: \"%.21s\"\n", (const char*)image);
    if (dumpPath) {
        FILE* file = fopen(dumpPath, "wb");
        const int written = file && fwrite(image, 1, DUMP_SIZE, file) == DUMP_SIZE;
        if (file && fclose(file) != 0) return 2;
        if (!written) {
            fprintf(stderr, "cannot write %s\n", dumpPath);
            return 2;
        }
    }

    if (writeEnable() != QZ_OK) return 1;
    if (flashCommand(CMD_SECTOR_ERASE, 3, sector, NULL, NULL, 0) != QZ_OK) return 2;
    if (waitReady("sector erase") != QZ_OK) return 1;
    printf("erased sector 0x%06x\n", (unsigned)sector);

    for (int i = 0; i < PAGE_SIZE; ++i) page[i] = (uint8_t)(i ^ 0xA5);
    if (writeEnable() != QZ_OK) return 1;
    if (flashCommand(CMD_PAGE_PROGRAM, 3, sector, page, NULL, PAGE_SIZE) != QZ_OK) return 2;
    if (waitReady("page program") != QZ_OK) return 1;
    if (flashCommand(CMD_READ, 3, sector, NULL, back, PAGE_SIZE) != QZ_OK) return 2;
    if (memcmp(page, back, PAGE_SIZE) != 0) {
        fprintf(stderr, "page 0x%06x does not read back as programmed\n", (unsigned)sector);
        return 1;
    }
    printf("programmed and verified page 0x%06x\n", (unsigned)sector);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: flash SERIAL [DUMP_FILE]\n");
        return 2;
    }
    if (setupFTDIdev(&dev, argv[1], 1000000) != 0) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    if (initSPIDev(&spi, 0, 1, 2, 3, 8, 8, 1, 0) != 0) {
        fprintf(stderr, "SPI descriptor refused: %s\n", qz_refusalText());
        closeFTDI(dev);
        return 2;
    }
    const int code = run(argc == 3 ? argv[2] : NULL);
    deleteSPIDev(spi);
    closeFTDI(dev);
    return code;
}
