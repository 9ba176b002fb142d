/* A program of one's own, built against the installed QZ_FTDI tree (through
 * its CMake package or its pkg-config file): sets up a virtual SPI chip,
 * writes and reads a register through the library. Prints "consumer OK". */
#include <QZ_FTDI.h>
#include <qzsim/qzsim.h>

#include <stdio.h>

int main(void) {
    void* dev = NULL;
    PROT_HANDLE spi = NULL;
    qzsim_add_device("QZC001", "consumer board", 1);
    if (qzsim_attach_spi("QZC001", 0, 1, 2, 3, 7, 8, 1, 1) < 0) return 1;
    if (setupFTDIdev(&dev, "QZC001", 1000000) != 0) return 1;
    if (initSPIDev(&spi, 0, 1, 2, 3, 7, 8, 1, 1) != 0) return 1;
    int ok = writeSPI(dev, spi, 0x12, 0xA5) == 0 && readSPI(dev, spi, 0x12) == 0xA5;
    deleteSPIDev(spi);
    closeFTDI(dev);
    printf("consumer %s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}
