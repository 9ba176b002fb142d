/* Demo section: registers of a virtual I2C peripheral, and a missing acknowledge. */
#include "QZ_FTDI.h"
#include "demo.h"
#include "qzsim/qzsim.h"

int demo_i2c(void* dev, const char* serial) {
    (void)dev;
    (void)serial;
    return 0;
}
