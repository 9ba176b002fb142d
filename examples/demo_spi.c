/* Demo section: registers of a virtual SPI peripheral. The chip sits on
 * clock pin 0, chip select pin 1, data-in pin 2 and data-out pin 3, with
 * 7 address bits, 8 data bits and a read/write bit; the write and read
 * dumps show each frame as eight rows of pin levels. */
#include "QZ_FTDI.h"
#include "demo.h"
#include "qzsim/qzsim.h"

#include <stdio.h>

int demo_spi(void* dev, const char* serial) {
    enum { CLK = 0, CS = 1, SDI = 2, SDO = 3, ADDR_BITS = 7, DATA_BITS = 8 };
    PROT_HANDLE spi = NULL;
    uint32_t held = 0;
    int failures = 0;

    int32_t chip = qzsim_attach_spi(serial, CLK, CS, SDI, SDO, ADDR_BITS, DATA_BITS,
                                    /*posedge*/ 1, /*rwBit*/ 1);
    if (chip < 0 || initSPIDev(&spi, CLK, CS, SDI, SDO, ADDR_BITS, DATA_BITS, 1, 1) != 0) return -1;
    qzsim_set_register(chip, 0x10, 0x5A); /* a value the chip holds from power-up */

    static const char* const names[8] = {"CLK", "CS", "SDI", "SDO"};
    demo_name_pins(names);
    printf("-- SPI: writeSPI(0x21, 0xC3) with the write dump on\n");
    printf("   (the samples written: the read/write bit, address 0x21 and data 0xC3 on SDI,\n"
           "    two samples a bit, the chip taking each as CLK rises; CS low for the frame)\n");
    enableDebugPrint(1, 0);
    failures += writeSPI(dev, spi, 0x21, 0xC3) != 0;
    qzsim_get_register(chip, 0x21, &held);
    printf("the chip now holds 0x%02X at 0x21\n", held);

    printf("-- SPI: readSPI(0x10) and readSPI(0x21) with the read dump on\n");
    printf("   (the samples read back, one sample late: the chip's data bits on SDO)\n");
    enableDebugPrint(0, 1);
    int32_t first = readSPI(dev, spi, 0x10);
    int32_t second = readSPI(dev, spi, 0x21);
    enableDebugPrint(0, 0);
    demo_name_pins(NULL);
    printf("read 0x%02X from 0x10 and 0x%02X from 0x21\n", (unsigned)first, (unsigned)second);
    failures += first != 0x5A || second != 0xC3 || held != 0xC3;

    demo_show_wire(serial, "the SPI write and the two reads");
    deleteSPIDev(spi);
    return failures ? -1 : 0;
}
