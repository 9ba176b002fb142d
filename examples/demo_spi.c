/* Demo section: registers of a virtual SPI peripheral. */
#include "QZ_FTDI.h"
#include "demo.h"
#include "qzsim/qzsim.h"

int demo_spi(void* dev, const char* serial) {
    (void)dev;
    (void)serial;
    return 0;
}
